// Two small services the control flow needs from the platform.
#pragma once

#include <chrono>

namespace korv {

// Blocks the calling thread for a while, timed with a high-resolution clock.
class SuccessPause {
public:
    virtual ~SuccessPause() = default;
    // Returns once more than `delay` has passed, or at once after cancel().
    virtual void wait(std::chrono::microseconds delay) = 0;
    // Ends every wait in progress and every later one; used when the window closes.
    virtual void cancel() = 0;
};

// Keeps the system from sleeping while the device is being written.
class KeepAwake {
public:
    virtual ~KeepAwake() = default;
    virtual void hold() = 0;     // from the write click on
    virtual void release() = 0;  // at either ending; any thread
};

}  // namespace korv
