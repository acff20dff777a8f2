// The wait command: polls one control of the main window until a condition
// holds, bounded by --timeout.
#include "commands_win32.h"

#include "args.h"
#include "main_window_win32.h"
#include "window_info_win32.h"

#include <commctrl.h>

namespace inspect {

namespace {

enum class Kind { Visible, Hidden, Enabled, Disabled, Text, Contains, Pos, Selection, Count, Gone };

struct Condition {
    Kind kind;
    std::wstring text;    // Text, Contains
    long long number = 0;  // Pos, Selection, Count
};

Condition parseCondition(const std::wstring& word, bool escaped) {
    const std::pair<const wchar_t*, Kind> plain[] = {{L"visible", Kind::Visible}, {L"hidden", Kind::Hidden},
                                                     {L"enabled", Kind::Enabled}, {L"disabled", Kind::Disabled},
                                                     {L"gone", Kind::Gone}};
    for (const auto& [name, kind] : plain) {
        if (word == name) return {kind, {}, 0};
    }
    const std::pair<const wchar_t*, Kind> valued[] = {{L"text=", Kind::Text}, {L"contains=", Kind::Contains},
                                                      {L"pos=", Kind::Pos}, {L"selection=", Kind::Selection},
                                                      {L"count=", Kind::Count}};
    for (const auto& [prefix, kind] : valued) {
        const std::wstring p = prefix;
        if (word.compare(0, p.size(), p) != 0) continue;
        const std::wstring value = word.substr(p.size());
        if (kind == Kind::Text || kind == Kind::Contains) return {kind, escaped ? unescape(value) : value, 0};
        return {kind, {}, parseInteger(value, "condition value")};
    }
    throw Failure("unknown condition " + asciiForMessage(word), kExitUsage);
}

bool numberIs(HWND control, UINT message, WPARAM wParam, long long expected) {
    const auto answer = query(control, message, wParam);
    return answer && static_cast<long long>(*answer) == expected;
}

bool holds(const Condition& c, HWND control) {
    switch (c.kind) {
    case Kind::Visible: return IsWindowVisible(control) != FALSE;
    case Kind::Hidden: return IsWindowVisible(control) == FALSE;
    case Kind::Enabled: return IsWindowEnabled(control) != FALSE;
    case Kind::Disabled: return IsWindowEnabled(control) == FALSE;
    case Kind::Text: return windowText(control) == c.text;
    case Kind::Contains: {
        const auto text = windowText(control);
        return text && text->find(c.text) != std::wstring::npos;
    }
    case Kind::Pos: return numberIs(control, PBM_GETPOS, 0, c.number);
    case Kind::Selection: return numberIs(control, CB_GETCURSEL, 0, c.number);
    case Kind::Count: return numberIs(control, CB_GETCOUNT, 0, c.number);
    case Kind::Gone: return IsWindow(control) == FALSE;
    }
    return false;
}

}  // namespace

Json waitCommand(const Words& words) {
    const Args args(words, kWindowValueOptions, {L"escaped"});
    args.expectPositional(2);
    const int id = static_cast<int>(parseInteger(args.at(0, "control id"), "control id"));
    const Condition condition = parseCondition(args.at(1, "condition"), args.flag(L"escaped"));
    const double start = nowMs();
    // The main window may be hidden or disabled in the state waited for, and
    // may already be gone when its going is waited for.
    if (id == 0 && condition.kind == Kind::Gone && findMainWindow(args, true) == nullptr) {
        return Json::object().set("id", id).set("waited_ms", 0.0);
    }
    const HWND window = waitForMainWindow(args, true);
    const HWND control = controlOf(window, id);
    const double deadline = start + static_cast<double>(args.integer(L"timeout", kDefaultTimeoutMs));
    for (;;) {
        if (holds(condition, control)) {
            Json json = Json::object().set("id", id).set("waited_ms", nowMs() - start);
            if (condition.kind != Kind::Gone) {
                json.set("state", id == 0 ? describeTopLevel(control) : describeControl(control, window));
            }
            return json;
        }
        if (condition.kind != Kind::Gone && !IsWindow(control)) {
            throw Failure("control " + std::to_string(id) + " went away while waiting");
        }
        if (nowMs() >= deadline) {
            const Json last = id == 0 ? describeTopLevel(control) : describeControl(control, window);
            throw Failure("timed out; last state: " + last.dump(), kExitTimeout);
        }
        Sleep(kPollIntervalMs);
    }
}

}  // namespace inspect
