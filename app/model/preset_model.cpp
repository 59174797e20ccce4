#include "app/model/preset_model.h"

#include <charconv>
#include <cstdio>
#include <cmath>
#include <limits>

#include "platform/ansi.h"

namespace presets {

namespace {

constexpr SettingInfo List(Setting s, std::string_view name, std::string_view control, std::string_view label,
                           LONG function, std::array<std::string_view, 4> choices, int count, int def) {
  return {s, name, control, label, function, SettingKind::List, choices, count, def};
}
constexpr SettingInfo Level(Setting s, std::string_view name, std::string_view control, std::string_view label,
                            LONG function) {
  return {s, name, control, label, function, SettingKind::Level, {}, 0, 0};
}

constexpr std::array<SettingInfo, kSettingCount> kSettings = {{
    List(Setting::Gamma, "Gamma", "Combo_Gamma", "Gamma", 31, {"Normal", "Cine"}, 2, 0),
    List(Setting::Knee, "Knee", "Combo_Knee", "Knee", 32, {"High", "Middle", "Low"}, 3, 1),
    List(Setting::Black, "Black", "Combo_Black", "Black", 33, {"Stretch", "Middle", "Press"}, 3, 1),
    List(Setting::NR, "NR", "Combo_NR", "Noise Reduction", 34, {"Off", "High", "Medium", "Low"}, 4, 0),
    List(Setting::VDetail, "VDetail", "Combo_VDetail", "V. Detail", 29, {"Normal", "Low"}, 2, 0),
    List(Setting::ColorMatrix, "ColorMatrix", "Combo_ColorMatrix", "Color Matrix", 30, {"Video (Normal)", "Cine"}, 2,
         0),
    Level(Setting::ColorGain, "ColorGain", "HScroll_ColorGain", "Color Gain", 20),
    Level(Setting::ColorPhase, "ColorPhase", "HScroll_ColorPhase", "Color Phase", 21),
    Level(Setting::Red, "Red", "HScroll_Red", "Red Gain", 24),
    Level(Setting::Green, "Green", "HScroll_Green", "Green Gain", 25),
    Level(Setting::Blue, "Blue", "HScroll_Blue", "Blue Gain", 26),
    Level(Setting::Sharpness, "Sharpness", "HScroll_Sharpness", "Sharpness", 22),
    Level(Setting::SetupLevel, "SetupLevel", "HScroll_SetupLevel", "Setup Level", 23),
    Level(Setting::Coring, "Coring", "HScroll_Coring", "Coring", 27),
    Level(Setting::MasterPed, "MasterPed", "HScroll_MasterPed", "Master Ped.", 28),
}};

static_assert([] {
  for (size_t i = 0; i < kSettingCount; ++i)
    if (static_cast<size_t>(kSettings[i].setting) != i) return false;
  return true;
}());

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// Scans one number at the start of `text` (no blanks inside). Returns the
// count of characters used (0: no number) and the value.
size_t ScanNumber(std::string_view text, double& value) {
  value = 0;
  if (text.size() >= 2 && text[0] == '&') {
    const char kind = text[1];
    const int base = (kind == 'H' || kind == 'h') ? 16 : (kind == 'O' || kind == 'o') ? 8 : 0;
    if (base == 0) return 0;
    size_t i = 2;
    uint64_t magnitude = 0;
    for (; i < text.size() && DigitValue(text[i]) < base; ++i) {
      magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(DigitValue(text[i]));
      if (magnitude > 0xFFFFFFFFu) {
        value = std::numeric_limits<double>::infinity();
        return i + 1;
      }
    }
    if (i == 2) return 0;
    // Hexadecimal and octal numbers are 16-bit or 32-bit two's complement.
    if (magnitude <= 0xFFFFu)
      value = static_cast<int16_t>(static_cast<uint16_t>(magnitude));
    else
      value = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
    return i;
  }
  // from_chars takes neither a plus sign nor a missing leading digit.
  std::string number;
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') number.push_back('-');
    ++i;
  }
  size_t digits = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i, ++digits) number.push_back(text[i]);
  if (i < text.size() && text[i] == '.') {
    if (digits == 0) number.push_back('0');
    number.push_back('.');
    ++i;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++digits) number.push_back(text[i]);
  }
  if (digits == 0) return 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E' || text[i] == 'd' || text[i] == 'D')) {
    size_t j = i + 1;
    std::string exponent = "e";
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) exponent += text[j++];
    const size_t start = j;
    for (; j < text.size() && IsDigit(text[j]); ++j) exponent += text[j];
    if (j > start) {
      number += exponent;
      i = j;
    }
  }
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec == std::errc::result_out_of_range) {
    value = std::numeric_limits<double>::infinity();  // too large: refused by the caller
  } else if (ec != std::errc() || end != number.data() + number.size()) {
    return 0;
  }
  return i;
}

}  // namespace

const std::array<SettingInfo, kSettingCount>& Settings() { return kSettings; }

void ApplyDefaults(EditorValues& values) {
  values.presetName.clear();
  for (const auto& info : kSettings) values[info.setting] = info.defaultValue;
}

EditorValues DefaultValues() {
  EditorValues values;
  ApplyDefaults(values);
  return values;
}

bool IsEditorValue(Setting setting, int value) {
  const SettingInfo& info = Info(setting);
  if (info.kind == SettingKind::List) return value >= kNoSelection && value < info.choiceCount;
  return value >= kLevelMin && value <= kLevelMax;
}

bool IsSendable(Setting setting, int value) {
  if (Info(setting).kind == SettingKind::List && value == kNoSelection) return false;
  return IsEditorValue(setting, value);
}

namespace {
bool IsControl(OLECHAR c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }
}  // namespace

std::string EscapedName(platform::ComStringView name) {
  std::string out;
  size_t plain = 0;  // start of the run of characters shown as they are
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && !IsControl(name[i]) && name[i] != COM_TEXT("\\")[0]) continue;
    out += platform::ComToUtf8(name.substr(plain, i - plain));
    if (i < name.size()) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, IsControl(name[i]) ? "\\x%02X" : "\\\\", static_cast<unsigned>(name[i]));
      out += escaped;
    }
    plain = i + 1;
  }
  return out;
}

bool CheckNameCharacters(platform::ComStringView name, std::string& error) {
  for (const OLECHAR c : name) {
    if (!IsControl(c)) continue;
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned>(c));
    error = "the preset name \"" + EscapedName(name) + "\" holds the control character " + code +
            "; a name may hold only printable characters";
    return false;
  }
  return true;
}

bool CheckPresetName(platform::ComStringView name, std::string& error) {
  if (!CheckNameCharacters(name, error)) return false;
  const std::string bytes = platform::ComToAnsi(name);
  if (platform::AnsiToCom(bytes) != name) {
    error = "the preset name holds a character the camera's code page cannot hold";
    return false;
  }
  if (bytes.size() > kMaxNameBytes) {
    error = "the preset name is " + std::to_string(bytes.size()) + " characters long; the camera keeps at most 8";
    return false;
  }
  return true;
}

LONG ToCamera(Setting setting, int value) {
  return static_cast<LONG>(Info(setting).kind == SettingKind::Level ? value + kLevelCameraOffset : value);
}

std::optional<int> FromCamera(Setting setting, LONG cameraValue) {
  const SettingInfo& info = Info(setting);
  if (info.kind == SettingKind::List) {
    if (cameraValue < 0 || cameraValue >= info.choiceCount) return std::nullopt;
    return static_cast<int>(cameraValue);
  }
  if (cameraValue < kLevelMin + kLevelCameraOffset || cameraValue > kLevelMax + kLevelCameraOffset)
    return std::nullopt;
  return static_cast<int>(cameraValue) - kLevelCameraOffset;
}

std::string LevelText(int level) { return std::to_string(level); }

std::optional<double> ReadLeadingNumber(std::string_view text) {
  std::string packed;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\n') packed += c;
  double value = 0;
  ScanNumber(packed, value);
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<double> ReadWholeNumber(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  double value = 0;
  if (ScanNumber(text, value) != text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<int16_t> RoundToInt16(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  double whole = std::floor(value);
  const double fraction = value - whole;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  if (whole < std::numeric_limits<int16_t>::min() || whole > std::numeric_limits<int16_t>::max())
    return std::nullopt;
  return static_cast<int16_t>(whole);
}

std::optional<int16_t> LeadingNumberRule(std::string_view text) {
  const auto number = ReadLeadingNumber(text);
  return number ? RoundToInt16(*number) : std::nullopt;
}

std::optional<int16_t> StrictIntegerRule(std::string_view text) {
  const auto number = ReadWholeNumber(text);
  return number ? RoundToInt16(*number) : std::nullopt;
}

TypedLevel CheckTypedLevel(std::string_view typed, int currentPosition) {
  const std::optional<double> number = ReadLeadingNumber(typed);
  // Out of range: the text becomes "0", which reads as 0.
  const bool inRange = number && *number >= kLevelMin && *number <= kLevelMax;
  const int position = inRange ? *RoundToInt16(*number) : 0;
  if (position != currentPosition) return {position, LevelText(position)};
  return {position, inRange ? std::string(typed) : LevelText(0)};
}

}  // namespace presets
