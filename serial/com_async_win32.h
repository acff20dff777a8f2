// THIComAsync: the serial channel on Win32. One COM port at a time, opened
// exclusively with the device's fixed line settings, written byte for byte,
// and read by a reader thread of its own that sleeps in WaitCommEvent.
//
// Threads:
// - OpenPort, ClosePort and ListPorts run on the window's thread.
// - The reader thread (one per open, THREAD_PRIORITY_HIGHEST) fires
//   OnBytesWaiting; ReadWaiting, OnReceived and whatever they set off
//   (SendText included) run on it, synchronously.
// - SendText may come from any thread; each write waits for its own completion.
// Ownership: the port handle and the reader's records live in a PortLink
// (port_link_win32.h) that the reader thread co-owns; link_ is the channel's
// reference while open, guarded by linkMutex_, which is only held to copy or
// swap the pointer.
// Shutdown: ClosePort asks the reader to stop (no wait and no delivery starts
// afterwards) and wakes it. It waits for the reader to end only when the
// reader is not inside a delivery, so the window's thread never waits for a
// reader that may itself be waiting for the window; otherwise the reader
// closes the handle when its delivery returns. The destructor closes and then
// waits, bounded, for every reader still running.
#pragma once

#include "serial/handles_win32.h"
#include "serial/port_link_win32.h"
#include "serial/serial_channel.h"

#include <memory>
#include <mutex>
#include <vector>

namespace korv {

class THIComAsync final : public SerialChannel {
public:
    THIComAsync() = default;
    ~THIComAsync() override;
    THIComAsync(const THIComAsync&) = delete;
    THIComAsync& operator=(const THIComAsync&) = delete;

    void OpenPort(const Value& unused) override;
    void ClosePort(const Value& unused) override;
    void SendText(const Value& text) override;
    void ReadWaiting(std::int32_t n) override;
    void ListPorts(const Value& unused) override;

private:
    bool setUp(const Bytes& devicePath);
    bool startReader(const std::shared_ptr<serialwin::PortLink>& link);
    std::shared_ptr<serialwin::PortLink> currentLink() const;
    void forgetEndedReaders();
    static DWORD WINAPI readerMain(LPVOID start);

    mutable std::mutex linkMutex_;
    std::shared_ptr<serialwin::PortLink> link_;  // set while open
    serialwin::Handle reader_;                      // the current open's reader thread
    std::vector<serialwin::Handle> leftReaders_;    // readers closed while delivering
    Bytes portName_;
};

}  // namespace korv
