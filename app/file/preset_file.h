// The preset settings file (.DQX): a "[Presets]" section of eighteen
// "Key = value" lines, CR LF line ends, texts in the single-byte code page
// (the system's ANSI code page on Windows, Windows-1252 elsewhere).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "app/model/preset_model.h"

namespace presets {

// The file's bytes for these values. Fails, with a message in `error`, when
// a setting holds a value its editor cannot hold, or a name or description
// holds a line break (it would split the line and could inject keys) or a
// character the code page has no byte for.
bool FormatPresetFile(const EditorValues& values, std::string& bytes, std::string& error);

// Applies a file's bytes to `values`. Every line is checked first; on any
// invalid value, a preset name with a control character, or bytes without a
// single known key (an empty file, a program, UTF-16 text: not a settings
// file) nothing is changed and `error` says why. Lines end in CR LF, LF or CR;
// keys are compared exactly; a key given twice takes its last value; a key
// that is missing leaves its value unchanged.
bool ParsePresetFile(std::string_view bytes, EditorValues& values, std::string& error);

// A settings file is under 1 KB; anything above this is not one, and is
// refused before it is read.
inline constexpr size_t kMaxPresetFileBytes = 64 * 1024;

// Every read of a settings file goes through here (Load, presetctl write, the
// browser's description): opened without blocking, a regular file only, its
// size checked before a byte is read. Fails with "File Not Found" when
// nothing is there, or a message naming the file and the reason.
bool ReadPresetFileBytes(const std::filesystem::path& path, std::string& bytes, std::string& error);

// The last "Description" value of a settings file, trimmed of blanks, read
// through ReadPresetFileBytes (empty when the file has none).
bool ReadPresetFileDescription(const std::filesystem::path& path, platform::ComString& description,
                               std::string& error);

// Writes the file through a temporary file renamed over the target, so a
// failure leaves an existing file as it was.
bool SavePresetToFile(const std::filesystem::path& path, const EditorValues& values, std::string& error);

// Reads and applies a file ("File Not Found" when it does not exist).
bool LoadPresetFromFile(const std::filesystem::path& path, EditorValues& values, std::string& error);

inline constexpr std::string_view kFileNotFound = "File Not Found";

}  // namespace presets
