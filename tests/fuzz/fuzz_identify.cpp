// Fuzzes the identification module's judgement of received chunks. The input
// is a sequence of chunks, each a length byte and its bytes. Every chunk goes
// to doReceive, and what the module fires is checked against the reply rules,
// worked out here independently: which chunks are recognised, which tokens
// they hold, what the status says, and when Route changes.
#include "common/texts.h"
#include "identify/identification_module.h"

#include "fuzz_input.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using korv::Bytes;
using korv::Value;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "identification invariant broken: %s\n", what);
    std::abort();
}

void require(bool ok, const char* what)
{
    if (!ok) fail(what);
}

// The tokens of a reply: up to the first space, a space counting only before
// the first NUL of what is left; three of them, the rest dropped.
struct Tokens {
    Bytes t[3];
};

Bytes cutOne(std::string_view& rest)
{
    for (std::size_t i = 0; i < rest.size() && rest[i] != '\0'; ++i) {
        if (rest[i] != ' ') continue;
        Bytes token(rest.substr(0, i));
        rest.remove_prefix(i + 1);
        return token;
    }
    Bytes token(rest);
    rest = {};
    return token;
}

Tokens tokensOf(std::string_view chunk)
{
    Tokens out;
    for (auto& token : out.t) token = cutOne(chunk);
    return out;
}

bool isSignature(std::string_view token)
{
    static constexpr std::string_view kUpper = "KORVELANTIS";
    static constexpr std::string_view kLower = "korvelantis";
    if (token.size() != kUpper.size()) return false;
    for (std::size_t i = 0; i < token.size(); ++i) {
        if (token[i] != kUpper[i] && token[i] != kLower[i]) return false;
    }
    return true;
}

bool plainToken(std::string_view token) { return token.find_first_of(std::string_view("%\0\x01", 3)) == token.npos; }

// The identity format around its two parameters.
struct IdentityParts {
    std::string_view before1, between, after2;
};

IdentityParts identityParts()
{
    const std::string_view format = korv::texts::kIdentityFormat.view();
    const std::size_t p1 = format.find("%1");
    const std::size_t p2 = format.find("%2");
    if (p1 == format.npos || p2 == format.npos || p2 < p1) fail("identity format without %1 and %2");
    return {format.substr(0, p1), format.substr(p1 + 2, p2 - p1 - 2), format.substr(p2 + 2)};
}

// What the module fired while judging one chunk, with Route as each output saw it.
struct Fired {
    std::vector<std::string> order;
    std::vector<Bytes> statuses;
    std::vector<Value> notIdentified;
    std::vector<Bytes> identified;
    std::int32_t routeAtStatus = -1;
    std::int32_t routeAtIdentified = -1;
};

void wire(korv::IdentificationModule& module, Fired& fired)
{
    module.onStatus.connect([&](Bytes text) {
        fired.order.push_back("status");
        fired.statuses.push_back(std::move(text));
        fired.routeAtStatus = module.Route();
    });
    module.onNotIdentified.connect([&](Value what) {
        fired.order.push_back("not-identified");
        fired.notIdentified.push_back(std::move(what));
    });
    module.onIdentified.connect([&](Bytes token) {
        fired.order.push_back("identified");
        fired.identified.push_back(std::move(token));
        fired.routeAtIdentified = module.Route();
    });
    module.onSend.connect([](Bytes) { fail("onSend fired while judging a chunk"); });
    module.onOpenPort.connect([](Value) { fail("onOpenPort fired while judging a chunk"); });
}

void checkRejected(const Fired& fired, const Bytes& chunk, bool hasSpace, const Tokens& tokens,
                   std::int32_t routeBefore, std::int32_t routeAfter)
{
    require(fired.order == std::vector<std::string>{"not-identified", "status"}, "rejection fires onNotIdentified, then onStatus");
    require(fired.statuses[0] == korv::texts::kNoDeviceFound.view(), "a rejected chunk gives the no-device text");
    const Bytes& expectedWhat = hasSpace ? tokens.t[0] : chunk;
    require(fired.notIdentified[0] == Value(expectedWhat), "onNotIdentified carries the chunk or token 0");
    require(routeAfter == routeBefore, "a rejected chunk leaves Route alone");
}

void checkRecognised(const Fired& fired, const Tokens& tokens, std::int32_t routeBefore, std::int32_t routeAfter)
{
    require(fired.order == std::vector<std::string>{"status", "identified"}, "recognition fires onStatus, then onIdentified");
    require(fired.identified[0] == tokens.t[0], "onIdentified carries token 0 as received");
    require(routeAfter == 1 - routeBefore, "a recognised chunk advances Route");
    require(fired.routeAtStatus == routeBefore, "the status is set before Route changes");
    require(fired.routeAtIdentified == routeAfter, "onIdentified already sees the new Route");

    const Bytes& status = fired.statuses[0];
    const IdentityParts parts = identityParts();
    require(status.compare(0, parts.before1.size(), parts.before1) == 0, "the status starts with the identity prefix");
    require(status.find('\0') == Bytes::npos && status.find('\x01') == Bytes::npos, "no NUL or 0x01 byte in the status");
    if (plainToken(tokens.t[1]) && plainToken(tokens.t[2])) {
        Bytes expected(parts.before1);
        expected.append(tokens.t[1]).append(parts.between).append(tokens.t[2]).append(parts.after2);
        require(status == expected, "the status is the format filled with tokens 1 and 2");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    korv::IdentificationModule module;
    Fired fired;
    wire(module, fired);

    korv::fuzz::FuzzInput input(data, size);
    while (!input.empty()) {
        const Bytes chunk = input.chunk();
        fired = Fired{};
        const std::int32_t routeBefore = module.Route();
        module.doReceive(chunk);
        const std::int32_t routeAfter = module.Route();
        require(routeAfter == 0 || routeAfter == 1, "Route is 0 or 1");

        const bool hasSpace = chunk.find(' ') != Bytes::npos;
        const Tokens tokens = tokensOf(chunk);
        if (hasSpace && isSignature(tokens.t[0])) checkRecognised(fired, tokens, routeBefore, routeAfter);
        else checkRejected(fired, chunk, hasSpace, tokens, routeBefore, routeAfter);
    }
    return 0;
}
