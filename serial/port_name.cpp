#include "serial/port_name.h"

namespace korv {
namespace {

constexpr char kPortPrefix[] = "COM";
constexpr std::size_t kPortPrefixLength = 3;
constexpr char kDevicePathPrefix[] = "\\\\.\\";

char upperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool startsWithPortPrefix(const Bytes& name)
{
    if (name.size() < kPortPrefixLength) return false;
    for (std::size_t i = 0; i < kPortPrefixLength; ++i) {
        if (upperAscii(name[i]) != kPortPrefix[i]) return false;
    }
    return true;
}

// The decimal number made by the digits from the 4th character on; 0 without
// digits. The length limit keeps it to three digits, so it cannot overflow.
std::int32_t numberAfterPrefix(const Bytes& name)
{
    std::int32_t n = 0;
    for (std::size_t i = kPortPrefixLength; i < name.size(); ++i) {
        const char c = name[i];
        if (c < '0' || c > '9') break;
        n = n * 10 + (c - '0');
    }
    return n;
}

}  // namespace

std::int32_t portNumberFromName(const Bytes& name)
{
    if (name.size() > kMaxPortNameLength) return 0;
    if (!startsWithPortPrefix(name)) return 0;
    const std::int32_t n = numberAfterPrefix(name);
    return (n >= kFirstPortNumber && n <= kLastPortNumber) ? n : 0;
}

Bytes devicePathForName(const Bytes& name)
{
    return Bytes(kDevicePathPrefix) + name;
}

}  // namespace korv
