// THIComAsync: open, set-up, close, write and read. The threads and the
// closing hand-over are described in com_async_win32.h.
#include "serial/com_async_win32.h"

#include "serial/line_settings_win32.h"
#include "serial/port_name.h"

namespace korv {
namespace {

// How long ClosePort waits for a reader that is not inside a delivery: it
// has been woken and only has to leave its loop. Waiting longer is never
// needed for safety, since the reader co-owns everything it touches.
constexpr DWORD kReaderEndWaitMs = 2000;
// How long the destructor waits for readers left running by earlier closes.
constexpr DWORD kDestroyWaitMs = 5000;

struct ReaderStart {
    std::shared_ptr<serialwin::PortLink> link;
    Output<std::int32_t>* bytesWaiting;
};

bool configure(HANDLE port)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    GetCommState(port, &dcb);  // only to keep the fields the channel does not set
    serialwin::applyLineState(dcb);
    COMMTIMEOUTS timeouts = serialwin::lineTimeouts();
    const bool purged = PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
    SetupComm(port, serialwin::kInputQueueBytes, serialwin::kOutputQueueBytes);
    return purged && SetCommState(port, &dcb) && SetCommTimeouts(port, &timeouts) &&
           SetCommMask(port, serialwin::kEventMask);
}

}  // namespace

THIComAsync::~THIComAsync()
{
    ClosePort(Value());
    // By now nothing delivers to the window any more, so readers still inside
    // a delivery return at once.
    const ULONGLONG deadline = GetTickCount64() + kDestroyWaitMs;
    for (auto& reader : leftReaders_) {
        const ULONGLONG now = GetTickCount64();
        WaitForSingleObject(reader.get(), now < deadline ? static_cast<DWORD>(deadline - now) : 0);
    }
}

void THIComAsync::OpenPort(const Value&)
{
    if (currentLink()) return;
    portName_ = PortName.readOr(Bytes());
    const std::int32_t number =
        openPortByName(portName_, [this](const Bytes& devicePath) { return setUp(devicePath); });
    OnOpenResult(number);
}

bool THIComAsync::setUp(const Bytes& devicePath)
{
    auto link = serialwin::PortLink::open(devicePath);
    if (!link) return false;
    {
        std::lock_guard<std::mutex> lock(linkMutex_);
        link_ = link;
    }
    if (configure(link->port()) && startReader(link)) return true;
    ClosePort(Value());
    return false;
}

bool THIComAsync::startReader(const std::shared_ptr<serialwin::PortLink>& link)
{
    auto start = std::make_unique<ReaderStart>(ReaderStart{link, &OnBytesWaiting});
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, &THIComAsync::readerMain, start.get(), 0, &threadId);
    if (!thread) return false;
    start.release();  // the reader thread owns it now
    reader_ = serialwin::Handle(thread);
    SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST);  // a lower priority still works
    return true;
}

DWORD WINAPI THIComAsync::readerMain(LPVOID param)
{
    std::unique_ptr<ReaderStart> start(static_cast<ReaderStart*>(param));
    Output<std::int32_t>& bytesWaiting = *start->bytesWaiting;
    start->link->runReader([&bytesWaiting](std::int32_t n) { bytesWaiting(n); });
    return 0;  // dropping start may close the port, when this was its last owner
}

void THIComAsync::ClosePort(const Value&)
{
    std::shared_ptr<serialwin::PortLink> link;
    {
        std::lock_guard<std::mutex> lock(linkMutex_);
        link.swap(link_);
    }
    if (link) {
        const bool delivering = link->requestStop();
        if (reader_) {
            // Never wait for a reader inside a delivery: it may be waiting for
            // this very thread. It closes the port when the delivery returns.
            if (!delivering && WaitForSingleObject(reader_.get(), kReaderEndWaitMs) == WAIT_OBJECT_0) {
                reader_.reset();
            } else {
                leftReaders_.push_back(std::move(reader_));
            }
        }
        link.reset();  // purges and closes the port unless the reader still holds it
    }
    forgetEndedReaders();
}

void THIComAsync::forgetEndedReaders()
{
    std::erase_if(leftReaders_, [](const serialwin::Handle& reader) {
        return WaitForSingleObject(reader.get(), 0) == WAIT_OBJECT_0;
    });
}

std::shared_ptr<serialwin::PortLink> THIComAsync::currentLink() const
{
    std::lock_guard<std::mutex> lock(linkMutex_);
    return link_;
}

void THIComAsync::SendText(const Value& text)
{
    const Bytes bytes = text.asText();
    if (bytes.empty()) return;  // a zero-length write would send nothing either
    if (auto link = currentLink()) link->write(bytes);
}

void THIComAsync::ReadWaiting(std::int32_t n)
{
    auto link = currentLink();
    if (!link || link->stopRequested()) return;
    if (auto chunk = link->readWaiting(n)) OnReceived(std::move(*chunk));
}

}  // namespace korv
