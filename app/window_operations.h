// What the main window offers to the control flow. Every operation takes effect
// at once; called from a worker thread it is carried out by the window's thread
// while the caller waits.
#pragma once

#include "common/value.h"

#include <cstdint>

namespace korv {

enum class Control {
    ErrorLine1,
    ErrorLine2,
    WriteButton,
    StatusField,
    PortList,
    UploadProgress,
    VersionLabel,
    CrcField,
    CrcReceivedCaption,
    CrcCaption,
    OkButton,
    ErrorIcon,
    SuccessText,
};

class WindowOperations {
public:
    virtual ~WindowOperations() = default;

    // Hidden / disabled only by the integer 0 (see showsOrEnables).
    virtual void show(Control control, const Value& value) = 0;
    virtual void enable(Control control, const Value& value) = 0;
    virtual void enableWindow(const Value& value) = 0;
    // StatusField and CrcField; an integer is shown as its decimal digits.
    virtual void setText(Control control, const Value& value) = 0;
    // CrcField.
    virtual Bytes getText(Control control) = 0;
    virtual void addPortEntry(const Bytes& entry) = 0;
    virtual void setProgress(std::int32_t position) = 0;
    // Closes the window as its close button does; returns once handled.
    virtual void close() = 0;
};

}  // namespace korv
