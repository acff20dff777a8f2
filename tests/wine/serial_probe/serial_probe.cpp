// serial_probe: drives the real THIComAsync from a script on its command line
// and prints every event to stdout, one line each: "<ms> <event> <values>".
// For the Windows-side tests; see test_serial_channel.py for the commands in
// use and the usage text below for all of them.
//
// Threads: the script runs on the main thread, which also owns a message-only
// window. Channel events come on the channel's reader thread; with "hold-rx"
// each OnReceived waits in SendMessage for the main thread, as a control
// update of the real program does. Output is serialised by one mutex.
#include "serial/com_async_win32.h"
#include "serial/handles_win32.h"
#include "serial/line_settings_win32.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using korv::Bytes;
using korv::serialwin::Handle;

constexpr UINT kHoldMessage = WM_APP + 1;
constexpr DWORD kHeldReturnWaitMs = 10000;

const char* const kUsage =
    "serial_probe COMMAND...\n"
    "  open NAME | open -          OpenPort with PortName NAME (- : empty)\n"
    "  close                       ClosePort; prints how long it took\n"
    "  send HEX | send -           SendText with these bytes (- : empty)\n"
    "  send-fill COUNT BYTE        SendText with COUNT bytes of hex BYTE\n"
    "  read-waiting N              ReadWaiting(N) on the main thread\n"
    "  wait-rx COUNT MS            wait (pumping messages) until COUNT bytes came\n"
    "  pump MS                     pump messages for MS\n"
    "  quiet-rx                    print received chunks by length only\n"
    "  hold-rx                     each OnReceived waits for the main thread\n"
    "  close-held MS               wait up to MS for a held delivery, then close\n"
    "  list                        ListPorts\n"
    "  cpu                         process CPU time so far, in ms\n"
    "  line-state                  the line state the channel hands to the driver\n"
    "  reg-clear                   delete HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM\n"
    "  reg-set NAME TYPE HEX       set a value there (TYPE as a number)\n"
    "  reg-set-fill NAME TYPE COUNT BYTE   the same with COUNT bytes of BYTE\n"
    "  destroy                     destroy the channel and make a new one\n";

constexpr char kSerialCommKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::mutex gPrintMutex;
const ULONGLONG gStart = GetTickCount64();

void print(const std::string& line)
{
    std::lock_guard<std::mutex> lock(gPrintMutex);
    std::printf("%llu %s\n", GetTickCount64() - gStart, line.c_str());
    std::fflush(stdout);
}

std::string hex(const Bytes& bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out.empty() ? "-" : out;
}

Bytes unhex(const std::string& text)
{
    Bytes out;
    if (text == "-") return out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    }
    return out;
}

class Probe {
public:
    Probe();
    bool run(int argc, char** argv);

private:
    void link();
    void onBytesWaiting(std::int32_t n);
    void onReceived(const Bytes& chunk);
    bool pumpUntil(const std::function<bool()>& done, DWORD ms);
    void closeHeld(DWORD ms);
    void printLineState();
    void printCpu();
    void setRegistryValue(const std::string& name, DWORD type, const Bytes& data);
    static LRESULT CALLBACK windowProc(HWND, UINT, WPARAM, LPARAM);

    std::unique_ptr<korv::THIComAsync> channel_;
    Bytes portName_;
    HWND window_ = nullptr;
    Handle heldEvent_ = korv::serialwin::makeManualResetEvent();
    std::atomic<bool> hold_{false};
    std::atomic<bool> quiet_{false};
    std::atomic<bool> closeReturned_{false};
    std::atomic<long long> received_{0};
    std::atomic<int> heldReturned_{0};
};

thread_local bool tDeliveryIsLate = false;

Probe::Probe()
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = &Probe::windowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"serial_probe";
    RegisterClassW(&wc);
    window_ = CreateWindowExW(0, L"serial_probe", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    channel_ = std::make_unique<korv::THIComAsync>();
    link();
}

LRESULT CALLBACK Probe::windowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == kHoldMessage) return 1;
    return DefWindowProcW(hwnd, msg, wp, lp);
}

void Probe::link()
{
    channel_->PortName.link([this] { return std::optional<Bytes>(portName_); });
    channel_->OnOpenResult.connect([](std::int32_t n) { print("open-result " + std::to_string(n)); });
    channel_->OnBytesWaiting.connect([this](std::int32_t n) { onBytesWaiting(n); });
    channel_->OnReceived.connect([this](const Bytes& chunk) { onReceived(chunk); });
    channel_->OnPortFound.connect([](const Bytes& name) { print("port " + hex(name)); });
}

void Probe::onBytesWaiting(std::int32_t n)
{
    // A delivery is late when it starts after ClosePort has returned.
    tDeliveryIsLate = closeReturned_.load();
    if (tDeliveryIsLate) print("LATE-waiting " + std::to_string(n));
    if (!quiet_) print("waiting " + std::to_string(n));
    channel_->ReadWaiting(n);
}

void Probe::onReceived(const Bytes& chunk)
{
    if (tDeliveryIsLate) print("LATE-rx " + std::to_string(chunk.size()));
    std::string line = "rx " + std::to_string(chunk.size());
    if (!quiet_) line.append(" ").append(hex(chunk));
    print(line);
    received_ += static_cast<long long>(chunk.size());
    if (!hold_) return;
    SetEvent(heldEvent_.get());
    SendMessageW(window_, kHoldMessage, 0, 0);  // waits until the main thread pumps
    ++heldReturned_;
}

bool Probe::pumpUntil(const std::function<bool()>& done, DWORD ms)
{
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        if (done && done()) return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 10)),
                                  QS_ALLINPUT);
    }
}

void Probe::closeHeld(DWORD ms)
{
    // Deliberately not pumping: the held delivery stays inside SendMessage.
    if (WaitForSingleObject(heldEvent_.get(), ms) != WAIT_OBJECT_0) {
        print("no-held-delivery");
        return;
    }
    const int returnedBefore = heldReturned_.load();
    const ULONGLONG t0 = GetTickCount64();
    channel_->ClosePort(korv::Value());
    closeReturned_ = true;
    print("closed-while-held ms " + std::to_string(GetTickCount64() - t0));
    hold_ = false;
    const bool back = pumpUntil([&] { return heldReturned_.load() > returnedBefore; }, kHeldReturnWaitMs);
    print(back ? "held-returned" : "held-stuck");
}

void Probe::printLineState()
{
    DCB dcb{};
    korv::serialwin::applyLineState(dcb);
    DWORD flags = 0;
    static_assert(sizeof(DCB) == 28, "DCB layout");
    std::memcpy(&flags, reinterpret_cast<const char*>(&dcb) + 8, sizeof flags);
    const COMMTIMEOUTS t = korv::serialwin::lineTimeouts();
    char line[512];
    std::snprintf(line, sizeof line,
                  "line-state length %lu baud %lu flags %08lX xonlim %u xofflim %u bytesize %u parity %u "
                  "stopbits %u xon %02X xoff %02X evt %02X timeouts %lX %lu %lu %lu %lu queues %lu %lu mask %lX",
                  dcb.DCBlength, dcb.BaudRate, flags, dcb.XonLim, dcb.XoffLim, dcb.ByteSize, dcb.Parity,
                  dcb.StopBits, static_cast<unsigned char>(dcb.XonChar), static_cast<unsigned char>(dcb.XoffChar),
                  static_cast<unsigned char>(dcb.EvtChar), t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                  t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant,
                  korv::serialwin::kInputQueueBytes, korv::serialwin::kOutputQueueBytes, korv::serialwin::kEventMask);
    print(line);
}

void Probe::printCpu()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return;
    auto ms = [](const FILETIME& f) {
        return ((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000ULL;
    };
    print("cpu " + std::to_string(ms(kernel) + ms(user)));
}

void Probe::setRegistryValue(const std::string& name, DWORD type, const Bytes& data)
{
    korv::serialwin::RegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.receive(),
                        nullptr) != ERROR_SUCCESS ||
        RegSetValueExA(key.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size())) != ERROR_SUCCESS) {
        print("reg-set-failed " + name);
        return;
    }
    print("reg-set " + name + " " + std::to_string(data.size()));
}

bool Probe::run(int argc, char** argv)
{
    std::vector<std::string> a(argv + 1, argv + argc);
    auto arg = [&](std::size_t i) { return i < a.size() ? a[i] : std::string(); };
    auto num = [&](std::size_t i) { return static_cast<DWORD>(std::strtoul(arg(i).c_str(), nullptr, 10)); };
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::string& cmd = a[i];
        if (cmd == "open") {
            portName_ = arg(++i) == "-" ? Bytes() : arg(i);
            closeReturned_ = false;
            received_ = 0;
            print("open " + hex(portName_));
            channel_->OpenPort(korv::Value());
            print("open-returned");
        } else if (cmd == "close") {
            const ULONGLONG t0 = GetTickCount64();
            channel_->ClosePort(korv::Value());
            closeReturned_ = true;
            print("closed ms " + std::to_string(GetTickCount64() - t0));
        } else if (cmd == "send" || cmd == "send-fill") {
            const Bytes bytes = cmd == "send" ? unhex(arg(++i)) : Bytes(num(i + 1), unhex(arg(i + 2)).at(0));
            if (cmd == "send-fill") i += 2;
            channel_->SendText(korv::Value(bytes));
            print("sent " + std::to_string(bytes.size()));
        } else if (cmd == "wait-rx") {
            const long long want = num(i + 1);
            const bool got = pumpUntil([&] { return received_.load() >= want; }, num(i + 2));
            i += 2;
            print(std::string(got ? "rx-total " : "rx-timeout ") + std::to_string(received_.load()));
        } else if (cmd == "read-waiting") {
            channel_->ReadWaiting(static_cast<std::int32_t>(num(++i)));
            print("read-returned");
        } else if (cmd == "pump") {
            pumpUntil(nullptr, num(++i));
        } else if (cmd == "quiet-rx") {
            quiet_ = true;
        } else if (cmd == "hold-rx") {
            hold_ = true;
        } else if (cmd == "close-held") {
            closeHeld(num(++i));
        } else if (cmd == "list") {
            channel_->ListPorts(korv::Value());
            print("listed");
        } else if (cmd == "cpu") {
            printCpu();
        } else if (cmd == "line-state") {
            printLineState();
        } else if (cmd == "reg-clear") {
            const LSTATUS r = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSerialCommKey);
            print("reg-clear " + std::to_string(r));
        } else if (cmd == "reg-set") {
            setRegistryValue(arg(i + 1), num(i + 2), unhex(arg(i + 3)));
            i += 3;
        } else if (cmd == "reg-set-fill") {
            setRegistryValue(arg(i + 1), num(i + 2), Bytes(num(i + 3), unhex(arg(i + 4)).at(0)));
            i += 4;
        } else if (cmd == "destroy") {
            const ULONGLONG t0 = GetTickCount64();
            channel_.reset();
            closeReturned_ = true;
            print("destroyed ms " + std::to_string(GetTickCount64() - t0));
            channel_ = std::make_unique<korv::THIComAsync>();
            link();
        } else {
            std::fputs(kUsage, stderr);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Probe probe;
    const bool ok = probe.run(argc, argv);
    print("end");
    return ok ? 0 : 2;
}
