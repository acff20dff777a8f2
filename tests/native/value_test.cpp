#include "common/value.h"

#include <gtest/gtest.h>

namespace korv {
namespace {

TEST(ValueRule, OnlyTheIntegerZeroHidesOrDisables)
{
    EXPECT_FALSE(showsOrEnables(Value(0)));
    EXPECT_TRUE(showsOrEnables(Value()));
    EXPECT_TRUE(showsOrEnables(Value(1)));
    EXPECT_TRUE(showsOrEnables(Value(-1)));
    EXPECT_TRUE(showsOrEnables(Value("0")));
    EXPECT_TRUE(showsOrEnables(Value("")));
    EXPECT_TRUE(showsOrEnables(Value(0.0)));
}

TEST(ValueText, EachKindHasItsTextForm)
{
    EXPECT_EQ(Value().asText(), "");
    EXPECT_EQ(Value(507).asText(), "507");
    EXPECT_EQ(Value(-3).asText(), "-3");
    EXPECT_EQ(Value(Bytes("a\0b", 3)).asText(), Bytes("a\0b", 3));
    EXPECT_EQ(Value(1.5).asText(), "1.5");
}

TEST(ValueInteger, TextIsReadAsDecimal)
{
    EXPECT_EQ(Value("0").asInteger(), 0);
    EXPECT_EQ(Value("42x").asInteger(), 42);
    EXPECT_EQ(Value().asInteger(), 0);
    EXPECT_EQ(Value(2.9).asInteger(), 2);
}

}  // namespace
}  // namespace korv
