// Links between blocks. An output fires its one target synchronously and does
// nothing while unlinked; a data input asks its source at the moment it is read.
#pragma once

#include <functional>
#include <optional>
#include <utility>

namespace korv {

template <class... Args>
class Output {
public:
    using Target = std::function<void(Args...)>;

    void connect(Target target) { target_ = std::move(target); }
    bool isConnected() const { return static_cast<bool>(target_); }

    // Arguments are taken by value, so each target gets its own copy.
    void operator()(Args... args) const
    {
        if (target_) target_(std::move(args)...);
    }

private:
    Target target_;
};

template <class T>
class DataInput {
public:
    using Source = std::function<std::optional<T>()>;

    void link(Source source) { source_ = std::move(source); }

    // The source's answer, or nothing when unlinked or when it has no value.
    std::optional<T> read() const { return source_ ? source_() : std::nullopt; }
    T readOr(T fallback) const
    {
        auto v = read();
        return v ? std::move(*v) : std::move(fallback);
    }

private:
    Source source_;
};

}  // namespace korv
