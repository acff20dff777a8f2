// A fuzz input read as a little script: single bytes and length-prefixed
// chunks. Reads past the end give 0 and empty chunks, so every input is a
// valid script.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace korv::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }

    std::uint8_t byte() { return empty() ? std::uint8_t{0} : data_[at_++]; }

    // A length byte (taken modulo maxLength + 1), then that many bytes, or
    // what is left of the input.
    std::string chunk(std::size_t maxLength = 255)
    {
        const std::size_t wanted = byte() % (maxLength + 1);
        return take(wanted);
    }

    std::string rest() { return take(size_ - std::min(at_, size_)); }

private:
    std::string take(std::size_t wanted)
    {
        const std::size_t n = std::min(wanted, size_ - std::min(at_, size_));
        std::string out(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return out;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace korv::fuzz
