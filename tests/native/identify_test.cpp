#include "identify/identification_module.h"

#include "common/cp1251.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace korv {
namespace {

// What one output carried, and the Route a listener saw at that moment.
struct Event {
    std::string output;
    Value value;
    std::int32_t route;
    friend bool operator==(const Event&, const Event&) = default;
};

void PrintTo(const Event& e, std::ostream* os)
{
    *os << e.output << "(";
    if (e.value.isNothing()) *os << "nothing";
    else *os << testing::PrintToString(e.value.asText());
    *os << ") route " << e.route;
}

struct Recorder {
    IdentificationModule module;
    std::vector<Event> events;

    Recorder()
    {
        module.onSend.connect([this](Bytes b) { log("send", Value(b)); });
        module.onStatus.connect([this](Bytes b) { log("status", Value(b)); });
        module.onOpenPort.connect([this](Value v) { log("openPort", v); });
        module.onNotIdentified.connect([this](Value v) { log("notIdentified", v); });
        module.onIdentified.connect([this](Bytes b) { log("identified", Value(b)); });
    }
    void log(const char* output, Value v) { events.push_back({output, std::move(v), module.Route()}); }
};

template <std::size_t N>
Bytes bytes(const char (&s)[N])
{
    return Bytes(s, N - 1);  // keeps embedded NULs
}

const Bytes kNoDevice = cp1251(u8"На этом порту устройств не найдено.").str();

std::vector<Event> notIdentified(Value what) { return {{"notIdentified", std::move(what), 0}, {"status", kNoDevice, 0}}; }

std::vector<Event> identified(Bytes status, Bytes token0)
{
    return {{"status", std::move(status), 0}, {"identified", std::move(token0), 1}};
}

TEST(IdentificationReply, EachChunkGivesItsStatusRouteAndOutputs)
{
    struct Case {
        const char* what;
        Bytes chunk;
        std::vector<Event> expected;
    };
    const Case cases[] = {
        {"normal reply", bytes("KORVELANTIS 7 1.5"),
         identified(cp1251(u8"Устройство: 7   Текущая версия ПО: 1.5").str(), "KORVELANTIS")},
        {"lower-case signature", bytes("korvElantis 7 1.5"),
         identified(cp1251(u8"Устройство: 7   Текущая версия ПО: 1.5").str(), "korvElantis")},
        {"CR LF stays in token 2", bytes("KORVELANTIS 7 1.5\r\n"),
         identified(cp1251(u8"Устройство: 7   Текущая версия ПО: 1.5\r\n").str(), "KORVELANTIS")},
        {"extra words dropped", bytes("KORVELANTIS 7 1.5 beta build"),
         identified(cp1251(u8"Устройство: 7   Текущая версия ПО: 1.5").str(), "KORVELANTIS")},
        {"signature and one word", bytes("KORVELANTIS 7"),
         identified(cp1251(u8"Устройство: 7   Текущая версия ПО: ").str(), "KORVELANTIS")},
        {"two spaces: empty token 1", bytes("KORVELANTIS  7 1.5"),
         identified(cp1251(u8"Устройство:    Текущая версия ПО: 7").str(), "KORVELANTIS")},
        {"%2 inside token 1", bytes("KORVELANTIS a%2b 1.5"),
         identified(cp1251(u8"Устройство: a1.5b   Текущая версия ПО: 1.5").str(), "KORVELANTIS")},
        {"%1 brought in is not replaced again", bytes("KORVELANTIS %1 %1"),
         identified(cp1251(u8"Устройство: %1   Текущая версия ПО: %1").str(), "KORVELANTIS")},
        {"%2 followed by a digit stays", bytes("KORVELANTIS %25 x"),
         identified(cp1251(u8"Устройство: %25   Текущая версия ПО: x").str(), "KORVELANTIS")},
        {"NUL in token 2 shows as %", bytes("KORVELANTIS 7 1\0.5"),
         identified(cp1251(u8"Устройство: 7   Текущая версия ПО: 1%.5").str(), "KORVELANTIS")},
        {"0x01 in token 1 disappears", bytes("KORVELANTIS a\x01" "b 1.5"),
         identified(cp1251(u8"Устройство: ab   Текущая версия ПО: 1.5").str(), "KORVELANTIS")},
        {"NUL ends the search for spaces", bytes("KORVELANTIS a\0b c\x01" "d"),
         identified(cp1251(u8"Устройство: a%b cd   Текущая версия ПО: ").str(), "KORVELANTIS")},
        {"no space", bytes("KORVELANTIS\r\n"), notIdentified(bytes("KORVELANTIS\r\n"))},
        {"empty chunk", bytes(""), notIdentified(bytes(""))},
        {"leading space", bytes(" KORVELANTIS 7 1.5"), notIdentified(bytes(""))},
        {"extra letter", bytes("KORVELANTISS 7 1.5"), notIdentified(bytes("KORVELANTISS"))},
        {"part of the signature", bytes("KORVELANTI 7 1.5"), notIdentified(bytes("KORVELANTI"))},
        {"NUL inside token 0", bytes("KORV\0ELANTIS 7 1.5"), notIdentified(bytes("KORV\0ELANTIS 7 1.5"))},
        {"space only after a NUL", bytes("KORVELANTIS\0 7"), notIdentified(bytes("KORVELANTIS\0 7"))},
    };
    for (const auto& c : cases) {
        Recorder r;
        r.module.doReceive(c.chunk);
        EXPECT_EQ(r.events, c.expected) << c.what;
        EXPECT_EQ(r.module.Route(), c.expected.back().route) << c.what;
    }
}

TEST(IdentificationReply, EveryChunkIsJudgedAloneAndRouteAlternates)
{
    Recorder r;
    r.module.doReceive(bytes("KORVELANTIS 7 1.5"));
    r.module.doReceive(bytes("nonsense"));
    ASSERT_EQ(r.module.Route(), 1);  // a failure leaves Route alone
    r.events.clear();
    // The slots are emptied for each chunk: nothing of 7 and 1.5 is left.
    r.module.doReceive(bytes("KORVELANTIS "));
    const std::vector<Event> expected = {
        {"status", cp1251(u8"Устройство:    Текущая версия ПО: ").str(), 1},
        {"identified", bytes("KORVELANTIS"), 0},
    };
    EXPECT_EQ(r.events, expected);
    EXPECT_EQ(r.module.Route(), 0);
}

TEST(IdentificationPort, ResultZeroReportsNoDeviceAndAnyPortSendsTheQuery)
{
    struct Case {
        Value result;
        std::vector<Event> expected;
    };
    const Case cases[] = {
        {Value(0), notIdentified(Value())},
        {Value("0"), notIdentified(Value())},
        {Value(3), {{"send", bytes("VERS"), 0}}},
        {Value(255), {{"send", bytes("VERS"), 0}}},
    };
    for (const auto& c : cases) {
        Recorder r;
        r.module.doPortResult(c.result);
        EXPECT_EQ(r.events, c.expected) << c.result.asText();
    }
}

TEST(IdentificationPort, OpenRequestIsPassedOnUnchanged)
{
    Recorder r;
    r.module.doOpenPort(Value("COM3"));
    r.module.doOpenPort(Value());
    const std::vector<Event> expected = {{"openPort", Value("COM3"), 0}, {"openPort", Value(), 0}};
    EXPECT_EQ(r.events, expected);
}

TEST(IdentificationRobustness, UnlinkedOutputsAndArbitraryChunks)
{
    IdentificationModule bare;
    bare.doPortResult(Value(0));
    bare.doPortResult(Value(1));
    bare.doReceive(bytes("KORVELANTIS 7 1.5"));
    EXPECT_EQ(bare.Route(), 1);

    // Any bytes, any length: one status per chunk, never a crash.
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> length(0, 64);
    std::uniform_int_distribution<int> byte(0, 255);
    Recorder r;
    int statuses = 0;
    r.module.onStatus.connect([&](Bytes) { ++statuses; });
    for (int i = 0; i < 5000; ++i) {
        Bytes chunk(static_cast<std::size_t>(length(random)), '\0');
        for (auto& c : chunk) c = static_cast<char>(byte(random) < 40 ? ' ' : byte(random));
        r.module.doReceive(chunk);
    }
    EXPECT_EQ(statuses, 5000);
}

}  // namespace
}  // namespace korv
