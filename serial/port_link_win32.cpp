// The reader loop and the I/O of one open port. See port_link_win32.h for
// which thread owns what and how a stop reaches the reader.
#include "serial/port_link_win32.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace korv::serialwin {
namespace {

constexpr DWORD kPurgeClear = PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kPurgeOnClose = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// A wait woken by clearing the event mask completes within about a
// millisecond; this bounds how long its record is kept waiting for that.
constexpr DWORD kAbandonedWaitDrainMs = 500;

// A failed wait that comes back faster than this counts as a fast failure
// (a closed handle, say); a plain pseudo-terminal's aborted waits take 2-5 ms.
constexpr auto kFastFailure = std::chrono::milliseconds(1);
constexpr int kBadRoundsBeforeBackOff = 4;
constexpr DWORD kFirstBackOffMs = 10;
constexpr DWORD kLongestBackOffMs = 250;

std::int32_t clampToInt32(DWORD n)
{
    constexpr DWORD kMax = static_cast<DWORD>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(std::min(n, kMax));
}

}  // namespace

bool IoRecord::create()
{
    event = makeManualResetEvent();
    rearm();
    return static_cast<bool>(event);
}

void IoRecord::rearm()
{
    ov = OVERLAPPED{};
    ov.hEvent = event.get();
}

std::shared_ptr<PortLink> PortLink::open(const Bytes& devicePath)
{
    HANDLE h = CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    auto link = std::make_shared<PortLink>(Key{});
    link->port_ = Handle(h);
    if (!link->createRecords()) return nullptr;
    return link;
}

bool PortLink::createRecords()
{
    stopEvent_ = makeManualResetEvent();
    return stopEvent_ && waitIo_.create() && readIo_.create();
}

PortLink::~PortLink()
{
    if (port_) {
        PurgeComm(port_.get(), kPurgeOnClose);
        port_.reset();  // also completes a wait that is still pending
    }
    drainAbandonedWait(kAbandonedWaitDrainMs);
    Handle spare(spareWriteEvent_.exchange(nullptr));
}

bool PortLink::requestStop()
{
    bool delivering = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        delivering = delivering_;
    }
    SetEvent(stopEvent_.get());
    SetCommMask(port_.get(), 0);
    return delivering;
}

bool PortLink::stopRequested() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
}

Handle PortLink::takeWriteEvent()
{
    Handle event(spareWriteEvent_.exchange(nullptr));
    return event ? std::move(event) : makeManualResetEvent();
}

void PortLink::returnWriteEvent(Handle event)
{
    HANDLE expected = nullptr;
    if (spareWriteEvent_.compare_exchange_strong(expected, event.get())) event.release();
}

void PortLink::write(const Bytes& bytes)
{
    Handle event = takeWriteEvent();
    if (!event) return;
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    const auto size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAXDWORD));
    const BOOL ok = WriteFile(port_.get(), bytes.data(), size, nullptr, &ov);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        DWORD written = 0;
        GetOverlappedResult(port_.get(), &ov, &written, TRUE);
    }
    returnWriteEvent(std::move(event));
}

std::optional<Bytes> PortLink::readWaiting(std::int32_t n)
{
    // The reader's own record serves reads on its thread; a read from any
    // other thread gets a record of its own.
    IoRecord own;
    IoRecord* record = &readIo_;
    if (GetCurrentThreadId() != readerThreadId_.load()) {
        if (!own.create()) return std::nullopt;
        record = &own;
    }
    record->rearm();
    // The timeouts make a read return at once with what is queued, but under
    // Wine an overlapped read of an empty queue still waits for the next byte:
    // never ask for more than is queued now.
    auto size = static_cast<DWORD>(std::max<std::int32_t>(n, 0));
    DWORD errors = 0;
    COMSTAT status{};
    if (size > 0 && ClearCommError(port_.get(), &errors, &status)) size = std::min(size, status.cbInQue);
    Bytes buffer(size, '\0');
    const BOOL ok = ReadFile(port_.get(), buffer.data(), size, nullptr, &record->ov);
    if (!ok && GetLastError() != ERROR_IO_PENDING) return std::nullopt;
    DWORD got = 0;
    if (!GetOverlappedResult(port_.get(), &record->ov, &got, TRUE)) return Bytes();
    buffer.resize(std::min(got, size));
    return buffer;
}

void PortLink::runReader(const std::function<void(std::int32_t)>& deliver)
{
    readerThreadId_.store(GetCurrentThreadId());
    for (;;) {
        const auto started = std::chrono::steady_clock::now();
        const WaitResult result = waitForCharacters();
        if (result == WaitResult::Stopped) return;
        if (result == WaitResult::WaitBroken) {
            leaveAfterBrokenWait();
            return;
        }
        if (result == WaitResult::Received) {
            if (!deliverWaiting(deliver)) return;
            continue;
        }
        const bool fast = std::chrono::steady_clock::now() - started < kFastFailure;
        if (!backOffAfterFailure(fast)) return;
    }
}

// Issues one overlapped wait for received characters and sleeps until it
// completes or a stop is requested.
PortLink::WaitResult PortLink::waitForCharacters()
{
    waitIo_.rearm();
    waitMask_ = 0;
    BOOL issued = FALSE;
    DWORD error = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return WaitResult::Stopped;
        issued = WaitCommEvent(port_.get(), &waitMask_, &waitIo_.ov);
        if (!issued) error = GetLastError();
    }
    if (!issued && error != ERROR_IO_PENDING) return WaitResult::Failed;
    waitMayBePending_ = true;
    const HANDLE events[] = {waitIo_.event.get(), stopEvent_.get()};
    const DWORD woke = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0 + 1) {
        drainAbandonedWait(kAbandonedWaitDrainMs);
        return WaitResult::Stopped;
    }
    if (woke != WAIT_OBJECT_0) return WaitResult::WaitBroken;
    waitMayBePending_ = false;
    if (stopRequested()) return WaitResult::Stopped;
    DWORD unused = 0;
    if (!GetOverlappedResult(port_.get(), &waitIo_.ov, &unused, FALSE)) return WaitResult::Failed;
    return (waitMask_ & EV_RXCHAR) ? WaitResult::Received : WaitResult::Empty;
}

// One receive notification: count the waiting bytes and hand the count on.
// Returns false once a stop has been requested.
bool PortLink::deliverWaiting(const std::function<void(std::int32_t)>& deliver)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port_.get(), &errors, &status)) return backOffAfterFailure(true);
    badRounds_ = 0;
    backOffMs_ = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return false;
        delivering_ = true;
    }
    deliver(clampToInt32(status.cbInQue));
    std::lock_guard<std::mutex> lock(mutex_);
    delivering_ = false;
    return !stop_;
}

// After a wait that ended without characters. A slow failure on a port that
// still answers (a plain pseudo-terminal aborts its waits every few ms) just
// loops. Repeated fast failures, or failures of a port that no longer answers
// (a vanished device), sleep a growing while, woken early by a stop. Returns
// false when the reader is to end.
bool PortLink::backOffAfterFailure(bool fastFailure)
{
    DWORD errors = 0;
    // Also ends a pending line-error condition.
    const bool portAnswers = ClearCommError(port_.get(), &errors, nullptr) != FALSE;
    if (!fastFailure && portAnswers) {
        badRounds_ = 0;
        backOffMs_ = 0;
        return true;
    }
    if (++badRounds_ < kBadRoundsBeforeBackOff) return true;
    backOffMs_ = backOffMs_ == 0 ? kFirstBackOffMs : std::min(backOffMs_ * 2, kLongestBackOffMs);
    return WaitForSingleObject(stopEvent_.get(), backOffMs_) == WAIT_TIMEOUT;
}

void PortLink::drainAbandonedWait(DWORD timeoutMs)
{
    if (!waitMayBePending_) return;
    if (WaitForSingleObject(waitIo_.event.get(), timeoutMs) == WAIT_OBJECT_0) waitMayBePending_ = false;
}

void PortLink::leaveAfterBrokenWait()
{
    SetCommMask(port_.get(), 0);
    PurgeComm(port_.get(), kPurgeClear);
}

}  // namespace korv::serialwin
