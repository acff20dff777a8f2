// The inspection tool's command line: a command, positional arguments and
// options ("--timeout 5000", "--force"). With --escaped, texts given on the
// command line are read with JSON escapes (\uXXXX, \r, \n, \t, \\, \"), so
// that a caller can pass any text as plain ASCII whatever the Unix locale.
#pragma once

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace inspect {

// Exit codes of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitTimeout = 3;

// A failure the tool reports as {"error": ...} with its exit code.
class Failure : public std::runtime_error {
public:
    Failure(const std::string& message, int exitCode = kExitFailure, unsigned long win32Error = 0)
        : std::runtime_error(message), exitCode_(exitCode), win32Error_(win32Error) {}
    int exitCode() const { return exitCode_; }
    unsigned long win32Error() const { return win32Error_; }

private:
    int exitCode_;
    unsigned long win32Error_;
};

class Args {
public:
    // words: the arguments after the command. valueOptions take one value each;
    // flagOptions take none; any other "--word" is a usage error.
    Args(const std::vector<std::wstring>& words, const std::set<std::wstring>& valueOptions,
         const std::set<std::wstring>& flagOptions);

    const std::vector<std::wstring>& positional() const { return positional_; }
    // The positional argument at index; a usage error if it is missing.
    const std::wstring& at(std::size_t index, const char* what) const;
    void expectPositional(std::size_t count) const;

    bool flag(const std::wstring& name) const { return flags_.count(name) != 0; }
    bool has(const std::wstring& name) const { return values_.count(name) != 0; }
    long long integer(const std::wstring& name, long long fallback) const;

private:
    std::vector<std::wstring> positional_;
    std::map<std::wstring, std::wstring> values_;
    std::set<std::wstring> flags_;
};

// A decimal integer, or a usage error naming what it was meant to be.
long long parseInteger(const std::wstring& text, const char* what);

// Decodes JSON escapes; a usage error on a malformed escape.
std::wstring unescape(const std::wstring& text);

// UTF-16 to ASCII for messages: anything else becomes '?'.
std::string asciiForMessage(const std::wstring& text);

}  // namespace inspect
