#include "upload/running_crc.h"

#include <algorithm>
#include <cstddef>

namespace korv::crc {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";
constexpr std::size_t kMinTextDigits = 4;

constexpr std::array<std::uint16_t, 256> buildTable()
{
    std::array<std::uint16_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = 0;
        std::uint32_t x = i;
        for (int bit = 0; bit < 8; ++bit) {
            r = ((r ^ x) & 1u) != 0 ? (r >> 1) ^ kPolynomial : r >> 1;
            x >>= 1;
        }
        t[i] = static_cast<std::uint16_t>(r);
    }
    return t;
}

constexpr std::array<std::uint16_t, 256> kTable = buildTable();

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

char asciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

const std::array<std::uint16_t, 256>& table() { return kTable; }

std::uint32_t update(std::uint32_t crc, std::uint8_t byte)
{
    return kTable[(crc ^ byte) & 0xFFu] ^ (crc >> 8);
}

Bytes text(std::uint32_t value)
{
    char reversed[8];  // a 32-bit value has at most 8 digits
    std::size_t n = 0;
    do {
        reversed[n++] = kDigits[value & 0xFu];
        value >>= 4;
    } while (value != 0 || n < kMinTextDigits);
    Bytes out(n, '0');
    std::reverse_copy(reversed, reversed + n, out.begin());
    return out;
}

Bytes byteText(std::uint8_t byte)
{
    if (byte < 0x10) return Bytes(1, kDigits[byte]);
    return Bytes{kDigits[byte >> 4], kDigits[byte & 0xFu]};
}

Bytes hexOfChunk(std::string_view chunk)
{
    Bytes out(chunk.size() * 2, '0');
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        const auto b = static_cast<unsigned char>(chunk[i]);
        out[2 * i] = kDigits[b >> 4];
        out[2 * i + 1] = kDigits[b & 0xFu];
    }
    return out;
}

std::uint32_t parseHex(std::string_view text)
{
    if (!text.empty() && text.front() == '$') text.remove_prefix(1);
    std::uint32_t value = 0;
    for (char c : text) {
        const int digit = hexDigitValue(c);
        if (digit < 0) break;
        value = value * 16u + static_cast<std::uint32_t>(digit);
    }
    return value;
}

std::uint32_t updateWithHexPieces(std::uint32_t crc, std::string_view hexText)
{
    char piece[2];
    std::size_t held = 0;
    for (char c : hexText) {
        if (c == ' ' || c == '$') continue;
        piece[held++] = c;
        if (held == 2) {
            crc = update(crc, static_cast<std::uint8_t>(parseHex({piece, 2})));
            held = 0;
        }
    }
    if (held != 0) crc = update(crc, static_cast<std::uint8_t>(parseHex({piece, held})));
    return crc;
}

Bytes runningStep(std::string_view oldText, std::string_view byteHex)
{
    return text(updateWithHexPieces(parseHex(oldText), byteHex));
}

bool sameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return asciiUpper(x) == asciiUpper(y); });
}

}  // namespace korv::crc
