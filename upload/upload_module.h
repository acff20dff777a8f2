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

#include <cstdint>
#include <memory>

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
    struct State;
    std::unique_ptr<State> state_;
};

using UploadModule = TClassMultiElementEx_2208BB0;

}  // namespace korv
