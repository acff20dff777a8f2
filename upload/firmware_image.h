// The firmware image in memory, handed out one byte at a time.
#pragma once

#include <cstdint>
#include <vector>

namespace korv {

class FirmwareImage {
public:
    FirmwareImage() = default;
    explicit FirmwareImage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

    // The byte at the read position, which then moves on by one; 0 at the end.
    std::uint8_t readByte();
    bool exhausted() const { return position_ >= static_cast<std::int32_t>(bytes_.size()); }
    std::int32_t position() const { return position_; }
    std::int32_t size() const { return static_cast<std::int32_t>(bytes_.size()); }

private:
    std::vector<std::uint8_t> bytes_;
    std::int32_t position_ = 0;
};

}  // namespace korv
