// Writing Json values as one line of ASCII text.
#include "json.h"

#include <cstdio>
#include <stdexcept>

namespace inspect {

Json::Json(bool value) : kind_(Kind::Boolean), boolean_(value) {}
Json::Json(double value) : kind_(Kind::Real), real_(value) {}
Json::Json(std::wstring text) : kind_(Kind::String), text_(std::move(text)) {}
Json::Json(const wchar_t* text) : kind_(Kind::String), text_(text) {}
Json::Json(const char* ascii) : kind_(Kind::String) {
    for (const char* p = ascii; *p != '\0'; ++p) {
        text_.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    }
}

Json Json::array() {
    Json json;
    json.kind_ = Kind::Array;
    return json;
}

Json Json::object() {
    Json json;
    json.kind_ = Kind::Object;
    return json;
}

Json& Json::push(Json item) {
    if (kind_ != Kind::Array) throw std::logic_error("push on a non-array");
    items_.push_back(std::move(item));
    return *this;
}

Json& Json::set(const std::string& key, Json item) {
    if (kind_ != Kind::Object) throw std::logic_error("set on a non-object");
    keys_.push_back(key);
    items_.push_back(std::move(item));
    return *this;
}

std::string Json::dump() const {
    std::string out;
    dumpTo(out);
    return out;
}

void appendJsonString(std::string& out, const std::wstring& text) {
    constexpr wchar_t kFirstPrintable = 0x20;
    constexpr wchar_t kLastPrintable = 0x7e;
    out.push_back('"');
    for (const wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c >= kFirstPrintable && c <= kLastPrintable) {
            out.push_back(static_cast<char>(c));
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c) & 0xffffu);
            out += escape;
        }
    }
    out.push_back('"');
}

void Json::dumpTo(std::string& out) const {
    switch (kind_) {
    case Kind::Null: out += "null"; break;
    case Kind::Boolean: out += boolean_ ? "true" : "false"; break;
    case Kind::Integer: out += std::to_string(integer_); break;
    case Kind::Real: {
        char number[32];
        std::snprintf(number, sizeof number, "%.3f", real_);
        out += number;
        break;
    }
    case Kind::String: appendJsonString(out, text_); break;
    case Kind::Array:
        out.push_back('[');
        for (std::size_t i = 0; i < items_.size(); ++i) {
            if (i != 0) out += ", ";
            items_[i].dumpTo(out);
        }
        out.push_back(']');
        break;
    case Kind::Object:
        out.push_back('{');
        for (std::size_t i = 0; i < items_.size(); ++i) {
            if (i != 0) out += ", ";
            out += '"' + keys_[i] + "\": ";
            items_[i].dumpTo(out);
        }
        out.push_back('}');
        break;
    }
}

}  // namespace inspect
