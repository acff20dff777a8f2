// The thirteen controls of the main window: their fixed settings in one table
// (creation order), how each is created, sized and drawn. Everything here runs
// on the window's thread; a ChildControl owns its window and its own font.
#pragma once

#include "app/handles_win32.h"
#include "app/window_operations.h"
#include "common/value.h"

#include <windows.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace korv::win32 {

inline constexpr std::size_t kControlCount = 13;

// Client area the layout is drawn for, in pixels.
inline constexpr int kClientWidth = 610;

enum class Kind { Static, PushButton, Edit, ComboBox, Progress, Picture };
// Fixed: the table's size. FitText: width and height follow the text.
// DockTop: full client width, height follows the text, stacked at the top.
enum class Sizing { Fixed, FitText, DockTop };
enum class Background { ButtonFace, Light3d, WindowColour };

struct ControlLayout {
    Control control;
    int id;
    Kind kind;
    int left, top, width, height;  // client pixels
    std::string_view text;         // Windows-1251
    int points;                    // font size; 0: the control has no font
    bool bold;
    DWORD style;                   // besides WS_CHILD, WS_CLIPSIBLINGS, WS_VISIBLE, WS_DISABLED
    DWORD exStyle;
    bool visible;
    bool enabled;
    Sizing sizing;
    Background background;
};

// The controls in creation order; element i describes Control(i).
const std::array<ControlLayout, kControlCount>& controlLayouts();
const ControlLayout& layoutOf(Control control);

struct ChildControl {
    Font font;      // declared first: lives until the window is gone
    Window window;  // child of the frame
    HWND hwnd() const { return window.get(); }
};

// Creates one control with its font (height from the screen's vertical DPI),
// text, style and initial state. uxTheme as for useClassicLook. Returns 0 or
// the error code.
DWORD createControl(HWND parent, HINSTANCE instance, const ControlLayout& layout, int dpiY, HMODULE uxTheme,
                    ChildControl& out);

// Turns visual styles off for one control, where the system would theme it
// regardless of the manifest (Wine's progress bar): it then keeps the classic
// look and the colours it is given. uxTheme: uxtheme.dll, or null (no themes).
void useClassicLook(HMODULE uxTheme, HWND control);

// Resizes a FitText control to its current text.
void fitToText(const ChildControl& control);
// Stacks the docked lines from the top, each the client's width and as tall as
// its text. Hidden lines take no place (they keep their last position) unless
// includeHidden, used once after creation to give them their initial places.
void layoutDockedLines(ChildControl& first, ChildControl& second, bool includeHidden);

// Draws a bitmap into a picture control: scaled to fit with its aspect ratio
// kept, centred, smoothly stretched, the rest filled with background.
void drawPicture(const DRAWITEMSTRUCT& item, HBITMAP bitmap, HBRUSH background);

// Windows-1251 bytes to UTF-16 for the wide window functions, and back.
std::wstring toWide(std::string_view cp1251);
Bytes toCp1251(std::wstring_view text);

// The text of a window as UTF-16.
std::wstring windowText(HWND window);

}  // namespace korv::win32
