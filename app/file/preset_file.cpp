#include "app/file/preset_file.h"

#include <optional>
#include <sstream>
#include <vector>

#include "camctl/common/results.h"
#include "platform/ansi.h"
#include "platform/files.h"

namespace presets {

namespace {

enum class Rule : uint8_t { Text, LeadingNumber, StrictInteger };
enum class Target : uint8_t { PresetName, Setting, Description };

struct FileKey {
  std::string_view key;  // the written key, without " = "
  Target target;
  Setting setting;
  Rule rule;
};

// In the order of the written lines. Green's value is read by the leading-
// number rule, every other level by the strict one.
constexpr FileKey kKeys[] = {
    {"Preset Name", Target::PresetName, Setting::Gamma, Rule::Text},
    {"Gamma", Target::Setting, Setting::Gamma, Rule::LeadingNumber},
    {"Knee", Target::Setting, Setting::Knee, Rule::LeadingNumber},
    {"Black", Target::Setting, Setting::Black, Rule::LeadingNumber},
    {"NR", Target::Setting, Setting::NR, Rule::LeadingNumber},
    {"VDetail", Target::Setting, Setting::VDetail, Rule::LeadingNumber},
    {"Color Matrix", Target::Setting, Setting::ColorMatrix, Rule::LeadingNumber},
    {"Color Gain", Target::Setting, Setting::ColorGain, Rule::StrictInteger},
    {"Color Phase", Target::Setting, Setting::ColorPhase, Rule::StrictInteger},
    {"Red", Target::Setting, Setting::Red, Rule::StrictInteger},
    {"Green", Target::Setting, Setting::Green, Rule::LeadingNumber},
    {"Blue", Target::Setting, Setting::Blue, Rule::StrictInteger},
    {"SetupLevel", Target::Setting, Setting::SetupLevel, Rule::StrictInteger},
    {"Sharpness", Target::Setting, Setting::Sharpness, Rule::StrictInteger},
    {"Coring", Target::Setting, Setting::Coring, Rule::StrictInteger},
    {"MasterPed", Target::Setting, Setting::MasterPed, Rule::StrictInteger},
    {"Description", Target::Description, Setting::Gamma, Rule::Text},
};

constexpr std::string_view kSection = "[Presets]";
constexpr std::string_view kLineEnd = "\r\n";

// The text in the code page, or a message when it cannot be written on one line.
std::optional<std::string> TextForFile(const platform::ComString& text, std::string_view what, std::string& error) {
  if (text.find_first_of(COM_TEXT("\r\n")) != platform::ComString::npos) {
    error = std::string("The ") + std::string(what) + " holds a line break, which the file cannot hold";
    return std::nullopt;
  }
  std::string bytes = platform::ComToAnsi(text);
  if (platform::AnsiToCom(bytes) != text) {
    error = std::string("The ") + std::string(what) + " holds a character the file's code page cannot hold";
    return std::nullopt;
  }
  return bytes;
}

// One blank before a value that is zero or positive, a minus sign otherwise.
std::string NumberText(int value) {
  std::string text(value < 0 ? 0 : 1, ' ');
  text.append(std::to_string(value));
  return text;
}

std::string Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

std::vector<std::string_view> SplitLines(std::string_view bytes) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\r' && bytes[i] != '\n') continue;
    lines.push_back(bytes.substr(start, i - start));
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < bytes.size()) lines.push_back(bytes.substr(start));
  return lines;
}

}  // namespace

bool FormatPresetFile(const EditorValues& values, std::string& bytes, std::string& error) {
  const auto name = TextForFile(values.presetName, "preset name", error);
  if (!name) return false;
  // A name with a control character (one read from a camera) would not load.
  if (!CheckNameCharacters(values.presetName, error)) return false;
  const auto description = TextForFile(values.description, "description", error);
  if (!description) return false;
  std::string out;
  out.append(kSection).append(kLineEnd);
  for (const FileKey& key : kKeys) {
    out.append(key.key).append(" = ");
    switch (key.target) {
      case Target::PresetName: out.append(*name); break;
      case Target::Description: out.append(*description); break;
      case Target::Setting: {
        const int value = values[key.setting];
        if (!IsEditorValue(key.setting, value)) {
          error = std::string(Info(key.setting).label) + " holds " + std::to_string(value) +
                  ", which its editor cannot hold";
          return false;
        }
        out.append(NumberText(value));
        break;
      }
    }
    out.append(kLineEnd);
  }
  bytes = std::move(out);
  return true;
}

bool ParsePresetFile(std::string_view bytes, EditorValues& values, std::string& error) {
  EditorValues loaded = values;
  bool anyKey = false;
  const std::vector<std::string_view> lines = SplitLines(bytes);
  for (size_t index = 0; index < lines.size(); ++index) {
    const std::string_view line = lines[index];
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);
    for (const FileKey& known : kKeys) {
      if (key.size() != known.key.size() + 1 || key.substr(0, known.key.size()) != known.key || key.back() != ' ')
        continue;
      anyKey = true;
      if (known.target == Target::PresetName) {
        loaded.presetName = platform::AnsiToCom(Trim(value));
        std::string why;
        if (!CheckNameCharacters(loaded.presetName, why)) {
          error = "Line " + std::to_string(index + 1) + ": " + why + "; nothing was loaded";
          return false;
        }
      } else if (known.target == Target::Description) {
        loaded.description = platform::AnsiToCom(Trim(value));
      } else {
        const auto number =
            known.rule == Rule::StrictInteger ? StrictIntegerRule(value) : LeadingNumberRule(value);
        if (!number || !IsEditorValue(known.setting, *number)) {
          error = "Line " + std::to_string(index + 1) + ": \"" + std::string(known.key) + "\" has the value \"" +
                  Trim(value) + "\", which is not " +
                  (Info(known.setting).kind == SettingKind::List
                       ? "one of its " + std::to_string(Info(known.setting).choiceCount) + " choices"
                       : std::string("a level from -6 to 6")) +
                  "; nothing was loaded";
          return false;
        }
        loaded[known.setting] = *number;
      }
      break;
    }
  }
  if (!anyKey) {
    error = "This is not a preset settings file: no line holds one of its settings (such as \"Gamma = 0\"); "
            "nothing was loaded";
    return false;
  }
  values = std::move(loaded);
  return true;
}

bool SavePresetToFile(const std::filesystem::path& path, const EditorValues& values, std::string& error) {
  std::string bytes;
  if (!FormatPresetFile(values, bytes, error)) return false;
  const HRESULT hr = platform::ReplaceFileContents(path, bytes);
  if (FAILED(hr)) {
    error = "Cannot write \"" + camctl::InputExcerpt(path.string(), 260) + "\" (" + camctl::ResultText(hr) +
            "); the file was left as it was";
    return false;
  }
  return true;
}

bool ReadPresetFileBytes(const std::filesystem::path& path, std::string& bytes, std::string& error) {
  const HRESULT hr = platform::ReadFileContents(path, bytes, kMaxPresetFileBytes);
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(3 /* ERROR_PATH_NOT_FOUND */)) {
    error = std::string(kFileNotFound);
    return false;
  }
  if (hr == platform::kFileTooLarge) {
    // A stream, not string concatenation: GCC 12's MinGW build reports a false overlap there.
    std::ostringstream message;
    message << '"' << path.string() << "\" is larger than " << kMaxPresetFileBytes / 1024
            << " KB, far more than a preset settings file holds; it was not read";
    error = message.str();
    return false;
  }
  if (hr == platform::kNotRegularFile) {
    error = "Cannot read \"" + path.string() + "\": it is not a regular file";
    return false;
  }
  if (FAILED(hr)) {
    error = "Cannot read \"" + camctl::InputExcerpt(path.string(), 260) + "\" (" + camctl::ResultText(hr) + ")";
    return false;
  }
  return true;
}

bool ReadPresetFileDescription(const std::filesystem::path& path, platform::ComString& description,
                               std::string& error) {
  std::string bytes;
  if (!ReadPresetFileBytes(path, bytes, error)) return false;
  std::string last;
  for (const std::string_view line : SplitLines(bytes)) {
    const size_t equals = line.find('=');
    if (equals != std::string_view::npos && line.substr(0, equals) == "Description ")
      last = Trim(line.substr(equals + 1));
  }
  description = platform::AnsiToCom(last);
  return true;
}

bool LoadPresetFromFile(const std::filesystem::path& path, EditorValues& values, std::string& error) {
  std::string bytes;
  if (!ReadPresetFileBytes(path, bytes, error)) return false;
  return ParsePresetFile(bytes, values, error);
}

}  // namespace presets
