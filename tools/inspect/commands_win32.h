// The inspection tool's commands. Each takes the words after its name and
// returns the JSON line it prints; a failure is thrown as inspect::Failure.
#pragma once

#include "json.h"

#include <string>
#include <vector>

namespace inspect {

using Words = std::vector<std::wstring>;

// Prints one JSON line on stdout at once (the caller may be reading the file
// while the tool still runs).
void printLine(const Json& json);

Json findCommand(const Words& words);
Json dumpCommand(const Words& words);
Json selectCommand(const Words& words);
Json clickCommand(const Words& words);
Json closeCommand(const Words& words);
Json waitCommand(const Words& words);
Json msgboxCommand(const Words& words);
Json listCommand(const Words& words);
Json launchCommand(const Words& words);
Json killCommand(const Words& words);
Json colorsCommand(const Words& words);

}  // namespace inspect
