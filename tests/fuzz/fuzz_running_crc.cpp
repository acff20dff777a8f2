// Fuzzes the byte-level rules of the upload: hex parsing, the CRC text, the
// hex text of a chunk, one running-CRC step and the case-blind comparison.
// The input is read as two texts (a length-prefixed one, then the rest) and
// every function is checked against a plain model written here, plus the
// round trips between text and value where they hold.
#include "upload/running_crc.h"

#include "fuzz_input.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using korv::Bytes;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "running CRC invariant broken: %s\n", what);
    std::abort();
}

void require(bool ok, const char* what)
{
    if (!ok) fail(what);
}

int digitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isUpperHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// One "$" skipped, then digits up to the first other character; wraps at 2^32.
std::uint32_t modelParse(std::string_view text)
{
    std::size_t i = (!text.empty() && text[0] == '$') ? 1 : 0;
    std::uint32_t value = 0;
    for (; i < text.size() && digitValue(text[i]) >= 0; ++i) {
        value = (value << 4) | static_cast<std::uint32_t>(digitValue(text[i]));
    }
    return value;
}

// The reflected CRC bit by bit; for a value wider than 16 bits the upper bits
// simply move down, as in the table form.
std::uint32_t modelUpdate(std::uint32_t crc, std::uint8_t byte)
{
    std::uint32_t c = crc ^ byte;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) != 0 ? (c >> 1) ^ 0xA001u : c >> 1;
    return c;
}

std::uint32_t modelPieces(std::uint32_t crc, std::string_view text)
{
    Bytes kept;
    for (char c : text) {
        if (c != ' ' && c != '$') kept += c;
    }
    for (std::size_t i = 0; i < kept.size(); i += 2) {
        crc = modelUpdate(crc, static_cast<std::uint8_t>(modelParse(std::string_view(kept).substr(i, 2))));
    }
    return crc;
}

Bytes modelText(std::uint32_t value)
{
    char out[16];
    std::snprintf(out, sizeof out, "%04X", static_cast<unsigned>(value));
    return out;
}

bool modelSame(std::string_view a, std::string_view b)
{
    auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (up(a[i]) != up(b[i])) return false;
    }
    return true;
}

Bytes asciiUpper(std::string_view text)
{
    Bytes out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return out;
}

std::uint32_t firstWord(std::string_view bytes)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4 && i < bytes.size(); ++i) {
        v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    }
    return v;
}

void checkChunkHex(std::string_view chunk)
{
    const Bytes hex = korv::crc::hexOfChunk(chunk);
    require(hex.size() == 2 * chunk.size(), "a chunk's hex text has two digits a byte");
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        require(isUpperHexDigit(hex[2 * i]) && isUpperHexDigit(hex[2 * i + 1]), "hex text is upper-case digits");
        const std::uint32_t back = korv::crc::parseHex(std::string_view(hex).substr(2 * i, 2));
        require(back == static_cast<unsigned char>(chunk[i]), "each pair of the hex text parses back to its byte");
    }
}

void checkValueText(std::uint32_t value)
{
    const Bytes text = korv::crc::text(value);
    require(text == modelText(value), "the CRC text is at least 4 upper-case digits, most significant first");
    require(korv::crc::parseHex(text) == value, "the CRC text parses back to its value");
    require(korv::crc::parseHex("$" + text) == value, "a leading $ is skipped");
}

void checkByteTexts(std::string_view bytes)
{
    for (char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        const Bytes t = korv::crc::byteText(b);
        char expected[3];
        std::snprintf(expected, sizeof expected, "%X", b);
        require(t == expected, "a byte's text is 1 or 2 upper-case digits, no leading zero");
        require(korv::crc::parseHex(t) == b, "a byte's text parses back to the byte");
    }
}

// The running CRC stepped byte by byte through its text, as the upload does.
void checkRunningSteps(std::string_view bytes)
{
    Bytes text = "FFFF";
    std::uint32_t model = 0xFFFF;
    for (char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        require(korv::crc::update(model, b) == modelUpdate(model, b), "the table update is the bitwise CRC");
        text = korv::crc::runningStep(text, korv::crc::byteText(b));
        model = modelUpdate(model, b);
        require(text == modelText(model), "each running step gives the CRC text of all bytes so far");
    }
}

void checkTexts(std::string_view a, std::string_view b)
{
    require(korv::crc::parseHex(a) == modelParse(a), "hex parsing");
    require(korv::crc::parseHex(b) == modelParse(b), "hex parsing");
    const std::uint32_t start = firstWord(b);
    require(korv::crc::updateWithHexPieces(start, a) == modelPieces(start, a), "update by two-character pieces");
    require(korv::crc::runningStep(a, b) == modelText(modelPieces(modelParse(a), b)), "a running step on any texts");

    const bool same = korv::crc::sameText(a, b);
    require(same == modelSame(a, b), "case-blind comparison");
    require(same == korv::crc::sameText(b, a), "comparison is symmetric");
    require(korv::crc::sameText(a, asciiUpper(a)), "letter case does not count");
    require(!korv::crc::sameText(a, Bytes(a) + "0"), "a longer text is not equal");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    korv::fuzz::FuzzInput input(data, size);
    const Bytes a = input.chunk();
    const Bytes b = input.rest();

    checkChunkHex(a);
    checkChunkHex(b);
    checkValueText(firstWord(a));
    checkValueText(firstWord(b));
    checkByteTexts(a);
    checkRunningSteps(b);
    checkTexts(a, b);
    return 0;
}
