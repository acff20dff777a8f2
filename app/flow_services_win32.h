// Win32 implementations of the control flow's pause and keep-awake services.
//
// Threads: the pause runs on whichever thread reports success (the serial
// reader) and is cancelled from the window's thread when the window closes.
// The keep-awake request belongs to the window's thread, because Windows keeps
// one execution state per thread: requests from other threads are carried to it.
#pragma once

#include "app/flow_services.h"

#include <windows.h>

#include <functional>

namespace korv {

class PerformanceCounterPause : public SuccessPause {
public:
    PerformanceCounterPause();
    ~PerformanceCounterPause() override;
    PerformanceCounterPause(const PerformanceCounterPause&) = delete;
    PerformanceCounterPause& operator=(const PerformanceCounterPause&) = delete;

    void wait(std::chrono::microseconds delay) override;
    void cancel() override;

private:
    HANDLE cancelled_;  // manual-reset event, owned
};

class ExecutionStateKeepAwake : public KeepAwake {
public:
    using RunOnWindowThread = std::function<void(const std::function<void()>&)>;

    explicit ExecutionStateKeepAwake(RunOnWindowThread runOnWindowThread);
    ~ExecutionStateKeepAwake() override;
    ExecutionStateKeepAwake(const ExecutionStateKeepAwake&) = delete;
    ExecutionStateKeepAwake& operator=(const ExecutionStateKeepAwake&) = delete;

    void hold() override;
    void release() override;

private:
    void setOnThisThread(bool awake);

    RunOnWindowThread runOnWindowThread_;
    DWORD ownerThread_;
    bool held_ = false;  // touched on the owner thread only
};

}  // namespace korv
