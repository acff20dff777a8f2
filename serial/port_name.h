// The port name check of the serial channel: which names may be opened, as
// which port number, through which device path. Portable: no Windows headers,
// so the rules are unit-tested natively.
#pragma once

#include "common/value.h"

#include <cstdint>
#include <utility>

namespace korv {

// Longest accepted name: "COM" and three digits.
inline constexpr std::size_t kMaxPortNameLength = 6;
inline constexpr std::int32_t kFirstPortNumber = 1;
inline constexpr std::int32_t kLastPortNumber = 255;

// The port number 1..255 that the name stands for, or 0 when the name is
// rejected: longer than 6 characters, not starting with "COM" in any letter
// case, or without a number in range right after it. Anything after the
// digits is ignored here ("COM3x" gives 3).
std::int32_t portNumberFromName(const Bytes& name);

// The Win32 device path for the name exactly as given: "\\.\" + name.
Bytes devicePathForName(const Bytes& name);

// Checks the name and, only if it passes, calls open(devicePath) -> bool.
// Returns the port number after a successful open, 0 otherwise.
template <class Open>
std::int32_t openPortByName(const Bytes& name, Open&& open)
{
    const std::int32_t number = portNumberFromName(name);
    if (number == 0) return 0;
    return std::forward<Open>(open)(devicePathForName(name)) ? number : 0;
}

}  // namespace korv
