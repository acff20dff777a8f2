// port_idle COMn seconds: the idle reference of the benchmark. Opens the port
// as the exe's channel does and waits for received characters the same way
// (one WaitCommEvent for EV_RXCHAR at a time) for the given time, with
// nothing else to do; whatever the platform spends on a port that is open
// and silent shows in this program's CPU time too. Prints one JSON line once
// the port is open and the first wait is issued ({"open": true}), then one
// with the wakes and bytes seen when the time is up. Exit status 0 then.
//
// Threads: one, the main thread; it owns the port and its events (see
// bench_port_win32.h).
#include "bench_port_win32.h"

#include <cstdio>
#include <exception>
#include <string>

namespace {

constexpr std::uint64_t kMaxSeconds = 3600;

int run(const char* portName, std::uint64_t seconds)
{
    const bench::UniqueHandle port = bench::openPort(portName);
    bench::Receiver rx(port.get());
    std::string received;
    const ULONGLONG deadline = GetTickCount64() + seconds * 1000;
    long wakes = 0;
    // The first call issues the wait; only then is the port idle as the exe's is.
    if (rx.receive(received, 0)) ++wakes;
    std::printf("{\"program\": \"port_idle\", \"open\": true}\n");
    std::fflush(stdout);
    for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
        if (rx.receive(received, static_cast<DWORD>(deadline - now))) ++wakes;
    }
    std::printf("{\"program\": \"port_idle\", \"port\": \"%s\", \"seconds\": %llu, \"wakes\": %ld, \"bytes\": %zu, "
                "\"stuck_waits\": %d}\n",
                portName, static_cast<unsigned long long>(seconds), wakes, received.size(), rx.stuckWaits());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::uint64_t seconds = argc == 3 ? bench::parseCount(argv[2]) : 0;
    if (seconds == 0 || seconds > kMaxSeconds) {
        std::fprintf(stderr, "usage: port_idle COMn seconds   (1 to 3600)\n");
        return 2;
    }
    try {
        return run(argv[1], seconds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "port_idle: %s\n", e.what());
        return 1;
    }
}
