#include "serial/line_settings_win32.h"

namespace korv::serialwin {
namespace {

constexpr char kXonChar = 0x11;
constexpr char kXoffChar = 0x13;
constexpr WORD kFlowLimitBytes = static_cast<WORD>(kInputQueueBytes / 4);
constexpr DWORD kWriteMsPerByte = 100;
constexpr DWORD kWriteExtraMs = 1000;

}  // namespace

void applyLineState(DCB& dcb)
{
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = kBaudRate;
    // Binary and abort-on-error on; no parity check, no flow control of any kind.
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 1;
    dcb.fDummy2 = 0;
    dcb.XonLim = kFlowLimitBytes;
    dcb.XoffLim = kFlowLimitBytes;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = kXonChar;
    dcb.XoffChar = kXoffChar;
    dcb.EvtChar = 0;
}

COMMTIMEOUTS lineTimeouts()
{
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = kWriteMsPerByte;
    t.WriteTotalTimeoutConstant = kWriteExtraMs;
    return t;
}

}  // namespace korv::serialwin
