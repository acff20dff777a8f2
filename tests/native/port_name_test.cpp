// The channel's port-name check: which names reach an open attempt, with which
// device path, and which port number is reported.
#include "serial/port_name.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

struct NameCase {
    korv::Bytes name;
    std::int32_t number;                 // reported by OnOpenResult when the open succeeds
    std::optional<korv::Bytes> devicePath;  // the open attempted, if any
};

const NameCase kNameCases[] = {
    {"com5", 5, "\\\\.\\com5"},
    {"COM5", 5, "\\\\.\\COM5"},
    {"cOm12", 12, "\\\\.\\cOm12"},
    {"COM1", 1, "\\\\.\\COM1"},
    {"COM255", 255, "\\\\.\\COM255"},
    {"COM3x", 3, "\\\\.\\COM3x"},  // passes the check; the open itself then fails
    {"COM007", 7, "\\\\.\\COM007"},
    {"COM256", 0, std::nullopt},
    {"COM0", 0, std::nullopt},
    {"COM", 0, std::nullopt},
    {"COM1000", 0, std::nullopt},  // 7 characters
    {"COMx5", 0, std::nullopt},
    {"CON5", 0, std::nullopt},
    {"CO", 0, std::nullopt},
    {"", 0, std::nullopt},
    {" COM5", 0, std::nullopt},
    {"\xC3OM5", 0, std::nullopt},  // only a to z change case
};

TEST(PortName, CheckDecidesTheOpenAttemptAndTheReportedNumber)
{
    for (const auto& c : kNameCases) {
        std::optional<korv::Bytes> attempted;
        const std::int32_t reported = korv::openPortByName(c.name, [&](const korv::Bytes& path) {
            attempted = path;
            return true;
        });
        EXPECT_EQ(reported, c.number) << "name '" << c.name << "'";
        EXPECT_EQ(attempted, c.devicePath) << "name '" << c.name << "'";
        EXPECT_EQ(korv::portNumberFromName(c.name), c.number) << "name '" << c.name << "'";
    }
}

TEST(PortName, FailedOpenReportsZero)
{
    int attempts = 0;
    const std::int32_t reported = korv::openPortByName("COM3x", [&](const korv::Bytes&) {
        ++attempts;
        return false;
    });
    EXPECT_EQ(reported, 0);
    EXPECT_EQ(attempts, 1);
}

}  // namespace
