// inspect.exe: looks at the program's main window from outside, under Wine or
// Windows, through ordinary window messages, and drives it as a user would.
// Each command prints one JSON line on stdout (launch --wait prints two) and
// exits 0; a failure prints {"error": ...} and exits non-zero (2: usage,
// 3: timeout). Single-threaded; every wait is bounded by --timeout.
#include "args.h"
#include "commands_win32.h"
#include "json.h"

#include <cstdio>
#include <map>

namespace {

constexpr const char* kUsage =
    "usage: inspect <command> [args]\n"
    "  find [--timeout ms] [--pid n] [--hidden]   main window: caption, rects, state\n"
    "  dump [--timeout ms] [--pid n] [--hidden]   main window and every control\n"
    "  select <index> [--force]                   choose a port list entry\n"
    "  click <id> [--force]                       click a button\n"
    "  wait <id> <condition> [--timeout ms] [--escaped]   id 0 is the main window; conditions:\n"
    "       visible hidden enabled disabled gone text=T contains=T pos=N selection=N count=N\n"
    "  close [--wait-exit ms]                     post WM_CLOSE; optionally wait for the exit\n"
    "  msgbox [--timeout ms] [--pid n] [--press id]  a message box: caption, texts, buttons\n"
    "  list [--pid n] [--all]                     top-level windows\n"
    "  launch <command line> [--wait ms] [--wide] [--escaped]   start exactly that command line\n"
    "  launch --file <path> [--raw] [--wait ms] [--wide]  the same, read from a UTF-8 file\n"
    "       (--raw: the file's bytes go to CreateProcessA unchanged)\n"
    "  kill <pid>                                 terminate a process\n"
    "  colors                                     system colours (RGB) and the screen's DPI\n"
    "With --escaped, texts (T, command lines) are read with JSON escapes such as \\u0417.\n";

using Command = inspect::Json (*)(const inspect::Words&);

const std::map<std::wstring, Command>& commands() {
    static const std::map<std::wstring, Command> table = {
        {L"find", inspect::findCommand},     {L"dump", inspect::dumpCommand},
        {L"select", inspect::selectCommand}, {L"click", inspect::clickCommand},
        {L"wait", inspect::waitCommand},     {L"close", inspect::closeCommand},
        {L"msgbox", inspect::msgboxCommand}, {L"list", inspect::listCommand},
        {L"launch", inspect::launchCommand}, {L"kill", inspect::killCommand},
        {L"colors", inspect::colorsCommand},
    };
    return table;
}

int fail(const inspect::Failure& failure) {
    inspect::Json error = inspect::Json::object().set("error", failure.what());
    if (failure.win32Error() != 0) error.set("win32_error", failure.win32Error());
    inspect::printLine(error);
    std::fprintf(stderr, "inspect: %s\n", failure.what());
    if (failure.exitCode() == inspect::kExitUsage) std::fputs(kUsage, stderr);
    return failure.exitCode();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        if (argc < 2) throw inspect::Failure("no command", inspect::kExitUsage);
        const auto found = commands().find(argv[1]);
        if (found == commands().end()) {
            throw inspect::Failure("unknown command " + inspect::asciiForMessage(argv[1]), inspect::kExitUsage);
        }
        const inspect::Words words(argv + 2, argv + argc);
        inspect::printLine(found->second(words));
        return inspect::kExitOk;
    } catch (const inspect::Failure& failure) {
        return fail(failure);
    } catch (const std::exception& error) {
        return fail(inspect::Failure(error.what()));
    }
}
