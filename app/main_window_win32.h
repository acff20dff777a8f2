// The main window object: the window, its thirteen controls and (later) the
// serial channel, the two protocol modules and the control flow, all owned
// for the whole run.
//
// Threads. The window and its controls belong to the thread that constructs
// the object and calls run() (the main thread). The serial reader thread and
// the upload timer thread call the WindowOperations too: such a call is
// carried to the main thread (SendMessage) and the caller waits for it. The
// main thread never waits for either worker thread, so those calls always
// complete; the close path (onCloseRequest) keeps that true at the end.
//
// Reports (the Output members) are delivered on the main thread, only while
// event delivery is on: from just before the start report until right after
// the close report.
#pragma once

#include "app/controls_win32.h"
#include "app/handles_win32.h"
#include "app/window_operations.h"
#include "common/output.h"
#include "common/value.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

namespace korv {

class TClassSimpleForm_2198870 final : public WindowOperations {
public:
    // Builds the window and the controls, hidden; event delivery stays off.
    explicit TClassSimpleForm_2198870(HINSTANCE instance);
    ~TClassSimpleForm_2198870() override;
    TClassSimpleForm_2198870(const TClassSimpleForm_2198870&) = delete;
    TClassSimpleForm_2198870& operator=(const TClassSimpleForm_2198870&) = delete;

    // Whether construction succeeded; if not, the error code of the failed call.
    bool created() const { return error_ == 0; }
    DWORD creationError() const { return error_; }

    // Switches event delivery on, delivers the start report, shows the window
    // and runs the message loop until the window is closed. Returns the exit code.
    int run();

    // Reports.
    Output<> onStart;
    Output<Bytes> onPortChosen;   // the chosen entry's text
    Output<Value> onWriteClicked; // the integer 0
    Output<> onOkClicked;
    Output<> onClose;

    // WindowOperations: callable from any thread.
    void show(Control control, const Value& value) override;
    void enable(Control control, const Value& value) override;
    void enableWindow(const Value& value) override;
    void setText(Control control, const Value& value) override;
    Bytes getText(Control control) override;
    void addPortEntry(const Bytes& entry) override;
    void setProgress(std::int32_t position) override;
    void close() override;

private:
    using Task = std::function<void()>;

    // Messages of the window to itself.
    static constexpr UINT kInvokeMessage = WM_APP + 1;      // lParam: const Task*, run it
    static constexpr UINT kPortChosenMessage = WM_APP + 2;  // PortList committed a new selection
    static constexpr UINT kCrcSyncMessage = WM_APP + 3;     // CrcField's held text changed

    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);

    DWORD createFrame();
    DWORD createControls();

    // One small handler per message.
    void onCommand(WPARAM wParam, LPARAM lParam);
    LRESULT onControlColour(UINT message, HDC dc, HWND control);
    void onDrawItem(const DRAWITEMSTRUCT& item);
    void onBackgroundMouseDown();
    void onActivate(WPARAM wParam);
    void onCloseRequest();
    void onInvoke(const Task& task);
    void onPortSelectionCommitted();
    void onCrcTextPending();

    // Tab and Shift+Tab: focus to the next or previous control in creation
    // order. True when the message was such a key and has been handled.
    bool handleTabKey(const MSG& message);
    void focusNext(HWND from, bool backwards);

    // Runs task on the window's thread: at once on that thread; from another
    // one through SendMessage, the caller waiting, and only while event
    // delivery is on (otherwise the call returns without effect).
    void invoke(const Task& task);
    bool delivering() const { return delivering_.load(); }
    bool onWindowThread() const { return GetCurrentThreadId() == windowThread_; }

    void setControlText(Control control, const Bytes& text);
    void afterVisibilityChange(Control control);
    HWND hwnd(Control control) const { return controls_[static_cast<std::size_t>(control)].hwnd(); }

    HINSTANCE instance_;
    DWORD windowThread_;
    DWORD error_ = 0;

    // Creation order: uxtheme, brushes, bitmap, icons and class, frame, then the
    // controls in table order; destruction runs the other way.
    win32::Module uxTheme_;  // may stay null: then nothing is themed anyway
    win32::Brush buttonFaceBrush_;
    win32::Brush light3dBrush_;
    win32::Brush windowBrush_;
    win32::Bitmap errorMark_;
    win32::Icon bigIcon_;
    win32::Icon smallIcon_;
    win32::WindowClass class_;
    win32::Window frame_;
    // The frame's handle as the other threads use it: set once when the frame
    // is created, never changed (the handle simply goes stale once destroyed).
    HWND frameHandle_ = nullptr;
    std::array<win32::ChildControl, win32::kControlCount> controls_;

    // Event delivery: off during construction, on before the start report,
    // off right after the close report.
    std::atomic<bool> delivering_{false};
    // Cross-thread operations between their delivery check and their return.
    std::atomic<int> inFlight_{0};
    // Cross-thread operations being carried out on this thread right now
    // (window's thread only).
    int serving_ = 0;
    bool closing_ = false;
    HWND lastFocus_ = nullptr;

    // CrcField's text, held here so the upload's many reads and writes from
    // the reader thread cost no thread switch; the control is brought up to
    // date by one posted message per burst of writes. The mutex is never held
    // while calling out.
    std::mutex crcMutex_;
    Bytes crcText_;
    std::atomic<bool> crcSyncPending_{false};
};

}  // namespace korv
