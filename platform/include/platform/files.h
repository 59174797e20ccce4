// Whole-file reading and replacing for the application's own files.
#pragma once

#include <cstddef>
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

// ReadFileContents' refusals beyond the operating system's own errors.
inline constexpr HRESULT kFileTooLarge = static_cast<HRESULT>(0x800700DFu);    // ERROR_FILE_TOO_LARGE
inline constexpr HRESULT kNotRegularFile = static_cast<HRESULT>(0x8007000Bu);  // ERROR_BAD_FORMAT

// Reads a whole regular file of at most `maxBytes` bytes. It is opened without
// blocking (a FIFO or device in its place never stalls the caller) and its
// size is checked before anything is read, so a huge file costs no memory.
// S_OK; HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND) when
// it does not exist; kNotRegularFile for a folder, FIFO or device;
// kFileTooLarge when it holds (or grows while read to) more than `maxBytes`;
// or another failure. `bytes` is changed only on success.
HRESULT ReadFileContents(const std::filesystem::path& path, std::string& bytes, size_t maxBytes);

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
