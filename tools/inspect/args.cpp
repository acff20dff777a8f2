// Parsing the tool's arguments and its escaped texts.
#include "args.h"

#include <cwchar>

namespace inspect {

Args::Args(const std::vector<std::wstring>& words, const std::set<std::wstring>& valueOptions,
           const std::set<std::wstring>& flagOptions) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::wstring& word = words[i];
        if (word.size() < 3 || word.compare(0, 2, L"--") != 0) {
            positional_.push_back(word);
            continue;
        }
        const std::wstring name = word.substr(2);
        if (flagOptions.count(name) != 0) {
            flags_.insert(name);
        } else if (valueOptions.count(name) != 0) {
            if (i + 1 == words.size()) throw Failure("option --" + asciiForMessage(name) + " needs a value", kExitUsage);
            values_[name] = words[++i];
        } else {
            throw Failure("unknown option " + asciiForMessage(word), kExitUsage);
        }
    }
}

const std::wstring& Args::at(std::size_t index, const char* what) const {
    if (index >= positional_.size()) throw Failure(std::string("missing argument: ") + what, kExitUsage);
    return positional_[index];
}

void Args::expectPositional(std::size_t count) const {
    if (positional_.size() != count) {
        throw Failure("expected " + std::to_string(count) + " argument(s), got " +
                          std::to_string(positional_.size()),
                      kExitUsage);
    }
}

long long Args::integer(const std::wstring& name, long long fallback) const {
    const auto found = values_.find(name);
    if (found == values_.end()) return fallback;
    return parseInteger(found->second, "an option value");
}

long long parseInteger(const std::wstring& text, const char* what) {
    if (text.empty()) throw Failure(std::string("empty number for ") + what, kExitUsage);
    wchar_t* end = nullptr;
    const long long value = std::wcstoll(text.c_str(), &end, 10);
    if (end != text.c_str() + text.size()) {
        throw Failure("not a number: " + asciiForMessage(text) + " (" + what + ")", kExitUsage);
    }
    return value;
}

namespace {

constexpr std::size_t kHexDigitsOfEscape = 4;

unsigned hexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return static_cast<unsigned>(c - L'0');
    if (c >= L'a' && c <= L'f') return static_cast<unsigned>(c - L'a' + 10);
    if (c >= L'A' && c <= L'F') return static_cast<unsigned>(c - L'A' + 10);
    throw Failure("bad hex digit in a \\u escape", kExitUsage);
}

}  // namespace

std::wstring unescape(const std::wstring& text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\\') {
            out.push_back(text[i]);
            continue;
        }
        if (++i == text.size()) throw Failure("text ends in a lone backslash", kExitUsage);
        switch (text[i]) {
        case L'\\': out.push_back(L'\\'); break;
        case L'"': out.push_back(L'"'); break;
        case L'/': out.push_back(L'/'); break;
        case L'n': out.push_back(L'\n'); break;
        case L'r': out.push_back(L'\r'); break;
        case L't': out.push_back(L'\t'); break;
        case L'u': {
            if (text.size() - i - 1 < kHexDigitsOfEscape) throw Failure("short \\u escape", kExitUsage);
            unsigned code = 0;
            for (std::size_t k = 0; k < kHexDigitsOfEscape; ++k) code = code * 16 + hexDigit(text[++i]);
            out.push_back(static_cast<wchar_t>(code));
            break;
        }
        default: throw Failure("unknown escape in a text argument", kExitUsage);
        }
    }
    return out;
}

std::string asciiForMessage(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) out.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?');
    return out;
}

}  // namespace inspect
