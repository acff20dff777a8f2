// Reading windows of another process: texts, geometry, state, and the extra
// state of combo boxes and progress bars, all as JSON. Every query is an
// ordinary window message sent with a timeout, so a hung target makes the
// query fail instead of hanging the tool.
#pragma once

#include "json.h"

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

namespace inspect {

// How long a sent message may wait for the target's thread, in milliseconds.
inline constexpr UINT kSendTimeoutMs = 5000;

// The result of a message sent to another process's window; nullopt when the
// target did not answer in time or the window is gone.
std::optional<LRESULT> query(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

// The window's text through WM_GETTEXT (wide form).
std::optional<std::wstring> windowText(HWND window);
std::wstring className(HWND window);
bool hasClass(HWND window, const wchar_t* name);

// The text encoded to Windows-1251 as hex digits, or null when some character
// has no Windows-1251 form.
Json cp1251Hex(const std::wstring& text);

Json rectJson(const RECT& rect);
Json handleJson(HWND window);

// A top-level window: caption, outer and client geometry, style, state, focus.
Json describeTopLevel(HWND window);
// A child control: id, class, rectangle in its parent's client coordinates,
// text, state, style, and the extra state of its kind.
Json describeControl(HWND control, HWND parent);

// The control with the keyboard focus in the window's thread, as the direct
// child of parent that holds it (a combo box's own edit counts as the combo).
HWND focusedChild(HWND parent);

// The first top-level window for which accept returns true, or nullptr.
HWND findTopLevel(const std::function<bool(HWND)>& accept);

DWORD processOf(HWND window);

}  // namespace inspect
