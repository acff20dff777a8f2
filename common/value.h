// The value every input, output and data point carries: nothing, a signed
// 32-bit integer, a single-byte string (counted, any byte including NUL) or a
// real number.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace korv {

// Single-byte string as it travels between blocks and over the line.
using Bytes = std::string;

class Value {
public:
    Value() = default;
    Value(std::int32_t integer) : v_(integer) {}
    Value(Bytes text) : v_(std::move(text)) {}
    Value(const char* text) : v_(Bytes(text)) {}
    Value(double real) : v_(real) {}

    bool isNothing() const { return std::holds_alternative<std::monostate>(v_); }
    bool isInteger() const { return std::holds_alternative<std::int32_t>(v_); }
    bool isText() const { return std::holds_alternative<Bytes>(v_); }
    bool isReal() const { return std::holds_alternative<double>(v_); }

    // The integer itself; text is read as a decimal number, a real is truncated.
    std::int32_t asInteger() const;
    // The text form: nothing is empty, an integer its decimal digits.
    Bytes asText() const;

    bool isIntegerZero() const { return isInteger() && std::get<std::int32_t>(v_) == 0; }

    friend bool operator==(const Value&, const Value&) = default;

private:
    std::variant<std::monostate, std::int32_t, Bytes, double> v_;
};

// Show and enable rule: only the integer 0 hides or disables; anything else,
// the empty value and any string included, shows or enables.
inline bool showsOrEnables(const Value& v) { return !v.isIntegerZero(); }

}  // namespace korv
