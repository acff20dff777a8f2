// Child-window identifiers of the main window's controls, in creation order.
// Shared with the inspection tool, which finds each control by its id.
#pragma once

namespace korv::control_id {

inline constexpr int kErrorLine1 = 101;
inline constexpr int kErrorLine2 = 102;
inline constexpr int kWriteButton = 103;
inline constexpr int kStatusField = 104;
inline constexpr int kPortList = 105;
inline constexpr int kUploadProgress = 106;
inline constexpr int kVersionLabel = 107;
inline constexpr int kCrcField = 108;
inline constexpr int kCrcReceivedCaption = 109;
inline constexpr int kCrcCaption = 110;
inline constexpr int kOkButton = 111;
inline constexpr int kErrorIcon = 112;
inline constexpr int kSuccessText = 113;

// Class name of the main window, for the inspection tool's FindWindow.
inline constexpr const char* kMainWindowClass = "KorvelantisBootloaderWindow";

}  // namespace korv::control_id
