// The settings table, the camera conversions, the level's text form, the two
// number rules and the typed-level check.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/model/preset_model.h"

namespace presets {
namespace {

TEST(PresetModel, SettingsInTheirOrderWithFunctionsChoicesAndDefaults) {
  std::vector<LONG> functions;
  std::vector<std::string> labels;
  std::vector<int> defaults, choiceCounts;
  for (const auto& s : Settings()) {
    functions.push_back(s.function);
    labels.emplace_back(s.label);
    defaults.push_back(s.defaultValue);
    choiceCounts.push_back(s.choiceCount);
  }
  EXPECT_EQ(functions, (std::vector<LONG>{31, 32, 33, 34, 29, 30, 20, 21, 24, 25, 26, 22, 23, 27, 28}));
  EXPECT_EQ(labels, (std::vector<std::string>{"Gamma", "Knee", "Black", "Noise Reduction", "V. Detail",
                                              "Color Matrix", "Color Gain", "Color Phase", "Red Gain", "Green Gain",
                                              "Blue Gain", "Sharpness", "Setup Level", "Coring", "Master Ped."}));
  // Knee and Black default to "Middle", not to their first entry.
  EXPECT_EQ(defaults, (std::vector<int>{0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(choiceCounts, (std::vector<int>{2, 3, 3, 4, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Info(Setting::NR).choices[1], "High");
  EXPECT_EQ(Info(Setting::NR).choices[3], "Low");
  EXPECT_EQ(Info(Setting::ColorMatrix).choices[0], "Video (Normal)");

  EditorValues values;
  values.presetName = COM_TEXT("OLD");
  values.description = COM_TEXT("kept");
  values[Setting::Blue] = 5;
  ApplyDefaults(values);
  EXPECT_TRUE(values.presetName.empty());
  EXPECT_EQ(values.description, COM_TEXT("kept"));
  EXPECT_EQ(values[Setting::Blue], 0);
  EXPECT_EQ(values[Setting::Knee], 1);
}

TEST(PresetModel, CameraConversions) {
  struct Case {
    Setting setting;
    int editor;
    LONG camera;
  };
  for (const Case& c : {Case{Setting::ColorGain, -6, 0}, Case{Setting::ColorGain, 0, 6}, Case{Setting::Coring, 6, 12},
                        Case{Setting::Red, -1, 5}, Case{Setting::NR, 3, 3}, Case{Setting::Gamma, 1, 1}}) {
    EXPECT_EQ(ToCamera(c.setting, c.editor), c.camera);
    EXPECT_EQ(FromCamera(c.setting, c.camera), c.editor);
  }
  // Camera values outside a list or 0..12 have no editor value.
  for (const auto& [setting, camera] : {std::pair{Setting::Green, -1}, std::pair{Setting::Green, 13},
                                        std::pair{Setting::NR, 4}, std::pair{Setting::Gamma, 2},
                                        std::pair{Setting::Knee, -1}}) {
    EXPECT_EQ(FromCamera(setting, camera), std::nullopt) << camera;
  }
  EXPECT_TRUE(IsEditorValue(Setting::Gamma, kNoSelection));
  EXPECT_FALSE(IsSendable(Setting::Gamma, kNoSelection));
  EXPECT_FALSE(IsEditorValue(Setting::Blue, 7));
  for (const auto& [level, text] : {std::pair{-6, "-6"}, std::pair{-1, "-1"}, std::pair{0, "0"}, std::pair{5, "5"}})
    EXPECT_EQ(LevelText(level), text);
}

// Every value of every setting, one below and one above: what an editor may
// hold, what may be sent, and the exact camera value and its way back. A
// level of -1 is a level like any other, not the lists' "no selection".
TEST(PresetModel, EveryValueOfEverySetting) {
  for (const SettingInfo& info : Settings()) {
    const bool list = info.kind == SettingKind::List;
    const int low = list ? kNoSelection : kLevelMin, high = list ? info.choiceCount - 1 : kLevelMax;
    for (int value = low - 1; value <= high + 1; ++value) {
      SCOPED_TRACE(std::string(info.name) + " " + std::to_string(value));
      const bool editor = value >= low && value <= high;
      const bool sendable = editor && !(list && value == kNoSelection);
      EXPECT_EQ(IsEditorValue(info.setting, value), editor);
      EXPECT_EQ(IsSendable(info.setting, value), sendable);
      if (!sendable) continue;
      const LONG camera = ToCamera(info.setting, value);
      EXPECT_EQ(camera, list ? value : value + 6);
      EXPECT_EQ(FromCamera(info.setting, camera), value);
    }
  }
}

// Control characters never reach the camera: a NUL would cut the name, the
// others would travel raw. The message shows them escaped.
TEST(PresetModel, PresetNameCheck) {
  using platform::ComString;
  const struct {
    ComString name;
    const char* says;  // nullptr: accepted
  } cases[] = {
      {COM_TEXT(""), nullptr},
      {COM_TEXT("SUNSET 1"), nullptr},
      {platform::Utf8ToCom("Café~ÿ"), nullptr},
      {ComString(COM_TEXT("AB\0CD"), 5), "\"AB\\x00CD\" holds the control character 0x00"},
      {COM_TEXT("A\x01"), "\"A\\x01\" holds the control character 0x01"},
      {COM_TEXT("\tTAB"), "0x09"},
      {COM_TEXT("CR\r"), "0x0D"},
      {COM_TEXT("\x1F"), "0x1F"},
      {COM_TEXT("DEL\x7F"), "0x7F"},
      {COM_TEXT("C1\x85"), "\"C1\\x85\" holds the control character 0x85"},
      {COM_TEXT("A\\B\x9F"), "\"A\\\\B\\x9F\""},
      {COM_TEXT("ABCDEFGHI"), "at most 8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says ? c.says : "accepted");
    std::string error;
    EXPECT_EQ(CheckPresetName(c.name, error), c.says == nullptr);
    if (c.says) {
      EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
    if (c.says && std::string(c.says).find("at most") == std::string::npos) {
      std::string again;
      EXPECT_FALSE(CheckNameCharacters(c.name, again));
      EXPECT_EQ(again, error);
    }
  }
}

TEST(PresetModel, NumberRules) {
  struct Case {
    const char* text;
    std::optional<int16_t> leading;
    std::optional<int16_t> strict;
  };
  const std::optional<int16_t> error;
  const Case cases[] = {
      {"2", 2, 2},
      {"  -5 ", -5, -5},
      {"2 and more", 2, error},  // leading number, then text
      {"1 2", 12, error},        // blanks inside are ignored by the leading rule only
      {"\t3\t", 3, 3},
      {"3\n4", 34, error},  // line feeds too
      {"", 0, error},
      {"abc", 0, error},
      {"-", 0, error},
      {".5", 0, 0},    // halves to even
      {"1.5", 2, 2},
      {"2.5", 2, 2},
      {"-2.5", -2, -2},
      {".6", 1, 1},
      {"+4", 4, 4},
      {"1e1", 10, 10},
      {"1D1", 10, 10},
      {"2e", 2, error},
      {"&H10", 16, 16},
      {"&hFFFF", -1, -1},  // a four-digit hexadecimal number is 16-bit
      {"&O17", 15, 15},
      {"&Z1", 0, error},
      {"32767", 32767, 32767},
      {"32768", error, error},  // beyond 16 bits
      {"-32768.4", -32768, -32768},
      {"1e999", error, error},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LeadingNumberRule(c.text), c.leading) << '"' << c.text << '"';
    EXPECT_EQ(StrictIntegerRule(c.text), c.strict) << '"' << c.text << '"';
  }
}

TEST(PresetModel, TypedLevelCheck) {
  struct Case {
    const char* typed;
    int current;
    int position;
    const char* text;
  };
  const Case cases[] = {
      {"7", 2, 0, "0"},   {"-9", 0, 0, "0"},   {"-6", 0, -6, "-6"}, {"6", 3, 6, "6"},   {"ab", 4, 0, "0"},
      {"-", 1, 0, "0"},   {"", 0, 0, ""},      {".5", 0, 0, ".5"},  {".6", 0, 1, "1"},  {"3", 3, 3, "3"},
      {"+2", 2, 2, "+2"}, {"+2", 1, 2, "2"},   {" 4", 0, 4, "4"},   {"99", 0, 0, "0"},  {"-0", 5, 0, "0"},
  };
  for (const Case& c : cases) {
    const TypedLevel checked = CheckTypedLevel(c.typed, c.current);
    EXPECT_EQ(checked.position, c.position) << '"' << c.typed << '"';
    EXPECT_EQ(checked.text, c.text) << '"' << c.typed << '"';
  }
}

}  // namespace
}  // namespace presets
