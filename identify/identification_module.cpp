// Identification is one short exchange; every step runs on the thread that
// called the input, and outputs fire in the order the exchange fixes: status
// text, then Route, then onIdentified.
#include "identify/identification_module.h"

#include "common/texts.h"

#include <cstddef>

namespace korv {
namespace identify {
namespace {

constexpr char kMarker = '\x01';         // keeps an inserted text apart from what follows it
constexpr char kPercentPlaceholder = '\0';  // a "%%" of the format, until the last pass

char asciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool isDecimalDigit(char c) { return c >= '0' && c <= '9'; }

// Replaces every "%<digit>" not followed by a decimal digit, resuming after
// each inserted text.
void replaceParameter(Bytes& text, char digit, std::string_view value)
{
    std::size_t at = 0;
    while ((at = text.find('%', at)) != Bytes::npos) {
        const bool isParameter = at + 1 < text.size() && text[at + 1] == digit &&
                                 !(at + 2 < text.size() && isDecimalDigit(text[at + 2]));
        if (!isParameter) {
            ++at;
            continue;
        }
        Bytes inserted(1, kMarker);
        inserted.append(value);
        text.replace(at, 2, inserted);
        at += inserted.size();
    }
}

}  // namespace

Bytes cutToken(std::string_view& rest)
{
    const std::string_view searched = rest.substr(0, rest.find('\0'));
    const std::size_t space = searched.find(kTokenDelimiter);
    if (space == std::string_view::npos) {
        Bytes token(rest);
        rest = {};
        return token;
    }
    Bytes token(rest.substr(0, space));
    rest.remove_prefix(space + 1);
    return token;
}

bool isSignature(std::string_view token)
{
    if (token.size() != kSignature.size()) return false;
    for (std::size_t i = 0; i < token.size(); ++i) {
        if (asciiUpper(token[i]) != kSignature[i]) return false;
    }
    return true;
}

Bytes formatTwo(std::string_view format, std::string_view first, std::string_view second)
{
    Bytes text;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '%') {
            text += kPercentPlaceholder;
            ++i;
        } else {
            text += format[i];
        }
    }
    replaceParameter(text, '1', first);
    replaceParameter(text, '2', second);
    Bytes out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == kMarker) continue;
        out += (c == kPercentPlaceholder) ? '%' : c;
    }
    return out;
}

}  // namespace identify

namespace {

// The open result counts as a failure when it is 0, as integer, text or real.
bool isZeroResult(const Value& v)
{
    if (v.isInteger()) return v.asInteger() == 0;
    if (v.isText()) return v.asText() == "0";
    if (v.isReal()) return v.asText() == "0";
    return false;
}

}  // namespace

void TClassMultiElementEx_22086E0::doPortResult(const Value& portNumberOrZero)
{
    if (isZeroResult(portNumberOrZero)) {
        reportNotIdentified(Value());
        return;
    }
    onSend(Bytes(identify::kQuery));
}

void TClassMultiElementEx_22086E0::doOpenPort(const Value& anything) { onOpenPort(anything); }

void TClassMultiElementEx_22086E0::doReceive(const Bytes& chunk)
{
    for (auto& token : tokens_) token.clear();
    if (chunk.find(identify::kTokenDelimiter) == Bytes::npos) {
        reportNotIdentified(Value(chunk));
        return;
    }
    std::string_view rest = chunk;
    for (auto& token : tokens_) token = identify::cutToken(rest);

    if (!identify::isSignature(tokens_[0])) {
        reportNotIdentified(Value(tokens_[0]));
        return;
    }
    onStatus(identify::formatTwo(texts::kIdentityFormat.view(), tokens_[1], tokens_[2]));
    advanceRoute();
    onIdentified(tokens_[0]);
}

void TClassMultiElementEx_22086E0::reportNotIdentified(const Value& what)
{
    onNotIdentified(what);
    onStatus(texts::kNoDeviceFound.str());
}

void TClassMultiElementEx_22086E0::advanceRoute()
{
    constexpr std::int32_t kRouteMax = 1;
    const std::int32_t next = route_.load() + 1;
    route_.store(next > kRouteMax ? 0 : next);
}

}  // namespace korv
