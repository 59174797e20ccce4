// The one way the application reads its own files (preset settings files,
// the description preview, the desktop's user-dirs file): opened without
// blocking, a regular file only, and never more than kMaxSettingsFileSize
// bytes, so a FIFO, a device or a huge file put in a file's place can neither
// stall the window nor fill the memory.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "platform/com.h"

namespace presets {

inline constexpr size_t kMaxSettingsFileSize = 64 * 1024;

// S_OK with the file's bytes; HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND) when it does not exist; ERROR_ACCESS_DENIED for
// anything but a regular file; ERROR_FILE_TOO_LARGE above the size cap.
HRESULT ReadSettingsFile(const std::filesystem::path& path, std::string& bytes);

}  // namespace presets
