#include "device_protocol.h"

#include "crc16.h"

#include <cstdio>

namespace simdevice {
namespace {

constexpr std::string_view kQuery = "VERS";
constexpr std::string_view kCommand = "PUSK";
constexpr std::string_view kFinalSuffix = "FZ";
constexpr std::string_view kFinalSuffixLower = "fz";
constexpr char kExtraByte = '\r';
constexpr std::uint16_t kWrongCrcFlip = 0x0001;

std::string field(const char* name, long long value)
{
    return "\"" + std::string(name) + "\":" + std::to_string(value);
}

std::string field(const char* name, const std::string& text)
{
    return "\"" + std::string(name) + "\":\"" + text + "\"";
}

std::string crcText(std::uint16_t crc)
{
    char text[5];
    std::snprintf(text, sizeof text, "%04X", crc);
    return text;
}

}  // namespace

std::string toHex(std::string_view bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0x0F];
    }
    return hex;
}

Reaction DeviceProtocol::receive(std::string_view bytes)
{
    Reaction r;
    for (char c : bytes) {
        if (phase_ == Phase::Vanished) break;
        take(c, r);
    }
    flushUnexpected(r);
    return r;
}

void DeviceProtocol::take(char c, Reaction& r)
{
    switch (phase_) {
    case Phase::AwaitVers:
        if (matchWindow(c, kQuery)) onVers(r);
        break;
    case Phase::Blocks:
        block_ += c;
        // A repeated query before the first block byte is a query, not data.
        if (blocks_ == 0 && block_ == kQuery) {
            block_.clear();
            onVers(r);
        } else if (block_.size() == kBlockBytes) {
            onBlock(r);
        }
        break;
    case Phase::AwaitPusk:
        if (matchWindow(c, kCommand)) {
            flushUnexpected(r);
            r.notes.push_back({"pusk", ""});
            phase_ = Phase::Done;
        }
        break;
    case Phase::Done:
        unexpected_ += c;
        break;
    case Phase::Vanished:
        break;
    }
}

// Keeps the last bytes and says whether they now end with the word; bytes
// that can no longer be part of it are unexpected.
bool DeviceProtocol::matchWindow(char c, std::string_view word)
{
    window_ += c;
    if (window_.size() >= word.size() && std::string_view(window_).substr(window_.size() - word.size()) == word) {
        unexpected_ += window_.substr(0, window_.size() - word.size());
        window_.clear();
        return true;
    }
    if (window_.size() >= word.size()) {
        unexpected_ += window_.front();
        window_.erase(0, 1);
    }
    return false;
}

void DeviceProtocol::onVers(Reaction& r)
{
    flushUnexpected(r);
    r.notes.push_back({"vers", ""});
    phase_ = Phase::Blocks;
    if (s_.faults.noVersReply) return;
    r.writes.push_back({s_.identity, "identity", 0, false});
    if (s_.faults.secondIdentity) r.writes.push_back({s_.identity, "identity", kSecondWritePauseMs, true});
    if (s_.floodBytes > 0) {
        std::string flood(static_cast<std::size_t>(s_.floodBytes), '\0');
        for (std::size_t i = 0; i < flood.size(); ++i) flood[i] = static_cast<char>(i & 0xFF);
        r.writes.push_back({std::move(flood), "flood", 0, false});
    }
}

void DeviceProtocol::onBlock(Reaction& r)
{
    flushUnexpected(r);
    ++blocks_;
    crc_ = crc16Update(crc_, block_);
    blockBytesTotal_ += static_cast<long long>(block_.size());
    block_.clear();
    r.notes.push_back({"block", field("n", blocks_) + "," + field("crc", crcText(crc_)) + "," +
                                    field("total", blockBytesTotal_)});
    const Faults& f = s_.faults;
    if (f.vanishAt == blocks_) {
        r.notes.push_back({"vanish", field("n", blocks_)});
        r.vanish = true;
        phase_ = Phase::Vanished;
        return;
    }
    if (f.silentFrom > 0 && blocks_ >= f.silentFrom) {
        r.notes.push_back({"silent", field("n", blocks_)});
        return;
    }
    const bool final = blocks_ == s_.lastBlock;
    addReply(blockReply(blocks_), final ? "final" : "block", f.splitReplyAt == blocks_, r);
    if (final) phase_ = Phase::AwaitPusk;
}

std::string DeviceProtocol::blockReply(int n) const
{
    const Faults& f = s_.faults;
    const std::uint16_t crc = f.wrongCrcAt == n ? static_cast<std::uint16_t>(crc_ ^ kWrongCrcFlip) : crc_;
    const char high = static_cast<char>(crc >> 8);
    const char low = static_cast<char>(crc & 0xFF);
    std::string reply = f.swapCrcAt == n ? std::string{low, high} : std::string{high, low};
    if (n == s_.lastBlock) reply += f.lowercaseFz ? kFinalSuffixLower : kFinalSuffix;
    if (f.extraByteAt == n) reply += kExtraByte;
    return reply;
}

void DeviceProtocol::addReply(std::string bytes, const std::string& kind, bool split, Reaction& r) const
{
    if (!split || bytes.size() < 2) {
        r.writes.push_back({std::move(bytes), kind, 0, false});
        return;
    }
    r.writes.push_back({bytes.substr(0, 1), kind, 0, false});
    r.writes.push_back({bytes.substr(1), kind, kSecondWritePauseMs, true});
}

void DeviceProtocol::flushUnexpected(Reaction& r)
{
    if (unexpected_.empty()) return;
    r.notes.push_back({"unexpected", field("hex", toHex(unexpected_))});
    unexpected_.clear();
}

}  // namespace simdevice
