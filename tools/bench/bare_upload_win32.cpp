// bare_upload COMn image.bin: the bare protocol loop the benchmark measures the
// exe's update against. No window: it asks the device who it is ("VERS"),
// then sends the image one byte per write call, keeps the running
// CRC-16/MODBUS, waits after every 256 bytes for the device's 2-byte reply
// (4 bytes, ending in "FZ", after the last block) and closes with "PUSK".
// Unlike the exe it accepts a reply that arrives in pieces; it stops at the
// first wrong reply. Prints one JSON line with the time from the first image
// byte to the final reply; exit status 0 only after a whole update.
//
// Threads: one, the main thread; it owns the port and its events (see
// bench_port_win32.h).
#include "bench_port_win32.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kBlockBytes = 256;
constexpr char kQuery[] = "VERS";
constexpr char kClosingCommand[] = "PUSK";
constexpr char kSignature[] = "KORVELANTIS";
constexpr char kFinalSuffix[] = "FZ";
constexpr std::uint16_t kCrcStart = 0xFFFF;
constexpr std::uint16_t kCrcPolynomial = 0xA001;  // 0x8005 bit-reversed
// Generous for a loaded machine; the exe's own reply timeout is 3 s.
constexpr DWORD kReplyTimeoutMs = 10000;
constexpr DWORD kIdentityTimeoutMs = 10000;
// Once the identity has begun, this long without a byte ends it (when no line end does).
constexpr DWORD kIdentityQuietMs = 300;

std::uint16_t crcUpdate(std::uint16_t crc, std::uint8_t byte)
{
    std::uint32_t c = crc ^ byte;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) != 0 ? (c >> 1) ^ kCrcPolynomial : c >> 1;
    return static_cast<std::uint16_t>(c);
}

std::string hex(const std::string& bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 0xFu];
    }
    return out;
}

std::vector<std::uint8_t> readImage(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read the image ") + path);
    std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (image.empty() || image.size() % kBlockBytes != 0) {
        throw std::runtime_error("the image must be whole 256-byte blocks, not " + std::to_string(image.size()) + " bytes");
    }
    return image;
}

ULONGLONG msLeft(ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : deadline - now;
}

bool startsWithSignature(const std::string& reply)
{
    const std::size_t n = sizeof kSignature - 1;
    if (reply.size() <= n || reply[n] != ' ') return false;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = reply[i];
        const char up = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        if (up != kSignature[i]) return false;
    }
    return true;
}

// The identity reply: everything up to a line end, or up to a pause once
// bytes have come.
std::string awaitIdentity(bench::Receiver& rx)
{
    std::string reply;
    const ULONGLONG deadline = GetTickCount64() + kIdentityTimeoutMs;
    ULONGLONG quietUntil = deadline;
    while (reply.find('\n') == std::string::npos) {
        const ULONGLONG left = msLeft((std::min)(deadline, quietUntil));
        if (left == 0) break;
        const std::size_t before = reply.size();
        rx.receive(reply, static_cast<DWORD>(left));
        if (reply.size() != before) quietUntil = GetTickCount64() + kIdentityQuietMs;
    }
    if (!startsWithSignature(reply)) throw std::runtime_error("no device identity in the reply \"" + hex(reply) + "\" (hex)");
    return reply;
}

// Exactly `count` bytes, in as many pieces as they come.
std::string awaitReply(bench::Receiver& rx, std::size_t count, std::size_t block)
{
    std::string reply;
    const ULONGLONG deadline = GetTickCount64() + kReplyTimeoutMs;
    while (reply.size() < count) {
        const ULONGLONG left = msLeft(deadline);
        if (left == 0) throw std::runtime_error("no reply to block " + std::to_string(block) + " (got " + hex(reply) + ")");
        rx.receive(reply, static_cast<DWORD>(left));
    }
    return reply;
}

std::string expectedReply(std::uint16_t crc, bool final)
{
    std::string r{static_cast<char>(crc >> 8), static_cast<char>(crc & 0xFF)};
    if (final) r += kFinalSuffix;
    return r;
}

struct Timings {
    double uploadSeconds = 0;  // first image byte to the final reply
    double replyWaitSeconds = 0;  // of which waiting for the replies
    std::size_t blocks = 0;
};

Timings upload(bench::Writer& writer, bench::Receiver& rx, const std::vector<std::uint8_t>& image)
{
    Timings t;
    t.blocks = image.size() / kBlockBytes;
    std::uint16_t crc = kCrcStart;
    const bench::Stopwatch total;
    for (std::size_t block = 1; block <= t.blocks; ++block) {
        for (std::size_t i = (block - 1) * kBlockBytes; i < block * kBlockBytes; ++i) {
            writer.write(&image[i], 1);
            crc = crcUpdate(crc, image[i]);
        }
        const std::string expected = expectedReply(crc, block == t.blocks);
        const bench::Stopwatch waiting;
        const std::string reply = awaitReply(rx, expected.size(), block);
        t.replyWaitSeconds += waiting.seconds();
        if (reply != expected) {
            throw std::runtime_error("block " + std::to_string(block) + ": reply " + hex(reply) + ", expected " + hex(expected));
        }
    }
    t.uploadSeconds = total.seconds();
    return t;
}

int run(const char* portName, const char* imagePath)
{
    const std::vector<std::uint8_t> image = readImage(imagePath);
    const bench::UniqueHandle port = bench::openPort(portName);
    bench::Writer writer(port.get());
    bench::Receiver rx(port.get());

    writer.write(kQuery, sizeof kQuery - 1);
    awaitIdentity(rx);
    const Timings t = upload(writer, rx, image);
    writer.write(kClosingCommand, sizeof kClosingCommand - 1);

    // stuck_waits: waits the system left pending for good (see Receiver); a
    // run with any is not the plain loop it stands for.
    std::printf("{\"program\": \"bare_upload\", \"port\": \"%s\", \"bytes\": %zu, \"blocks\": %zu, "
                "\"upload_seconds\": %.6f, \"reply_wait_seconds\": %.6f, \"us_per_byte\": %.3f, "
                "\"stuck_waits\": %d}\n",
                portName, image.size(), t.blocks, t.uploadSeconds, t.replyWaitSeconds,
                t.uploadSeconds * 1e6 / static_cast<double>(image.size()), rx.stuckWaits());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bare_upload COMn image.bin\n");
        return 2;
    }
    try {
        return run(argv[1], argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bare_upload: %s\n", e.what());
        return 1;
    }
}
