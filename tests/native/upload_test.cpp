#include "upload/upload_module.h"

#include "upload_fakes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace korv {
namespace {

using namespace testing_fakes;

std::string describe(const Value& v)
{
    if (v.isNothing()) return "nothing";
    if (v.isInteger()) return "#" + v.asText();
    return v.asText();
}

std::string hex(const Bytes& b)
{
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (char c : b) {
        s += digits[static_cast<unsigned char>(c) >> 4];
        s += digits[static_cast<unsigned char>(c) & 15];
    }
    return s;
}

// The module wired as the main window wires it, with the window's CrcField as
// a plain string, and every output recorded in order ("bytes:N" counts
// one-byte sends in a row).
struct Upload {
    std::shared_ptr<TimerState> timer = std::make_shared<TimerState>();
    Bytes crcField = "FFFF";
    int crcReads = 0;
    int crcWrites = 0;
    std::vector<std::string> log;
    std::vector<std::uint8_t> bytesSent;
    std::vector<std::int32_t> progress;
    std::vector<Bytes> successes;
    std::vector<Value> failures;
    FakeDevice* device = nullptr;
    UploadModule module;

    explicit Upload(std::vector<std::uint8_t> image, bool linkCrc = true)
        : module(FirmwareImage(std::move(image)), std::make_unique<FakeTimer>(timer))
    {
        module.onSend.connect([this](Bytes b) { sent(b); });
        module.onRunningCrc.connect([this](Bytes t) {
            crcField = t;
            ++crcWrites;
        });
        if (linkCrc) {
            module.RunningCrc.link([this]() -> std::optional<Bytes> {
                ++crcReads;
                return crcField;
            });
        }
        module.onProgress.connect([this](std::int32_t p) {
            progress.push_back(p);
            log.push_back("progress:" + std::to_string(p));
        });
        module.onSuccess.connect([this](Bytes h) {
            successes.push_back(h);
            log.push_back("success:" + h);
        });
        module.onFailure.connect([this](Value v) {
            log.push_back("failure:" + describe(v));
            failures.push_back(std::move(v));
        });
        module.onRawReply.connect([this](Bytes b) { log.push_back("raw:" + hex(b)); });
    }

    void sent(const Bytes& b)
    {
        if (device != nullptr) device->receive(b);
        if (b.size() != 1) {
            log.push_back("send:" + b);
            return;
        }
        bytesSent.push_back(static_cast<std::uint8_t>(b[0]));
        if (log.empty() || log.back().rfind("bytes:", 0) != 0) log.push_back("bytes:0");
        log.back() = "bytes:" + std::to_string(std::stoi(log.back().substr(6)) + 1);
    }

    // Lets the device answer until it owes nothing more.
    void converse()
    {
        while (auto reply = device->takeReply()) module.doReceive(*reply);
    }
};

std::vector<std::uint8_t> zeros(std::size_t n) { return std::vector<std::uint8_t>(n, 0); }

TEST(UploadTransfer, WholeImageThenPuskAndSuccess)
{
    const auto image = loadTestImage();
    ASSERT_EQ(image.size(), 130048u);
    FakeDevice device(image.size());
    Upload u(image);
    u.device = &device;

    u.module.doStart(Value(0));
    u.converse();

    EXPECT_EQ(u.bytesSent, image);
    EXPECT_EQ(device.commands, std::vector<Bytes>{"PUSK"});
    EXPECT_EQ(u.crcWrites, 130048);
    EXPECT_EQ(u.crcReads, 2 * 130048);
    std::vector<std::int32_t> expectedProgress;
    for (std::int32_t k = 1; k <= 507; ++k) expectedProgress.push_back(k);
    EXPECT_EQ(u.progress, expectedProgress);
    ASSERT_EQ(u.successes.size(), 1u);
    EXPECT_EQ(u.successes[0], upperHex(device.crc()) + "465A");
    EXPECT_EQ(u.crcField, upperHex(device.crc()));
    EXPECT_TRUE(u.failures.empty());
    EXPECT_FALSE(u.timer->running);
    EXPECT_EQ(u.timer->starts, 1);
    // Block 508 goes out before the reply that asked for it is passed on raw;
    // then the closing command, the verdict and the final raw reply.
    const std::vector<std::string> tail(u.log.end() - 6, u.log.end());
    const std::vector<std::string> expectedTail = {"progress:507",
                                                   "bytes:256",
                                                   "raw:" + upperHex(bitwiseCrc(image, 129792)),
                                                   "send:PUSK",
                                                   "success:" + u.successes[0],
                                                   "raw:" + u.successes[0]};
    EXPECT_EQ(tail, expectedTail);
}

TEST(UploadTransfer, NothingIsSentPastTheEndOfTheImage)
{
    const auto image = loadTestImage();
    FakeDevice device(0);  // keeps answering with the plain reply, never the final one
    Upload u(image);
    u.device = &device;
    u.module.doStart(Value(0));
    u.converse();
    ASSERT_EQ(u.bytesSent, image);
    ASSERT_EQ(u.progress.size(), 507u);

    // The reply to block 508 equals the block mask, but there is no block 509.
    const Bytes lastReply = replyBytes(device.crc(), false);
    u.module.doReceive(lastReply);
    u.module.doStart(Value(0));
    EXPECT_EQ(u.bytesSent.size(), image.size());
    EXPECT_EQ(u.progress.size(), 507u);
    const std::vector<std::string> tail(u.log.end() - 3, u.log.end());
    const std::vector<std::string> expectedTail = {"failure:" + hex(lastReply), "raw:" + hex(lastReply),
                                                   "failure:nothing"};
    EXPECT_EQ(tail, expectedTail);
    EXPECT_EQ(u.timer->starts, 1);
}

TEST(UploadTransfer, ShortLastBlockAndEmptyImage)
{
    const auto image = loadTestImage();
    const std::vector<std::uint8_t> shortImage(image.begin(), image.begin() + 300);
    Upload u(shortImage);
    u.module.doStart(Value(0));
    u.module.doReceive(replyBytes(bitwiseCrc(shortImage, 256), false));
    EXPECT_EQ(u.bytesSent, shortImage);  // the 44 bytes left, nothing invented
    u.module.doReceive(replyBytes(bitwiseCrc(shortImage, 300), false));
    EXPECT_EQ(u.bytesSent.size(), 300u);
    EXPECT_EQ(u.progress, std::vector<std::int32_t>{1});
    u.module.doReceive(replyBytes(bitwiseCrc(shortImage, 300), true));  // the device may still end it
    EXPECT_EQ(u.successes.size(), 1u);

    Upload empty({});
    empty.module.doStart(Value(0));
    EXPECT_TRUE(empty.log.size() == 1 && empty.log[0] == "failure:nothing");
    EXPECT_EQ(empty.timer->starts, 0);
}

// After block 1 of an all-zero image the masks are 64BF and 64BF465A.
TEST(UploadReply, RejectedChunksAreReportedOneByOneAndTheTransferCanStillGoOn)
{
    struct Case {
        const char* what;
        std::vector<Bytes> chunks;
        std::vector<std::string> failures;
    };
    const Case cases[] = {
        {"swapped", {"\xBF\x64"}, {"BF64"}},
        {"lower-case fz", {"\x64\xBF" "fz"}, {"64BF667A"}},
        {"split", {"\x64", "\xBF"}, {"64", "BF"}},
        {"empty", {""}, {""}},
        {"extra byte", {"\x64\xBF\r"}, {"64BF0D"}},
        {"prefix of the final", {"\x64\xBF\x46"}, {"64BF46"}},
    };
    for (const auto& c : cases) {
        Upload u(zeros(768));
        u.module.doStart(Value(0));
        u.log.clear();
        std::vector<std::string> expectedLog;
        for (std::size_t i = 0; i < c.chunks.size(); ++i) {
            u.module.doReceive(c.chunks[i]);
            expectedLog.push_back("failure:" + c.failures[i]);
            expectedLog.push_back("raw:" + hex(c.chunks[i]));
        }
        EXPECT_EQ(u.log, expectedLog) << c.what;
        EXPECT_EQ(u.bytesSent.size(), 256u) << c.what;
        tick(*u.timer, 2);  // the last chunk reset TickCounter
        EXPECT_EQ(u.failures.size(), c.chunks.size()) << c.what;
        tick(*u.timer);
        EXPECT_EQ(describe(u.failures.back()), "#3") << c.what;
        u.module.doReceive("\x64\xBF");
        EXPECT_EQ(u.progress, std::vector<std::int32_t>{1}) << c.what;
        EXPECT_EQ(u.bytesSent.size(), 512u) << c.what;
    }
}

TEST(UploadReply, ZeroBlocksAreConfirmedByTheCrcOfEverythingSent)
{
    Upload u(zeros(768));
    u.module.doStart(Value(0));
    u.module.doReceive("\x64\xBF");
    u.module.doReceive("\x64\xBF");  // the reply to block 1 again: no longer expected
    u.module.doReceive("\xBB\x41");
    EXPECT_EQ(u.progress, (std::vector<std::int32_t>{1, 2}));
    ASSERT_EQ(u.failures.size(), 1u);
    EXPECT_EQ(describe(u.failures[0]), "64BF");
    EXPECT_EQ(u.bytesSent.size(), 768u);
}

TEST(UploadReply, ChunksBeforeTheFirstStartAreFailures)
{
    Upload u(zeros(512));
    for (const Bytes& chunk : {Bytes("SZ"), Bytes("FZ"), Bytes("\x64\xBF"), Bytes("\xFF\xFF")}) u.module.doReceive(chunk);
    const std::vector<std::string> expected = {"failure:535A", "raw:535A", "failure:465A", "raw:465A",
                                               "failure:64BF", "raw:64BF", "failure:FFFF", "raw:FFFF"};
    EXPECT_EQ(u.log, expected);
    EXPECT_TRUE(u.bytesSent.empty());
    tick(*u.timer, 5);  // not started: no ticks
    EXPECT_EQ(u.failures.size(), 4u);
}

TEST(UploadReply, FinalReplyAfterBlock3EndsTheTransfer)
{
    const auto image = loadTestImage();
    FakeDevice device(768);
    Upload u(image);
    u.device = &device;
    u.module.doStart(Value(0));
    u.converse();
    EXPECT_EQ(u.bytesSent.size(), 768u);
    EXPECT_EQ(device.commands, std::vector<Bytes>{"PUSK"});
    EXPECT_EQ(u.progress, (std::vector<std::int32_t>{1, 2}));
    ASSERT_EQ(u.successes.size(), 1u);
    EXPECT_EQ(u.successes[0], upperHex(bitwiseCrc(image, 768)) + "465A");
    EXPECT_FALSE(u.timer->running);
}

TEST(UploadReply, FinalReplyTwiceSendsPuskTwice)
{
    Upload u(zeros(512));
    u.module.doStart(Value(0));
    u.module.doReceive("\x64\xBF" "FZ");
    u.module.doReceive("\x64\xbf" "FZ");
    const std::vector<std::string> expected = {"bytes:256",       "send:PUSK",        "success:64BF465A",
                                               "raw:64BF465A",   "send:PUSK",        "success:64BF465A",
                                               "raw:64BF465A"};
    EXPECT_EQ(u.log, expected);
    EXPECT_EQ(u.timer->stops, 2);
}

TEST(UploadStart, StartWhileAwaitingWritesTheNextBlockAtOnce)
{
    const auto image = loadTestImage();
    Upload u(image);
    u.module.doStart(Value(0));
    u.module.doStart(Value(0));
    EXPECT_EQ(u.bytesSent.size(), 512u);
    EXPECT_EQ(u.timer->starts, 2);
    EXPECT_TRUE(u.timer->running);
    u.module.doReceive(replyBytes(bitwiseCrc(image, 256), false));  // late: the masks moved on
    EXPECT_TRUE(u.progress.empty());
    EXPECT_EQ(u.failures.size(), 1u);
    u.module.doReceive(replyBytes(bitwiseCrc(image, 512), false));
    EXPECT_EQ(u.progress, std::vector<std::int32_t>{1});
    EXPECT_EQ(u.bytesSent.size(), 768u);
}

TEST(UploadStart, WithoutRunningCrcEveryByteStartsFromTheSetting)
{
    Upload u(zeros(512), false);
    u.module.doStart(Value(0));
    EXPECT_EQ(u.crcField, "40BF");  // the CRC of one zero byte from FFFF
    u.module.doReceive("\x40\xBF");
    EXPECT_EQ(u.progress, std::vector<std::int32_t>{1});
    u.module.doReceive("\x40\xBF" "FZ");
    EXPECT_EQ(u.successes, std::vector<Bytes>{"40BF465A"});
}

TEST(UploadTimeout, ThirdSilentTickThenEvery101Ticks)
{
    Upload u(zeros(768));
    u.module.doStart(Value(0));
    std::vector<int> timeoutTicks;
    for (int t = 1; t <= 250; ++t) {
        const auto before = u.failures.size();
        tick(*u.timer);
        if (u.failures.size() != before) {
            EXPECT_EQ(describe(u.failures.back()), "#3");
            timeoutTicks.push_back(t);
        }
    }
    EXPECT_EQ(timeoutTicks, (std::vector<int>{3, 104, 205}));
    EXPECT_EQ(u.timer->stops, 0);  // a timeout never stops the timer
}

TEST(UploadTimeout, EveryChunkResetsTheCount)
{
    Upload u(zeros(768));
    u.module.doStart(Value(0));
    tick(*u.timer, 2);
    u.module.doReceive("x");
    tick(*u.timer, 2);
    EXPECT_EQ(u.failures.size(), 1u);
    tick(*u.timer);
    ASSERT_EQ(u.failures.size(), 2u);
    EXPECT_EQ(describe(u.failures[1]), "#3");

    // A mismatching chunk every two ticks: never a timeout.
    u.failures.clear();
    for (int i = 0; i < 50; ++i) {
        u.module.doReceive("??");
        tick(*u.timer, 2);
    }
    EXPECT_EQ(u.failures.size(), 50u);
    for (const auto& f : u.failures) EXPECT_EQ(describe(f), "3F3F");
}

TEST(UploadLifetime, DestructionStopsTheTimer)
{
    auto timer = std::make_shared<TimerState>();
    {
        UploadModule module(FirmwareImage(zeros(256)), std::make_unique<FakeTimer>(timer));
        module.doStart(Value(0));
        ASSERT_TRUE(timer->running);
    }
    EXPECT_FALSE(timer->running);
    EXPECT_EQ(timer->stops, 1);
}

TEST(UploadRobustness, ArbitraryChunksAreJudgedOneByOne)
{
    Upload u(loadTestImage());
    u.module.doStart(Value(0));
    std::mt19937 random(2024);
    std::uniform_int_distribution<int> length(0, 40);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int i = 0; i < 3000; ++i) {
        std::size_t n = static_cast<std::size_t>(length(random));
        if (n == 2 || n == 4) n = 3;  // a 2- or 4-byte chunk could equal a mask by chance
        Bytes chunk(n, '\0');
        for (auto& c : chunk) c = static_cast<char>(byte(random));
        u.log.clear();
        u.module.doReceive(chunk);
        ASSERT_EQ(u.log, (std::vector<std::string>{"failure:" + hex(chunk), "raw:" + hex(chunk)}));
    }
    UploadModule bare(FirmwareImage(zeros(300)), nullptr);  // nothing linked, no timer
    bare.doReceive("\x01");
    bare.doStart(Value());
    bare.doStart(Value());
    bare.doStart(Value());
}

}  // namespace
}  // namespace korv
