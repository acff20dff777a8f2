// A small JSON value for the inspection tool's output. Strings are UTF-16 and
// are written as plain ASCII with \u escapes, so the output reads the same
// whatever code page the console or the Unix locale has.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <vector>

namespace inspect {

class Json {
public:
    Json() = default;  // null
    Json(bool value);
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    Json(T value) : kind_(Kind::Integer), integer_(static_cast<std::int64_t>(value)) {}
    Json(double value);
    Json(std::wstring text);
    Json(const wchar_t* text);
    Json(const char* ascii);

    static Json array();
    static Json object();

    // Appends to an array, or adds a member to an object; returns *this.
    Json& push(Json item);
    Json& set(const std::string& key, Json item);

    std::string dump() const;

private:
    enum class Kind { Null, Boolean, Integer, Real, String, Array, Object };
    void dumpTo(std::string& out) const;

    Kind kind_ = Kind::Null;
    bool boolean_ = false;
    std::int64_t integer_ = 0;
    double real_ = 0.0;
    std::wstring text_;
    std::vector<std::string> keys_;  // objects: one key per item
    std::vector<Json> items_;
};

// Appends text as a quoted JSON string, every character outside printable
// ASCII written as \uXXXX.
void appendJsonString(std::string& out, const std::wstring& text);

}  // namespace inspect
