// PC files on Linux: POSIX calls, errno translated to the Win32 codes the
// library's category table knows.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "descriptor.h"
#include "replace_target.h"
#include "platform/pc_file.h"

namespace platform {
namespace {

using host::Descriptor;
using host::kShortWrite;
using host::WriteAll;

using host::FolderOf;

bool IsFolder(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// errno of a failed open or write at `path`, as a Win32 error code.
uint32_t Win32Error(int error, const std::string& path) {
  switch (error) {
    case ENOENT:
      // A missing file in an existing folder, or a missing folder on the way.
      return IsFolder(FolderOf(path)) ? kFileErrorNotFound : kFileErrorPathNotFound;
    case ENOTDIR:
    case ELOOP:
      return kFileErrorPathNotFound;
    case ENAMETOOLONG:
      return 206;  // ERROR_FILENAME_EXCED_RANGE
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return kFileErrorAccessDenied;
    case EMFILE:
    case ENFILE:
      return 4;  // ERROR_TOO_MANY_OPEN_FILES
    case ENOSPC:
    case EDQUOT:
      return kFileErrorDiskFull;
    case EEXIST:
      return kFileErrorExists;
    case EBUSY:
    case ETXTBSY:
      return 32;  // ERROR_SHARING_VIOLATION
    case EIO:
      return 23;  // ERROR_CRC: the device failed the transfer
    case ENXIO:
    case ENODEV:
      return kFileErrorBadFormat;
    default:
      return 31;  // ERROR_GEN_FAILURE
  }
}

// Fills an open new file and closes it; on failure the file is removed.
uint32_t FillNewFile(Descriptor& file, const std::string& path, const std::string& errorPath, const uint8_t* data,
                     size_t size) {
  int error = WriteAll(file.get(), data, size);
  if (error == 0 && ::fsync(file.get()) != 0 && errno != EINVAL) error = errno;
  const int closed = file.Close();
  if (error == 0) error = closed;
  if (error == 0) return 0;
  ::unlink(path.c_str());
  return error == kShortWrite ? kFileErrorWriteFault : Win32Error(error, errorPath);
}

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

uint32_t CreateExclusive(const std::string& path, const uint8_t* data, size_t size) {
  Descriptor file(::open(path.c_str(), kCreateFlags, 0666));
  if (file.get() < 0) return Win32Error(errno, path);
  return FillNewFile(file, path, path, data, size);
}

// The folder refuses new entries (or, sticky, the replacement of this one).
bool FolderRefused(int error) { return error == EACCES || error == EPERM; }

// Overwrites the existing regular file itself, for a folder that takes no new
// file beside it. Written first and cut to size after, so a file no shorter
// than the new content needs no new space.
uint32_t WriteInPlace(const std::string& target, const std::string& path, const uint8_t* data, size_t size) {
  Descriptor file(::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (file.get() < 0) return Win32Error(errno, path);
  struct stat st{};
  if (::fstat(file.get(), &st) != 0) return Win32Error(errno, path);
  if (!S_ISREG(st.st_mode)) return kFileErrorBadFormat;
  if (!host::ModeAllowsWriting(target, st)) return kFileErrorAccessDenied;
  int error = WriteAll(file.get(), data, size);
  if (error == 0 && ::ftruncate(file.get(), static_cast<off_t>(size)) != 0) error = errno;
  if (error == 0 && ::fsync(file.get()) != 0 && errno != EINVAL) error = errno;
  const int closed = file.Close();
  if (error == 0) error = closed;
  if (error == 0) return 0;
  return error == kShortWrite ? kFileErrorWriteFault : Win32Error(error, path);
}

uint32_t ReplaceThroughTemporary(const std::string& path, const uint8_t* data, size_t size) {
  host::ReplaceTarget place;
  if (const int error = host::ResolveReplaceTarget(path, place); error != 0) return Win32Error(error, path);
  const std::string& target = place.path;
  struct stat existing{};
  if (place.exists && ::stat(target.c_str(), &existing) != 0) return Win32Error(errno, path);

  static std::atomic<uint32_t> counter{0};
  const std::string folder = FolderOf(target);
  const std::string base = target.substr(target.find_last_of('/') + 1);
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string temporary = (folder == "/" ? std::string() : folder) + "/." + base + "." +
                                  std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
    // A replacement starts private and then takes the old file's owner (when
    // allowed) and permissions; a set-id bit is not carried over.
    Descriptor file(::open(temporary.c_str(), kCreateFlags, place.exists ? 0600 : 0666));
    if (file.get() < 0) {
      if (errno == EEXIST) continue;
      if (place.exists && FolderRefused(errno)) return WriteInPlace(target, path, data, size);
      return Win32Error(errno, path);
    }
    if (place.exists) {
      [[maybe_unused]] const int owned = ::fchown(file.get(), existing.st_uid, existing.st_gid);
      if (::fchmod(file.get(), place.mode) != 0) {
        const int error = errno;
        file.Close();
        ::unlink(temporary.c_str());
        return Win32Error(error, path);
      }
    }
    if (const uint32_t error = FillNewFile(file, temporary, path, data, size); error != 0) return error;
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
      const int error = errno;
      ::unlink(temporary.c_str());
      if (place.exists && FolderRefused(error)) return WriteInPlace(target, path, data, size);
      return Win32Error(error, path);
    }
    return 0;
  }
  return Win32Error(EEXIST, path);
}

}  // namespace

bool PcPathExists(ComStringView path) noexcept {
  try {
    struct stat st{};
    return ::lstat(ComToUtf8(path).c_str(), &st) == 0;
  } catch (...) {
    return false;
  }
}

uint32_t WritePcFile(ComStringView path, const uint8_t* data, size_t size, bool replace) noexcept {
  try {
    const std::string host = ComToUtf8(path);
    return replace ? ReplaceThroughTemporary(host, data, size) : CreateExclusive(host, data, size);
  } catch (...) {
    return 14;  // ERROR_OUTOFMEMORY
  }
}

uint32_t ReadPcFile(ComStringView path, uint8_t* buffer, size_t capacity, size_t& size, uint64_t& sizeAtOpen) noexcept {
  size = 0;
  sizeAtOpen = 0;
  try {
    const std::string host = ComToUtf8(path);
    Descriptor file(::open(host.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) return Win32Error(errno, host);
    struct stat st{};
    if (::fstat(file.get(), &st) != 0) return Win32Error(errno, host);
    if (S_ISDIR(st.st_mode)) return kFileErrorAccessDenied;
    if (!S_ISREG(st.st_mode)) return kFileErrorBadFormat;
    sizeAtOpen = static_cast<uint64_t>(st.st_size);
    while (size < capacity) {
      const ssize_t n = ::read(file.get(), buffer + size, capacity - size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Win32Error(errno, host);
      }
      if (n == 0) break;
      size += static_cast<size_t>(n);
    }
    return 0;
  } catch (...) {
    return 14;  // ERROR_OUTOFMEMORY
  }
}

}  // namespace platform
