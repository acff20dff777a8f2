// Commands that read or drive the main window and its controls.
#include "commands_win32.h"

#include "app/control_ids.h"
#include "args.h"
#include "main_window_win32.h"
#include "window_info_win32.h"

#include <cstdio>

namespace inspect {

namespace {

const std::set<std::wstring> kNoFlags;

int controlId(const Args& args, std::size_t index) {
    return static_cast<int>(parseInteger(args.at(index, "control id"), "control id"));
}

// A user can only use a control that is visible and enabled; so does the tool
// unless told --force.
void requireUsable(HWND control, int id, const Args& args) {
    if (args.flag(L"force")) return;
    if (!IsWindowVisible(control)) throw Failure("control " + std::to_string(id) + " is hidden");
    if (!IsWindowEnabled(control)) throw Failure("control " + std::to_string(id) + " is disabled");
    // A disabled window takes no input, though its children stay enabled.
    if (!IsWindowEnabled(GetAncestor(control, GA_ROOT))) throw Failure("the main window is disabled");
}

Json children(HWND parent) {
    Json list = Json::array();
    int z = 0;
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        list.push(describeControl(child, parent).set("z", z++));
    }
    return list;
}

}  // namespace

void printLine(const Json& json) {
    const std::string line = json.dump() + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

Json findCommand(const Words& words) {
    const Args args(words, kWindowValueOptions, {L"hidden"});
    args.expectPositional(0);
    return describeTopLevel(waitForMainWindow(args, args.flag(L"hidden")));
}

Json dumpCommand(const Words& words) {
    const Args args(words, kWindowValueOptions, {L"hidden"});
    args.expectPositional(0);
    const HWND window = waitForMainWindow(args, args.flag(L"hidden"));
    // Children in z-order, topmost first.
    return Json::object().set("window", describeTopLevel(window)).set("controls", children(window));
}

Json selectCommand(const Words& words) {
    const Args args(words, kWindowValueOptions, {L"force"});
    args.expectPositional(1);
    const long long index = parseInteger(args.at(0, "entry index"), "entry index");
    const HWND window = waitForMainWindow(args);
    const int id = korv::control_id::kPortList;
    const HWND combo = controlOf(window, id);
    requireUsable(combo, id, args);
    const auto selected = query(combo, CB_SETCURSEL, static_cast<WPARAM>(index));
    if (!selected) throw Failure("the port list did not answer CB_SETCURSEL", kExitFailure, GetLastError());
    if (*selected != index) throw Failure("the port list has no entry " + std::to_string(index));
    // The notification a user's choice sends; the program reacts to this.
    const WPARAM command = MAKEWPARAM(static_cast<WORD>(id), static_cast<WORD>(CBN_SELCHANGE));
    if (!query(window, WM_COMMAND, command, reinterpret_cast<LPARAM>(combo))) {
        throw Failure("the main window did not answer CBN_SELCHANGE", kExitFailure, GetLastError());
    }
    return describeControl(combo, window).set("selected", index);
}

Json clickCommand(const Words& words) {
    const Args args(words, kWindowValueOptions, {L"force"});
    args.expectPositional(1);
    const int id = controlId(args, 0);
    const HWND window = waitForMainWindow(args);
    const HWND button = controlOf(window, id);
    requireUsable(button, id, args);
    const bool answered = query(button, BM_CLICK).has_value();
    const DWORD error = GetLastError();
    // A click that closes the program may take the button away before it answers.
    const bool windowGone = !IsWindow(window);
    if (!answered && !windowGone) throw Failure("button " + std::to_string(id) + " did not answer BM_CLICK", kExitFailure, error);
    return Json::object().set("clicked", id).set("window_gone", windowGone);
}

Json listCommand(const Words& words) {
    const Args args(words, {L"pid"}, {L"all"});
    args.expectPositional(0);
    const long long pid = args.integer(L"pid", 0);
    Json list = Json::array();
    findTopLevel([&](HWND window) {
        const bool wanted = (pid == 0 || static_cast<long long>(processOf(window)) == pid) &&
                            (args.flag(L"all") || IsWindowVisible(window));
        if (wanted) list.push(describeTopLevel(window));
        return false;
    });
    return Json::object().set("windows", std::move(list));
}

Json msgboxCommand(const Words& words) {
    const Args args(words, {L"timeout", L"pid", L"press"}, kNoFlags);
    args.expectPositional(0);
    const double timeout = static_cast<double>(args.integer(L"timeout", kDefaultTimeoutMs));
    const long long pid = args.integer(L"pid", 0);
    const double deadline = nowMs() + timeout;
    HWND box = nullptr;
    for (;;) {
        box = findTopLevel([&](HWND window) {
            return hasClass(window, L"#32770") && IsWindowVisible(window) &&
                   (pid == 0 || static_cast<long long>(processOf(window)) == pid);
        });
        if (box != nullptr) break;
        if (nowMs() >= deadline) throw Failure("no message box appeared", kExitTimeout);
        Sleep(kPollIntervalMs);
    }
    Json json = describeTopLevel(box).set("controls", children(box));
    if (args.has(L"press")) {
        const int id = static_cast<int>(args.integer(L"press", 0));
        const HWND button = GetDlgItem(box, id);
        if (button == nullptr) throw Failure("the message box has no button " + std::to_string(id));
        const bool answered = query(button, BM_CLICK).has_value();
        if (!answered && IsWindow(box)) throw Failure("the message box button did not answer BM_CLICK");
        json.set("pressed", id);
    }
    return json;
}

Json colorsCommand(const Words& words) {
    const Args args(words, {}, {});
    args.expectPositional(0);
    const std::pair<const char*, int> named[] = {{"btnface", COLOR_BTNFACE},     {"3dlight", COLOR_3DLIGHT},
                                                 {"window", COLOR_WINDOW},       {"btnshadow", COLOR_BTNSHADOW},
                                                 {"windowtext", COLOR_WINDOWTEXT}, {"btntext", COLOR_BTNTEXT}};
    Json json = Json::object();
    for (const auto& [name, index] : named) {
        const COLORREF color = GetSysColor(index);
        json.set(name, Json::array().push(GetRValue(color)).push(GetGValue(color)).push(GetBValue(color)));
    }
    const HDC screen = GetDC(nullptr);
    if (screen == nullptr) throw Failure("GetDC failed", kExitFailure, GetLastError());
    json.set("dpi_y", GetDeviceCaps(screen, LOGPIXELSY));
    ReleaseDC(nullptr, screen);
    return json;
}

}  // namespace inspect
