// The simulated device's own answers: its CRC, and the replies tests rely on.
#include "crc16.h"
#include "device_protocol.h"
#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using simdevice::DeviceProtocol;
using simdevice::Settings;

std::vector<std::string> writesFor(DeviceProtocol& device, const std::string& bytes)
{
    std::vector<std::string> out;
    for (const auto& w : device.receive(bytes).writes) out.push_back(w.bytes);
    return out;
}

TEST(SimDevice, CrcCheckValue)
{
    EXPECT_EQ(simdevice::crc16Update(simdevice::kCrcStart, "123456789"), 0x4B37);
    EXPECT_EQ(simdevice::crc16Update(simdevice::kCrcStart, std::string(256, '\0')), 0x64BF);
}

TEST(SimDevice, AnswersQueryBlocksAndFinalBlock)
{
    Settings s;
    s.lastBlock = 3;
    DeviceProtocol device(s);
    EXPECT_EQ(writesFor(device, "VERS"), std::vector<std::string>{"KORVELANTIS 7 1.5\r\n"});
    // The CRC runs over every block byte; the block arrives in pieces.
    EXPECT_TRUE(writesFor(device, std::string(100, '\0')).empty());
    EXPECT_EQ(writesFor(device, std::string(156, '\0')), std::vector<std::string>{"\x64\xBF"});
    EXPECT_EQ(writesFor(device, std::string(256, '\0')), std::vector<std::string>{"\xBB\x41"});
    const auto final = writesFor(device, std::string(256, '\0'));
    ASSERT_EQ(final.size(), 1u);
    EXPECT_EQ(final[0].substr(2), "FZ");
    const auto pusk = device.receive("PUSK");
    ASSERT_EQ(pusk.notes.size(), 1u);
    EXPECT_EQ(pusk.notes[0].event, "pusk");
}

TEST(SimDevice, FaultsChangeTheReplyToTheirBlock)
{
    struct Case {
        const char* what;
        void (*set)(Settings&);
        std::vector<std::string> reply;
    };
    const Case cases[] = {
        {"swap", [](Settings& s) { s.faults.swapCrcAt = 1; }, {"\xBF\x64"}},
        {"wrong", [](Settings& s) { s.faults.wrongCrcAt = 1; }, {"\x64\xBE"}},
        {"split", [](Settings& s) { s.faults.splitReplyAt = 1; }, {"\x64", "\xBF"}},
        {"extra", [](Settings& s) { s.faults.extraByteAt = 1; }, {"\x64\xBF\r"}},
        {"silent", [](Settings& s) { s.faults.silentFrom = 1; }, {}},
        {"final lower", [](Settings& s) { s.lastBlock = 1; s.faults.lowercaseFz = true; }, {"\x64\xBF" "fz"}},
    };
    for (const auto& c : cases) {
        Settings s;
        c.set(s);
        DeviceProtocol device(s);
        device.receive("VERS");
        EXPECT_EQ(writesFor(device, std::string(256, '\0')), c.reply) << c.what;
    }
}

TEST(SimDevice, IdentityEscapes)
{
    EXPECT_EQ(simdevice::unescape("A\\r\\n\\x00\\x7fB\\\\"), std::string("A\r\n\0\x7F" "B\\", 7));
}

}  // namespace
