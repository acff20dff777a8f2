#include "common/value.h"

#include <cstdio>
#include <cstdlib>

namespace korv {

std::int32_t Value::asInteger() const
{
    if (const auto* i = std::get_if<std::int32_t>(&v_)) return *i;
    if (const auto* r = std::get_if<double>(&v_)) return static_cast<std::int32_t>(*r);
    if (const auto* s = std::get_if<Bytes>(&v_)) return static_cast<std::int32_t>(std::strtol(s->c_str(), nullptr, 10));
    return 0;
}

Bytes Value::asText() const
{
    if (const auto* s = std::get_if<Bytes>(&v_)) return *s;
    if (const auto* i = std::get_if<std::int32_t>(&v_)) return std::to_string(*i);
    if (const auto* r = std::get_if<double>(&v_)) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%g", *r);
        return buffer;
    }
    return {};
}

}  // namespace korv
