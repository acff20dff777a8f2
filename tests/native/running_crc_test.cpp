#include "upload/running_crc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace korv::crc {
namespace {

// Bit by bit, with no table: an independent reference.
std::uint32_t bitwiseCrc(std::string_view bytes, std::uint32_t crc = 0xFFFF)
{
    for (char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
    }
    return crc;
}

// The running CRC as the upload keeps it: a text carried from byte to byte.
Bytes runningText(std::string_view bytes, Bytes start = "FFFF")
{
    for (char c : bytes) start = runningStep(start, byteText(static_cast<std::uint8_t>(c)));
    return start;
}

TEST(CrcTable, MatchesTheBitwiseAlgorithmForEveryByte)
{
    for (std::uint32_t b = 0; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        EXPECT_EQ(update(0xFFFF, static_cast<std::uint8_t>(b)), bitwiseCrc(one)) << "byte " << b;
    }
    EXPECT_EQ(table()[0], 0x0000);
    EXPECT_EQ(table()[1], 0xC0C1);
    EXPECT_EQ(table()[255], 0x4040);
}

TEST(RunningCrc, WorkedExamples)
{
    EXPECT_EQ(runningText("\x01"), "807E");
    EXPECT_EQ(runningText("\x01\x02"), "E181");
    EXPECT_EQ(runningText("\x01\x02\x03"), "6161");
    EXPECT_EQ(runningText(std::string(256, '\0')), "64BF");
    EXPECT_EQ(runningText(std::string(512, '\0')), "BB41");
    EXPECT_EQ(runningText("123456789"), "4B37");  // the published check value
}

TEST(RunningCrc, StepAcceptsTheSettingFormOfTheStartValue)
{
    EXPECT_EQ(runningStep("$FFFF", "1"), "807E");
    EXPECT_EQ(runningStep("FFFF", "1"), "807E");
}

TEST(RunningCrc, StepUpdatesOncePerTwoCharacterPieceAfterDroppingSpacesAndDollars)
{
    struct Case {
        const char* hex;
        std::string bytes;
    };
    const Case cases[] = {
        {"0", std::string(1, '\0')}, {"A", "\x0A"}, {"FF", "\xFF"}, {" $4 1", "\x41"},
        {"1234", "\x12\x34"},        {"123", "\x12\x03"}, {"", ""},  {"G1", std::string(1, '\0')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(updateWithHexPieces(0xFFFF, c.hex), bitwiseCrc(c.bytes)) << "'" << c.hex << "'";
    }
}

TEST(CrcText, FourUpperCaseDigitsWithLeadingZeros)
{
    struct Case {
        std::uint32_t value;
        const char* text;
    };
    const Case cases[] = {{0x00AF, "00AF"}, {0, "0000"},         {0xFFFF, "FFFF"}, {0xabcd, "ABCD"},
                          {0x1000, "1000"}, {0x12345, "12345"}, {0xFFFFFFFFu, "FFFFFFFF"}};
    for (const auto& c : cases) EXPECT_EQ(text(c.value), c.text) << c.value;
}

TEST(ByteText, AtLeastOneDigitNoLeadingZero)
{
    EXPECT_EQ(byteText(0), "0");
    EXPECT_EQ(byteText(0x0A), "A");
    EXPECT_EQ(byteText(0x10), "10");
    EXPECT_EQ(byteText(0xFF), "FF");
}

TEST(ChunkHex, TwoDigitsPerByteHighNibbleFirst)
{
    struct Case {
        std::string chunk;
        const char* hex;
    };
    const Case cases[] = {{"\x0A\xFF", "0AFF"},
                          {"", ""},
                          {std::string(1, '\0'), "00"},
                          {"\x64\xBF\x46\x5A", "64BF465A"},
                          {std::string("\x00\xAF", 2), "00AF"},
                          {"fz", "667A"}};
    for (const auto& c : cases) EXPECT_EQ(hexOfChunk(c.chunk), c.hex) << c.hex;
}

TEST(ParseHex, DollarDigitsAndStopAtTheFirstOtherCharacter)
{
    struct Case {
        const char* text;
        std::uint32_t value;
    };
    const Case cases[] = {{"FFFF", 0xFFFF}, {"$FFFF", 0xFFFF}, {"", 0},       {"12G4", 0x12},    {"ff", 0xFF},
                          {"$", 0},         {"$$1", 0},         {" 1", 0},     {"00AF", 0xAF},    {"aBc", 0xABC},
                          {"123456789", 0x23456789}};  // no overflow check: the top digit falls off
    for (const auto& c : cases) EXPECT_EQ(parseHex(c.text), c.value) << "'" << c.text << "'";
}

TEST(SameText, WholeTextLetterCaseIgnored)
{
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    };
    const Case cases[] = {
        {"64BF", "64BF", true},      {"64bf", "64BF", true},     {"64BF465A", "64bf465a", true},
        {"64BF4", "64BF", false},    {"64B", "64BF", false},     {"", "", true},
        {"", "SZ", false},           {"535A", "SZ", false},      {"667A", "465A", false},
        {"64BF465A", "64BF", false}, {"\xE0", "\xC0", false},  // only ASCII letters fold
    };
    for (const auto& c : cases) EXPECT_EQ(sameText(c.a, c.b), c.equal) << c.a << " / " << c.b;
}

}  // namespace
}  // namespace korv::crc
