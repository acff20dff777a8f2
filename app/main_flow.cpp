#include "app/main_flow.h"

namespace korv {

namespace {
const Value kOff{0};  // the value that hides or disables
const Value kOn{};    // any other value shows or enables; the empty one is used
}  // namespace

MainFlow::MainFlow(WindowOperations& window, SerialChannel& channel, IdentificationModule& identification,
                   UploadModule& upload, SuccessPause& successPause, KeepAwake& keepAwake)
    : window_(window),
      channel_(channel),
      identification_(identification),
      upload_(upload),
      successPause_(successPause),
      keepAwake_(keepAwake)
{
}

void MainFlow::connect()
{
    channel_.OnPortFound.connect([this](Bytes name) { window_.addPortEntry(name); });
    channel_.PortName.link([this] { return std::optional<Bytes>(selectedPort_); });
    channel_.OnOpenResult.connect([this](std::int32_t port) { identification_.doPortResult(Value(port)); });
    channel_.OnBytesWaiting.connect([this](std::int32_t count) { channel_.ReadWaiting(count); });  // C
    channel_.OnReceived.connect([this](Bytes chunk) { receive(chunk); });

    identification_.onOpenPort.connect([this](Value v) { channel_.OpenPort(v); });
    identification_.onSend.connect([this](Bytes text) { channel_.SendText(Value(std::move(text))); });
    identification_.onStatus.connect([this](Bytes text) { window_.setText(Control::StatusField, Value(std::move(text))); });
    identification_.onIdentified.connect([this](Bytes signature) { deviceIdentified(signature); });

    upload_.onSend.connect([this](Bytes bytes) { channel_.SendText(Value(std::move(bytes))); });
    upload_.onProgress.connect([this](std::int32_t blocks) { window_.setProgress(blocks); });
    upload_.onRunningCrc.connect([this](Bytes crc) { window_.setText(Control::CrcField, Value(std::move(crc))); });
    upload_.RunningCrc.link([this] { return std::optional<Bytes>(window_.getText(Control::CrcField)); });
    upload_.onSuccess.connect([this](Bytes) { uploadSucceeded(); });
    upload_.onFailure.connect([this](Value) { uploadFailed(); });
}

// A: the port list is filled once, before the window is first shown.
void MainFlow::start()
{
    channel_.ListPorts(Value());
}

// B: close whatever an earlier choice opened, then open the new port; the
// open result and the "VERS" query come back before this returns.
void MainFlow::portChosen(const Bytes& entryText)
{
    channel_.ClosePort(Value());
    selectedPort_ = entryText;
    identification_.doOpenPort(Value(entryText));
}

// D: Route is read afresh for every chunk.
void MainFlow::receive(const Bytes& chunk)
{
    if (closed_) return;
    if (identification_.Route() == 0)
        identification_.doReceive(chunk);
    else
        upload_.doReceive(chunk);
}

// E: the device is known; the port can no longer change.
void MainFlow::deviceIdentified(const Bytes& signature)
{
    if (closed_) return;
    window_.enable(Control::PortList, kOff);
    window_.enable(Control::WriteButton, Value(signature));
}

// F: block 1 goes out before the button and the window are disabled.
void MainFlow::writeClicked(const Value& value)
{
    keepAwake_.hold();
    upload_.doStart(value);
    window_.enable(Control::WriteButton, kOff);
    window_.enableWindow(kOff);
}

// G: runs on the reader thread, which the pause holds for its whole length.
void MainFlow::uploadSucceeded()
{
    if (closed_) return;
    successToggle_ ^= 1;
    successPause_.wait(kSuccessDelay);
    if (closed_) return;
    showSuccessScreen();
}

// H: on the reader thread after a bad reply, on the timer's thread after silence.
void MainFlow::uploadFailed()
{
    if (closed_ || successToggle_ != 0) return;
    showFailureScreen();
}

void MainFlow::showSuccessScreen()
{
    showFinishScreen();
    errorMarkIsZero_ = true;
    // A rejected chunk may have shown the failure screen before the device
    // still sent its final reply; one ending only may stand on the window.
    showErrorMark(kOff);
    window_.show(Control::SuccessText, kOn);
}

void MainFlow::showFailureScreen()
{
    showFinishScreen();
    showErrorMark(errorMarkIsZero_ ? kOff : kOn);
}

void MainFlow::showErrorMark(const Value& value)
{
    window_.show(Control::ErrorLine2, value);
    window_.show(Control::ErrorLine1, value);
    window_.show(Control::ErrorIcon, value);
}

void MainFlow::showFinishScreen()
{
    window_.show(Control::PortList, kOff);
    window_.show(Control::StatusField, kOff);
    window_.show(Control::UploadProgress, kOff);
    window_.show(Control::WriteButton, kOff);
    window_.show(Control::VersionLabel, kOff);
    window_.enableWindow(kOn);
    window_.show(Control::OkButton, kOn);
    keepAwake_.release();
}

// I
void MainFlow::okClicked()
{
    window_.close();
}

// J: from here on no late chunk, tick or pause reaches the window.
void MainFlow::windowClosing()
{
    channel_.ClosePort(Value());
    closed_ = true;
    successPause_.cancel();
    keepAwake_.release();
}

}  // namespace korv
