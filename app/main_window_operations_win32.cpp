// The main window's operations, callable from any thread, and how a call
// from another thread reaches the window's thread. See main_window_win32.h
// for the threads and main_window_win32.cpp for the close path that ends them.
#include "app/main_window_win32.h"

#include <commctrl.h>

#include <string>

namespace korv {

void TClassSimpleForm_2198870::invoke(const Task& task)
{
    if (onWindowThread()) {
        task();
        return;
    }
    // Counted before the delivery check (both sequentially consistent): the
    // close path either sees this call in flight and serves it, or this call
    // sees delivery off and sends nothing.
    inFlight_.fetch_add(1);
    if (delivering()) SendMessageW(frameHandle_, kInvokeMessage, 0, reinterpret_cast<LPARAM>(&task));
    inFlight_.fetch_sub(1);
}

void TClassSimpleForm_2198870::show(Control control, const Value& value)
{
    const bool visible = showsOrEnables(value);
    invoke([&] {
        ShowWindow(hwnd(control), visible ? SW_SHOWNA : SW_HIDE);
        afterVisibilityChange(control);
    });
}

void TClassSimpleForm_2198870::enable(Control control, const Value& value)
{
    const bool enabled = showsOrEnables(value);
    invoke([&] { EnableWindow(hwnd(control), enabled); });
}

void TClassSimpleForm_2198870::enableWindow(const Value& value)
{
    const bool enabled = showsOrEnables(value);
    invoke([&] { EnableWindow(frameHandle_, enabled); });
}

void TClassSimpleForm_2198870::setText(Control control, const Value& value)
{
    const Bytes text = value.asText();
    if (control == Control::CrcField) {
        {
            std::lock_guard lock(crcMutex_);
            crcText_ = text;
        }
        if (!crcSyncPending_.exchange(true)) PostMessageW(frameHandle_, kCrcSyncMessage, 0, 0);
        return;
    }
    invoke([&] { setControlText(control, text); });
}

Bytes TClassSimpleForm_2198870::getText(Control control)
{
    if (control == Control::CrcField) {
        std::lock_guard lock(crcMutex_);
        return crcText_;
    }
    Bytes text;
    invoke([&] { text = win32::toCp1251(win32::windowText(hwnd(control))); });
    return text;
}

void TClassSimpleForm_2198870::addPortEntry(const Bytes& entry)
{
    invoke([&] {
        const std::wstring text = win32::toWide(entry);
        SendMessageW(hwnd(Control::PortList), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    });
}

void TClassSimpleForm_2198870::setProgress(std::int32_t position)
{
    invoke([&] { SendMessageW(hwnd(Control::UploadProgress), PBM_SETPOS, static_cast<WPARAM>(position), 0); });
}

void TClassSimpleForm_2198870::close()
{
    invoke([&] { SendMessageW(frameHandle_, WM_CLOSE, 0, 0); });
}

void TClassSimpleForm_2198870::setControlText(Control control, const Bytes& text)
{
    const HWND h = hwnd(control);
    const win32::ControlLayout& layout = win32::layoutOf(control);
    // An edit keeps its caret at the same character position.
    DWORD start = 0;
    DWORD end = 0;
    if (layout.kind == win32::Kind::Edit)
        SendMessageW(h, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    SetWindowTextW(h, win32::toWide(text).c_str());
    if (layout.kind == win32::Kind::Edit) SendMessageW(h, EM_SETSEL, start, static_cast<LPARAM>(end));
    if (layout.sizing == win32::Sizing::FitText) win32::fitToText(controls_[static_cast<std::size_t>(control)]);
    if (layout.sizing == win32::Sizing::DockTop) win32::layoutDockedLines(controls_[0], controls_[1], false);
}

void TClassSimpleForm_2198870::afterVisibilityChange(Control control)
{
    if (win32::layoutOf(control).sizing == win32::Sizing::DockTop)
        win32::layoutDockedLines(controls_[0], controls_[1], false);
}

void TClassSimpleForm_2198870::onInvoke(const Task& task)
{
    ++serving_;
    task();
    --serving_;
}

void TClassSimpleForm_2198870::onCrcTextPending()
{
    crcSyncPending_.store(false);  // before reading: a later write posts again
    Bytes text;
    {
        std::lock_guard lock(crcMutex_);
        text = crcText_;
    }
    setControlText(Control::CrcField, text);
}

}  // namespace korv
