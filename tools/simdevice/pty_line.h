// The device's end of the line: a pseudo-terminal master, paced like a UART,
// and the JSON-lines event log. Single-threaded (see simdevice.cpp).
#pragma once

#include "device_protocol.h"
#include "options.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>

namespace simdevice {

using Clock = std::chrono::steady_clock;

class EventLog {
public:
    explicit EventLog(const std::string& path);
    // One line: {"t":seconds since start,"event":name,<fields>}; flushed at once.
    void write(const std::string& event, const std::string& fields);

private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
    Clock::time_point start_ = Clock::now();
};

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
};

class PtyLine {
public:
    PtyLine(const Options& options, EventLog& log);
    bool open();
    bool publishPath(const std::string& pathFile) const;
    // Serves the line until stop is set (by a signal delivered inside ppoll).
    void run(DeviceProtocol& device, const sigset_t& waitMask, volatile std::sig_atomic_t& stop);

private:
    struct Pending {
        std::string bytes;
        std::string kind;
        int pauseMs = 0;
        bool scheduled = false;
        bool logged = true;  // flood pieces are logged as one
        bool afterHostRead = false;
        Clock::time_point readyAt;
        Clock::time_point dueAt;  // when it first became due
    };

    void serveOnce(DeviceProtocol& device, const sigset_t& waitMask);
    void receive(DeviceProtocol& device, std::size_t allowed);
    void queue(const std::vector<Write>& writes);
    void writeDue(Clock::time_point now);
    bool heldForHost(Pending& front, Clock::time_point now);
    bool hostHasUnread() const;
    std::size_t rxAllowance(Clock::time_point now);
    void vanish();
    Clock::duration lineTime(std::size_t bytes) const;

    const Options& options_;
    EventLog& log_;
    Fd master_;
    Fd slave_;  // held open by the device itself
    std::string slavePath_;
    std::deque<Pending> queue_;
    bool writeBlocked_ = false;
    bool vanished_ = false;
    Clock::time_point txFreeAt_ = Clock::now();
    Clock::duration rxBank_{};
    Clock::time_point rxBankAt_ = Clock::now();
};

}  // namespace simdevice
