#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "descriptor.h"
#include "replace_target.h"

namespace platform {

namespace {

HRESULT FromErrno(int error) {
  switch (error) {
    case ENOENT: case ENOTDIR: return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    case EACCES: case EPERM: case EROFS: case EISDIR: return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    case ENODEV: return HRESULT_FROM_WIN32(11);  // ERROR_BAD_FORMAT: not a regular file
    case ENOSPC: case EDQUOT: case EFBIG: return HRESULT_FROM_WIN32(112);  // ERROR_DISK_FULL
    default: return E_FAIL;
  }
}

using host::Descriptor;

}  // namespace

HRESULT ReplaceFileContents(const std::filesystem::path& target, std::string_view bytes) {
  host::ReplaceTarget place;
  if (const int error = host::ResolveReplaceTarget(target.string(), place); error != 0) return FromErrno(error);
  const std::string folder = host::FolderOf(place.path);
  const std::string base = place.path.substr(place.path.find_last_of('/') + 1);
  std::string name = (folder == "/" ? std::string() : folder) + "/." + base + ".XXXXXX";
  Descriptor fd(::mkostemp(name.data(), O_CLOEXEC));
  if (fd.get() < 0) return FromErrno(errno);
  auto fail = [&name](int error) {
    ::unlink(name.c_str());
    return FromErrno(error);
  };
  if (::fchmod(fd.get(), place.exists ? place.mode : 0644) != 0) return fail(errno);
  if (const int error = host::WriteAll(fd.get(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      error != 0) {
    return fail(error == host::kShortWrite ? ENOSPC : error);
  }
  if (::fsync(fd.get()) != 0) return fail(errno);
  if (const int error = fd.Close(); error != 0) return fail(error);
  if (::rename(name.c_str(), place.path.c_str()) != 0) return fail(errno);
  return S_OK;
}

HRESULT ReadFileContents(const std::filesystem::path& path, std::string& bytes, size_t maxBytes) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return errno == EISDIR ? kNotRegularFile : FromErrno(errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return FromErrno(errno);
  if (!S_ISREG(info.st_mode)) return kNotRegularFile;
  if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) > maxBytes) return kFileTooLarge;
  std::string content;
  content.reserve(static_cast<size_t>(info.st_size));
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    if (n == 0) break;
    // A file that grew after fstat is refused too, as soon as it passes the limit.
    if (static_cast<size_t>(n) > maxBytes - content.size()) return kFileTooLarge;
    content.append(buffer, static_cast<size_t>(n));
  }
  bytes = std::move(content);
  return S_OK;
}

}  // namespace platform

namespace platform {

void SetStandardOutputBinary() {}  // POSIX streams never translate line ends

}  // namespace platform
