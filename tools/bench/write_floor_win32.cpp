// write_floor COMn count: the platform's floor for the exe's cost per image
// byte. Opens the port as the exe does and writes `count` single bytes, each
// its own overlapped WriteFile waited for with GetOverlappedResult, as the
// exe's channel writes image bytes; reads nothing (the other side only drains,
// and whatever it sends back is thrown away when the port closes). Prints one
// JSON line with the elapsed time and the microseconds per byte.
//
// Threads: one, the main thread; it owns the port and its event (see
// bench_port_win32.h).
#include "bench_port_win32.h"

#include <cstdint>
#include <cstdio>
#include <exception>

namespace {

int run(const char* portName, std::uint64_t count)
{
    const bench::UniqueHandle port = bench::openPort(portName);
    bench::Writer writer(port.get());

    const bench::Stopwatch elapsed;
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto byte = static_cast<std::uint8_t>(i);
        writer.write(&byte, 1);
    }
    const double seconds = elapsed.seconds();

    std::printf("{\"program\": \"write_floor\", \"port\": \"%s\", \"bytes\": %llu, \"seconds\": %.6f, "
                "\"us_per_byte\": %.3f}\n",
                portName, static_cast<unsigned long long>(count), seconds,
                seconds * 1e6 / static_cast<double>(count));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::uint64_t count = argc == 3 ? bench::parseCount(argv[2]) : 0;
    if (count == 0) {
        std::fprintf(stderr, "usage: write_floor COMn count   (count of single-byte writes, at least 1)\n");
        return 2;
    }
    try {
        return run(argv[1], count);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "write_floor: %s\n", e.what());
        return 1;
    }
}
