// The .DQX settings file loader: a file from the disk is untrusted. Whatever
// the bytes, a load either applies values every editor can hold or changes
// nothing; what it applies is written again and reads back the same.
#include <cstdint>
#include <string>
#include <string_view>

#include "app/file/preset_file.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  presets::EditorValues start = presets::DefaultValues();
  start.description = COM_TEXT("start");
  presets::EditorValues values = start;
  std::string error;
  if (!presets::ParsePresetFile(bytes, values, error)) {
    FUZZ_CHECK(!error.empty());
    FUZZ_CHECK(values == start);
    return 0;
  }
  for (const auto& info : presets::Settings()) FUZZ_CHECK(presets::IsEditorValue(info.setting, values[info.setting]));
  // Loaded texts hold no line break and only code-page characters: they save.
  std::string written;
  FUZZ_CHECK(presets::FormatPresetFile(values, written, error));
  presets::EditorValues again = presets::DefaultValues();
  FUZZ_CHECK(presets::ParsePresetFile(written, again, error));
  FUZZ_CHECK(again == values);
  return 0;
}
