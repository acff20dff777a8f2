#include "upload/firmware_resource_win32.h"

#include <cstdint>
#include <vector>

namespace korv {
namespace {

// A loaded resource, released with FreeResource (a no-op on 32-bit and later
// Windows, but the pairing keeps the handle's lifetime explicit).
class LoadedResource {
public:
    LoadedResource(HMODULE module, HRSRC info) : handle_(LoadResource(module, info)) {}
    ~LoadedResource()
    {
        if (handle_ != nullptr) FreeResource(handle_);
    }
    LoadedResource(const LoadedResource&) = delete;
    LoadedResource& operator=(const LoadedResource&) = delete;

    HGLOBAL get() const { return handle_; }

private:
    HGLOBAL handle_;
};

}  // namespace

FirmwareImage loadFirmwareImage(DWORD& error)
{
    error = 0;
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC info = FindResourceA(self, kFirmwareResourceName, MAKEINTRESOURCEA(kFirmwareResourceType));
    if (info == nullptr) {
        error = GetLastError();
        return {};
    }
    const DWORD size = SizeofResource(self, info);
    if (size == 0) {
        error = GetLastError();
        return {};
    }
    LoadedResource resource(self, info);
    if (resource.get() == nullptr) {
        error = GetLastError();
        return {};
    }
    const auto* bytes = static_cast<const std::uint8_t*>(LockResource(resource.get()));
    if (bytes == nullptr) {
        error = GetLastError();
        return {};
    }
    return FirmwareImage(std::vector<std::uint8_t>(bytes, bytes + size));
}

FirmwareImage loadFirmwareImage()
{
    DWORD ignored = 0;
    return loadFirmwareImage(ignored);
}

}  // namespace korv
