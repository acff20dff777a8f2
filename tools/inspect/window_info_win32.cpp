// Describing windows of another process; single-threaded, no handles kept.
#include "window_info_win32.h"

#include <commctrl.h>

#include <cstdint>
#include <cwchar>
#include <vector>

namespace inspect {

namespace {

constexpr int kClassNameChars = 256;

Json comboExtras(HWND combo, Json json) {
    const auto count = query(combo, CB_GETCOUNT);
    Json entries = Json::array();
    for (LRESULT i = 0; count && i < *count; ++i) {
        const auto index = static_cast<WPARAM>(i);
        const auto length = query(combo, CB_GETLBTEXTLEN, index);
        if (!length || *length < 0) {
            entries.push(Json());
            continue;
        }
        std::vector<wchar_t> buffer(static_cast<std::size_t>(*length) + 1, L'\0');
        const auto copied = query(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(buffer.data()));
        entries.push(copied && *copied >= 0 ? Json(std::wstring(buffer.data(), static_cast<std::size_t>(*copied)))
                                            : Json());
    }
    json.set("entries", std::move(entries));
    const auto selection = query(combo, CB_GETCURSEL);
    json.set("selection", selection ? Json(static_cast<long long>(*selection)) : Json());
    const auto dropped = query(combo, CB_GETDROPPEDSTATE);
    json.set("dropped", dropped ? Json(*dropped != 0) : Json());
    return json;
}

Json progressExtras(HWND bar, Json json) {
    const auto position = query(bar, PBM_GETPOS);
    const auto low = query(bar, PBM_GETRANGE, TRUE);
    const auto high = query(bar, PBM_GETRANGE, FALSE);
    json.set("pos", position ? Json(static_cast<long long>(*position)) : Json());
    json.set("range", low && high ? Json::array().push(static_cast<long long>(*low)).push(static_cast<long long>(*high))
                                  : Json());
    return json;
}

// An icon: its handle, and its size where this process can read the icon's
// bitmaps (Wine keeps them in the owning process only).
Json iconJson(HICON icon) {
    if (icon == nullptr) return Json();
    Json json = Json::object().set("handle", reinterpret_cast<std::uintptr_t>(icon));
    ICONINFO info{};
    if (!GetIconInfo(icon, &info)) return json.set("size", Json());
    BITMAP bitmap{};
    const HBITMAP shape = info.hbmColor != nullptr ? info.hbmColor : info.hbmMask;
    const bool measured = GetObjectW(shape, sizeof bitmap, &bitmap) != 0;
    if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
    if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
    if (!measured) return json.set("size", Json());
    // A mask-only icon holds its AND and XOR masks one above the other.
    const LONG height = info.hbmColor != nullptr ? bitmap.bmHeight : bitmap.bmHeight / 2;
    return json.set("size", Json::array().push(bitmap.bmWidth).push(height));
}

// The window's own icon of that kind (WM_GETICON), else its class's (which
// Wine does not tell other processes).
HICON windowIcon(HWND window, WPARAM kind) {
    const auto sent = query(window, WM_GETICON, kind);
    if (sent && *sent != 0) return reinterpret_cast<HICON>(*sent);
    const int classIndex = kind == ICON_BIG ? GCLP_HICON : GCLP_HICONSM;
    return reinterpret_cast<HICON>(GetClassLongPtrW(window, classIndex));
}

// A static showing an icon or a bitmap: the image handle it holds (0: none).
Json staticExtras(HWND control, Json json) {
    const auto type = static_cast<DWORD>(GetWindowLongPtrW(control, GWL_STYLE)) & SS_TYPEMASK;
    if (type == SS_ICON) {
        const auto icon = query(control, STM_GETICON);
        json.set("image", icon ? Json(static_cast<long long>(*icon)) : Json());
    } else if (type == SS_BITMAP) {
        const auto bitmap = query(control, STM_GETIMAGE, IMAGE_BITMAP);
        json.set("image", bitmap ? Json(static_cast<long long>(*bitmap)) : Json());
    }
    return json;
}

Json textMembers(HWND window, Json json) {
    const auto text = windowText(window);
    json.set("text", text ? Json(*text) : Json());
    json.set("text_cp1251", text ? cp1251Hex(*text) : Json());
    return json;
}

Json stateMembers(HWND window, Json json) {
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
    const auto exStyle = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE));
    json.set("visible", IsWindowVisible(window) != FALSE);
    json.set("style_visible", (style & WS_VISIBLE) != 0);
    json.set("enabled", IsWindowEnabled(window) != FALSE);
    json.set("style", static_cast<unsigned long>(style));
    json.set("exstyle", static_cast<unsigned long>(exStyle));
    return json;
}

}  // namespace

std::optional<LRESULT> query(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG | SMTO_BLOCK, kSendTimeoutMs,
                            &result) == 0) {
        return std::nullopt;
    }
    return static_cast<LRESULT>(result);
}

std::optional<std::wstring> windowText(HWND window) {
    const auto length = query(window, WM_GETTEXTLENGTH);
    if (!length || *length < 0) return std::nullopt;
    std::vector<wchar_t> buffer(static_cast<std::size_t>(*length) + 1, L'\0');
    const auto copied = query(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
    if (!copied || *copied < 0) return std::nullopt;
    return std::wstring(buffer.data(), static_cast<std::size_t>(*copied));
}

std::wstring className(HWND window) {
    wchar_t name[kClassNameChars] = {};
    const int length = GetClassNameW(window, name, kClassNameChars);
    return std::wstring(name, length > 0 ? static_cast<std::size_t>(length) : 0);
}

bool hasClass(HWND window, const wchar_t* name) { return _wcsicmp(className(window).c_str(), name) == 0; }

Json cp1251Hex(const std::wstring& text) {
    constexpr UINT kCp1251 = 1251;
    if (text.empty()) return Json(L"");
    const int wideLength = static_cast<int>(text.size());
    BOOL lossy = FALSE;
    const int size = WideCharToMultiByte(kCp1251, WC_NO_BEST_FIT_CHARS, text.data(), wideLength, nullptr, 0,
                                         nullptr, &lossy);
    if (size <= 0 || lossy) return Json();
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(kCp1251, WC_NO_BEST_FIT_CHARS, text.data(), wideLength, bytes.data(), size, nullptr,
                        nullptr);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::wstring hex;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex.push_back(static_cast<wchar_t>(kDigits[byte >> 4]));
        hex.push_back(static_cast<wchar_t>(kDigits[byte & 0x0f]));
    }
    return Json(hex);
}

Json rectJson(const RECT& rect) {
    return Json::object()
        .set("x", rect.left)
        .set("y", rect.top)
        .set("w", rect.right - rect.left)
        .set("h", rect.bottom - rect.top);
}

Json handleJson(HWND window) { return Json(reinterpret_cast<std::uintptr_t>(window)); }

DWORD processOf(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

HWND focusedChild(HWND parent) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    const DWORD thread = GetWindowThreadProcessId(parent, nullptr);
    if (thread == 0 || !GetGUIThreadInfo(thread, &info) || info.hwndFocus == nullptr) return nullptr;
    HWND window = info.hwndFocus;
    while (window != nullptr && GetParent(window) != parent) window = GetParent(window);
    return window;
}

Json describeTopLevel(HWND window) {
    RECT outer{};
    RECT client{};
    POINT clientOrigin{0, 0};
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    ClientToScreen(window, &clientOrigin);
    const std::wstring caption = [&] {
        wchar_t buffer[512] = {};
        const int length = GetWindowTextW(window, buffer, 512);
        return std::wstring(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
    }();
    Json json = Json::object()
                    .set("hwnd", handleJson(window))
                    .set("pid", static_cast<unsigned long>(processOf(window)))
                    .set("class", className(window))
                    .set("caption", caption)
                    .set("caption_cp1251", cp1251Hex(caption))
                    .set("rect", rectJson(outer))
                    .set("client", rectJson(client))
                    .set("client_origin", Json::object().set("x", clientOrigin.x).set("y", clientOrigin.y))
                    .set("owner", handleJson(GetWindow(window, GW_OWNER)));
    json = stateMembers(window, std::move(json));
    json.set("icon_big", iconJson(windowIcon(window, ICON_BIG)));
    json.set("icon_small", iconJson(windowIcon(window, ICON_SMALL)));
    const HWND focus = focusedChild(window);
    json.set("focus_id", focus != nullptr ? Json(GetDlgCtrlID(focus)) : Json());
    return json;
}

Json describeControl(HWND control, HWND parent) {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
    RECT client{};
    GetClientRect(control, &client);
    Json json = Json::object()
                    .set("id", GetDlgCtrlID(control))
                    .set("hwnd", handleJson(control))
                    .set("class", className(control))
                    .set("rect", rectJson(rect))
                    .set("client", rectJson(client));
    json = textMembers(control, std::move(json));
    json = stateMembers(control, std::move(json));
    if (hasClass(control, L"ComboBox")) json = comboExtras(control, std::move(json));
    if (hasClass(control, PROGRESS_CLASSW)) json = progressExtras(control, std::move(json));
    if (hasClass(control, L"Static")) json = staticExtras(control, std::move(json));
    return json;
}

HWND findTopLevel(const std::function<bool(HWND)>& accept) {
    struct Search {
        const std::function<bool(HWND)>* accept;
        HWND found;
    } search{&accept, nullptr};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Search*>(context);
            if (!(*s->accept)(window)) return TRUE;
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace inspect
