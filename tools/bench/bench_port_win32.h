// The serial port as the exe's channel opens and drives it, for the reference
// programs of the benchmark: the same line settings and timeouts, overlapped
// I/O, every write waited for before the next, and received bytes fetched the
// way the channel's reader does (WaitCommEvent for EV_RXCHAR, ClearCommError,
// then ReadFile of cbInQue).
//
// Threads: none of its own. A program runs everything on its main thread and
// owns the port and the events through UniqueHandle (bench_win32.h); a
// Receiver that still has a wait pending when it is destroyed clears the event
// mask first, which ends the wait, and gives it a moment to complete before
// its record goes away.
// Every Win32 failure is thrown as Win32Error with GetLastError() taken at once.
#pragma once

#include "bench_win32.h"
#include "serial/line_settings_win32.h"

#include <windows.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// How long a destroyed Receiver lets its cleared wait complete.
inline constexpr DWORD kAbandonedWaitMs = 500;
// A wait whose event fired is looked at this often, for at most this long.
inline constexpr DWORD kStatusPollMs = 1;
inline constexpr DWORD kStuckWaitMs = 20;

// Opens \\.\<name> exclusively for overlapped I/O and sets it up as the exe
// does, with the channel's own line settings (serial/line_settings_win32.h):
// purge, queues, line, timeouts (reads return at once), EV_RXCHAR.
inline UniqueHandle openPort(const std::string& name)
{
    const std::string path = "\\\\.\\" + name;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throwLastError("CreateFileA " + path);
    UniqueHandle port(h);

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) throwLastError("GetCommState");
    korv::serialwin::applyLineState(dcb);
    if (!PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR)) throwLastError("PurgeComm");
    if (!SetupComm(h, korv::serialwin::kInputQueueBytes, korv::serialwin::kOutputQueueBytes)) throwLastError("SetupComm");
    if (!SetCommState(h, &dcb)) throwLastError("SetCommState");
    COMMTIMEOUTS timeouts = korv::serialwin::lineTimeouts();
    if (!SetCommTimeouts(h, &timeouts)) throwLastError("SetCommTimeouts");
    if (!SetCommMask(h, korv::serialwin::kEventMask)) throwLastError("SetCommMask");
    return port;
}

// One overlapped write at a time, each waited for; one event reused.
class Writer {
public:
    explicit Writer(HANDLE port) : port_(port), event_(makeManualResetEvent()) {}

    void write(const void* bytes, DWORD count)
    {
        OVERLAPPED ov{};
        ov.hEvent = event_.get();
        if (!WriteFile(port_, bytes, count, nullptr, &ov)) {
            const DWORD code = GetLastError();
            if (code != ERROR_IO_PENDING) throw Win32Error("WriteFile", code);
        }
        DWORD written = 0;
        if (!GetOverlappedResult(port_, &ov, &written, TRUE)) throwLastError("GetOverlappedResult (write)");
        if (written != count) throw std::runtime_error("write timed out: " + std::to_string(written) + " of " +
                                                       std::to_string(count) + " bytes written");
    }

    void write(const std::string& bytes) { write(bytes.data(), static_cast<DWORD>(bytes.size())); }

private:
    HANDLE port_;
    UniqueHandle event_;
};

// One WaitCommEvent in flight: its completion record, event and mask.
struct WaitRecord {
    WaitRecord() : event(makeManualResetEvent()) {}
    UniqueHandle event;
    OVERLAPPED ov{};
    DWORD mask = 0;
};

// Received bytes, one receive notification at a time.
//
// Wine on a pseudo-terminal ends waits with ERROR_OPERATION_ABORTED every few
// milliseconds (the port has no modem lines), and now and then a wait's event
// fires while its status stays pending for good, not even completed by
// clearing the event mask. Such a wait is given kStuckWaitMs to complete,
// then parked (its record is kept as long as the Receiver, in case the system
// still writes to it) and replaced by a new one, and whatever is queued is
// read at once so that nothing that came meanwhile is missed; stuckWaits()
// counts them. So far seen only while the line is quiet (a silent device, a
// pause in a reply), not in the replies of an upload.
class Receiver {
public:
    explicit Receiver(HANDLE port) : port_(port), wait_(std::make_unique<WaitRecord>()), readEvent_(makeManualResetEvent())
    {
    }
    ~Receiver()
    {
        // Nothing to report from here: the program is ending either way.
        if (pending_ && SetCommMask(port_, 0)) WaitForSingleObject(wait_->event.get(), kAbandonedWaitMs);
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Waits up to timeoutMs for one notification and appends the bytes it
    // brings to `into` (none for a wake without data). False when nothing
    // woke it in time; the wait then stays pending for the next call.
    bool receive(std::string& into, DWORD timeoutMs)
    {
        if (!pending_) issueWait();
        if (pending_) {
            const DWORD woke = WaitForSingleObject(wait_->event.get(), timeoutMs);
            if (woke == WAIT_TIMEOUT) return false;
            if (woke != WAIT_OBJECT_0) throwLastError("WaitForSingleObject");
            switch (settle()) {
            case Settled::Completed: break;
            case Settled::Aborted: return true;
            case Settled::Stuck:
                replaceStuckWait();
                readWaiting(into);
                return true;
            }
        }
        if ((wait_->mask & EV_RXCHAR) != 0) readWaiting(into);
        return true;
    }

    int stuckWaits() const { return static_cast<int>(parked_.size()); }

private:
    enum class Settled { Completed, Aborted, Stuck };

    void issueWait()
    {
        wait_->ov = OVERLAPPED{};
        wait_->ov.hEvent = wait_->event.get();
        wait_->mask = 0;
        if (WaitCommEvent(port_, &wait_->mask, &wait_->ov)) return;  // done at once: the mask is set
        const DWORD code = GetLastError();
        if (code != ERROR_IO_PENDING) throw Win32Error("WaitCommEvent", code);
        pending_ = true;
    }

    // After the wait's event fired: its status, looked at until it is final
    // or kStuckWaitMs have passed.
    Settled settle()
    {
        const ULONGLONG giveUp = GetTickCount64() + kStuckWaitMs;
        for (;;) {
            DWORD unused = 0;
            if (GetOverlappedResult(port_, &wait_->ov, &unused, FALSE)) {
                pending_ = false;
                return Settled::Completed;
            }
            const DWORD code = GetLastError();
            if (code != ERROR_IO_INCOMPLETE) {
                pending_ = false;
                if (code == ERROR_OPERATION_ABORTED) return Settled::Aborted;
                throw Win32Error("GetOverlappedResult (WaitCommEvent)", code);
            }
            if (GetTickCount64() >= giveUp) return Settled::Stuck;
            Sleep(kStatusPollMs);
        }
    }

    void replaceStuckWait()
    {
        parked_.push_back(std::move(wait_));
        wait_ = std::make_unique<WaitRecord>();
        pending_ = false;
    }

    void readWaiting(std::string& into)
    {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(port_, &errors, &status)) throwLastError("ClearCommError");
        if (status.cbInQue == 0) return;
        std::string buffer(status.cbInQue, '\0');
        OVERLAPPED ov{};
        ov.hEvent = readEvent_.get();
        if (!ReadFile(port_, buffer.data(), status.cbInQue, nullptr, &ov)) {
            const DWORD code = GetLastError();
            if (code != ERROR_IO_PENDING) throw Win32Error("ReadFile", code);
        }
        DWORD got = 0;
        if (!GetOverlappedResult(port_, &ov, &got, TRUE)) throwLastError("GetOverlappedResult (read)");
        into.append(buffer, 0, got);
    }

    HANDLE port_;
    std::unique_ptr<WaitRecord> wait_;
    std::vector<std::unique_ptr<WaitRecord>> parked_;
    UniqueHandle readEvent_;
    bool pending_ = false;
};

}  // namespace bench
