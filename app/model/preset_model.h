// The preset as the application edits it: the fifteen picture settings with
// their labels, choices, function numbers and defaults, the conversions to and
// from the camera's values, the text form of a level, and the two ways text
// is read as a number (the editors' and the settings file's).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/com.h"

namespace presets {

inline constexpr std::string_view kApplicationTitle = "Marrowfield KV7 Presets Manager";

enum class SettingKind : uint8_t { List, Level };

// The settings in the one order both camera operations walk them.
enum class Setting : uint8_t {
  Gamma, Knee, Black, NR, VDetail, ColorMatrix,
  ColorGain, ColorPhase, Red, Green, Blue, Sharpness, SetupLevel, Coring, MasterPed,
};
inline constexpr size_t kSettingCount = 15;

struct SettingInfo {
  Setting setting;
  std::string_view name;     // "ColorGain"
  std::string_view control;  // the editor: "Combo_Gamma", "HScroll_ColorGain"
  std::string_view label;    // on screen: "Color Gain"
  LONG function;             // camera function number
  SettingKind kind;
  std::array<std::string_view, 4> choices;  // list settings only
  int choiceCount;                          // list settings only
  int defaultValue;                         // list position or level
};

// All fifteen, in setting order (index = static_cast<size_t>(Setting)).
const std::array<SettingInfo, kSettingCount>& Settings();
inline const SettingInfo& Info(Setting setting) { return Settings()[static_cast<size_t>(setting)]; }

inline constexpr int kLevelMin = -6;
inline constexpr int kLevelMax = 6;
inline constexpr int kLevelCameraOffset = 6;  // camera value = level + 6
inline constexpr int kNoSelection = -1;       // a list without a chosen entry

// Preset slots offered by the selector, and the two access permissions.
inline constexpr int kFirstSlot = 1;
inline constexpr int kLastSlot = 3;
inline constexpr LONG kUnlocked = 0;
inline constexpr LONG kLocked = 1;
inline constexpr size_t kMaxNameBytes = 8;  // in the single-byte code page

// What the main window's editors hold: the preset name, each setting's value
// (a list's 0-based position, kNoSelection for none, or a level -6..6) and the
// description, which belongs to the settings file only.
struct EditorValues {
  platform::ComString presetName;
  std::array<int, kSettingCount> values{};
  platform::ComString description;

  int& operator[](Setting s) { return values[static_cast<size_t>(s)]; }
  int operator[](Setting s) const { return values[static_cast<size_t>(s)]; }
  bool operator==(const EditorValues&) const = default;
};

// Empty name, default list positions and levels; the description is kept.
void ApplyDefaults(EditorValues& values);
EditorValues DefaultValues();

// A value an editor can hold: a list position or kNoSelection, a level -6..6.
bool IsEditorValue(Setting setting, int value);
// A value that can be sent to the camera: a list needs a chosen entry; any
// level -6..6 is sendable (-1 is a level, not the list's "no selection").
bool IsSendable(Setting setting, int value);
// Editor value to camera value: the position, or the level + 6.
LONG ToCamera(Setting setting, int value);
// Camera value to editor value; nothing when the camera value lies outside
// the setting's list or its range 0..12.
std::optional<int> FromCamera(Setting setting, LONG cameraValue);

// Whether a preset name can go to the camera: every character has a byte in
// the code page, at most 8 bytes, and no control character (U+0000-U+001F,
// U+007F-U+009F: a NUL would cut the name short, the others would reach the
// camera and every listing raw). Otherwise false and a message in `error`
// that shows the name with its control characters escaped. The window, the
// settings file and presetctl all check names here.
bool CheckPresetName(platform::ComStringView name, std::string& error);
// Only the control-character part of that check (for names of any length,
// such as one read from a file or the camera).
bool CheckNameCharacters(platform::ComStringView name, std::string& error);
// The name in UTF-8 for a message: control characters as \xNN, '\' as \\.
std::string EscapedName(platform::ComStringView name);

// "-6", "-1", "0", "5": no plus sign, no leading zeros or blanks.
std::string LevelText(int level);

// ---- Reading text as a number ----------------------------------------------

// The leading number of a text: spaces, tabs and line feeds are ignored
// wherever they occur; the longest prefix that forms a decimal number
// (sign, digits, fraction, exponent with E or D) or an &H / &O number is
// taken; no number reads as 0. Nothing when the number is not finite.
std::optional<double> ReadLeadingNumber(std::string_view text);
// The whole text, surrounding spaces and tabs ignored, as one number.
std::optional<double> ReadWholeNumber(std::string_view text);
// Nearest integer, halves to the even neighbour; nothing outside int16.
std::optional<int16_t> RoundToInt16(double value);

// The settings file's two value rules.
std::optional<int16_t> LeadingNumberRule(std::string_view text);
std::optional<int16_t> StrictIntegerRule(std::string_view text);

// The check of a level typed into its text box, when the box loses the
// focus: a leading number outside -6..6 turns the text into "0"; the number
// is rounded (halves to even) into the new position; the text is rewritten
// only when the position changes.
struct TypedLevel {
  int position;
  std::string text;
};
TypedLevel CheckTypedLevel(std::string_view typed, int currentPosition);

}  // namespace presets
