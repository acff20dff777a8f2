// The state of one open port, shared by the channel and its reader thread.
//
// Threads and ownership:
// - A PortLink is made by a successful open and held through shared_ptr by
//   the channel (while open), by the reader thread (for its whole life) and by
//   every SendText/ReadWaiting in progress. Whoever drops the last reference
//   purges and closes the port handle, so no thread ever uses a closed handle
//   value, and a reader still inside a delivery when the port is closed closes
//   the handle itself when the delivery returns.
// - mutex_ guards only {stop_, delivering_}. It is never held while calling out
//   of the channel or while blocking; it is held while the reader issues its
//   overlapped WaitCommEvent (which returns at once), so that a wait is never
//   issued after requestStop() cleared the event mask.
// - The wait record and the read record belong to the reader thread; every
//   write uses a record of its own (its event taken from a one-slot cache), so
//   reads and writes that overlap in time never share a completion record.
#pragma once

#include "common/value.h"
#include "serial/handles_win32.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace korv::serialwin {

// One overlapped operation's completion record with its own event.
struct IoRecord {
    OVERLAPPED ov{};
    Handle event;

    bool create();
    // Zeroes the record for the next operation; keeps the event.
    void rearm();
};

class PortLink {
    struct Key {};

public:
    explicit PortLink(Key) {}
    // Opens the device path exclusively for overlapped I/O; null on failure.
    static std::shared_ptr<PortLink> open(const Bytes& devicePath);
    ~PortLink();
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    HANDLE port() const { return port_.get(); }

    // Stops the reader: no wait is issued and no delivery starts afterwards;
    // wakes a pending wait. Returns whether the reader is inside a delivery.
    bool requestStop();
    bool stopRequested() const;

    // Writes all bytes and waits for the write to end; failures are silent.
    void write(const Bytes& bytes);
    // Reads up to n waiting bytes: the bytes read, the empty string when the
    // read failed after starting, nothing when it failed at once.
    std::optional<Bytes> readWaiting(std::int32_t n);

    // Runs the reader loop on the calling thread until stop or a failed wait.
    // deliver(n) is called with the count of waiting bytes.
    void runReader(const std::function<void(std::int32_t)>& deliver);

private:
    bool createRecords();

    enum class WaitResult { Received, Empty, Failed, Stopped, WaitBroken };
    WaitResult waitForCharacters();
    bool deliverWaiting(const std::function<void(std::int32_t)>& deliver);
    bool backOffAfterFailure(bool fastFailure);
    void drainAbandonedWait(DWORD timeoutMs);
    void leaveAfterBrokenWait();

    Handle takeWriteEvent();
    void returnWriteEvent(Handle event);

    Handle port_;
    Handle stopEvent_;
    IoRecord waitIo_;  // reader thread only
    IoRecord readIo_;  // reader thread only
    DWORD waitMask_ = 0;  // written by the wait on completion: lives as long as waitIo_
    std::atomic<DWORD> readerThreadId_{0};
    std::atomic<HANDLE> spareWriteEvent_{nullptr};
    bool waitMayBePending_ = false;  // reader thread only, then the last owner
    int badRounds_ = 0;           // reader thread only
    DWORD backOffMs_ = 0;            // reader thread only

    mutable std::mutex mutex_;
    bool stop_ = false;
    bool delivering_ = false;
};

}  // namespace korv::serialwin
