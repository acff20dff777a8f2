// Firmware upload: writes the image in 256-byte blocks, lets the device confirm
// each with the running CRC-16, and closes with "PUSK" after the final reply.
//
// Threads: doStart runs on the window's thread; doReceive on the serial reader
// thread; ticks on the reply timer's thread. (Details in upload_module.cpp.)
#pragma once

#include "common/output.h"
#include "common/value.h"
#include "upload/firmware_image.h"
#include "upload/reply_timer.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace korv {

class TClassMultiElementEx_2208BB0 {
public:
    TClassMultiElementEx_2208BB0(FirmwareImage image, std::unique_ptr<ReplyTimer> timer);
    ~TClassMultiElementEx_2208BB0();
    TClassMultiElementEx_2208BB0(const TClassMultiElementEx_2208BB0&) = delete;
    TClassMultiElementEx_2208BB0& operator=(const TClassMultiElementEx_2208BB0&) = delete;

    // Inputs.
    void doReceive(const Bytes& chunk);
    void doStart(const Value& ignored);

    // Outputs.
    Output<std::int32_t> onProgress;
    Output<Bytes> onSend;
    Output<Bytes> onSuccess;
    Output<Value> onFailure;  // hex text of a rejected chunk, or the integer 3 on a timeout
    Output<Bytes> onRunningCrc;
    Output<Bytes> onRawReply;

    // Data input: the running CRC text, held by the main window.
    DataInput<Bytes> RunningCrc;

private:
    enum class Verdict { Final, NextBlock, Mismatch };
    class BlockWriting;

    Verdict judge(const Bytes& hex, std::int32_t& progress);
    void writeBlock();
    std::optional<std::uint8_t> nextImageByte();
    void sendImageByte(std::uint8_t byte);
    void endBlock();
    bool anotherThreadWriting() const;
    void handleTick();
    std::int32_t stepTickCounter();

    // Under mutex_: the image and its read position, the two masks, the
    // block count, and the threads now writing a block.
    std::mutex mutex_;
    std::condition_variable blockDone_;
    FirmwareImage image_;
    Bytes blockMask_;
    Bytes finalMask_;
    std::int32_t blockCounter_ = 0;
    std::vector<std::thread::id> writers_;

    // Stepped on the timer's thread, cleared on the reader thread.
    std::atomic<std::int32_t> tickCounter_{0};
    std::atomic<bool> tickBusy_{false};

    std::unique_ptr<ReplyTimer> timer_;
};

using UploadModule = TClassMultiElementEx_2208BB0;

}  // namespace korv
