// Fuzzes the upload module's judgement of received chunks, against a model of
// the upload rules kept here (its own bit-by-bit CRC, its own hex text and
// comparison). The input picks a small image (1 to 3 blocks, perhaps a short
// tail) and then a script of steps: raw chunks, the replies a device would
// give (right, final, lower-case "fz", swapped, split, with a byte changed or
// added), timer ticks and doStart. After every step the outputs the module
// fired must be exactly those of the model, in order; beyond that no byte past
// the image is ever sent and every onFailure is hex text or the integer 3.
//
// Everything runs on the fuzzer's one thread; the reply timer is a fake that
// ticks when the script says so.
#include "upload/upload_module.h"

#include "fuzz_input.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using korv::Bytes;
using korv::Value;
// Outputs as text, one line each ("send:3F", "crc:807E", "failure:#3", ...).
using Events = std::string;

constexpr std::size_t kBlockBytes = 256;
constexpr std::int32_t kBlockCounterMax = 507;
constexpr std::int32_t kTickCounterMax = 100;
constexpr std::int32_t kTimeoutTicks = 3;
constexpr std::size_t kLongestRawChunk = 8;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "upload invariant broken: %s\n", what);
    std::abort();
}

void require(bool ok, const char* what)
{
    if (!ok) fail(what);
}

std::uint16_t crcUpdate(std::uint16_t crc, std::uint8_t byte)
{
    std::uint32_t c = crc ^ byte;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) != 0 ? (c >> 1) ^ 0xA001u : c >> 1;
    return static_cast<std::uint16_t>(c);
}

Bytes hexOf(std::string_view bytes)
{
    static constexpr std::string_view kDigits = "0123456789ABCDEF";
    Bytes out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b / 16];
        out += kDigits[b % 16];
    }
    return out;
}

Bytes crcText(std::uint16_t crc)
{
    return hexOf(Bytes{static_cast<char>(crc >> 8), static_cast<char>(crc & 0xFF)});
}

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool equalIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i])) return false;
    }
    return true;
}

void note(Events& events, std::string_view kind, std::string_view value)
{
    events.append(kind).append(value).push_back('\n');
}

bool isUpperHexText(std::string_view text)
{
    if (text.size() % 2 != 0) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

// The upload by its rules, firing into an event list the way the module
// fires its outputs.
class Model {
public:
    explicit Model(std::vector<std::uint8_t> image) : image_(std::move(image)) {}

    void start(Events& out)
    {
        if (exhausted()) {
            note(out, "failure:", "-");
            return;
        }
        writeBlock(out);
        timerRunning_ = true;
    }

    void receive(const Bytes& chunk, Events& out)
    {
        const Bytes hex = hexOf(chunk);
        if (equalIgnoringCase(hex, finalMask_)) {
            note(out, "send:", "PUSK");
            note(out, "success:", hex);
            timerRunning_ = false;
        } else if (equalIgnoringCase(hex, blockMask_) && !exhausted()) {
            blockCounter_ = blockCounter_ >= kBlockCounterMax ? 0 : blockCounter_ + 1;
            note(out, "progress:", std::to_string(blockCounter_));
            writeBlock(out);
        } else {
            note(out, "failure:", hex);
        }
        note(out, "raw:", hex);
        ticks_ = 0;
    }

    void tick(Events& out)
    {
        if (!timerRunning_) return;
        ticks_ = ticks_ >= kTickCounterMax ? 0 : ticks_ + 1;
        if (ticks_ == kTimeoutTicks) note(out, "failure:", "#3");
    }

    // What a device that has received every byte sent so far answers.
    Bytes deviceReply(bool final, bool lowerCaseLetters) const
    {
        Bytes r{static_cast<char>(crc_ >> 8), static_cast<char>(crc_ & 0xFF)};
        if (final) r += lowerCaseLetters ? "fz" : "FZ";
        return r;
    }

    bool timerRunning() const { return timerRunning_; }

private:
    bool exhausted() const { return sent_ >= image_.size(); }

    void writeBlock(Events& out)
    {
        for (std::size_t i = 0; i < kBlockBytes && !exhausted(); ++i) {
            const std::uint8_t b = image_[sent_++];
            note(out, "send:", hexOf(Bytes(1, static_cast<char>(b))));
            crc_ = crcUpdate(crc_, b);
            note(out, "crc:", crcText(crc_));
            blockMask_ = crcText(crc_);
            finalMask_ = crcText(crc_) + "465A";
        }
    }

    std::vector<std::uint8_t> image_;
    std::size_t sent_ = 0;
    std::uint16_t crc_ = 0xFFFF;
    Bytes blockMask_ = "SZ";
    Bytes finalMask_ = "FZ";
    std::int32_t blockCounter_ = 0;
    std::int32_t ticks_ = 0;
    bool timerRunning_ = false;
};

struct FakeTimer : korv::ReplyTimer {
    struct State {
        TickHandler handler;
        bool running = false;
    };
    explicit FakeTimer(std::shared_ptr<State> s) : state(std::move(s)) {}
    void setTickHandler(TickHandler h) override { state->handler = std::move(h); }
    void start() override { state->running = true; }
    void stop() override { state->running = false; }
    std::shared_ptr<State> state;
};

// The module wired as the main window wires it, CrcField a plain string, every
// output recorded; the invariants that hold whatever the script are checked
// as the outputs fire.
class Harness {
public:
    explicit Harness(const std::vector<std::uint8_t>& image)
        : imageSize_(image.size()), module_(korv::FirmwareImage(image), std::make_unique<FakeTimer>(timer_))
    {
        module_.onSend.connect([this](Bytes b) { sent(b); });
        module_.onRunningCrc.connect([this](Bytes t) {
            crcField_ = t;
            note(events_, "crc:", t);
        });
        module_.RunningCrc.link([this]() -> std::optional<Bytes> { return crcField_; });
        module_.onProgress.connect([this](std::int32_t p) { note(events_, "progress:", std::to_string(p)); });
        module_.onSuccess.connect([this](Bytes h) { note(events_, "success:", h); });
        module_.onFailure.connect([this](Value v) { failed(v); });
        module_.onRawReply.connect([this](Bytes b) { note(events_, "raw:", hexOf(b)); });
    }

    void start() { module_.doStart(Value()); }
    void receive(const Bytes& chunk) { module_.doReceive(chunk); }
    void tick()
    {
        if (timer_->running && timer_->handler) timer_->handler();
    }

    Events takeEvents() { return std::exchange(events_, {}); }
    bool timerRunning() const { return timer_->running; }

private:
    void sent(const Bytes& b)
    {
        require(b.size() == 1 || b == "PUSK", "onSend carries one image byte or \"PUSK\"");
        if (b.size() == 1) require(++imageBytesSent_ <= imageSize_, "no byte past the image is sent");
        note(events_, "send:", (b.size() == 1 ? hexOf(b) : b));
    }

    void failed(const Value& v)
    {
        if (v.isInteger()) {
            require(v.asInteger() == kTimeoutTicks, "the only integer failure is 3");
            note(events_, "failure:", "#3");
        } else if (v.isText()) {
            require(isUpperHexText(v.asText()), "a failure's text is upper-case hex, two digits a byte");
            note(events_, "failure:", v.asText());
        } else {
            require(v.isNothing(), "a failure carries text, 3 or (past the image) nothing");
            note(events_, "failure:", "-");
        }
    }

    std::shared_ptr<FakeTimer::State> timer_ = std::make_shared<FakeTimer::State>();
    std::size_t imageSize_;
    std::size_t imageBytesSent_ = 0;
    Bytes crcField_ = "FFFF";
    Events events_;
    korv::UploadModule module_;
};

// 1 to 3 blocks and, now and then, a short tail; bytes from a small generator,
// or zeros (a first block of zeros is what the test image starts with).
std::vector<std::uint8_t> makeImage(korv::fuzz::FuzzInput& input)
{
    const std::uint8_t shape = input.byte();
    const std::uint8_t seed = input.byte();
    std::size_t size = kBlockBytes * (1u + shape % 3u);
    if ((shape & 0x10u) != 0) size += 1u + seed % (kBlockBytes - 1u);
    std::vector<std::uint8_t> image(size, 0);
    if ((shape & 0x20u) != 0) return image;
    std::uint32_t state = seed;
    for (auto& b : image) {
        state = state * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(state >> 16);
    }
    return image;
}

// A right reply changed as the script says: swapped, a byte flipped, a CR
// added, or cut in two chunks.
std::vector<Bytes> damaged(Bytes reply, korv::fuzz::FuzzInput& input)
{
    const std::uint8_t how = input.byte();
    const std::size_t at = (how >> 2) % reply.size();
    switch (how % 4) {
    case 0: std::swap(reply[0], reply[1]); return {reply};
    case 1: reply[at] = static_cast<char>(static_cast<unsigned char>(reply[at]) ^ (input.byte() | 1u)); return {reply};
    case 2: return {reply + "\r"};
    default: return {reply.substr(0, at), reply.substr(at)};
    }
}

void step(Model& model, Harness& harness, korv::fuzz::FuzzInput& input)
{
    Events expected;
    const std::uint8_t op = input.byte();
    auto deliver = [&](const Bytes& chunk) {
        model.receive(chunk, expected);
        harness.receive(chunk);
    };
    switch (op % 8) {
    case 0:
    case 1: deliver(input.chunk(kLongestRawChunk)); break;
    case 2: deliver(model.deviceReply(false, false)); break;
    case 3: deliver(model.deviceReply(true, false)); break;
    case 4: deliver(model.deviceReply(true, true)); break;
    case 5:
        for (int n = input.byte(); n > 0; --n) {
            model.tick(expected);
            harness.tick();
        }
        break;
    case 6:
        model.start(expected);
        harness.start();
        break;
    default:
        for (const Bytes& chunk : damaged(model.deviceReply((op & 0x80u) != 0, false), input)) deliver(chunk);
        break;
    }
    const Events actual = harness.takeEvents();
    if (actual != expected) {
        std::fprintf(stderr, "expected:\n%s\nfired:\n%s\n", expected.c_str(), actual.c_str());
        fail("the module's outputs are those of the upload rules");
    }
    require(harness.timerRunning() == model.timerRunning(), "the reply timer runs exactly when the rules say");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    korv::fuzz::FuzzInput input(data, size);
    const std::vector<std::uint8_t> image = makeImage(input);
    Model model(image);
    Harness harness(image);
    while (!input.empty()) step(model, harness, input);
    return 0;
}
