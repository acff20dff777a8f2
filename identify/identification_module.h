// Device identification: sends "VERS" once a port has opened, judges every
// reply chunk against the device signature, and owns Route, the selector that
// sends received data here (0) or to the upload (1).
//
// Threads: doPortResult and doOpenPort run on the window's thread; doReceive
// runs on the serial reader thread. Route is the only state both read; the
// token slots are touched by doReceive alone.
#pragma once

#include "common/output.h"
#include "common/value.h"

#include <atomic>
#include <cstdint>
#include <string_view>

namespace korv {

class TClassMultiElementEx_22086E0 {
public:
    // Inputs.
    void doPortResult(const Value& portNumberOrZero);
    void doOpenPort(const Value& anything);
    void doReceive(const Bytes& chunk);

    // Outputs.
    Output<Bytes> onSend;
    Output<Bytes> onStatus;
    Output<Value> onOpenPort;
    Output<Value> onNotIdentified;
    Output<Bytes> onIdentified;

    // Data output: 0 until a reply is recognised, then 1.
    std::int32_t Route() const { return route_.load(); }

private:
    void reportNotIdentified(const Value& what);
    void advanceRoute();

    std::atomic<std::int32_t> route_{0};
    Bytes tokens_[3];
};

using IdentificationModule = TClassMultiElementEx_22086E0;

namespace identify {

inline constexpr std::string_view kQuery = "VERS";
inline constexpr std::string_view kSignature = "KORVELANTIS";
inline constexpr char kTokenDelimiter = ' ';

// Cuts one token from the front of rest: up to the first space, the space
// searched for only before the first NUL; without one, all of rest.
Bytes cutToken(std::string_view& rest);
// Exactly the signature, ASCII letter case ignored.
bool isSignature(std::string_view token);
// The format with "%1" and "%2" (each not followed by a decimal digit)
// replaced by the two parameters, the second pass also reaching into the first
// parameter; NUL bytes then show as '%' and 0x01 bytes disappear.
Bytes formatTwo(std::string_view format, std::string_view first, std::string_view second);

}  // namespace identify
}  // namespace korv
