// The main window's control flow: what each user action and each module report
// does. It wires the serial channel, the two protocol modules and the window's
// operations together, and is the only place where they meet.
//
// Threads: start, port choice, write click, OK and close arrive on the window's
// thread. Received data and everything it sets off (identification, each later
// block, success with its pause, failure after a bad reply) run on the serial
// reader thread; a reply timeout runs on the upload timer's thread. No lock is
// taken: the two flags that the worker threads share are atomics, and every
// window operation made from a worker is carried out by the window's thread.
#pragma once

#include "app/flow_services.h"
#include "app/window_operations.h"
#include "common/value.h"
#include "identify/identification_module.h"
#include "serial/serial_channel.h"
#include "upload/upload_module.h"

#include <atomic>
#include <chrono>

namespace korv {

class MainFlow {
public:
    static constexpr std::chrono::microseconds kSuccessDelay{15'000'000};

    MainFlow(WindowOperations& window, SerialChannel& channel, IdentificationModule& identification,
             UploadModule& upload, SuccessPause& successPause, KeepAwake& keepAwake);

    // Makes every connection between the channel, the modules and the window.
    void connect();

    // The window's reports.
    void start();                              // A
    void portChosen(const Bytes& entryText);   // B
    void writeClicked(const Value& value);     // F
    void okClicked();                          // I
    void windowClosing();                      // J

private:
    void receive(const Bytes& chunk);          // D
    void deviceIdentified(const Bytes& signature);  // E
    void uploadSucceeded();                    // G
    void uploadFailed();                       // H

    void showSuccessScreen();
    void showFailureScreen();
    void showFinishScreen();
    void showErrorMark(const Value& value);

    WindowOperations& window_;
    SerialChannel& channel_;
    IdentificationModule& identification_;
    UploadModule& upload_;
    SuccessPause& successPause_;
    KeepAwake& keepAwake_;

    Bytes selectedPort_;                         // window's thread only
    std::atomic<int> successToggle_{0};          // flipped on success, read on failure
    std::atomic<bool> errorMarkIsZero_{false};   // ErrorMarkValue: empty, or the integer 0
    std::atomic<bool> closed_{false};            // after the close report nothing reacts
};

}  // namespace korv
