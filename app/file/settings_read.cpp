#include "app/file/settings_read.h"

#include <system_error>

#include "platform/files.h"

namespace presets {

HRESULT ReadSettingsFile(const std::filesystem::path& path, std::string& bytes) {
  const HRESULT kFileTooLarge = HRESULT_FROM_WIN32(223 /* ERROR_FILE_TOO_LARGE */);
  // The size is looked at before the file is opened, so a large regular file
  // is never read; the read itself refuses anything but a regular file.
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (!error && std::filesystem::is_regular_file(status)) {
    const auto size = std::filesystem::file_size(path, error);
    if (!error && size > kMaxSettingsFileSize) return kFileTooLarge;
  }
  std::string content;
  const HRESULT hr = platform::ReadFileContents(path, content);
  if (FAILED(hr)) return hr;
  // Replaced by a larger file since it was looked at.
  if (content.size() > kMaxSettingsFileSize) return kFileTooLarge;
  bytes = std::move(content);
  return S_OK;
}

}  // namespace presets
