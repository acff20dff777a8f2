// The main window's blocks: the serial channel, the two protocol modules and
// the control flow that wires them to the window.
//
// Shutdown. By the time the destructor runs, the close path has delivered the
// close report (the flow closed the port and cut a success pause short) and
// switched event delivery off, so no worker thread waits for the window any
// more. The blocks are then released so that no worker can call into a block
// that is gone: the channel first (it waits for its reader thread), then the
// upload module (it stops its timer and waits for a tick in progress), then
// the identification module, and only then the flow whose reactions they call.
#include "app/main_window_win32.h"

#include "upload/firmware_resource_win32.h"
#include "upload/reply_timer_win32.h"

namespace korv {

void TClassSimpleForm_2198870::createBlocks()
{
    identification_ = std::make_unique<IdentificationModule>();
    upload_ = std::make_unique<UploadModule>(loadFirmwareImage(), std::make_unique<MultimediaReplyTimer>());
    channel_ = std::make_unique<THIComAsync>();
    successPause_ = std::make_unique<PerformanceCounterPause>();
    keepAwake_ = std::make_unique<ExecutionStateKeepAwake>([this](const std::function<void()>& task) { invoke(task); });
    flow_ = std::make_unique<MainFlow>(*this, *channel_, *identification_, *upload_, *successPause_, *keepAwake_);
    flow_->connect();

    onStart.connect([this] { flow_->start(); });
    onPortChosen.connect([this](Bytes entry) { flow_->portChosen(entry); });
    onWriteClicked.connect([this](Value value) { flow_->writeClicked(value); });
    onOkClicked.connect([this] { flow_->okClicked(); });
    onClose.connect([this] { flow_->windowClosing(); });
}

void TClassSimpleForm_2198870::destroyBlocks()
{
    channel_.reset();
    upload_.reset();
    identification_.reset();
    flow_.reset();
    keepAwake_.reset();
    successPause_.reset();
}

}  // namespace korv
