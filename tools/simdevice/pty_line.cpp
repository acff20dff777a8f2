#include "pty_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace simdevice {
namespace {

constexpr long long kBitsPerByte = 10;  // 8N1: start, 8 data, stop
constexpr std::size_t kReadBytes = 4096;
constexpr std::size_t kUartFifoBytes = 16;  // what a paced line may take at once
constexpr std::size_t kPacedFloodPiece = 64;
constexpr std::size_t kFloodPiece = 4096;
constexpr auto kHangupPause = std::chrono::milliseconds(10);
// How often, and how long at most, a held write looks whether the host has read.
constexpr auto kHostReadPoll = std::chrono::milliseconds(1);
constexpr auto kHostReadLimit = std::chrono::milliseconds(5000);

std::string quoted(const char* name, const std::string& value)
{
    return "\"" + std::string(name) + "\":\"" + value + "\"";
}

timespec toTimespec(Clock::duration d)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(d, Clock::duration::zero()));
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns.count() / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns.count() % 1'000'000'000);
    return ts;
}

}  // namespace

EventLog::EventLog(const std::string& path)
{
    if (!path.empty()) file_.reset(std::fopen(path.c_str(), "w"));
}

void EventLog::write(const std::string& event, const std::string& fields)
{
    if (!file_) return;
    const auto now = Clock::now();
    const double t = std::chrono::duration<double>(now - start_).count();
    // steady_clock is CLOCK_MONOTONIC here, as Python's time.monotonic() is.
    const double mono = std::chrono::duration<double>(now.time_since_epoch()).count();
    std::fprintf(file_.get(), "{\"t\":%.6f,\"mono\":%.6f,\"event\":\"%s\"%s%s}\n", t, mono, event.c_str(),
                 fields.empty() ? "" : ",", fields.c_str());
    std::fflush(file_.get());
}

void Fd::reset()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

PtyLine::PtyLine(const Options& options, EventLog& log) : options_(options), log_(log) {}

bool PtyLine::open()
{
    master_ = Fd(posix_openpt(O_RDWR | O_NOCTTY));
    char path[256] = {};
    if (!master_ || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0 ||
        ptsname_r(master_.get(), path, sizeof path) != 0) {
        std::perror("simdevice: pseudo-terminal");
        return false;
    }
    slavePath_ = path;
    slave_ = Fd(::open(path, O_RDWR | O_NOCTTY));
    termios raw{};
    if (!slave_ || tcgetattr(slave_.get(), &raw) != 0) {
        std::perror("simdevice: slave");
        return false;
    }
    cfmakeraw(&raw);  // no echo, no line editing, no translation of any byte
    tcsetattr(slave_.get(), TCSANOW, &raw);
    fcntl(master_.get(), F_SETFL, fcntl(master_.get(), F_GETFL) | O_NONBLOCK);
    if (options_.lock) {
        int locked = 1;
        ioctl(master_.get(), TIOCSPTLCK, &locked);
    }
    log_.write("start", quoted("path", slavePath_) + ",\"pid\":" + std::to_string(getpid()) +
                            ",\"pace_baud\":" + std::to_string(options_.paceBaud) +
                            ",\"locked\":" + (options_.lock ? "true" : "false") +
                            ",\"blocks\":" + std::to_string(options_.device.lastBlock) + "," +
                            quoted("identity", toHex(options_.device.identity)));
    return true;
}

bool PtyLine::publishPath(const std::string& pathFile) const
{
    if (pathFile.empty()) {
        std::printf("%s\n", slavePath_.c_str());
        std::fflush(stdout);
        return true;
    }
    const std::string temporary = pathFile + ".tmp";
    std::FILE* f = std::fopen(temporary.c_str(), "w");
    if (!f) return false;
    const bool written = std::fprintf(f, "%s\n", slavePath_.c_str()) > 0;
    const bool closed = std::fclose(f) == 0;
    return written && closed && std::rename(temporary.c_str(), pathFile.c_str()) == 0;
}

Clock::duration PtyLine::lineTime(std::size_t bytes) const
{
    if (options_.paceBaud <= 0) return Clock::duration::zero();
    const long long ns = static_cast<long long>(bytes) * kBitsPerByte * 1'000'000'000LL / options_.paceBaud;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

void PtyLine::run(DeviceProtocol& device, const sigset_t& waitMask, volatile std::sig_atomic_t& stop)
{
    while (!stop) serveOnce(device, waitMask);
}

void PtyLine::serveOnce(DeviceProtocol& device, const sigset_t& waitMask)
{
    const auto now = Clock::now();
    if (!writeBlocked_) writeDue(now);
    const std::size_t allowed = rxAllowance(now);
    pollfd p{master_.get(), 0, 0};
    if (allowed > 0) p.events |= POLLIN;
    if (writeBlocked_) p.events |= POLLOUT;

    std::optional<Clock::duration> timeout;
    if (!queue_.empty() && !writeBlocked_) timeout = queue_.front().readyAt - now;
    if (allowed == 0) timeout = std::min(timeout.value_or(Clock::duration::max()), lineTime(1));
    const timespec ts = toTimespec(timeout.value_or(Clock::duration::zero()));
    const bool polling = !vanished_;
    const int r = ppoll(polling ? &p : nullptr, polling ? 1 : 0, timeout ? &ts : nullptr, &waitMask);
    if (r <= 0) return;  // signal, timeout or error: the loop looks again
    if (p.revents & POLLOUT) writeBlocked_ = false;
    if (p.revents & POLLIN) {
        receive(device, allowed);
    } else if (p.revents & (POLLHUP | POLLERR)) {
        const timespec pause = toTimespec(kHangupPause);
        ppoll(nullptr, 0, &pause, &waitMask);
    }
}

// How many bytes the line can have delivered by now: with pacing, one per
// byte time, banking at most a UART FIFO's worth while idle.
std::size_t PtyLine::rxAllowance(Clock::time_point now)
{
    if (options_.paceBaud <= 0) return kReadBytes;
    rxBank_ = std::min(rxBank_ + (now - rxBankAt_), lineTime(kUartFifoBytes));
    rxBankAt_ = now;
    return static_cast<std::size_t>(rxBank_ / lineTime(1));
}

void PtyLine::receive(DeviceProtocol& device, std::size_t allowed)
{
    char buffer[kReadBytes];
    const ssize_t n = ::read(master_.get(), buffer, std::min(allowed, sizeof buffer));
    if (n <= 0) return;
    const auto count = static_cast<std::size_t>(n);
    rxBank_ -= lineTime(count);
    const std::string_view bytes(buffer, count);
    log_.write("rx", "\"n\":" + std::to_string(count) + "," + quoted("hex", toHex(bytes)));
    Reaction reaction = device.receive(bytes);
    for (const Note& note : reaction.notes) log_.write(note.event, note.fields);
    if (reaction.vanish) {
        vanish();
        return;
    }
    queue(reaction.writes);
}

void PtyLine::queue(const std::vector<Write>& writes)
{
    for (const Write& w : writes) {
        if (w.kind != "flood") {
            queue_.push_back({w.bytes, w.kind, w.pauseBeforeMs, false, true, w.afterHostRead, {}, {}});
            continue;
        }
        log_.write("flood", "\"n\":" + std::to_string(w.bytes.size()));
        const std::size_t piece = options_.paceBaud > 0 ? kPacedFloodPiece : kFloodPiece;
        for (std::size_t at = 0; at < w.bytes.size(); at += piece) {
            queue_.push_back({w.bytes.substr(at, piece), w.kind, 0, false, false, false, {}, {}});
        }
        queue_.back().logged = true;
    }
}

// Writes what is due. A reply goes out whole after its line time, as a
// receiving UART would hand it on; a pause comes before it.
void PtyLine::writeDue(Clock::time_point now)
{
    while (!queue_.empty()) {
        Pending& front = queue_.front();
        if (!front.scheduled) {
            front.readyAt = std::max(now, txFreeAt_) + std::chrono::milliseconds(front.pauseMs) +
                            lineTime(front.bytes.size());
            front.scheduled = true;
        }
        if (front.readyAt > now || heldForHost(front, now)) return;
        const ssize_t n = ::write(master_.get(), front.bytes.data(), front.bytes.size());
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) writeBlocked_ = true;
            else log_.write("write-error", "\"errno\":" + std::to_string(errno));
            if (writeBlocked_) return;
            queue_.pop_front();
            continue;
        }
        if (static_cast<std::size_t>(n) < front.bytes.size()) {
            front.bytes.erase(0, static_cast<std::size_t>(n));
            writeBlocked_ = true;
            return;
        }
        txFreeAt_ = front.readyAt;
        if (front.logged) log_.write("reply", quoted("kind", front.kind) + "," +
                                                  (front.kind == "flood" ? quoted("hex", "") : quoted("hex", toHex(front.bytes))));
        queue_.pop_front();
    }
}

// A write that is to reach the host as a chunk of its own waits until the
// host has read everything written before it: the host's read cannot then
// join the two. Bounded, so that a host that no longer reads cannot stall the
// device; a write sent without the host having read is logged.
bool PtyLine::heldForHost(Pending& front, Clock::time_point now)
{
    if (!front.afterHostRead) return false;
    if (front.dueAt == Clock::time_point{}) front.dueAt = now;
    if (!hostHasUnread()) return false;
    if (now - front.dueAt < kHostReadLimit) {
        front.readyAt = now + kHostReadPoll;
        return true;
    }
    log_.write("host-not-reading", quoted("kind", front.kind));
    front.afterHostRead = false;
    return false;
}

// Bytes still waiting in the slave's input queue, which every opener of the
// slave (the host's port and the device's own descriptor) shares.
bool PtyLine::hostHasUnread() const
{
    int queued = 0;
    if (ioctl(slave_.get(), FIONREAD, &queued) != 0) return false;
    return queued > 0;
}

void PtyLine::vanish()
{
    queue_.clear();
    master_.reset();
    slave_.reset();
    vanished_ = true;
    log_.write("vanished", "");
}

}  // namespace simdevice
