// Program entry. The information switch answers with a message box and no
// window; otherwise the main window object is built, runs its message loop
// on this (the main) thread and is destroyed before the process exits.
#include "app/command_line.h"
#include "app/controls_win32.h"
#include "app/main_window_win32.h"
#include "common/texts.h"

#include <windows.h>

#include <string>

namespace {

constexpr int kExitNormal = 0;
constexpr int kExitNoWindow = 1;  // the window could not be created

int showInfo()
{
    const std::wstring text = korv::win32::toWide(korv::texts::kInfoBoxText.view());
    const std::wstring caption = korv::win32::toWide(korv::texts::kInfoBoxCaption.view());
    MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK);
    return kExitNormal;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    if (korv::asksForInfo(GetCommandLineA())) return showInfo();

    int code = kExitNormal;
    {
        korv::TClassSimpleForm_2198870 window(instance);
        if (!window.created()) return kExitNoWindow;
        code = window.run();
    }
    return code;
}
