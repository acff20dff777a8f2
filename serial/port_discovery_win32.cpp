// ListPorts: the ports named under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM that can
// be opened right now, in the order the registry enumerates them. Runs on the
// calling thread (the window's), fires OnPortFound synchronously per port and
// keeps nothing between calls. A value that is not a string, or whose size
// cannot be read, is skipped: it must not hide the ports listed after it.
#include "serial/com_async_win32.h"

#include "serial/port_name.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace korv {
namespace {

constexpr char kSerialDeviceMapKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// The value's name (cut at its first NUL), or nothing when it cannot be read.
std::optional<Bytes> valueName(HKEY key, DWORD index, std::vector<char>& buffer)
{
    auto length = static_cast<DWORD>(buffer.size());
    if (RegEnumValueA(key, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    buffer.back() = '\0';
    return Bytes(buffer.data());
}

// The string data of the named value up to its first NUL (all of it when it
// holds none), or nothing when the value is not a readable REG_SZ.
std::optional<Bytes> stringData(HKEY key, const Bytes& name)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) {
        return std::nullopt;
    }
    std::vector<BYTE> data(static_cast<std::size_t>(size) + 1, 0);  // one more for an explicit end
    DWORD got = size;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, data.data(), &got) != ERROR_SUCCESS || type != REG_SZ) {
        return std::nullopt;
    }
    const char* text = reinterpret_cast<const char*>(data.data());
    const std::size_t stored = std::min<std::size_t>(got, size);
    const void* firstNul = std::memchr(text, '\0', stored);
    return Bytes(text, firstNul ? static_cast<std::size_t>(static_cast<const char*>(firstNul) - text) : stored);
}

// An exclusive, non-overlapped open that is closed again at once.
bool canOpenNow(const Bytes& portName)
{
    serialwin::Handle port(CreateFileA(devicePathForName(portName).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(port);
}

}  // namespace

void THIComAsync::ListPorts(const Value&)
{
    serialwin::RegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialDeviceMapKey, 0, KEY_READ, key.receive()) != ERROR_SUCCESS) return;
    DWORD valueCount = 0;
    DWORD longestName = 0;
    if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &valueCount, &longestName,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return;
    }
    std::vector<char> nameBuffer(static_cast<std::size_t>(longestName) + 1, '\0');
    for (DWORD i = 0; i < valueCount; ++i) {
        const auto name = valueName(key.get(), i, nameBuffer);
        if (!name) continue;
        const auto port = stringData(key.get(), *name);
        if (port && canOpenNow(*port)) OnPortFound(*port);
    }
}

}  // namespace korv
