// The main window object: construction, the message loop, the message
// handlers and the close path. See the header for the threads.
#include "app/main_window_win32.h"

#include "app/control_ids.h"
#include "common/texts.h"

#include <commctrl.h>

#include <string>
#include <string_view>

namespace korv {
namespace {

// Frame: outer size and place on the screen, in pixels.
constexpr int kFrameLeft = 200;
constexpr int kFrameTop = 200;
constexpr int kFrameWidth = 616;
constexpr int kFrameHeight = 171;
constexpr DWORD kFrameStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

// How long the close path waits for cross-thread operations already under way.
constexpr ULONGLONG kDrainTimeoutMs = 2000;
constexpr DWORD kDrainPollMs = 10;

constexpr COLORREF kTextColour = RGB(0, 0, 0);

std::wstring widenAscii(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

const win32::ControlLayout* layoutWithId(int id)
{
    for (const auto& layout : win32::controlLayouts())
        if (layout.id == id) return &layout;
    return nullptr;
}

}  // namespace

TClassSimpleForm_2198870::TClassSimpleForm_2198870(HINSTANCE instance)
    : instance_(instance), windowThread_(GetCurrentThreadId())
{
    {
        std::lock_guard lock(crcMutex_);
        crcText_ = texts::kCrcField.str();
    }
    error_ = createFrame();
    if (error_ == 0) error_ = createControls();
    if (error_ == 0) createBlocks();
}

TClassSimpleForm_2198870::~TClassSimpleForm_2198870()
{
    // Reverse order of creation. A control destroys its window before its font.
    auto destroy = [this](Control from, Control to) {
        for (auto i = static_cast<int>(from); i >= static_cast<int>(to); --i) {
            auto& c = controls_[static_cast<std::size_t>(i)];
            c.window.reset();
            c.font.reset();
        }
    };
    destroyBlocks();
    destroy(Control::SuccessText, Control::ErrorLine1);
    frame_.reset();
}

DWORD TClassSimpleForm_2198870::createFrame()
{
    uxTheme_.reset(LoadLibraryExW(L"uxtheme.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    buttonFaceBrush_.reset(CreateSolidBrush(GetSysColor(COLOR_BTNFACE)));
    light3dBrush_.reset(CreateSolidBrush(GetSysColor(COLOR_3DLIGHT)));
    windowBrush_.reset(CreateSolidBrush(GetSysColor(COLOR_WINDOW)));
    if (!buttonFaceBrush_ || !light3dBrush_ || !windowBrush_) return ERROR_NOT_ENOUGH_MEMORY;

    errorMark_.reset(static_cast<HBITMAP>(LoadImageW(instance_, L"BITMAP0", IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    if (!errorMark_) return GetLastError();
    bigIcon_.reset(static_cast<HICON>(LoadImageW(instance_, L"ASMA", IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                                 GetSystemMetrics(SM_CYICON), 0)));
    if (!bigIcon_) return GetLastError();
    smallIcon_.reset(static_cast<HICON>(LoadImageW(instance_, L"ASMA", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                   GetSystemMetrics(SM_CYSMICON), 0)));
    if (!smallIcon_) return GetLastError();

    const INITCOMMONCONTROLSEX common{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    if (!InitCommonControlsEx(&common)) return ERROR_CLASS_DOES_NOT_EXIST;

    const std::wstring className = widenAscii(control_id::kMainWindowClass);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &TClassSimpleForm_2198870::windowProc;
    wc.hInstance = instance_;
    wc.hIcon = bigIcon_.get();
    wc.hIconSm = smallIcon_.get();
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = className.c_str();
    if (!RegisterClassExW(&wc)) return GetLastError();
    class_.reset(className, instance_);

    // WM_NCCREATE attaches this object and hands the handle to frame_.
    const std::wstring caption = win32::toWide(texts::kWindowCaption.view());
    const HWND frame = CreateWindowExW(0, className.c_str(), caption.c_str(), kFrameStyle, kFrameLeft, kFrameTop,
                                       kFrameWidth, kFrameHeight, nullptr, nullptr, instance_, this);
    if (!frame) return GetLastError();
    return 0;
}

DWORD TClassSimpleForm_2198870::createControls()
{
    int dpiY = USER_DEFAULT_SCREEN_DPI;
    {
        win32::WindowDc screen(nullptr);
        if (screen.get()) dpiY = GetDeviceCaps(screen.get(), LOGPIXELSY);
    }
    const auto& layouts = win32::controlLayouts();
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        const DWORD error = win32::createControl(frame_.get(), instance_, layouts[i], dpiY, uxTheme_.get(), controls_[i]);
        if (error != 0) return error;
    }
    win32::layoutDockedLines(controls_[0], controls_[1], true);
    lastFocus_ = hwnd(Control::PortList);
    return 0;
}

int TClassSimpleForm_2198870::run()
{
    constexpr int kLoopFailed = 1;
    delivering_.store(true);
    onStart();
    ShowWindow(frameHandle_, SW_SHOWNORMAL);
    UpdateWindow(frameHandle_);

    MSG message{};
    for (;;) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == -1) return kLoopFailed;
        if (got == 0) break;
        if (handleTabKey(message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

// ---- Messages ------------------------------------------------------------------

LRESULT CALLBACK TClassSimpleForm_2198870::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* self = static_cast<TClassSimpleForm_2198870*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->frame_.reset(window);
        self->frameHandle_ = window;
    }
    auto* self = reinterpret_cast<TClassSimpleForm_2198870*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        self->frame_.release();
        self->delivering_.store(false);
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return self->handle(message, wParam, lParam);
}

LRESULT TClassSimpleForm_2198870::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND: onCommand(wParam, lParam); return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
        return onControlColour(message, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_DRAWITEM: onDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)); return TRUE;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN: onBackgroundMouseDown(); return 0;
    case WM_ACTIVATE: onActivate(wParam); return 0;
    case WM_CLOSE: onCloseRequest(); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case kInvokeMessage: onInvoke(*reinterpret_cast<const Task*>(lParam)); return 0;
    case kPortChosenMessage: onPortSelectionCommitted(); return 0;
    case kCrcSyncMessage: onCrcTextPending(); return 0;
    default: return DefWindowProcW(frame_.get(), message, wParam, lParam);
    }
}

void TClassSimpleForm_2198870::onCommand(WPARAM wParam, LPARAM)
{
    if (!delivering()) return;
    const int id = LOWORD(wParam);
    const unsigned code = HIWORD(wParam);
    if (id == control_id::kWriteButton && code == BN_CLICKED) {
        onWriteClicked(Value(std::int32_t{0}));
    } else if (id == control_id::kOkButton && code == BN_CLICKED) {
        onOkClicked();
    } else if (id == control_id::kPortList && code == CBN_SELCHANGE) {
        // The combo box has not committed the change yet: read it once it has.
        PostMessageW(frameHandle_, kPortChosenMessage, 0, 0);
    }
}

void TClassSimpleForm_2198870::onPortSelectionCommitted()
{
    if (!delivering()) return;
    const HWND list = hwnd(Control::PortList);
    const LRESULT index = SendMessageW(list, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return;
    const LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR) return;
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT copied = SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                        reinterpret_cast<LPARAM>(text.data()));
    if (copied == CB_ERR) return;
    text.resize(static_cast<std::size_t>(copied));
    onPortChosen(win32::toCp1251(text));
}

LRESULT TClassSimpleForm_2198870::onControlColour(UINT message, HDC dc, HWND control)
{
    const auto* layout = layoutWithId(GetDlgCtrlID(control));
    // The combo box's own edit and list are not in the table: window colour.
    win32::Background background = layout ? layout->background : win32::Background::WindowColour;
    if (!layout && message == WM_CTLCOLORBTN) background = win32::Background::ButtonFace;

    HBRUSH brush = buttonFaceBrush_.get();
    int colour = COLOR_BTNFACE;
    if (background == win32::Background::Light3d) {
        brush = light3dBrush_.get();
        colour = COLOR_3DLIGHT;
    } else if (background == win32::Background::WindowColour) {
        brush = windowBrush_.get();
        colour = COLOR_WINDOW;
    }
    SetTextColor(dc, kTextColour);
    SetBkColor(dc, GetSysColor(colour));
    SetBkMode(dc, OPAQUE);
    return reinterpret_cast<LRESULT>(brush);
}

void TClassSimpleForm_2198870::onDrawItem(const DRAWITEMSTRUCT& item)
{
    if (item.CtlID == static_cast<UINT>(control_id::kErrorIcon))
        win32::drawPicture(item, errorMark_.get(), buttonFaceBrush_.get());
}

void TClassSimpleForm_2198870::onBackgroundMouseDown()
{
    // As if the title bar had been grabbed: the system's move loop takes over.
    ReleaseCapture();
    SendMessageW(frameHandle_, WM_SYSCOMMAND, SC_MOVE | HTCAPTION, 0);
}

void TClassSimpleForm_2198870::onActivate(WPARAM wParam)
{
    // Like a dialog: the focus leaves with the window and comes back with it.
    if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus && IsChild(frameHandle_, focus)) lastFocus_ = focus;
        return;
    }
    if (HIWORD(wParam) != 0) return;  // activated while minimized: no control to focus
    if (lastFocus_ && IsWindow(lastFocus_) && IsWindowVisible(lastFocus_) && IsWindowEnabled(lastFocus_))
        SetFocus(lastFocus_);
    else
        focusNext(nullptr, false);
}

// The close path, for the caption button, the system menu, Alt+F4 and the
// close operation alike:
//  1. deliver the close report (the flow closes the port from it);
//  2. switch event delivery off: from here no report is delivered and no
//     cross-thread operation sends anything any more;
//  3. carry out the cross-thread operations already under way: their threads
//     are waiting for this one, so this thread takes their sent messages until
//     none is left (bounded). The main thread never waits for a thread that is
//     itself waiting for the window;
//  4. destroy the window, which ends the message loop.
void TClassSimpleForm_2198870::onCloseRequest()
{
    if (closing_) return;
    closing_ = true;
    if (delivering()) onClose();
    delivering_.store(false);

    const ULONGLONG deadline = GetTickCount64() + kDrainTimeoutMs;
    while (inFlight_.load() > serving_ && GetTickCount64() < deadline) {
        MsgWaitForMultipleObjectsEx(0, nullptr, kDrainPollMs, QS_SENDMESSAGE, 0);
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // runs sent messages
    }
    DestroyWindow(frameHandle_);
}

// ---- Keyboard --------------------------------------------------------------------

bool TClassSimpleForm_2198870::handleTabKey(const MSG& message)
{
    // With no control focused (as after the focused port list is disabled),
    // the active window gets its keys as system keys.
    const bool keyDown = message.message == WM_KEYDOWN ||
                         (message.message == WM_SYSKEYDOWN && message.hwnd == frameHandle_ && GetFocus() == nullptr);
    if (!keyDown || message.wParam != VK_TAB) return false;
    if (message.hwnd != frameHandle_ && !IsChild(frameHandle_, message.hwnd)) return false;
    if (GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_MENU) < 0) return false;
    focusNext(message.hwnd, GetKeyState(VK_SHIFT) < 0);
    return true;
}

void TClassSimpleForm_2198870::focusNext(HWND from, bool backwards)
{
    constexpr int kCount = static_cast<int>(win32::kControlCount);
    int current = backwards ? kCount : -1;
    for (int i = 0; i < kCount; ++i) {
        const HWND h = controls_[static_cast<std::size_t>(i)].hwnd();
        if (from && (h == from || IsChild(h, from))) current = i;
    }
    for (int step = 1; step <= kCount; ++step) {
        const int i = ((current + (backwards ? -step : step)) % kCount + kCount) % kCount;
        const HWND h = controls_[static_cast<std::size_t>(i)].hwnd();
        const auto style = static_cast<DWORD>(GetWindowLongPtrW(h, GWL_STYLE));
        if (!(style & WS_TABSTOP) || !IsWindowVisible(h) || !IsWindowEnabled(h)) continue;
        SetFocus(h);
        if (win32::controlLayouts()[static_cast<std::size_t>(i)].kind == win32::Kind::Edit)
            SendMessageW(h, EM_SETSEL, 0, -1);
        return;
    }
}

}  // namespace korv
