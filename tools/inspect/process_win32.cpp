// Commands that start, close and end processes. Process handles are owned by
// UniqueHandle for the life of the command; the tool starts no threads.
#include "commands_win32.h"

#include "args.h"
#include "handle_win32.h"
#include "main_window_win32.h"
#include "window_info_win32.h"

#include <cstdio>
#include <optional>
#include <vector>

namespace inspect {

namespace {

constexpr DWORD kCloseQueryRights = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
// Polling period while waiting for a closed window's process, in milliseconds:
// short, so that the measured times are fine-grained.
constexpr DWORD kExitPollMs = 2;

// The command line to start, in the form CreateProcessA or CreateProcessW takes.
struct CommandLine {
    bool wide = false;
    std::wstring text;   // wide
    std::string bytes;   // narrow: passed on byte for byte
};

std::string narrowForAnsi(const std::wstring& text) {
    if (text.empty()) return {};
    const int wideLength = static_cast<int>(text.size());
    BOOL lossy = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), wideLength, nullptr, 0,
                                         nullptr, &lossy);
    if (size <= 0 || lossy) {
        throw Failure("the command line has characters outside the ANSI code page; use --wide or --raw", kExitUsage);
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), wideLength, bytes.data(), size, nullptr,
                        nullptr);
    return bytes;
}

std::wstring fromUtf8(const std::string& bytes) {
    if (bytes.empty()) return {};
    const int length = static_cast<int>(bytes.size());
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
    if (size <= 0) throw Failure("the command line file is not UTF-8; use --raw", kExitUsage, GetLastError());
    std::wstring text(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, text.data(), size);
    return text;
}

std::string readFile(const std::wstring& path) {
    std::FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) throw Failure("cannot open " + asciiForMessage(path));
    std::string bytes;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) throw Failure("cannot read " + asciiForMessage(path));
    return bytes;
}

// From the argument (escaped or not) or from --file: UTF-8 text, or with --raw
// the bytes themselves for CreateProcessA.
CommandLine commandLineOf(const Args& args) {
    CommandLine line;
    line.wide = args.flag(L"wide");
    std::wstring text;
    if (args.flag(L"file")) {
        args.expectPositional(1);
        const std::string bytes = readFile(args.at(0, "command line file"));
        if (args.flag(L"raw")) {
            if (line.wide) throw Failure("--raw passes bytes to CreateProcessA; it excludes --wide", kExitUsage);
            line.bytes = bytes;
            return line;
        }
        text = fromUtf8(bytes);
    } else {
        args.expectPositional(1);
        const std::wstring& given = args.at(0, "command line");
        text = args.flag(L"escaped") ? unescape(given) : given;
    }
    if (line.wide) {
        line.text = text;
    } else {
        line.bytes = narrowForAnsi(text);
    }
    return line;
}

// Starts the command line exactly as given (no quoting added or removed).
PROCESS_INFORMATION startProcess(const CommandLine& line) {
    PROCESS_INFORMATION info{};
    BOOL started = FALSE;
    if (line.wide) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        std::vector<wchar_t> buffer(line.text.begin(), line.text.end());
        buffer.push_back(L'\0');
        started = CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
    } else {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        std::vector<char> buffer(line.bytes.begin(), line.bytes.end());
        buffer.push_back('\0');
        started = CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
    }
    if (!started) throw Failure("CreateProcess failed", kExitFailure, GetLastError());
    return info;
}

Json exitJson(HANDLE process, DWORD pid) {
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) throw Failure("GetExitCodeProcess failed", kExitFailure, GetLastError());
    return Json::object().set("pid", static_cast<unsigned long>(pid)).set("exited", true).set("exit_code", static_cast<unsigned long>(code));
}

}  // namespace

Json launchCommand(const Words& words) {
    const Args args(words, {L"wait"}, {L"wide", L"escaped", L"file", L"raw"});
    const PROCESS_INFORMATION info = startProcess(commandLineOf(args));
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    const Json started = Json::object().set("pid", static_cast<unsigned long>(info.dwProcessId));
    if (!args.has(L"wait")) return started;
    printLine(started);
    const auto timeout = static_cast<DWORD>(args.integer(L"wait", kDefaultTimeoutMs));
    const DWORD waited = WaitForSingleObject(process.get(), timeout);
    if (waited == WAIT_TIMEOUT) throw Failure("the process did not exit in time", kExitTimeout);
    if (waited != WAIT_OBJECT_0) throw Failure("waiting for the process failed", kExitFailure, GetLastError());
    return exitJson(process.get(), info.dwProcessId);
}

Json closeCommand(const Words& words) {
    const Args args(words, {L"timeout", L"pid", L"wait-exit"}, {L"hidden"});
    args.expectPositional(0);
    const HWND window = waitForMainWindow(args, args.flag(L"hidden"));
    const DWORD pid = processOf(window);
    Json json = Json::object().set("pid", static_cast<unsigned long>(pid));
    UniqueHandle process;
    if (args.has(L"wait-exit")) {
        process = UniqueHandle(OpenProcess(kCloseQueryRights, FALSE, pid));
        if (!process) throw Failure("OpenProcess failed", kExitFailure, GetLastError());
    }
    const double posted = nowMs();
    if (!PostMessageW(window, WM_CLOSE, 0, 0)) throw Failure("PostMessage(WM_CLOSE) failed", kExitFailure, GetLastError());
    if (!process) return json.set("posted", true);

    const double deadline = posted + static_cast<double>(args.integer(L"wait-exit", kDefaultTimeoutMs));
    std::optional<double> windowGoneMs;
    for (;;) {
        const DWORD waited = WaitForSingleObject(process.get(), kExitPollMs);
        if (!windowGoneMs && !IsWindow(window)) windowGoneMs = nowMs() - posted;
        if (waited == WAIT_OBJECT_0) break;
        if (waited != WAIT_TIMEOUT) throw Failure("waiting for the process failed", kExitFailure, GetLastError());
        if (nowMs() >= deadline) throw Failure("the process did not exit after WM_CLOSE", kExitTimeout);
    }
    const double exitedMs = nowMs() - posted;
    return exitJson(process.get(), pid).set("window_gone_ms", windowGoneMs ? Json(*windowGoneMs) : Json()).set("exit_ms", exitedMs);
}

Json killCommand(const Words& words) {
    const Args args(words, {}, {});
    args.expectPositional(1);
    const auto pid = static_cast<DWORD>(parseInteger(args.at(0, "pid"), "pid"));
    const UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    if (!process) throw Failure("OpenProcess failed", kExitFailure, GetLastError());
    constexpr UINT kKilledExitCode = 1;
    if (!TerminateProcess(process.get(), kKilledExitCode)) throw Failure("TerminateProcess failed", kExitFailure, GetLastError());
    return Json::object().set("killed", static_cast<unsigned long>(pid));
}

}  // namespace inspect
