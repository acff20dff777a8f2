// Finding the program's main window and its controls, with bounded waits.
#pragma once

#include "args.h"

#include <windows.h>

namespace inspect {

// Default bound of every wait, in milliseconds.
inline constexpr long long kDefaultTimeoutMs = 10000;
// How often a wait looks again, in milliseconds.
inline constexpr DWORD kPollIntervalMs = 20;

// Options every command that looks for the main window understands.
inline const std::set<std::wstring> kWindowValueOptions = {L"timeout", L"pid"};

// The main window as it is now (nullptr when there is none); visible unless
// allowHidden; of process --pid when given.
HWND findMainWindow(const Args& args, bool allowHidden);

// Waits (up to --timeout) for the main window of the program, by its class;
// visible unless allowHidden; of process --pid when given.
HWND waitForMainWindow(const Args& args, bool allowHidden = false);

// The control of the main window with that id (0: the main window itself).
HWND controlOf(HWND mainWindow, int id);

// Milliseconds since an arbitrary start, for deadlines and measured times.
double nowMs();

}  // namespace inspect
