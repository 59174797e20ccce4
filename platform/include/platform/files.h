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

// The end of a command-line program: flushes and closes standard output.
// When anything written to it was lost (a full disk, a device that takes
// nothing), says so on standard error as "<program>: cannot write to standard
// output..." and turns a successful `status` into 1; a failure the program
// already reported keeps its status and its own message. Nothing may be
// written to standard output afterwards.
int FinishStandardOutput(std::string_view program, int status) noexcept;

}  // namespace platform
