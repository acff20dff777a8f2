#include "app/flow_services_win32.h"

namespace korv {

PerformanceCounterPause::PerformanceCounterPause()
    : cancelled_(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

PerformanceCounterPause::~PerformanceCounterPause()
{
    if (cancelled_) CloseHandle(cancelled_);
}

// Timed with the performance counter; sleeps on the cancel event in between,
// so a closing window never waits for the pause to run out.
void PerformanceCounterPause::wait(std::chrono::microseconds delay)
{
    LARGE_INTEGER frequency{}, start{}, now{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const long long delayUs = delay.count();
    for (;;) {
        QueryPerformanceCounter(&now);
        const long long elapsedUs = (now.QuadPart - start.QuadPart) * 1'000'000 / frequency.QuadPart;
        if (elapsedUs > delayUs) return;
        const auto sleepMs = static_cast<DWORD>((delayUs - elapsedUs) / 1000 + 1);
        if (!cancelled_) {
            Sleep(sleepMs);
        } else if (WaitForSingleObject(cancelled_, sleepMs) == WAIT_OBJECT_0) {
            return;
        }
    }
}

void PerformanceCounterPause::cancel()
{
    if (cancelled_) SetEvent(cancelled_);
}

ExecutionStateKeepAwake::ExecutionStateKeepAwake(RunOnWindowThread runOnWindowThread)
    : runOnWindowThread_(std::move(runOnWindowThread)), ownerThread_(GetCurrentThreadId())
{
}

ExecutionStateKeepAwake::~ExecutionStateKeepAwake()
{
    if (GetCurrentThreadId() == ownerThread_) setOnThisThread(false);
}

void ExecutionStateKeepAwake::hold()
{
    runOnWindowThread_([this] { setOnThisThread(true); });
}

void ExecutionStateKeepAwake::release()
{
    runOnWindowThread_([this] { setOnThisThread(false); });
}

void ExecutionStateKeepAwake::setOnThisThread(bool awake)
{
    if (awake == held_) return;
    held_ = awake;
    SetThreadExecutionState(awake ? (ES_CONTINUOUS | ES_SYSTEM_REQUIRED) : ES_CONTINUOUS);
}

}  // namespace korv
