// The Windows-1252 converter and the preset file helpers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "camctl/presets/preset_file.h"
#include "platform/ansi.h"

namespace {

using platform::ComString;

TEST(Cp1252, EveryByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const ComString wide = platform::Cp1252ToCom(all);
  ASSERT_EQ(wide.size(), 256u);
  EXPECT_EQ(platform::ComToCp1252(wide), all);
}

TEST(Cp1252, HighRangeMapsToItsCharacters) {
  struct Case {
    uint8_t byte;
    char16_t unit;
  };
  const Case cases[] = {{0x80, 0x20AC}, {0x81, 0x0081}, {0x85, 0x2026}, {0x8A, 0x0160}, {0x8D, 0x008D},
                        {0x8F, 0x008F}, {0x90, 0x0090}, {0x92, 0x2019}, {0x99, 0x2122}, {0x9D, 0x009D},
                        {0x9F, 0x0178}, {0xA0, 0x00A0}, {0xC4, 0x00C4}, {0xFF, 0x00FF}, {0x41, 0x0041}};
  for (const auto& c : cases) {
    const std::string one(1, static_cast<char>(c.byte));
    EXPECT_EQ(platform::Cp1252ToCom(one), ComString(1, static_cast<OLECHAR>(c.unit))) << int(c.byte);
    EXPECT_EQ(platform::ComToCp1252(ComString(1, static_cast<OLECHAR>(c.unit))), one) << int(c.byte);
  }
}

TEST(Cp1252, CharactersWithoutAByteBecomeQuestionMarks) {
  // U+0080 and U+009F have no byte (0x80 and 0x9F carry other characters).
  const char16_t unmapped[] = {0x0080, 0x009F, 0x0100, 0x03A9, 0x20AD, 0x4E2D, 0xFFFD, 0xD800, 0xDC00};
  for (char16_t u : unmapped)
    EXPECT_EQ(platform::ComToCp1252(ComString(1, static_cast<OLECHAR>(u))), "?") << std::hex << int(u);
  // A surrogate pair is one character: one '?'. Lone halves are one each.
  EXPECT_EQ(platform::ComToCp1252(COM_TEXT("a\U0001F600b")), "a?b");
  EXPECT_EQ(platform::ComToCp1252(ComString{0xDC00, 0xD800, 'x'}), "??x");
  EXPECT_EQ(platform::ComToCp1252(ComString{'x', 0xD83D}), "x?");
}

#ifndef _WIN32  // on Windows the ANSI code page is the machine's own
TEST(Cp1252, HostAnsiCodePageIsWindows1252) {
  EXPECT_EQ(platform::ComToAnsi(COM_TEXT("\u00E9\u20AC")), "\xE9\x80");
  EXPECT_EQ(platform::AnsiToCom("\xE9\x80"), COM_TEXT("\u00E9\u20AC"));
  EXPECT_EQ(platform::ComToAnsi(COM_TEXT("")), "");
}
#endif

TEST(PresetFile, PathHasTwoDigitsOfTheSlot) {
  EXPECT_EQ(camctl::PresetFilePath(1).view(), "\\dev\\campset\\Preset01.pst");
  EXPECT_EQ(camctl::PresetFilePath(12).view(), "\\dev\\campset\\Preset12.pst");
  EXPECT_EQ(camctl::PresetFilePath(99).view(), "\\dev\\campset\\Preset99.pst");
  EXPECT_EQ(camctl::PresetFilePath(0).view(), "\\dev\\campset\\Preset00.pst");
  EXPECT_EQ(camctl::PresetFilePath(123).view(), "\\dev\\campset\\Preset23.pst");
}

TEST(PresetFile, UsableOnlyWithTheNameFieldAndAMatchingLengthByte) {
  uint8_t file[256] = {};
  file[0] = 10;
  EXPECT_TRUE(camctl::PresetFileUsable(file, 10));
  EXPECT_FALSE(camctl::PresetFileUsable(file, 11));
  file[0] = 9;
  EXPECT_FALSE(camctl::PresetFileUsable(file, 9));
  file[0] = 0;
  EXPECT_FALSE(camctl::PresetFileUsable(file, 256));
  EXPECT_FALSE(camctl::PresetFileUsable(file, 0));
  EXPECT_FALSE(camctl::PresetFileUsable(nullptr, 10));
  file[0] = 255;
  EXPECT_TRUE(camctl::PresetFileUsable(file, 255));
  EXPECT_FALSE(camctl::PresetFileUsable(file, 300)) << "never beyond the buffer";
}

TEST(PresetFile, NameFieldIsReplacedWhole) {
  uint8_t file[12] = {12, 0x77, 'O', 'L', 'D', 'N', 'A', 'M', 'E', '!', 0xAA, 0xBB};
  EXPECT_EQ(camctl::PresetFileName(file), "OLDNAME!");
  camctl::PutPresetFileName(file, "NEW");
  const uint8_t expected[12] = {12, 0x77, 'N', 'E', 'W', 0, 0, 0, 0, 0, 0xAA, 0xBB};
  EXPECT_EQ(0, std::memcmp(file, expected, sizeof file));
  EXPECT_EQ(camctl::PresetFileName(file), "NEW");
  camctl::PutPresetFileName(file, "ABCDEFGHIJ");  // never past the field
  EXPECT_EQ(file[10], 0xAA);
  EXPECT_EQ(camctl::PresetFileName(file), "ABCDEFGH");
}

}  // namespace
