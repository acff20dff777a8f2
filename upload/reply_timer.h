// The upload's periodic reply timer, behind an interface so that the upload
// logic can be driven by a fake clock in tests.
#pragma once

#include <functional>

namespace korv {

class ReplyTimer {
public:
    using TickHandler = std::function<void()>;

    virtual ~ReplyTimer() = default;

    // Set once, before the first start. Ticks call it on the timer's own thread.
    virtual void setTickHandler(TickHandler handler) = 0;
    // Starts ticking every period; a running timer keeps its phase.
    virtual void start() = 0;
    // Stops ticking. May be called from any thread, the tick handler's included.
    virtual void stop() = 0;
};

}  // namespace korv
