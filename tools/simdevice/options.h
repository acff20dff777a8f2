// The simulated device's command line.
#pragma once

#include "device_protocol.h"

#include <optional>
#include <string>

namespace simdevice {

struct Options {
    Settings device;
    std::string pathFile;  // where the slave path goes; stdout when empty
    std::string logFile;   // JSON lines; no log when empty
    long paceBaud = 0;     // 0: no pacing
    bool lock = false;     // make the slave unopenable
};

// The options, or nothing after printing the help text or an error.
// exitCode is set for the caller to return.
std::optional<Options> parseOptions(int argc, char** argv, int& exitCode);

// "\r", "\n", "\t", "\\" and "\xHH" in the text become the bytes they name.
std::string unescape(const std::string& text);

}  // namespace simdevice
