// The main window's controls: the settings table, creation, sizing, drawing.
// Window's thread only.
#include "app/controls_win32.h"

#include "app/control_ids.h"
#include "common/cp1251.h"
#include "common/texts.h"

#include <commctrl.h>

#include <algorithm>

namespace korv::win32 {
namespace {

constexpr const wchar_t* kFontFace = L"MS Sans Serif";
constexpr int kPointsPerInch = 72;
constexpr int kRegularPoints = 8;
constexpr int kLargePoints = 10;

// PortList: the selection field's outer height and how many entries the opened
// list shows at a time.
constexpr int kComboHeight = 24;  // pixels
constexpr int kComboVisibleEntries = 8;
constexpr int kComboListBorder = 2;  // pixels, top and bottom borders of the list together

constexpr DWORD kStaticText = SS_NOPREFIX;
constexpr DWORD kButton = BS_PUSHBUTTON | WS_TABSTOP;
constexpr DWORD kEdit = ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP;

using enum Kind;
using enum Sizing;
using enum Background;

const std::array<ControlLayout, kControlCount> kSpecs = {{
    {Control::ErrorLine1, control_id::kErrorLine1, Static, 0, 0, kClientWidth, 24, texts::kErrorLine1.view(),
     kLargePoints, false, kStaticText | SS_CENTER, 0, false, true, DockTop, ButtonFace},
    {Control::ErrorLine2, control_id::kErrorLine2, Static, 0, 24, kClientWidth, 24, texts::kErrorLine2.view(),
     kLargePoints, false, kStaticText | SS_CENTER, 0, false, true, DockTop, ButtonFace},
    {Control::WriteButton, control_id::kWriteButton, PushButton, 5, 50, 85, 30, texts::kWriteButton.view(),
     kRegularPoints, false, kButton, 0, true, false, Fixed, ButtonFace},
    {Control::StatusField, control_id::kStatusField, Edit, 110, 10, 320, 25, texts::kChoosePort.view(),
     kRegularPoints, false, kEdit | ES_READONLY, WS_EX_CLIENTEDGE, true, true, Fixed, Light3d},
    {Control::PortList, control_id::kPortList, ComboBox, 10, 10, 85, kComboHeight, {}, kRegularPoints, false,
     CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, 0, true, true, Fixed, WindowColour},
    {Control::UploadProgress, control_id::kUploadProgress, Progress, 5, 90, 600, 30, {}, 0, false, PBS_SMOOTH,
     WS_EX_CLIENTEDGE, true, true, Fixed, ButtonFace},
    {Control::VersionLabel, control_id::kVersionLabel, Static, 110, 55, 272, 20, texts::kVersionLabel.view(),
     kRegularPoints, false, kStaticText | SS_LEFT, 0, true, true, FitText, ButtonFace},
    {Control::CrcField, control_id::kCrcField, Edit, 45, 145, 85, 25, texts::kCrcField.view(), kRegularPoints,
     false, kEdit, WS_EX_CLIENTEDGE, false, true, Fixed, WindowColour},
    {Control::CrcReceivedCaption, control_id::kCrcReceivedCaption, Static, 140, 150, 101, 20,
     texts::kCrcReceivedCaption.view(), kRegularPoints, false, kStaticText | SS_LEFT, 0, true, true, FitText,
     ButtonFace},
    {Control::CrcCaption, control_id::kCrcCaption, Static, 10, 150, 35, 20, texts::kCrcCaption.view(),
     kRegularPoints, false, kStaticText | SS_LEFT, 0, true, true, FitText, ButtonFace},
    {Control::OkButton, control_id::kOkButton, PushButton, 245, 60, 115, 30, texts::kOkButton.view(),
     kRegularPoints, false, kButton, 0, false, true, Fixed, ButtonFace},
    {Control::ErrorIcon, control_id::kErrorIcon, Picture, 145, 3, 15, 14, {}, 0, false, SS_OWNERDRAW, 0, false,
     true, Fixed, ButtonFace},
    {Control::SuccessText, control_id::kSuccessText, Static, 5, 0, 492, 49, texts::kSuccessText.view(),
     kLargePoints, true, kStaticText | SS_CENTER, 0, false, true, Fixed, ButtonFace},
}};

const wchar_t* className(Kind kind)
{
    switch (kind) {
    case Static:
    case Picture: return L"STATIC";
    case PushButton: return L"BUTTON";
    case Edit: return L"EDIT";
    case ComboBox: return L"COMBOBOX";
    case Progress: return PROGRESS_CLASSW;
    }
    return L"STATIC";
}

HFONT createFont(int points, bool bold, int dpiY)
{
    // Character height = size x DPI / 72, rounded (MulDiv rounds to nearest).
    const int height = -MulDiv(points, dpiY, kPointsPerInch);
    return CreateFontW(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                       kFontFace);
}

SIZE outerSize(HWND window)
{
    RECT r{};
    GetWindowRect(window, &r);
    return {r.right - r.left, r.bottom - r.top};
}

void resize(HWND window, int width, int height)
{
    SetWindowPos(window, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The window height of a drop-down combo box is the height of the opened
// list: it fits 8 entries. The selection field gets the table's height; the
// combo box recomputes its field on every resize, so set the list first.
void sizeComboBox(HWND combo, int width)
{
    const auto listItem = SendMessageW(combo, CB_GETITEMHEIGHT, 0, 0);
    if (listItem == CB_ERR) return;
    resize(combo, width, kComboHeight + kComboVisibleEntries * static_cast<int>(listItem) + kComboListBorder);
    // The field's height is set through its item height, which some systems
    // read back differently from how they take it: correct by the outcome.
    auto requested = SendMessageW(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
    if (requested == CB_ERR) return;
    constexpr int kAttempts = 3;
    for (int i = 0; i < kAttempts; ++i) {
        const int missing = kComboHeight - outerSize(combo).cy;
        if (missing == 0) return;
        requested += missing;
        SendMessageW(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), requested);
    }
}

void setUpProgress(HWND bar)
{
    constexpr int kMaxPosition = 507;  // 508 blocks; the last reply steps no further
    SendMessageW(bar, PBM_SETRANGE32, 0, kMaxPosition);
    SendMessageW(bar, PBM_SETPOS, 0, 0);
    SendMessageW(bar, PBM_SETBARCOLOR, 0, static_cast<LPARAM>(GetSysColor(COLOR_BTNSHADOW)));
    SendMessageW(bar, PBM_SETBKCOLOR, 0, static_cast<LPARAM>(GetSysColor(COLOR_BTNFACE)));
}

// The progress bar replaces the edge it was created with by its own: give it
// back the sunken client edge alone.
void restoreExtendedStyle(HWND window, DWORD exStyle)
{
    const auto current = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE));
    if (current == exStyle) return;
    SetWindowLongPtrW(window, GWL_EXSTYLE, static_cast<LONG_PTR>(exStyle));
    SetWindowPos(window, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

// Size of text drawn with a control's font; format as DrawText takes it.
SIZE textExtent(const ChildControl& control, int width, UINT format)
{
    const std::wstring text = windowText(control.hwnd());
    WindowDc dc(control.hwnd());
    if (!dc.get()) return {width, 0};
    Selection font(dc.get(), control.font.get());
    RECT r{0, 0, width, 0};
    DrawTextW(dc.get(), text.c_str(), static_cast<int>(text.size()), &r, format | DT_CALCRECT);
    return {r.right - r.left, r.bottom - r.top};
}

void placeDocked(ChildControl& line, int& top)
{
    const SIZE text = textExtent(line, kClientWidth, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
    SetWindowPos(line.hwnd(), nullptr, 0, top, kClientWidth, text.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    top += text.cy;
}

}  // namespace

const std::array<ControlLayout, kControlCount>& controlLayouts() { return kSpecs; }

const ControlLayout& layoutOf(Control control) { return kSpecs[static_cast<std::size_t>(control)]; }

void useClassicLook(HMODULE uxTheme, HWND control)
{
    if (!uxTheme) return;
    using SetWindowThemeFn = HRESULT(WINAPI*)(HWND, LPCWSTR, LPCWSTR);
    const auto setWindowTheme =
        reinterpret_cast<SetWindowThemeFn>(reinterpret_cast<void*>(GetProcAddress(uxTheme, "SetWindowTheme")));
    if (!setWindowTheme) return;
    // A name no theme has: no theme class matches, so the control draws itself.
    setWindowTheme(control, L" ", L" ");
}

DWORD createControl(HWND parent, HINSTANCE instance, const ControlLayout& layout, int dpiY, HMODULE uxTheme,
                    ChildControl& out)
{
    if (layout.points > 0) {
        out.font.reset(createFont(layout.points, layout.bold, dpiY));
        if (!out.font) return ERROR_INVALID_HANDLE;  // CreateFont sets no error code
    }
    // Visibility and enabled state come last, once the control is complete.
    const DWORD style = WS_CHILD | WS_CLIPSIBLINGS | layout.style;
    const std::wstring text = toWide(layout.text);
    out.window.reset(CreateWindowExW(layout.exStyle, className(layout.kind), text.c_str(), style, layout.left, layout.top,
                                     layout.width, layout.height, parent,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout.id)), instance, nullptr));
    if (!out.window) return GetLastError();
    if (out.font) SendMessageW(out.hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(out.font.get()), FALSE);
    if (layout.kind == ComboBox) sizeComboBox(out.hwnd(), layout.width);
    if (layout.kind == Progress) {
        useClassicLook(uxTheme, out.hwnd());
        restoreExtendedStyle(out.hwnd(), layout.exStyle);
        setUpProgress(out.hwnd());
    }
    if (layout.sizing == FitText) fitToText(out);
    // A later control lies above the earlier ones.
    SetWindowPos(out.hwnd(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    EnableWindow(out.hwnd(), layout.enabled);
    if (layout.visible) ShowWindow(out.hwnd(), SW_SHOWNA);
    return 0;
}

void fitToText(const ChildControl& control)
{
    const SIZE text = textExtent(control, 0, DT_LEFT | DT_NOPREFIX | DT_EXPANDTABS);
    resize(control.hwnd(), text.cx, text.cy);
}

void layoutDockedLines(ChildControl& first, ChildControl& second, bool includeHidden)
{
    int top = 0;
    for (ChildControl* line : {&first, &second}) {
        if (includeHidden || IsWindowVisible(line->hwnd())) placeDocked(*line, top);
    }
}

void drawPicture(const DRAWITEMSTRUCT& item, HBITMAP bitmap, HBRUSH background)
{
    const RECT area = item.rcItem;
    FillRect(item.hDC, &area, background);
    BITMAP info{};
    if (!bitmap || !GetObjectW(bitmap, sizeof info, &info) || info.bmWidth <= 0 || info.bmHeight <= 0) return;
    const int areaW = area.right - area.left;
    const int areaH = area.bottom - area.top;
    // Largest size with the bitmap's aspect ratio that fits the area.
    int w = areaW;
    int h = MulDiv(info.bmHeight, areaW, info.bmWidth);
    if (h > areaH) {
        h = areaH;
        w = MulDiv(info.bmWidth, areaH, info.bmHeight);
    }
    const int x = area.left + (areaW - w) / 2;
    const int y = area.top + (areaH - h) / 2;
    MemoryDc source(CreateCompatibleDC(item.hDC));
    if (!source) return;
    Selection selected(source.get(), bitmap);
    if (!selected.ok()) return;
    const int previousMode = SetStretchBltMode(item.hDC, HALFTONE);
    POINT previousOrigin{};
    SetBrushOrgEx(item.hDC, 0, 0, &previousOrigin);  // HALFTONE needs the brush origin reset
    StretchBlt(item.hDC, x, y, w, h, source.get(), 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
    SetBrushOrgEx(item.hDC, previousOrigin.x, previousOrigin.y, nullptr);
    if (previousMode) SetStretchBltMode(item.hDC, previousMode);
}

std::wstring toWide(std::string_view cp1251)
{
    const std::u16string decoded = decodeCp1251(cp1251);
    return std::wstring(decoded.begin(), decoded.end());
}

Bytes toCp1251(std::wstring_view text)
{
    constexpr UINT kCodePage = 1251;
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(kCodePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    Bytes out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(kCodePage, 0, text.data(), length, out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring windowText(HWND window)
{
    const int length = GetWindowTextLengthW(window);
    if (length <= 0) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(copied, 0)));
    return text;
}

}  // namespace korv::win32
