// The window's control flow against a recording window, a scripted channel and
// the real protocol modules.
#include "app/main_flow.h"
#include "common/texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korv {
namespace {

const char* controlName(Control c)
{
    switch (c) {
    case Control::ErrorLine1: return "ErrorLine1";
    case Control::ErrorLine2: return "ErrorLine2";
    case Control::WriteButton: return "WriteButton";
    case Control::StatusField: return "StatusField";
    case Control::PortList: return "PortList";
    case Control::UploadProgress: return "UploadProgress";
    case Control::VersionLabel: return "VersionLabel";
    case Control::CrcField: return "CrcField";
    case Control::CrcReceivedCaption: return "CrcReceivedCaption";
    case Control::CrcCaption: return "CrcCaption";
    case Control::OkButton: return "OkButton";
    case Control::ErrorIcon: return "ErrorIcon";
    case Control::SuccessText: return "SuccessText";
    }
    return "?";
}

// Records every operation except the per-byte CrcField traffic, which it holds.
class RecordingWindow : public WindowOperations {
public:
    void show(Control c, const Value& v) override { log.push_back(std::string(showsOrEnables(v) ? "show " : "hide ") + controlName(c)); }
    void enable(Control c, const Value& v) override
    {
        log.push_back(std::string(showsOrEnables(v) ? "enable " : "disable ") + controlName(c));
        if (onEnable) onEnable();
    }
    void enableWindow(const Value& v) override { log.push_back(showsOrEnables(v) ? "enable window" : "disable window"); }
    void setText(Control c, const Value& v) override
    {
        if (c == Control::CrcField) {
            crcText = v.asText();
            return;
        }
        log.push_back(std::string("text ") + controlName(c) + " " + v.asText());
    }
    Bytes getText(Control c) override { return c == Control::CrcField ? crcText : Bytes(); }
    void addPortEntry(const Bytes& entry) override { log.push_back("entry " + entry); }
    void setProgress(std::int32_t position) override { progress = position; }
    void close() override { log.push_back("close"); }

    std::vector<std::string> log;
    std::function<void()> onEnable;
    Bytes crcText = "FFFF";
    std::int32_t progress = 0;
};

// A channel whose ports and received data the test scripts.
class ScriptedChannel : public SerialChannel {
public:
    void OpenPort(const Value&) override
    {
        if (open) return;
        const Bytes name = PortName.readOr("");
        log.push_back("open " + name);
        const bool ok = name == openablePort;
        open = ok;
        OnOpenResult(ok ? 3 : 0);
    }
    void ClosePort(const Value&) override
    {
        log.push_back("close");
        open = false;
    }
    void SendText(const Value& text) override
    {
        if (!open) return;
        const Bytes bytes = text.asText();
        if (bytes.size() == 1)
            sent.push_back(bytes[0]);
        else
            log.push_back("send " + bytes);
        if (onWrite) onWrite(bytes);
    }
    void ReadWaiting(std::int32_t n) override
    {
        const Bytes chunk = pending.substr(0, static_cast<std::size_t>(n));
        pending.erase(0, chunk.size());
        OnReceived(chunk);
    }
    void ListPorts(const Value&) override
    {
        for (const auto& p : ports) OnPortFound(p);
    }

    // What the reader thread does when bytes come in.
    void deliver(const Bytes& bytes)
    {
        pending += bytes;
        OnBytesWaiting(static_cast<std::int32_t>(pending.size()));
    }

    // Delivers queued device replies one by one, as the reader thread would.
    void deliverQueuedReplies()
    {
        while (!replies.empty()) {
            const Bytes reply = replies.front();
            replies.erase(replies.begin());
            deliver(reply);
        }
    }
    std::vector<Bytes> replies;
    Bytes pending;  // received, not yet read

    std::vector<Bytes> ports = {"COM1", "COM3"};
    Bytes openablePort = "COM3";
    bool open = false;
    std::vector<std::string> log;
    Bytes sent;  // every single image byte written
    std::function<void(const Bytes&)> onWrite;
};

class ManualTimer : public ReplyTimer {
public:
    void setTickHandler(TickHandler h) override { handler = std::move(h); }
    void start() override { running = true; }
    void stop() override { running = false; }
    void tick() { if (running && handler) handler(); }
    TickHandler handler;
    bool running = false;
};

class RecordingPause : public SuccessPause {
public:
    void wait(std::chrono::microseconds d) override { waits.push_back(d); if (duringWait) duringWait(); }
    void cancel() override { cancelled = true; }
    std::vector<std::chrono::microseconds> waits;
    std::function<void()> duringWait;
    bool cancelled = false;
};

class CountingKeepAwake : public KeepAwake {
public:
    void hold() override { ++holds; held = true; }
    void release() override { held = false; }
    int holds = 0;
    bool held = false;
};

constexpr std::size_t kBlocks = 3;

std::vector<std::uint8_t> smallImage()
{
    std::vector<std::uint8_t> image(kBlocks * 256);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return image;
}

// The device's own CRC-16/MODBUS, bit by bit.
std::uint16_t crc16Update(std::uint16_t crc, std::uint8_t byte)
{
    crc = static_cast<std::uint16_t>(crc ^ byte);
    for (int i = 0; i < 8; ++i) crc = static_cast<std::uint16_t>((crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1);
    return crc;
}

Bytes crcReply(std::uint16_t crc)
{
    return Bytes{static_cast<char>(crc >> 8), static_cast<char>(crc & 0xFF)};
}

struct Flow : ::testing::Test {
    Flow()
    {
        auto t = std::make_unique<ManualTimer>();
        timer = t.get();
        upload = std::make_unique<UploadModule>(FirmwareImage(smallImage()), std::move(t));
        flow = std::make_unique<MainFlow>(window, channel, identification, *upload, pause, keepAwake);
        flow->connect();
    }

    void identify()
    {
        flow->start();
        flow->portChosen("COM3");
        channel.deliver("KORVELANTIS 7 1.5\r\n");
        window.log.clear();
        channel.log.clear();
    }

    // The device: answers every complete block with the running CRC, the last with "FZ" too.
    void answerBlocksAsTheDeviceDoes(std::size_t finalBlock = kBlocks)
    {
        channel.onWrite = [this, finalBlock](const Bytes& bytes) {
            if (bytes.size() != 1) return;
            crc = crc16Update(crc, static_cast<std::uint8_t>(bytes[0]));
            if (channel.sent.size() % 256 != 0) return;
            const std::size_t block = channel.sent.size() / 256;
            channel.replies.push_back(block == finalBlock ? crcReply(crc) + "FZ" : crcReply(crc));
        };
    }

    RecordingWindow window;
    ScriptedChannel channel;
    IdentificationModule identification;
    ManualTimer* timer = nullptr;
    std::unique_ptr<UploadModule> upload;
    RecordingPause pause;
    CountingKeepAwake keepAwake;
    std::unique_ptr<MainFlow> flow;
    std::uint16_t crc = 0xFFFF;
};

const std::vector<std::string> kFinishScreen = {
    "hide PortList", "hide StatusField", "hide UploadProgress", "hide WriteButton",
    "hide VersionLabel", "enable window", "show OkButton"};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(Flow, StartListsThePortsInTheOrderFound)
{
    flow->start();
    EXPECT_EQ(window.log, (std::vector<std::string>{"entry COM1", "entry COM3"}));
}

TEST_F(Flow, ChoosingAPortClosesTheLastOneThenOpensAndQueriesTheDevice)
{
    flow->portChosen("COM1");
    EXPECT_EQ(channel.log, (std::vector<std::string>{"close", "open COM1"}));
    EXPECT_EQ(window.log, (std::vector<std::string>{"text StatusField " + texts::kNoDeviceFound.str()}));

    channel.log.clear();
    window.log.clear();
    flow->portChosen("COM3");
    EXPECT_EQ(channel.log, (std::vector<std::string>{"close", "open COM3", "send VERS"}));
    EXPECT_TRUE(window.log.empty()) << "the status keeps its text while the device is asked";
}

TEST_F(Flow, ARecognisedReplyShowsTheIdentityThenLocksThePortAndAllowsWriting)
{
    flow->portChosen("COM3");
    window.log.clear();
    channel.deliver("KORVELANTIS 7 1.5\r\n");
    const Bytes identity = cp1251(u8"Устройство: 7   Текущая версия ПО: 1.5\r\n").str();
    EXPECT_EQ(window.log, (std::vector<std::string>{"text StatusField " + identity, "disable PortList", "enable WriteButton"}));
    EXPECT_EQ(identification.Route(), 1);
}

TEST_F(Flow, WriteSendsTheWholeFirstBlockBeforeDisablingButtonAndWindow)
{
    identify();
    std::size_t sentWhenDisabled = 0;
    window.onEnable = [&] { sentWhenDisabled = channel.sent.size(); };
    flow->writeClicked(Value(0));
    EXPECT_EQ(sentWhenDisabled, 256u);
    EXPECT_EQ(window.log, (std::vector<std::string>{"disable WriteButton", "disable window"}));
    EXPECT_TRUE(timer->running);
    EXPECT_TRUE(keepAwake.held);
}

TEST_F(Flow, AWholeUploadEndsOnTheSuccessScreenAfterThePause)
{
    identify();
    answerBlocksAsTheDeviceDoes();
    pause.duringWait = [this] { EXPECT_EQ(window.log.back(), "disable window") << "nothing shown during the pause"; };
    flow->writeClicked(Value(0));
    channel.deliverQueuedReplies();

    const auto image = smallImage();
    EXPECT_EQ(channel.sent, Bytes(image.begin(), image.end()));
    EXPECT_EQ(channel.log, (std::vector<std::string>{"send PUSK"}));
    EXPECT_EQ(window.progress, 2) << "the final reply moves the bar no further";
    ASSERT_EQ(pause.waits.size(), 1u);
    EXPECT_EQ(pause.waits[0], std::chrono::microseconds(15'000'000));
    EXPECT_EQ(window.log, concat(concat({"disable WriteButton", "disable window"}, kFinishScreen),
                                 {"hide ErrorLine2", "hide ErrorLine1", "hide ErrorIcon", "show SuccessText"}));
    EXPECT_FALSE(keepAwake.held);
    EXPECT_FALSE(timer->running);
}

TEST_F(Flow, ABadReplyOrSilenceEndsOnTheFailureScreen)
{
    const std::vector<std::string> failureScreen =
        concat(kFinishScreen, {"show ErrorLine2", "show ErrorLine1", "show ErrorIcon"});
    identify();
    flow->writeClicked(Value(0));
    window.log.clear();
    channel.deliver("\x12\x34");
    EXPECT_EQ(window.log, failureScreen);
    EXPECT_FALSE(keepAwake.held);

    window.log.clear();
    timer->tick();
    timer->tick();
    EXPECT_TRUE(window.log.empty());
    timer->tick();
    EXPECT_EQ(window.log, failureScreen) << "the third silent tick reports a timeout";
}

TEST_F(Flow, AFailureAfterSuccessIsIgnoredAndASuccessAfterFailureHidesTheErrorMark)
{
    identify();
    answerBlocksAsTheDeviceDoes();
    flow->writeClicked(Value(0));
    channel.deliver(Bytes("\x00\x00", 2));  // rejected: the failure screen
    ASSERT_EQ(window.log.back(), "show ErrorIcon");

    window.log.clear();
    channel.deliverQueuedReplies();  // the right reply still comes; the rest follows
    ASSERT_FALSE(window.log.empty());
    EXPECT_EQ(window.log, concat(kFinishScreen, {"hide ErrorLine2", "hide ErrorLine1", "hide ErrorIcon",
                                                 "show SuccessText"}));

    window.log.clear();
    channel.deliver("\x01");
    timer->running = true;
    for (int i = 0; i < 3; ++i) timer->tick();
    EXPECT_TRUE(window.log.empty()) << "failures after success show nothing";
}

TEST_F(Flow, AfterTheCloseReportNothingReacts)
{
    identify();
    flow->writeClicked(Value(0));
    flow->windowClosing();
    EXPECT_EQ(channel.log.back(), "close");
    EXPECT_TRUE(pause.cancelled);
    window.log.clear();
    channel.open = true;  // a delivery already under way when the port closed
    channel.deliver("\x12\x34");
    timer->tick();
    timer->tick();
    timer->tick();
    EXPECT_TRUE(window.log.empty());
}

TEST_F(Flow, OkClosesTheWindow)
{
    flow->okClicked();
    EXPECT_EQ(window.log, (std::vector<std::string>{"close"}));
}

}  // namespace
}  // namespace korv
