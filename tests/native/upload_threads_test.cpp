// The upload on real threads: the window's thread writing block 1 while the
// reader thread already has the reply, and ticks on a timer thread racing
// chunks on a reader thread. Meant to run under ThreadSanitizer too.
#include "upload/upload_module.h"

#include "upload_fakes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace korv {
namespace {

using namespace testing_fakes;
using namespace std::chrono_literals;

// A reply timer on its own thread, ticking every period while started.
class ThreadTimer : public ReplyTimer {
public:
    explicit ThreadTimer(std::chrono::microseconds period) : period_(period), worker_([this] { run(); }) {}
    ~ThreadTimer() override
    {
        {
            std::lock_guard lock(m_);
            quit_ = true;
        }
        cv_.notify_all();
        worker_.join();
    }
    void setTickHandler(TickHandler handler) override
    {
        std::lock_guard lock(m_);
        handler_ = std::move(handler);
    }
    void start() override
    {
        std::lock_guard lock(m_);
        running_ = true;
        cv_.notify_all();
    }
    void stop() override
    {
        std::unique_lock lock(m_);
        running_ = false;
        if (std::this_thread::get_id() != worker_.get_id()) cv_.wait(lock, [this] { return !inTick_; });
    }

private:
    void run()
    {
        std::unique_lock lock(m_);
        while (!quit_) {
            if (!running_) {
                cv_.wait(lock);
                continue;
            }
            cv_.wait_for(lock, period_);
            if (!running_ || quit_) continue;
            inTick_ = true;
            lock.unlock();
            handler_();
            lock.lock();
            inTick_ = false;
            cv_.notify_all();
        }
    }

    std::chrono::microseconds period_;
    std::mutex m_;
    std::condition_variable cv_;
    TickHandler handler_;
    bool running_ = false;
    bool quit_ = false;
    bool inTick_ = false;
    std::thread worker_;
};

// Delivers queued chunks to doReceive on its own thread, like the serial reader.
class ReaderThread {
public:
    explicit ReaderThread(UploadModule& module) : module_(module), worker_([this] { run(); }) {}
    ~ReaderThread()
    {
        {
            std::lock_guard lock(m_);
            quit_ = true;
        }
        cv_.notify_all();
        worker_.join();
    }
    void deliver(Bytes chunk)
    {
        {
            std::lock_guard lock(m_);
            queue_.push_back(std::move(chunk));
        }
        cv_.notify_all();
    }

private:
    void run()
    {
        std::unique_lock lock(m_);
        while (true) {
            cv_.wait(lock, [this] { return quit_ || !queue_.empty(); });
            if (queue_.empty()) return;
            Bytes chunk = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            module_.doReceive(chunk);
            lock.lock();
        }
    }

    UploadModule& module_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Bytes> queue_;
    bool quit_ = false;
    std::thread worker_;
};

// The window's CrcField: its calls are carried to one thread, so they never overlap.
struct CrcField {
    std::mutex m;
    Bytes text = "FFFF";
    Bytes get()
    {
        std::lock_guard lock(m);
        return text;
    }
    void set(Bytes t)
    {
        std::lock_guard lock(m);
        text = std::move(t);
    }
};

TEST(UploadRace, ReplyDeliveredTheInstantBlock1IsOutIsAccepted)
{
    const auto image = loadTestImage();
    auto timer = std::make_shared<TimerState>();
    UploadModule module(FirmwareImage(image), std::make_unique<FakeTimer>(timer));
    CrcField field;
    std::mutex m;
    std::condition_variable cv;
    bool judged = false;
    std::vector<std::int32_t> progress;
    std::vector<Value> failures;
    std::atomic<int> sent{0};
    const auto windowThread = std::this_thread::get_id();
    std::optional<ReaderThread> reader(std::in_place, module);

    module.RunningCrc.link([&]() -> std::optional<Bytes> { return field.get(); });
    module.onSend.connect([&](Bytes) {
        // The device answers as soon as the last byte of block 1 is on the line.
        if (++sent == 256) reader->deliver(replyBytes(bitwiseCrc(image, 256), false));
    });
    module.onRunningCrc.connect([&](Bytes t) {
        field.set(std::move(t));
        if (std::this_thread::get_id() != windowThread || sent != 256) return;
        // Give the reader every chance to judge before the last byte's masks are set.
        std::unique_lock lock(m);
        cv.wait_for(lock, 300ms, [&] { return judged; });
    });
    module.onProgress.connect([&](std::int32_t p) {
        std::lock_guard lock(m);
        progress.push_back(p);
        judged = true;
        cv.notify_all();
    });
    module.onFailure.connect([&](Value v) {
        std::lock_guard lock(m);
        failures.push_back(std::move(v));
        judged = true;
        cv.notify_all();
    });

    module.doStart(Value(0));
    reader.reset();  // ends once the reply is handled, block 2 included
    std::lock_guard lock(m);
    EXPECT_EQ(sent, 512);
    EXPECT_EQ(progress, std::vector<std::int32_t>{1});
    EXPECT_TRUE(failures.empty()) << "rejected: " << (failures.empty() ? "" : failures[0].asText());
}

// The window carries out the reader's failure screen while the reader waits;
// the window's own doStart must not wait for anything that reader holds.
TEST(UploadRace, StartOnTheWindowThreadWhileTheReaderWaitsForTheWindow)
{
    auto timer = std::make_shared<TimerState>();
    UploadModule module(FirmwareImage(std::vector<std::uint8_t>(768, 0)), std::make_unique<FakeTimer>(timer));
    std::mutex m;
    std::condition_variable cv;
    bool readerInFailure = false;
    bool windowDone = false;
    bool readerGaveUp = false;
    std::atomic<int> sent{0};
    module.onSend.connect([&](Bytes) { ++sent; });
    module.onFailure.connect([&](Value) {
        std::unique_lock lock(m);
        readerInFailure = true;
        cv.notify_all();
        readerGaveUp = !cv.wait_for(lock, 5s, [&] { return windowDone; });
    });
    std::optional<ReaderThread> reader(std::in_place, module);
    reader->deliver("nonsense");
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return readerInFailure; }));
    }
    module.doStart(Value(0));
    {
        std::lock_guard lock(m);
        windowDone = true;
    }
    cv.notify_all();
    reader.reset();
    EXPECT_FALSE(readerGaveUp);
    EXPECT_EQ(sent, 256);
}

// Transfers of the whole image, each with the device answering on the reader
// thread the moment a block is out, and a 1 ms reply timer ticking meanwhile.
TEST(UploadThreads, TransfersWithTicksRacingRepliesStayConsistent)
{
    const auto image = loadTestImage();
    const auto until = std::chrono::steady_clock::now() + 3s;
    int transfers = 0;
    while (transfers == 0 || std::chrono::steady_clock::now() < until) {
        UploadModule module(FirmwareImage(image), std::make_unique<ThreadTimer>(1ms));
        CrcField field;
        std::mutex deviceMutex;
        FakeDevice device(image.size());
        std::atomic<int> progressCount{0};
        std::atomic<int> lastProgress{0};
        std::atomic<int> hexFailures{0};
        std::atomic<int> timeouts{0};
        std::atomic<int> successes{0};
        std::mutex doneMutex;
        std::condition_variable done;
        Bytes successText;
        ReaderThread reader(module);

        module.RunningCrc.link([&]() -> std::optional<Bytes> { return field.get(); });
        module.onRunningCrc.connect([&](Bytes t) { field.set(std::move(t)); });
        module.onSend.connect([&](Bytes b) {
            std::optional<Bytes> reply;
            {
                std::lock_guard lock(deviceMutex);
                device.receive(b);
                reply = device.takeReply();
            }
            if (reply) reader.deliver(*reply);
        });
        module.onProgress.connect([&](std::int32_t p) {
            if (p == lastProgress + 1) lastProgress = p;
            ++progressCount;
        });
        module.onFailure.connect([&](Value v) { ++(v.isInteger() ? timeouts : hexFailures); });
        module.onSuccess.connect([&](Bytes h) {
            std::lock_guard lock(doneMutex);
            successText = h;
            ++successes;
            done.notify_all();
        });

        module.doStart(Value(0));
        std::unique_lock lock(doneMutex);
        ASSERT_TRUE(done.wait_for(lock, 60s, [&] { return successes > 0; }));
        lock.unlock();

        std::lock_guard deviceLock(deviceMutex);
        EXPECT_EQ(device.bytes, image);
        EXPECT_EQ(successText, upperHex(device.crc()) + "465A");
        EXPECT_EQ(progressCount, 507);
        EXPECT_EQ(lastProgress, 507);
        EXPECT_EQ(hexFailures, 0);
        ++transfers;
    }
    EXPECT_GT(transfers, 0);
}

// Nonsense chunks from the reader thread while ticks come every 200 µs: every
// chunk gets its own failure, and the module's counters survive the race.
TEST(UploadThreads, ChunksAndTicksOnTwoThreads)
{
    UploadModule module(FirmwareImage(std::vector<std::uint8_t>(256, 0)), std::make_unique<ThreadTimer>(200us));
    std::atomic<int> hexFailures{0};
    std::atomic<int> timeouts{0};
    std::atomic<int> raw{0};
    module.onFailure.connect([&](Value v) { ++(v.isInteger() ? timeouts : hexFailures); });
    module.onRawReply.connect([&](Bytes) { ++raw; });
    module.doStart(Value(0));
    int delivered = 0;
    {
        ReaderThread reader(module);
        const auto until = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < until) {
            reader.deliver("\x01\x02\x03");
            ++delivered;
            if (delivered % 64 == 0) std::this_thread::sleep_for(1ms);
        }
    }  // the reader delivers all it was given before it ends
    EXPECT_EQ(hexFailures, delivered);
    EXPECT_EQ(raw, delivered);
    // Silence after the last chunk: the third tick reports it.
    const int before = timeouts;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (timeouts == before && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_GT(timeouts, before);
}

}  // namespace
}  // namespace korv
