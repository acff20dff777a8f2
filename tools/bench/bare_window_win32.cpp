// bare_window: the start-up reference of the benchmark. A bare Win32 program
// that creates a top-level window of the exe's size with a drop-down list
// holding 8 port names, shows it and runs its message loop until the window
// is closed. Its caption is "bare window", so that it is found from outside.
// Exit status 0 after a normal close, 1 when a call failed (the failing call
// and its error number on stderr).
//
// Threads: one, the main thread: it creates the window (which owns the combo
// box) and pumps its messages; WM_CLOSE destroys the window and WM_DESTROY
// ends the loop.
#include <windows.h>

#include <cstdio>

namespace {

constexpr char kClassName[] = "BareWindowClass";
constexpr char kCaption[] = "bare window";
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
// The exe's outer frame: 616 x 171 at 200, 200.
constexpr int kLeft = 200;
constexpr int kTop = 200;
constexpr int kWidth = 616;
constexpr int kHeight = 171;
// The drop-down list: place and height with its list open.
constexpr int kComboLeft = 8;
constexpr int kComboTop = 8;
constexpr int kComboWidth = 180;
constexpr int kComboHeight = 200;
constexpr int kPortCount = 8;

int fail(const char* call)
{
    const DWORD code = GetLastError();
    std::fprintf(stderr, "bare_window: %s failed: error %lu\n", call, static_cast<unsigned long>(code));
    return 1;
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

bool fillPorts(HWND combo)
{
    for (int i = 1; i <= kPortCount; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "COM%d", i);
        const LRESULT r = SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
        if (r == CB_ERR || r == CB_ERRSPACE) return false;
    }
    return true;
}

int runLoop()
{
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) return static_cast<int>(msg.wParam);
        if (got == -1) return fail("GetMessageA");
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    if (RegisterClassA(&wc) == 0) return fail("RegisterClassA");

    // The window owns the combo box; both go when DestroyWindow runs in WM_CLOSE.
    HWND window = CreateWindowExA(0, kClassName, kCaption, kWindowStyle, kLeft, kTop, kWidth, kHeight, nullptr,
                                  nullptr, instance, nullptr);
    if (window == nullptr) return fail("CreateWindowExA (window)");
    HWND combo = CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | WS_VISIBLE | WS_VSCROLL | CBS_DROPDOWNLIST, kComboLeft,
                                 kComboTop, kComboWidth, kComboHeight, window, nullptr, instance, nullptr);
    if (combo == nullptr) return fail("CreateWindowExA (combo box)");
    if (!fillPorts(combo)) return fail("CB_ADDSTRING");

    ShowWindow(window, showCommand);  // returns the previous visibility, not a failure
    if (!UpdateWindow(window)) return fail("UpdateWindow");
    return runLoop();
}
