// The fixed line settings the channel hands to the driver at every open.
#pragma once

#include <windows.h>

namespace korv::serialwin {

inline constexpr DWORD kBaudRate = 38462;  // bits per second, not 38400
inline constexpr DWORD kInputQueueBytes = 4096;
inline constexpr DWORD kOutputQueueBytes = 4096;
inline constexpr DWORD kEventMask = EV_RXCHAR;

// Overwrites the line-state fields the channel sets; the others (ErrorChar,
// EofChar, the reserved words) keep what the driver reported.
void applyLineState(DCB& dcb);

// Reads return at once with whatever is queued; a write may take 100 ms per
// byte plus 1000 ms.
COMMTIMEOUTS lineTimeouts();

}  // namespace korv::serialwin
