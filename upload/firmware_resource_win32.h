// The firmware image from the exe's own resources: "STREAM0" of the numeric
// type 100 (stored under language 1049), copied whole into memory. Called once,
// on the window's thread, when the upload module is made.
#pragma once

#include "upload/firmware_image.h"

#include <windows.h>

namespace korv {

inline constexpr const char* kFirmwareResourceName = "STREAM0";
inline constexpr WORD kFirmwareResourceType = 100;

// A missing or unreadable resource gives an empty image.
FirmwareImage loadFirmwareImage();
// The same; error is the GetLastError() of the call that failed, 0 on success.
FirmwareImage loadFirmwareImage(DWORD& error);

}  // namespace korv
