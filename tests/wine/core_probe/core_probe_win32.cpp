// Probe of the upload's Windows adaptors, run under Wine by the tests. Prints
// "key=value" lines on stdout.
//
//   core_probe image         the embedded image as read byte by byte
//   core_probe timer-period  ticks for 3.5 s (a second start at 1.5 s), then stop
//   core_probe timer-stop    stop from inside a tick; stop and destruction during a tick
//
// Threads: the main thread drives; tick handlers run on the multimedia timer's
// thread and share only atomics and a mutex-guarded list with it. Every timer
// is stopped or destroyed before the program ends.
#include "upload/firmware_resource_win32.h"
#include "upload/reply_timer_win32.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using korv::MultimediaReplyTimer;

constexpr DWORD kPollMs = 10;
constexpr double kWaitForTickMs = 5000;

double nowMs()
{
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void sleepUntil(double deadlineMs)
{
    while (nowMs() < deadlineMs) Sleep(kPollMs);
}

// Polls until the flag is set or the time is up; says which.
bool waitFor(const std::atomic<bool>& flag, double timeoutMs)
{
    const double deadline = nowMs() + timeoutMs;
    while (!flag && nowMs() < deadline) Sleep(kPollMs);
    return flag;
}

void print(const char* key, const std::string& value)
{
    std::printf("%s=%s\n", key, value.c_str());
    std::fflush(stdout);
}

void print(const char* key, double value) { print(key, std::to_string(value)); }
void print(const char* key, int value) { print(key, std::to_string(value)); }

int probeImage()
{
    DWORD error = 0;
    korv::FirmwareImage image = korv::loadFirmwareImage(error);
    print("error", std::to_string(error));
    print("size", std::to_string(image.size()));
    static const char* digits = "0123456789abcdef";
    std::string hex;
    hex.reserve(static_cast<std::size_t>(image.size()) * 2);
    for (std::int32_t i = 0; i < image.size(); ++i) {
        const std::uint8_t b = image.readByte();
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    print("image", hex);
    print("after_end", std::to_string(image.readByte()));
    print("position", std::to_string(image.position()));
    return 0;
}

int probeTimerPeriod()
{
    std::mutex m;
    std::vector<double> ticks;
    MultimediaReplyTimer timer;
    timer.setTickHandler([&] {
        std::lock_guard lock(m);
        ticks.push_back(nowMs());
    });
    const double t0 = nowMs();
    timer.start();
    print("running", timer.isRunning() ? 1 : 0);
    sleepUntil(t0 + 1500);
    timer.start();  // already running: keeps its phase
    sleepUntil(t0 + 3500);
    timer.stop();
    const double stoppedAt = nowMs();
    print("running_after_stop", timer.isRunning() ? 1 : 0);
    sleepUntil(stoppedAt + 2000);

    std::lock_guard lock(m);
    int late = 0;
    for (double t : ticks) {
        if (t >= stoppedAt) ++late;
        else print("tick", t - t0);
    }
    print("stopped_at", stoppedAt - t0);
    print("late_ticks", late);
    return 0;
}

// A handler that stops its own timer must not hang, and no tick follows.
void probeStopFromTick()
{
    MultimediaReplyTimer timer;
    std::atomic<int> ticks{0};
    std::atomic<bool> returned{false};
    timer.setTickHandler([&] {
        ++ticks;
        timer.stop();
        returned = true;
    });
    timer.start();
    print("self_stop_returned", waitFor(returned, kWaitForTickMs) ? 1 : 0);
    Sleep(2500);
    print("self_stop_ticks", ticks.load());
}

// stop() and the destructor return only once a running handler has finished.
void probeStopDuringTick(bool byDestructor)
{
    constexpr DWORD kHandlerMs = 500;
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    std::atomic<int> ticks{0};
    auto timer = std::make_unique<MultimediaReplyTimer>();
    timer->setTickHandler([&] {
        ++ticks;
        entered = true;
        Sleep(kHandlerMs);
        finished = true;
    });
    timer->start();
    const bool didEnter = waitFor(entered, kWaitForTickMs);
    if (byDestructor) timer.reset();
    else timer->stop();
    const bool waited = didEnter && finished;
    const int ticksAtStop = ticks;
    Sleep(2000);
    const char* prefix = byDestructor ? "destroy" : "stop";
    print((std::string(prefix) + "_entered").c_str(), didEnter ? 1 : 0);
    print((std::string(prefix) + "_waited").c_str(), waited ? 1 : 0);
    print((std::string(prefix) + "_late_ticks").c_str(), ticks - ticksAtStop);
}

int probeTimerStop()
{
    probeStopFromTick();
    probeStopDuringTick(false);
    probeStopDuringTick(true);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "image") return probeImage();
    if (mode == "timer-period") return probeTimerPeriod();
    if (mode == "timer-stop") return probeTimerStop();
    std::fprintf(stderr, "usage: core_probe image | timer-period | timer-stop\n");
    return 2;
}
