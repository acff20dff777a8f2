// Finding the main window by its class, polling with a deadline.
#include "main_window_win32.h"

#include "app/control_ids.h"
#include "window_info_win32.h"

#include <string>

namespace inspect {

double nowMs() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counter{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

HWND findMainWindow(const Args& args, bool allowHidden) {
    const long long pid = args.integer(L"pid", 0);
    static const std::wstring wantedClass = [] {
        std::wstring name;
        for (const char* p = korv::control_id::kMainWindowClass; *p != '\0'; ++p) name.push_back(static_cast<wchar_t>(*p));
        return name;
    }();
    return findTopLevel([&](HWND window) {
        return hasClass(window, wantedClass.c_str()) && (allowHidden || IsWindowVisible(window)) &&
               (pid == 0 || static_cast<long long>(processOf(window)) == pid);
    });
}

HWND waitForMainWindow(const Args& args, bool allowHidden) {
    const double timeout = static_cast<double>(args.integer(L"timeout", kDefaultTimeoutMs));
    const double deadline = nowMs() + timeout;
    for (;;) {
        const HWND found = findMainWindow(args, allowHidden);
        if (found != nullptr) return found;
        if (nowMs() >= deadline) {
            throw Failure("no main window after " + std::to_string(static_cast<long long>(timeout)) + " ms",
                          kExitTimeout);
        }
        Sleep(kPollIntervalMs);
    }
}

HWND controlOf(HWND mainWindow, int id) {
    if (id == 0) return mainWindow;
    const HWND control = GetDlgItem(mainWindow, id);
    if (control == nullptr) throw Failure("the main window has no control " + std::to_string(id), kExitFailure, GetLastError());
    return control;
}

}  // namespace inspect
