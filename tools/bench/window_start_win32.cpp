// window_start ENTRIES program.exe [args...]: the start-up stopwatch of the
// benchmark. Starts the program with CreateProcessA and times, from just
// before that call, until one of the program's top-level windows is visible
// and holds a drop-down list with ENTRIES entries; then posts WM_CLOSE to
// that window and waits for the program to end (terminating it if it does
// not). The exe and its reference (bare_window) are both started and watched
// by this program, so the cost of starting and of looking cancels out.
// Prints one JSON line: shown_ms (visible with the entries), visible_ms
// (first seen visible), polls, exit_code, exit_ms (from WM_CLOSE).
// Exit status 0 after a timed start and an ended program, 1 otherwise.
//
// Threads: one, the main thread; it owns the process and thread handles of
// the started program (UniqueHandle) and ends the program before it returns.
#include "bench_win32.h"

#include <windows.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Between two looks at the program's windows; the wait doubles as the check
// that the program is still running.
constexpr DWORD kPollMs = 1;
constexpr double kShowTimeoutSeconds = 60.0;
constexpr DWORD kExitTimeoutMs = 10000;
// A cross-process CB_GETCOUNT waits for the owner thread to pump; a busy
// owner is asked again at the next look.
constexpr UINT kQueryTimeoutMs = 200;
constexpr UINT kTerminatedExitCode = 1;

struct Started {
    bench::UniqueHandle process;
    bench::UniqueHandle thread;
    DWORD pid = 0;
};

// Quotes every argument the way the C runtime splits a command line back
// (enough for paths with spaces; arguments here hold no quotes).
std::string commandLine(int argc, char** argv, int first)
{
    std::string line;
    for (int i = first; i < argc; ++i) {
        if (!line.empty()) line += ' ';
        line += '"';
        line += argv[i];
        line += '"';
    }
    return line;
}

Started start(std::string line)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    if (!CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        bench::throwLastError("CreateProcessA " + line);
    }
    return {bench::UniqueHandle(info.hProcess), bench::UniqueHandle(info.hThread), info.dwProcessId};
}

struct Look {
    DWORD pid = 0;
    long wanted = 0;
    HWND visible = nullptr;  // a visible top-level window of the program
    HWND ready = nullptr;    // ... that also holds the wanted entries
};

BOOL CALLBACK lookAtChild(HWND child, LPARAM param)
{
    auto& look = *reinterpret_cast<Look*>(param);
    char className[32] = {};
    if (GetClassNameA(child, className, sizeof className) == 0 || lstrcmpiA(className, "ComboBox") != 0) return TRUE;
    DWORD_PTR count = 0;
    if (SendMessageTimeoutA(child, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kQueryTimeoutMs, &count) == 0) return TRUE;
    if (static_cast<long>(count) != look.wanted) return TRUE;
    look.ready = GetAncestor(child, GA_ROOT);
    return FALSE;
}

BOOL CALLBACK lookAtTopLevel(HWND window, LPARAM param)
{
    auto& look = *reinterpret_cast<Look*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != look.pid || !IsWindowVisible(window)) return TRUE;
    look.visible = window;
    // EnumChildWindows reports nothing through its result; look.ready says it.
    EnumChildWindows(window, lookAtChild, param);
    return look.ready == nullptr;
}

Look lookOnce(DWORD pid, long wanted)
{
    Look look;
    look.pid = pid;
    look.wanted = wanted;
    EnumWindows(lookAtTopLevel, reinterpret_cast<LPARAM>(&look));  // FALSE also when stopped early
    return look;
}

struct Timing {
    double shownMs = 0;
    double visibleMs = 0;
    long polls = 0;
    HWND window = nullptr;
};

Timing waitUntilShown(const Started& program, const bench::Stopwatch& clock, long wanted)
{
    Timing t;
    std::optional<double> visible;
    for (;;) {
        const Look look = lookOnce(program.pid, wanted);
        ++t.polls;
        const double ms = clock.seconds() * 1000.0;
        if (look.visible != nullptr && !visible) visible = ms;
        if (look.ready != nullptr) {
            t.shownMs = ms;
            t.visibleMs = visible.value_or(ms);
            t.window = look.ready;
            return t;
        }
        if (clock.seconds() > kShowTimeoutSeconds) throw std::runtime_error("no window with the entries in time");
        const DWORD waited = WaitForSingleObject(program.process.get(), kPollMs);
        if (waited == WAIT_OBJECT_0) throw std::runtime_error("the program ended before its window was shown");
        if (waited != WAIT_TIMEOUT) bench::throwLastError("WaitForSingleObject (program)");
    }
}

struct Ending {
    DWORD exitCode = 0;
    double exitMs = 0;
    bool terminated = false;
};

// Closes the window as a user would; a program that does not end in time is
// terminated, so that nothing is left running.
Ending end(const Started& program, HWND window)
{
    Ending e;
    const bench::Stopwatch clock;
    if (!PostMessageA(window, WM_CLOSE, 0, 0)) bench::throwLastError("PostMessageA (WM_CLOSE)");
    DWORD waited = WaitForSingleObject(program.process.get(), kExitTimeoutMs);
    if (waited == WAIT_TIMEOUT) {
        e.terminated = true;
        if (!TerminateProcess(program.process.get(), kTerminatedExitCode)) bench::throwLastError("TerminateProcess");
        waited = WaitForSingleObject(program.process.get(), kExitTimeoutMs);
    }
    if (waited != WAIT_OBJECT_0) bench::throwLastError("WaitForSingleObject (exit)");
    e.exitMs = clock.seconds() * 1000.0;
    if (!GetExitCodeProcess(program.process.get(), &e.exitCode)) bench::throwLastError("GetExitCodeProcess");
    return e;
}

int run(long wanted, const std::string& line)
{
    const bench::Stopwatch clock;
    const Started program = start(line);
    Timing t;
    try {
        t = waitUntilShown(program, clock, wanted);
    } catch (...) {
        TerminateProcess(program.process.get(), kTerminatedExitCode);  // best effort; the failure is reported
        throw;
    }
    const Ending e = end(program, t.window);
    std::printf("{\"program\": \"window_start\", \"pid\": %lu, \"entries\": %ld, \"shown_ms\": %.3f, "
                "\"visible_ms\": %.3f, \"polls\": %ld, \"exit_code\": %lu, \"exit_ms\": %.3f, \"terminated\": %s}\n",
                static_cast<unsigned long>(program.pid), wanted, t.shownMs, t.visibleMs, t.polls,
                static_cast<unsigned long>(e.exitCode), e.exitMs, e.terminated ? "true" : "false");
    return e.terminated ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::uint64_t wanted = argc >= 3 ? bench::parseCount(argv[1]) : 0;
    if (wanted == 0 || wanted > 255) {
        std::fprintf(stderr, "usage: window_start ENTRIES program.exe [args...]   (ENTRIES: 1 to 255)\n");
        return 2;
    }
    try {
        return run(static_cast<long>(wanted), commandLine(argc, argv, 2));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "window_start: %s\n", e.what());
        return 1;
    }
}
