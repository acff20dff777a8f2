// CRC-16/MODBUS as the device computes it: reflected polynomial 0xA001,
// start 0xFFFF, no final XOR. The device's own code, independent of the
// program's.
#pragma once

#include <cstdint>
#include <string_view>

namespace simdevice {

inline constexpr std::uint16_t kCrcStart = 0xFFFF;

constexpr std::uint16_t crc16Update(std::uint16_t crc, std::uint8_t byte)
{
    constexpr std::uint16_t kReflectedPolynomial = 0xA001;
    crc = static_cast<std::uint16_t>(crc ^ byte);
    for (int bit = 0; bit < 8; ++bit) {
        const bool lsb = (crc & 1U) != 0;
        crc = static_cast<std::uint16_t>(crc >> 1);
        if (lsb) crc = static_cast<std::uint16_t>(crc ^ kReflectedPolynomial);
    }
    return crc;
}

constexpr std::uint16_t crc16Update(std::uint16_t crc, std::string_view bytes)
{
    for (char c : bytes) crc = crc16Update(crc, static_cast<std::uint8_t>(c));
    return crc;
}

}  // namespace simdevice
