// The upload, folded into one class.
//
// Threads:
// - doStart runs on the window's thread: it writes the next block and starts
//   the reply timer.
// - doReceive runs on the serial reader thread: it judges the chunk and, on an
//   accepted block reply, writes the next block there.
// - Ticks run on the timer's thread: they step TickCounter and may report the
//   timeout. TickCounter and the busy flag are atomics.
//
// A block is announced (writers_) while it is written. A chunk is judged only
// once no other thread is writing, so the masks it meets are those of the whole
// block: a device that answers the instant block 1's last byte is out cannot be
// judged against the masks of byte 255. Only doReceive waits; doStart and the
// block writer never wait, and mutex_ is never held while an output fires, so
// the window's thread cannot be held up by a reader that is itself waiting for
// the window (a failure screen, say). The outputs onSend, onRunningCrc and the
// RunningCrc source must not wait for the reader thread.
//
// Shutdown: the destructor stops the timer and destroys it, and the timer
// guarantees that no tick is running or will run after that. The owner must
// not let a tick wait for the destroying thread, and must not call doReceive
// or doStart once destruction has begun.
#include "upload/upload_module.h"

#include "upload/running_crc.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace korv {
namespace {

constexpr std::string_view kClosingCommand = "PUSK";
constexpr std::string_view kFinalSuffix = "465A";  // hex text of "FZ"
constexpr std::string_view kFirstBlockMask = "SZ";
constexpr std::string_view kFirstFinalMask = "FZ";
constexpr std::string_view kCrcStartSetting = "$FFFF";  // only when RunningCrc gives nothing
constexpr int kBytesPerBlock = 256;
constexpr std::int32_t kTimeoutTicks = 3;
constexpr std::int32_t kTickCounterMax = 100;
constexpr std::int32_t kBlockCounterMax = 507;

}  // namespace

// Retires the calling thread's block announcement when the block is done.
class TClassMultiElementEx_2208BB0::BlockWriting {
public:
    explicit BlockWriting(TClassMultiElementEx_2208BB0& module) : module_(module) {}
    ~BlockWriting() { module_.endBlock(); }
    BlockWriting(const BlockWriting&) = delete;
    BlockWriting& operator=(const BlockWriting&) = delete;

private:
    TClassMultiElementEx_2208BB0& module_;
};

TClassMultiElementEx_2208BB0::TClassMultiElementEx_2208BB0(FirmwareImage image, std::unique_ptr<ReplyTimer> timer)
    : image_(std::move(image)), blockMask_(kFirstBlockMask), finalMask_(kFirstFinalMask), timer_(std::move(timer))
{
    writers_.reserve(2);
    if (timer_) timer_->setTickHandler([this] { handleTick(); });
}

TClassMultiElementEx_2208BB0::~TClassMultiElementEx_2208BB0()
{
    if (!timer_) return;
    timer_->stop();
    timer_.reset();
}

void TClassMultiElementEx_2208BB0::doStart(const Value&)
{
    bool nothingLeft = false;
    {
        std::lock_guard lock(mutex_);
        nothingLeft = image_.exhausted();
        if (!nothingLeft) writers_.push_back(std::this_thread::get_id());
    }
    if (nothingLeft) {
        onFailure(Value());
        return;
    }
    writeBlock();
    if (timer_) timer_->start();
}

void TClassMultiElementEx_2208BB0::doReceive(const Bytes& chunk)
{
    const Bytes hex = crc::hexOfChunk(chunk);
    std::int32_t progress = 0;
    switch (judge(hex, progress)) {
    case Verdict::Final:
        onSend(Bytes(kClosingCommand));
        onSuccess(hex);
        if (timer_) timer_->stop();
        break;
    case Verdict::NextBlock:
        onProgress(progress);
        writeBlock();
        break;
    case Verdict::Mismatch:
        onFailure(Value(hex));
        break;
    }
    onRawReply(chunk);
    tickCounter_.store(0);
}

// Compares with the final mask first, then with the block mask. An accepted
// block reply steps BlockCounter and announces the next block in the same
// breath, so no other chunk is judged before that block is out.
TClassMultiElementEx_2208BB0::Verdict TClassMultiElementEx_2208BB0::judge(const Bytes& hex, std::int32_t& progress)
{
    std::unique_lock lock(mutex_);
    blockDone_.wait(lock, [this] { return !anotherThreadWriting(); });
    if (crc::sameText(hex, finalMask_)) return Verdict::Final;
    // Past the end there is nothing to send: the plain reply is then a failure.
    if (!crc::sameText(hex, blockMask_) || image_.exhausted()) return Verdict::Mismatch;
    blockCounter_ = blockCounter_ >= kBlockCounterMax ? 0 : blockCounter_ + 1;
    progress = blockCounter_;
    writers_.push_back(std::this_thread::get_id());
    return Verdict::NextBlock;
}

// Expects the calling thread's announcement; a short last block sends what is left.
void TClassMultiElementEx_2208BB0::writeBlock()
{
    BlockWriting writing(*this);
    for (int i = 0; i < kBytesPerBlock; ++i) {
        const auto byte = nextImageByte();
        if (!byte) break;
        sendImageByte(*byte);
    }
}

std::optional<std::uint8_t> TClassMultiElementEx_2208BB0::nextImageByte()
{
    std::lock_guard lock(mutex_);
    if (image_.exhausted()) return std::nullopt;
    return image_.readByte();
}

// One byte: written, then the running CRC stepped through the window's field
// (read, written, read back), then both masks set from it.
void TClassMultiElementEx_2208BB0::sendImageByte(std::uint8_t byte)
{
    onSend(Bytes(1, static_cast<char>(byte)));
    const Bytes crcText = crc::runningStep(RunningCrc.readOr(Bytes(kCrcStartSetting)), crc::byteText(byte));
    onRunningCrc(crcText);
    Bytes finalMask = RunningCrc.readOr(crcText);
    finalMask += kFinalSuffix;
    std::lock_guard lock(mutex_);
    finalMask_ = std::move(finalMask);
    blockMask_ = crcText;
}

void TClassMultiElementEx_2208BB0::endBlock()
{
    {
        std::lock_guard lock(mutex_);
        const auto me = std::find(writers_.begin(), writers_.end(), std::this_thread::get_id());
        if (me != writers_.end()) writers_.erase(me);
    }
    blockDone_.notify_all();
}

bool TClassMultiElementEx_2208BB0::anotherThreadWriting() const
{
    const auto me = std::this_thread::get_id();
    return std::any_of(writers_.begin(), writers_.end(), [me](std::thread::id id) { return id != me; });
}

void TClassMultiElementEx_2208BB0::handleTick()
{
    if (tickBusy_.exchange(true)) return;
    const std::int32_t ticks = stepTickCounter();
    if (ticks == kTimeoutTicks) onFailure(Value(ticks));
    tickBusy_.store(false);
}

std::int32_t TClassMultiElementEx_2208BB0::stepTickCounter()
{
    std::int32_t current = tickCounter_.load();
    std::int32_t next = 0;
    do {
        next = current >= kTickCounterMax ? 0 : current + 1;
    } while (!tickCounter_.compare_exchange_weak(current, next));
    return next;
}

}  // namespace korv
