#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace korv {
namespace {

TEST(CommandLine, OnlyTheFirstArgumentAsWrittenAsksForInfo)
{
    struct Case {
        std::string line;
        bool info;
        std::string firstArgument;
    };
    const std::string longLine = "prog.exe " + std::string(100000, 'x') + " /ih";
    const Case cases[] = {
        {"prog.exe /ih", true, "/ih"},
        {"\"C:\\Program Files\\k\\prog.exe\" /ih", true, "/ih"},
        {"prog.exe \"/ih\"", true, "/ih"},
        {"prog.exe /ih extra words", true, "/ih"},
        {"prog.exe \t /ih\t", true, "/ih"},
        {"\"C:\\k\\prog.exe\"/ih", true, "/ih"},
        {"prog.exe /IH", false, "/IH"},
        {"prog.exe /Ih", false, "/Ih"},
        {"prog.exe other /ih", false, "other"},
        {"prog.exe", false, ""},
        {"", false, ""},
        {"   ", false, ""},
        {"prog.exe \"\"", false, ""},
        {"prog.exe \"\"/ih\"\"", false, "\"/ih\""},
        {"prog.exe \"/ih", false, "\"/ih"},
        {"prog.exe /ih\"", false, "/ih\""},
        {"prog.exe \"/ih extra\"", false, "/ih extra"},
        {"prog.exe /ihx", false, "/ihx"},
        {"\"prog.exe /ih", false, ""},
        {longLine, false, std::string(100000, 'x')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(asksForInfo(c.line), c.info) << c.line.substr(0, 60);
        EXPECT_EQ(firstArgument(c.line), c.firstArgument) << c.line.substr(0, 60);
    }
}

TEST(CommandLine, AnyBytesAreReadSafely)
{
    // Every byte value, NUL and unbalanced quotes included, at every length up to 300.
    std::string line;
    for (int i = 0; i < 300; ++i) {
        line += static_cast<char>((i * 37 + 11) % 256);
        const std::string_view arg = firstArgument(line);
        ASSERT_LE(arg.size(), line.size());
        if (!arg.empty()) {
            ASSERT_GE(arg.data(), line.data());
            ASSERT_LE(arg.data() + arg.size(), line.data() + line.size());
        }
    }
}

}  // namespace
}  // namespace korv
