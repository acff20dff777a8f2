// Owners of the Win32 handles the window uses: each frees its handle once, in
// its destructor, and can be moved but not copied. All of them belong to the
// window's thread.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

namespace korv::win32 {

template <class Handle, class Traits>
class Owned {
public:
    Owned() = default;
    explicit Owned(Handle handle) : handle_(handle) {}
    ~Owned() { reset(); }
    Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, Handle{})) {}
    Owned& operator=(Owned&& other) noexcept
    {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, Handle{});
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Handle{}; }
    void reset(Handle handle = Handle{})
    {
        if (handle_ != Handle{}) Traits::free(handle_);
        handle_ = handle;
    }
    // Forgets the handle without freeing it (someone else has freed it).
    void release() { handle_ = Handle{}; }

private:
    Handle handle_{};
};

struct WindowTraits {
    // A window may already be gone with its parent; destroy only a live one.
    static void free(HWND h)
    {
        if (IsWindow(h)) DestroyWindow(h);
    }
};
struct GdiTraits {
    static void free(HGDIOBJ h) { DeleteObject(h); }
};
struct IconTraits {
    static void free(HICON h) { DestroyIcon(h); }
};
struct DcTraits {
    static void free(HDC h) { DeleteDC(h); }
};

struct ModuleTraits {
    static void free(HMODULE h) { FreeLibrary(h); }
};

using Window = Owned<HWND, WindowTraits>;
using Font = Owned<HFONT, GdiTraits>;
using Brush = Owned<HBRUSH, GdiTraits>;
using Bitmap = Owned<HBITMAP, GdiTraits>;
using Icon = Owned<HICON, IconTraits>;
using MemoryDc = Owned<HDC, DcTraits>;
using Module = Owned<HMODULE, ModuleTraits>;

// A registered window class, unregistered when this ends.
class WindowClass {
public:
    WindowClass() = default;
    ~WindowClass() { reset(); }
    // Takes over a class registered under name; empty name: nothing registered.
    void reset(std::wstring name = {}, HINSTANCE instance = nullptr)
    {
        if (!name_.empty()) UnregisterClassW(name_.c_str(), instance_);
        name_ = std::move(name);
        instance_ = instance;
    }
    WindowClass(const WindowClass&) = delete;
    WindowClass& operator=(const WindowClass&) = delete;

private:
    std::wstring name_;
    HINSTANCE instance_ = nullptr;
};

// A DC of a window (GetDC), released when this ends.
class WindowDc {
public:
    explicit WindowDc(HWND window) : window_(window), dc_(GetDC(window)) {}
    ~WindowDc()
    {
        if (dc_) ReleaseDC(window_, dc_);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC get() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// A GDI object selected into a DC for this scope; the previous one comes back.
class Selection {
public:
    Selection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~Selection()
    {
        if (previous_) SelectObject(dc_, previous_);
    }
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;
    bool ok() const { return previous_ != nullptr; }

private:
    HDC dc_;
    HGDIOBJ previous_;
};

}  // namespace korv::win32
