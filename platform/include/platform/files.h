// Whole-file reading and replacing for the application's own files.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/com.h"

namespace platform {

// Writes `bytes` to a new temporary file in the target's folder, flushes it to
// the disk and renames it over `target`. On failure the target is untouched
// and the temporary file removed; the result names the operating system's
// error as an HRESULT.
HRESULT ReplaceFileContents(const std::filesystem::path& target, std::string_view bytes);

// Reads a whole file. S_OK, or HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND /
// ERROR_PATH_NOT_FOUND) when it does not exist, or another failure.
HRESULT ReadFileContents(const std::filesystem::path& path, std::string& bytes);

}  // namespace platform

namespace platform {

// Standard output as raw bytes (no CR LF translation on Windows), so a file
// written to it keeps its exact line ends.
void SetStandardOutputBinary();

}  // namespace platform
