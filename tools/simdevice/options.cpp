#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

namespace simdevice {
namespace {

constexpr const char* kHelp = R"help(simdevice: a simulated Korvelantis device on a pseudo-terminal.

It opens a pseudo-terminal, prints (or writes to --path-file) the slave path,
and answers like the device's bootloader on it:
  "VERS"           -> the identity text (default "KORVELANTIS 7 1.5\r\n")
  each 256 bytes   -> 2 bytes: CRC-16/MODBUS over all block bytes so far,
                      high byte first
  the last block   -> the CRC followed by "FZ"  (block 508 unless --blocks)
  then it expects "PUSK".
It runs until SIGTERM or SIGINT.

Use by hand with the program under Wine:
  simdevice --pace-baud 38462 --path-file /tmp/dev.path --log /tmp/dev.log &
  ln -sf "$(cat /tmp/dev.path)" "$WINEPREFIX/dosdevices/com5"
and pick COM5 in the program (it must be listed under
HKLM\HARDWARE\DEVICEMAP\SERIALCOMM as a REG_SZ value "COM5").

Options:
  --path-file FILE     write the slave path to FILE (atomically) instead of stdout
  --log FILE           JSON-lines log with timestamps: received bytes, "VERS",
                       blocks and CRCs, replies, "PUSK", unexpected bytes
  --pace-baud BAUD     pace both directions at BAUD, 8N1 (10 bits a byte), e.g.
                       38462: the host cannot go faster than the real line
  --identity TEXT      the identity text; \r \n \t \\ \xHH escapes allowed
  --blocks N           the last block (gets the "FZ" reply); default 508
  --final-at N         the same as --blocks N
  --no-vers-reply      do not answer "VERS"
  --second-identity    send the identity twice, the second 200 ms after the
                       first and only once the host has read the first
  --wrong-crc-at N     reply to block N with a wrong CRC
  --swap-crc-at N      reply to block N low byte first
  --split-reply-at N   reply to block N in two writes: the first byte, then the
                       rest 200 ms later, once the host has read the first
  --extra-byte-at N    append a CR to the reply to block N
  --lowercase-fz       end the final reply with "fz"
  --silent-from N      no reply to block N and later
  --vanish-at N        close the pseudo-terminal once block N is complete
  --flood N            after the identity, send N bytes (0x00, 0x01, ... 0xFF, ...)
  --lock               lock the slave so that every open of it fails
  --help               this text
)help";

bool parseNumber(const char* text, long long& out)
{
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0) return false;
    out = v;
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string unescape(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char e = text[++i];
        if (e == 'r') out += '\r';
        else if (e == 'n') out += '\n';
        else if (e == 't') out += '\t';
        else if (e == 'x' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 && hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else out += e;
    }
    return out;
}

std::optional<Options> parseOptions(int argc, char** argv, int& exitCode)
{
    Options o;
    Faults& f = o.device.faults;
    const std::map<std::string, bool*> flags = {
        {"--no-vers-reply", &f.noVersReply}, {"--second-identity", &f.secondIdentity},
        {"--lowercase-fz", &f.lowercaseFz},   {"--lock", &o.lock}};
    const std::map<std::string, std::function<void(long long)>> numbers = {
        {"--blocks", [&](long long v) { o.device.lastBlock = static_cast<int>(v); }},
        {"--final-at", [&](long long v) { o.device.lastBlock = static_cast<int>(v); }},
        {"--pace-baud", [&](long long v) { o.paceBaud = static_cast<long>(v); }},
        {"--wrong-crc-at", [&](long long v) { f.wrongCrcAt = static_cast<int>(v); }},
        {"--swap-crc-at", [&](long long v) { f.swapCrcAt = static_cast<int>(v); }},
        {"--split-reply-at", [&](long long v) { f.splitReplyAt = static_cast<int>(v); }},
        {"--extra-byte-at", [&](long long v) { f.extraByteAt = static_cast<int>(v); }},
        {"--silent-from", [&](long long v) { f.silentFrom = static_cast<int>(v); }},
        {"--vanish-at", [&](long long v) { f.vanishAt = static_cast<int>(v); }},
        {"--flood", [&](long long v) { o.device.floodBytes = v; }}};
    const std::map<std::string, std::function<void(const char*)>> texts = {
        {"--identity", [&](const char* v) { o.device.identity = unescape(v); }},
        {"--path-file", [&](const char* v) { o.pathFile = v; }},
        {"--log", [&](const char* v) { o.logFile = v; }}};

    exitCode = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return std::nullopt;
        }
        if (auto flag = flags.find(arg); flag != flags.end()) {
            *flag->second = true;
            continue;
        }
        const bool hasValue = i + 1 < argc;
        long long n = 0;
        if (auto num = numbers.find(arg); num != numbers.end() && hasValue && parseNumber(argv[i + 1], n)) {
            num->second(n);
            ++i;
            continue;
        }
        if (auto text = texts.find(arg); text != texts.end() && hasValue) {
            text->second(argv[++i]);
            continue;
        }
        std::fprintf(stderr, "simdevice: bad option or value: %s (see --help)\n", arg.c_str());
        exitCode = 2;
        return std::nullopt;
    }
    return o;
}

}  // namespace simdevice
