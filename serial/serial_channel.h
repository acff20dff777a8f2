// The serial channel as the rest of the program sees it: operations that take
// one value, events that pass one value on, and the data input PortName.
// THIComAsync (com_async_win32.h) is the one real implementation; tests use
// a scripted fake.
#pragma once

#include "common/output.h"
#include "common/value.h"

#include <cstdint>

namespace korv {

class SerialChannel {
public:
    virtual ~SerialChannel() = default;

    // Opens the port named by PortName; fires OnOpenResult (port number, or 0)
    // before returning. Ignored while a port is open.
    virtual void OpenPort(const Value& unused) = 0;
    // Closes the port; never waits for a delivery in progress, and no new
    // delivery starts once it has returned.
    virtual void ClosePort(const Value& unused) = 0;
    // Writes the value's text byte for byte and waits for the write to end.
    virtual void SendText(const Value& text) = 0;
    // Reads up to n waiting bytes and fires OnReceived with them.
    virtual void ReadWaiting(std::int32_t n) = 0;
    // Fires OnPortFound once for every port that can be opened now.
    virtual void ListPorts(const Value& unused) = 0;

    Output<std::int32_t> OnOpenResult;
    Output<Bytes> OnReceived;
    Output<std::int32_t> OnBytesWaiting;
    Output<Bytes> OnPortFound;
    DataInput<Bytes> PortName;
};

}  // namespace korv
