#include "upload/reply_timer_win32.h"

#include <mmsystem.h>

#include <utility>

namespace korv {
namespace {

// Process-wide and constant-initialised, so a late callback can still use it
// while the program is ending: SRW locks and condition variables need no
// destruction.
SRWLOCK g_liveLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_tickEnded = CONDITION_VARIABLE_INIT;
MultimediaReplyTimer* g_firstLive = nullptr;
DWORD_PTR g_lastToken = 0;

class LiveListLock {
public:
    LiveListLock() { AcquireSRWLockExclusive(&g_liveLock); }
    ~LiveListLock() { ReleaseSRWLockExclusive(&g_liveLock); }
    LiveListLock(const LiveListLock&) = delete;
    LiveListLock& operator=(const LiveListLock&) = delete;
};

DWORD_PTR newToken()
{
    if (++g_lastToken == 0) ++g_lastToken;  // 0 means stopped
    return g_lastToken;
}

}  // namespace

MultimediaReplyTimer::MultimediaReplyTimer()
{
    LiveListLock lock;
    next_ = g_firstLive;
    if (next_ != nullptr) next_->previous_ = this;
    g_firstLive = this;
}

MultimediaReplyTimer::~MultimediaReplyTimer()
{
    stop();
    LiveListLock lock;
    if (previous_ != nullptr) previous_->next_ = next_;
    else g_firstLive = next_;
    if (next_ != nullptr) next_->previous_ = previous_;
}

void MultimediaReplyTimer::setTickHandler(TickHandler handler) { handler_ = std::move(handler); }

void MultimediaReplyTimer::start()
{
    std::lock_guard control(control_);
    if (timerId_ != 0) return;
    DWORD_PTR token = 0;
    {
        LiveListLock lock;
        token = newToken();
        token_ = token;
    }
    // No callback can come before timeSetEvent has returned its id and the
    // first period has passed; the token is current already.
    const MMRESULT id = timeSetEvent(kPeriodMs, kResolutionMs, &MultimediaReplyTimer::onTimer, token,
                                     TIME_PERIODIC | TIME_CALLBACK_FUNCTION);
    if (id == 0) {
        LiveListLock lock;
        token_ = 0;
        return;
    }
    timerId_ = id;
}

void MultimediaReplyTimer::stop()
{
    {
        std::lock_guard control(control_);
        if (timerId_ != 0) {
            // Fails only for an id that is not a timer; the token below stops
            // the ticks either way.
            timeKillEvent(timerId_);
            timerId_ = 0;
        }
        LiveListLock lock;
        token_ = 0;
    }
    waitForRunningTick();
}

bool MultimediaReplyTimer::isRunning()
{
    std::lock_guard control(control_);
    return timerId_ != 0;
}

// Called outside control_, so a handler that calls stop() can always finish.
void MultimediaReplyTimer::waitForRunningTick()
{
    LiveListLock lock;
    if (inTick_ && tickThread_ == GetCurrentThreadId()) return;  // stop() from inside the tick
    while (inTick_) SleepConditionVariableSRW(&g_tickEnded, &g_liveLock, INFINITE, 0);
}

MultimediaReplyTimer* MultimediaReplyTimer::findLive(DWORD_PTR token)
{
    for (MultimediaReplyTimer* t = g_firstLive; t != nullptr; t = t->next_) {
        if (t->token_ == token) return t;
    }
    return nullptr;
}

void CALLBACK MultimediaReplyTimer::onTimer(UINT, UINT, DWORD_PTR token, DWORD_PTR, DWORD_PTR)
{
    MultimediaReplyTimer* timer = nullptr;
    {
        LiveListLock lock;
        timer = findLive(token);
        if (timer == nullptr || timer->inTick_) return;
        timer->inTick_ = true;
        timer->tickThread_ = GetCurrentThreadId();
    }
    // The timer stays alive here: stop() and the destructor wait for inTick_.
    if (timer->handler_) timer->handler_();
    {
        LiveListLock lock;
        timer->inTick_ = false;
        timer->tickThread_ = 0;
    }
    WakeAllConditionVariable(&g_tickEnded);
}

}  // namespace korv
