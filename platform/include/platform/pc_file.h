// Files on the PC that a preset is exported to or imported from. Every
// function reports a Win32 error code (0 on success), on Linux translated from
// errno, so that one category table serves both platforms.
//
// Paths are COM strings that the caller has checked (no embedded NUL, no
// unpaired surrogate), so the conversion to the host's path form is exact.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/com.h"

namespace platform {

// Win32 error codes the seam reports beyond the plain translations.
inline constexpr uint32_t kFileErrorNotFound = 2;       // ERROR_FILE_NOT_FOUND
inline constexpr uint32_t kFileErrorPathNotFound = 3;   // ERROR_PATH_NOT_FOUND
inline constexpr uint32_t kFileErrorAccessDenied = 5;   // ERROR_ACCESS_DENIED (also: a folder)
inline constexpr uint32_t kFileErrorBadFormat = 11;     // ERROR_BAD_FORMAT: not a regular file
inline constexpr uint32_t kFileErrorExists = 80;        // ERROR_FILE_EXISTS
inline constexpr uint32_t kFileErrorDiskFull = 112;     // ERROR_DISK_FULL
inline constexpr uint32_t kFileErrorWriteFault = 29;    // ERROR_WRITE_FAULT: short write

// True when something (file, folder, link, even a dangling one) is at the path.
bool PcPathExists(ComStringView path) noexcept;

// Writes the bytes as the whole content of the file at `path`.
// Without `replace` the file is created exclusively: kFileErrorExists when
// anything is there already. With `replace` the bytes go to a new file beside
// the target that is then renamed over it, so a failed write never leaves the
// old content half replaced; an existing target must be a regular file
// (a folder: kFileErrorAccessDenied; anything else: kFileErrorBadFormat) that
// is not read-only (kFileErrorAccessDenied, the file untouched: on Linux no
// owner write permission, for root too; on Windows the read-only attribute).
// The replacement keeps the old file's permissions. When the folder takes no
// new file but the file itself may be written, it is overwritten in place.
// A short write or a failed close is an error, and the partial file is removed.
uint32_t WritePcFile(ComStringView path, const uint8_t* data, size_t size, bool replace) noexcept;

// Reads a regular file, opened without blocking (a FIFO or a device never
// stalls the caller) and shared with other readers and writers. At most
// `capacity` bytes are read, until end of file; `size` receives the number
// actually read. `sizeAtOpen` receives the size the system reported at open.
uint32_t ReadPcFile(ComStringView path, uint8_t* buffer, size_t capacity, size_t& size,
                    uint64_t& sizeAtOpen) noexcept;

}  // namespace platform
