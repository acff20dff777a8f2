// Byte-level rules of the upload: the running CRC-16 (polynomial 0xA001,
// reflected, start 0xFFFF, no final XOR), its text forms, the hex text of a
// received chunk and the case-blind comparison of texts. Pure functions, safe
// on any thread; the table is built once, by the compiler.
#pragma once

#include "common/value.h"

#include <array>
#include <cstdint>
#include <string_view>

namespace korv::crc {

inline constexpr std::uint32_t kPolynomial = 0xA001;  // 0x8005 bit-reversed
inline constexpr std::uint32_t kStartValue = 0xFFFF;

// The 256-entry table of the right-shifting algorithm.
const std::array<std::uint16_t, 256>& table();

// One update with one byte: c := T[(c ^ b) & 0xFF] ^ (c >> 8).
std::uint32_t update(std::uint32_t crc, std::uint8_t byte);

// Hex digits from the least significant nibble up, until the value is used up
// and at least 4 digits are written; upper case. A 16-bit value gives 4 digits.
Bytes text(std::uint32_t value);

// Upper-case hex of a byte with no leading zero: "0" to "FF".
Bytes byteText(std::uint8_t byte);

// Two upper-case digits per byte, high nibble first; the empty chunk gives "".
Bytes hexOfChunk(std::string_view chunk);

// Skips one leading '$', then reads hex digits up to the first other character.
// The empty text gives 0; no overflow check (the value wraps).
std::uint32_t parseHex(std::string_view text);

// Drops every space and '$', then updates once per two-character piece from
// the left, each piece parsed by parseHex.
std::uint32_t updateWithHexPieces(std::uint32_t crc, std::string_view hexText);

// One step of the running CRC: old text parsed, updated with the byte's hex
// text, the result as its CRC text.
Bytes runningStep(std::string_view oldText, std::string_view byteHex);

// Same length and the same characters, ASCII letter case ignored.
bool sameText(std::string_view a, std::string_view b);

}  // namespace korv::crc
