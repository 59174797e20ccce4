#include "camctl/presets/preset_file.h"

#include <algorithm>
#include <cstring>

namespace camctl {

PresetFilePath::PresetFilePath(int32_t slot) {
  const int32_t two = ((slot % 100) + 100) % 100;
  constexpr std::string_view kStem = "\\Preset";
  constexpr std::string_view kExtension = ".pst";
  auto put = [this](std::string_view part) {
    std::memcpy(text_ + length_, part.data(), part.size());
    length_ += part.size();
  };
  put(kPresetFolder);
  put(kStem);
  text_[length_++] = static_cast<char>('0' + two / 10);
  text_[length_++] = static_cast<char>('0' + two % 10);
  put(kExtension);
  static_assert(kPresetFolder.size() + kStem.size() + 2 + kExtension.size() < sizeof(text_));
}

bool PresetFileUsable(const uint8_t* file, uint32_t length) {
  if (file == nullptr) return false;
  if (length < kPresetFileMinLength || length > kPresetFileBufferSize) return false;
  return file[kPresetLengthOffset] == length;
}

std::string_view PresetFileName(const uint8_t* file) {
  const auto* name = reinterpret_cast<const char*>(file + kPresetNameOffset);
  const auto* end = std::find(name, name + kPresetNameSize, '\0');
  return {name, static_cast<size_t>(end - name)};
}

void PutPresetFileName(uint8_t* file, std::string_view ansiName) {
  uint8_t bytes[kPresetNameSize];
  PresetNameBytes(ansiName, bytes);
  std::memcpy(file + kPresetNameOffset, bytes, kPresetNameSize);
}

void PresetNameBytes(std::string_view ansiName, uint8_t (&bytes)[kPresetNameSize]) {
  std::memset(bytes, 0, kPresetNameSize);
  std::memcpy(bytes, ansiName.data(), std::min(ansiName.size(), kPresetNameSize));
}

}  // namespace camctl
