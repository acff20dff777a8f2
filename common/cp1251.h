// Windows-1251, the code page of every user-visible text. Texts are written in
// the source as UTF-8 and turned into their 1251 bytes at compile time; the
// window decodes them back to UTF-16 itself, so they read the same whatever the
// system's ANSI code page is.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace korv {

// A text held as its Windows-1251 bytes.
template <std::size_t Capacity>
struct Cp1251Text {
    std::array<char, Capacity> bytes{};
    std::size_t size = 0;

    constexpr std::string_view view() const { return {bytes.data(), size}; }
    std::string str() const { return std::string(view()); }
};

namespace detail {
// Unicode code point of the Cyrillic letters and signs that the texts use,
// mapped to their byte in Windows-1251. Anything else fails to compile.
consteval char cp1251Byte(char32_t cp)
{
    if (cp < 0x80) return static_cast<char>(cp);
    if (cp >= 0x0410 && cp <= 0x044F) return static_cast<char>(0xC0 + (cp - 0x0410));
    if (cp == 0x0401) return static_cast<char>(0xA8);  // Ё
    if (cp == 0x0451) return static_cast<char>(0xB8);  // ё
    if (cp == 0x2116) return static_cast<char>(0xB9);  // №
    throw "character has no place in the texts' code page";
}
}  // namespace detail

template <std::size_t N>
consteval Cp1251Text<N> cp1251(const char8_t (&utf8)[N])
{
    Cp1251Text<N> out;
    for (std::size_t i = 0; i + 1 < N;) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        char32_t cp = 0;
        if (lead < 0x80) {
            cp = lead;
            i += 1;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = (char32_t(lead & 0x1F) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F);
            i += 2;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = (char32_t(lead & 0x0F) << 12) | (char32_t(static_cast<unsigned char>(utf8[i + 1]) & 0x3F) << 6) |
                 (static_cast<unsigned char>(utf8[i + 2]) & 0x3F);
            i += 3;
        } else {
            throw "unsupported UTF-8 sequence";
        }
        out.bytes[out.size++] = detail::cp1251Byte(cp);
    }
    return out;
}

// Decodes Windows-1251 bytes to UTF-16, byte for byte: every byte gives one
// UTF-16 unit (the one unassigned byte, 0x98, gives U+FFFD).
std::u16string decodeCp1251(std::string_view bytes);

}  // namespace korv
