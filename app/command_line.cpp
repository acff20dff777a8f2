#include "app/command_line.h"

#include <cstddef>

namespace korv {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::size_t skipBlanks(std::string_view text, std::size_t at)
{
    while (at < text.size() && isBlank(text[at])) ++at;
    return at;
}

// End of the argument that starts at `at`: the first blank outside double quotes.
// An unclosed quote runs to the end of the line.
std::size_t argumentEnd(std::string_view text, std::size_t at)
{
    bool quoted = false;
    for (; at < text.size(); ++at) {
        if (text[at] == '"')
            quoted = !quoted;
        else if (isBlank(text[at]) && !quoted)
            break;
    }
    return at;
}

// The program name as Windows reads it: a quoted name ends at the next quote,
// whatever follows; an unquoted one at the first blank.
std::size_t programNameEnd(std::string_view text, std::size_t at)
{
    if (at < text.size() && text[at] == '"') {
        const std::size_t close = text.find('"', at + 1);
        return close == std::string_view::npos ? text.size() : close + 1;
    }
    while (at < text.size() && !isBlank(text[at])) ++at;
    return at;
}

std::string_view withoutEnclosingQuotes(std::string_view argument)
{
    if (argument.size() >= 2 && argument.front() == '"' && argument.back() == '"')
        return argument.substr(1, argument.size() - 2);
    return argument;
}

}  // namespace

std::string_view firstArgument(std::string_view commandLine)
{
    const std::size_t programStart = skipBlanks(commandLine, 0);
    const std::size_t programEnd = programNameEnd(commandLine, programStart);
    const std::size_t start = skipBlanks(commandLine, programEnd);
    const std::size_t end = argumentEnd(commandLine, start);
    return withoutEnclosingQuotes(commandLine.substr(start, end - start));
}

bool asksForInfo(std::string_view commandLine) { return firstArgument(commandLine) == kInfoSwitch; }

}  // namespace korv
