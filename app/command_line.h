// The program's command line: only its first argument is looked at, for the
// information switch. Portable; the entry point hands in GetCommandLineA().
#pragma once

#include <string_view>

namespace korv {

// The information switch, compared exactly (case-sensitive).
inline constexpr std::string_view kInfoSwitch = "/ih";

// The first argument after the program name, with one pair of enclosing double
// quotes removed. Arguments are separated by spaces and tabs; a double-quoted
// stretch keeps its spaces. Empty when there is no argument. The result views
// into commandLine.
std::string_view firstArgument(std::string_view commandLine);

// Whether the first argument is the information switch.
bool asksForInfo(std::string_view commandLine);

}  // namespace korv
