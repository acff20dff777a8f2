// What the simulated device answers, byte by byte, independent of how bytes
// reach it. Single-threaded: the device's main loop feeds it and carries out
// the writes it asks for.
//
// Protocol: "VERS" -> the identity text. Then 256-byte blocks; each complete
// block -> the running CRC-16/MODBUS over every block byte received so far,
// high byte first; the last block -> that CRC followed by "FZ". Then "PUSK".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace simdevice {

inline constexpr std::size_t kBlockBytes = 256;
inline constexpr int kDefaultBlocks = 508;
// The second of two writes meant to reach the host as two chunks comes this
// long after the first, and only once the host has read the first.
inline constexpr int kSecondWritePauseMs = 200;

struct Faults {
    int wrongCrcAt = 0;    // reply to block N carries a wrong CRC
    int swapCrcAt = 0;     // reply to block N: low byte first
    int splitReplyAt = 0;  // reply to block N in two writes
    int silentFrom = 0;    // no reply to block N and later
    int extraByteAt = 0;   // reply to block N gets a trailing CR
    int vanishAt = 0;      // the device disappears once block N is complete
    bool lowercaseFz = false;
    bool noVersReply = false;
    bool secondIdentity = false;  // the identity is sent twice, in two writes
};

struct Settings {
    std::string identity = "KORVELANTIS 7 1.5\r\n";
    int lastBlock = kDefaultBlocks;
    long long floodBytes = 0;  // sent after the identity reply
    Faults faults;
};

// One write to the line, after an optional pause.
struct Write {
    std::string bytes;
    std::string kind;  // identity, block, final, flood
    int pauseBeforeMs = 0;
    bool afterHostRead = false;  // held until the host has read everything before it
};

// One line for the log: the event's name and its other JSON fields.
struct Note {
    std::string event;
    std::string fields;  // e.g. "\"n\":1,\"crc\":\"64BF\"" (may be empty)
};

struct Reaction {
    std::vector<Write> writes;
    std::vector<Note> notes;
    bool vanish = false;
};

class DeviceProtocol {
public:
    explicit DeviceProtocol(Settings settings) : s_(std::move(settings)) {}

    // Takes received bytes and says what to send and what to log.
    Reaction receive(std::string_view bytes);

private:
    enum class Phase { AwaitVers, Blocks, AwaitPusk, Done, Vanished };

    void take(char c, Reaction& r);
    void onVers(Reaction& r);
    void onBlock(Reaction& r);
    std::string blockReply(int n) const;
    void addReply(std::string bytes, const std::string& kind, bool split, Reaction& r) const;
    bool matchWindow(char c, std::string_view word);
    void flushUnexpected(Reaction& r);

    Settings s_;
    Phase phase_ = Phase::AwaitVers;
    std::string window_;  // the last bytes while waiting for a command word
    std::string block_;   // the current block so far
    std::string unexpected_;
    std::uint16_t crc_ = 0xFFFF;
    int blocks_ = 0;
    long long blockBytesTotal_ = 0;
};

std::string toHex(std::string_view bytes);

}  // namespace simdevice
