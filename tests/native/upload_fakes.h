// Test doubles for the upload: a reply timer ticked by hand, a device that
// answers like the bootloader (its CRC computed bit by bit, independently of
// the module's table), and the image the exe embeds.
#pragma once

#include "common/value.h"
#include "upload/reply_timer.h"

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korv::testing_fakes {

inline std::uint16_t bitwiseCrcUpdate(std::uint16_t crc, std::uint8_t byte)
{
    std::uint32_t c = crc ^ byte;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ 0xA001u : c >> 1;
    return static_cast<std::uint16_t>(c);
}

inline std::uint16_t bitwiseCrc(const std::vector<std::uint8_t>& bytes, std::size_t count)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < count; ++i) crc = bitwiseCrcUpdate(crc, bytes[i]);
    return crc;
}

// The two reply bytes, high byte first, optionally followed by "FZ".
inline Bytes replyBytes(std::uint16_t crc, bool final)
{
    Bytes r{static_cast<char>(crc >> 8), static_cast<char>(crc & 0xFF)};
    if (final) r += "FZ";
    return r;
}

inline std::string upperHex(std::uint16_t crc)
{
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (int shift = 12; shift >= 0; shift -= 4) s += digits[(crc >> shift) & 0xF];
    return s;
}

inline std::vector<std::uint8_t> loadTestImage()
{
    std::ifstream in(KORV_TEST_IMAGE, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct TimerState {
    ReplyTimer::TickHandler handler;
    bool running = false;
    int starts = 0;
    int stops = 0;
};

// Ticks only when the test says so, and only while started.
class FakeTimer : public ReplyTimer {
public:
    explicit FakeTimer(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
    void setTickHandler(TickHandler handler) override { state_->handler = std::move(handler); }
    void start() override
    {
        ++state_->starts;
        state_->running = true;
    }
    void stop() override
    {
        ++state_->stops;
        state_->running = false;
    }

private:
    std::shared_ptr<TimerState> state_;
};

inline void tick(TimerState& timer, int times = 1)
{
    for (int i = 0; i < times; ++i) {
        if (timer.running && timer.handler) timer.handler();
    }
}

// Collects the bytes it is sent; after every 256 it owes the CRC of all of
// them, and after finalAt bytes the final reply instead.
class FakeDevice {
public:
    explicit FakeDevice(std::size_t finalAt) : finalAt_(finalAt) {}

    void receive(const Bytes& sent)
    {
        if (sent.size() != 1) {
            commands.push_back(sent);
            return;
        }
        const auto b = static_cast<std::uint8_t>(sent[0]);
        bytes.push_back(b);
        crc_ = bitwiseCrcUpdate(crc_, b);
        if (bytes.size() == finalAt_) pending_ = replyBytes(crc_, true);
        else if (bytes.size() % 256 == 0) pending_ = replyBytes(crc_, false);
    }

    std::optional<Bytes> takeReply() { return std::exchange(pending_, std::nullopt); }
    std::uint16_t crc() const { return crc_; }

    std::vector<std::uint8_t> bytes;
    std::vector<Bytes> commands;

private:
    std::size_t finalAt_;
    std::uint16_t crc_ = 0xFFFF;
    std::optional<Bytes> pending_;
};

}  // namespace korv::testing_fakes
