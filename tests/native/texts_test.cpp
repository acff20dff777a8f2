#include "common/cp1251.h"
#include "common/texts.h"

#include <gtest/gtest.h>

#include <string>

namespace korv {
namespace {

std::string hex(std::string_view bytes)
{
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

TEST(Cp1251Texts, CyrillicBecomesItsCodePageBytes)
{
    // "Записать" and the two letters outside the А..я run, Ё and ё.
    EXPECT_EQ(hex(texts::kWriteButton.view()), "C7E0EFE8F1E0F2FC");
    EXPECT_EQ(hex(cp1251(u8"Ёё№").view()), "A8B8B9");
    EXPECT_EQ(texts::kWindowCaption.view(), "Korvelantis bootloader");
}

TEST(Cp1251Texts, SuccessTextKeepsItsSpacesAndLineBreak)
{
    const auto text = texts::kSuccessText.view();
    ASSERT_EQ(text.size(), 107u);
    EXPECT_EQ(text.substr(0, 29), std::string(29, ' '));
    EXPECT_EQ(text.substr(29 + 21, 2 + 24), "\r\n" + std::string(24, ' '));
    EXPECT_EQ(hex(text.substr(29 + 21 + 26, 2)), "D1E1");  // "Сб" of "Сбросте"
}

TEST(Cp1251Decode, EveryByteGivesItsUnicodeCharacter)
{
    struct Case {
        unsigned char byte;
        char16_t expected;
    };
    const Case cases[] = {{0x41, u'A'}, {0x00, u'\0'}, {0xC0, u'А'}, {0xFF, u'я'}, {0xA8, u'Ё'},
                          {0xB8, u'ё'}, {0xB9, u'№'}, {0x88, u'€'}, {0x98, u'\uFFFD'}, {0xA0, u'\u00A0'}};
    for (const auto& c : cases) {
        const std::string one(1, static_cast<char>(c.byte));
        EXPECT_EQ(decodeCp1251(one), std::u16string(1, c.expected)) << "byte " << int(c.byte);
    }
}

TEST(Cp1251Decode, RoundTripsEveryText)
{
    EXPECT_EQ(decodeCp1251(texts::kErrorLine2.view()), u"Проверьте все соединения и попробуйте ещё раз.");
    EXPECT_EQ(decodeCp1251(texts::kIdentityFormat.view()), u"Устройство: %1   Текущая версия ПО: %2");
}

}  // namespace
}  // namespace korv
