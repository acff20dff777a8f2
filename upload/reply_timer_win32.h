// The reply timer on the multimedia timer: timeSetEvent, 1000 ms, resolution
// 1 ms, periodic, callback function.
//
// Threads: start and stop may be called from any thread, stop also from inside
// the tick handler. Ticks run on the multimedia timer's own thread. timeKillEvent
// does not wait for a callback that is already running, and a callback may even
// begin after it has returned, so a tick does not carry a pointer to this
// object: it carries a token, looked up under a process-wide lock in a list of
// live timers, and a token that is no longer current finds nothing. stop()
// (outside a tick) and the destructor wait until a running handler has
// returned; after that no handler runs again.
#pragma once

#include "upload/reply_timer.h"

#include <windows.h>

#include <mutex>

namespace korv {

class MultimediaReplyTimer final : public ReplyTimer {
public:
    static constexpr UINT kPeriodMs = 1000;
    static constexpr UINT kResolutionMs = 1;

    MultimediaReplyTimer();
    // Must not run inside this timer's own tick handler.
    ~MultimediaReplyTimer() override;
    MultimediaReplyTimer(const MultimediaReplyTimer&) = delete;
    MultimediaReplyTimer& operator=(const MultimediaReplyTimer&) = delete;

    void setTickHandler(TickHandler handler) override;
    // A running timer keeps its phase. When timeSetEvent fails, the timer stays
    // stopped and isRunning() says so.
    void start() override;
    void stop() override;

    bool isRunning();

private:
    static void CALLBACK onTimer(UINT timerId, UINT message, DWORD_PTR token, DWORD_PTR, DWORD_PTR);
    static MultimediaReplyTimer* findLive(DWORD_PTR token);
    void waitForRunningTick();

    TickHandler handler_;
    std::mutex control_;  // serialises start and stop
    UINT timerId_ = 0;    // under control_; 0 while stopped

    // Under the process-wide lock of the live list.
    DWORD_PTR token_ = 0;  // of the running timer; 0 while stopped
    bool inTick_ = false;
    DWORD tickThread_ = 0;
    MultimediaReplyTimer* next_ = nullptr;
    MultimediaReplyTimer* previous_ = nullptr;
};

}  // namespace korv
