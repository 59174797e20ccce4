#include "files.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "posix.h"  // last: on Windows it renames POSIX names

namespace vcam::detail {

namespace {

// Flags every open of a camera file carries: a link is never followed, a
// FIFO or device never makes the open wait, and no child program inherits it.
constexpr int kSafeFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr char kTemporaryPrefix[] = ".vcam-tmp-";
constexpr int kMaxTreeDepth = 128;

bool PlainComponent(std::string_view part) { return !part.empty() && part != "." && part != ".."; }

// Splits "a/b/c" into the folder part "a/b" and the leaf "c".
void SplitLeaf(std::string_view relative, std::string_view& folder, std::string_view& leaf) {
  const size_t slash = relative.rfind('/');
  folder = slash == std::string_view::npos ? std::string_view() : relative.substr(0, slash);
  leaf = slash == std::string_view::npos ? relative : relative.substr(slash + 1);
}

UniqueFd OpenComponent(int dirFd, std::string_view part) {
  if (!PlainComponent(part) || part.find('\0') != std::string_view::npos) {
    errno = EINVAL;
    return UniqueFd();
  }
  const std::string name(part);
  return UniqueFd(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | kSafeFlags));
}

bool RemoveTree(int dirFd, const std::string& name, int depth) {
  if (::unlinkat(dirFd, name.c_str(), 0) == 0) return true;
  if (errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  if (depth >= kMaxTreeDepth) return false;
  UniqueFd folder(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | kSafeFlags));
  if (!folder.valid()) return false;
  std::vector<std::string> names;
  if (!FolderNamesAt(folder.get(), names)) return false;
  bool whole = true;
  for (const std::string& n : names) whole = RemoveTree(folder.get(), n, depth + 1) && whole;
  folder.Close();
  return ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0 || (errno == ENOENT && whole);
}

}  // namespace

bool FolderNamesAt(int dirFd, std::vector<std::string>& names) noexcept {
  names.clear();
  const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return false;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(listFd), &::closedir);
  if (dir == nullptr) {
    ::close(listFd);
    return false;
  }
  try {
    while (const dirent* d = ::readdir(dir.get())) {
      const std::string_view name(d->d_name);
      if (name != "." && name != "..") names.emplace_back(name);
    }
  } catch (...) {
    return false;
  }
  return true;
}

std::string RandomToken() {
  uint64_t value = 0;
  if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
    std::random_device rd;
    value = (static_cast<uint64_t>(rd()) << 32) ^ rd();
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

UniqueFd OpenFolderAt(int dirFd, std::string_view relative) noexcept {
  UniqueFd current(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  while (current.valid() && !relative.empty()) {
    const size_t slash = relative.find('/');
    current = OpenComponent(current.get(), relative.substr(0, slash));
    relative = slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
  }
  return current;
}

UniqueFd OpenFileAt(int dirFd, std::string_view relative, int flags, mode_t mode) noexcept {
  std::string_view folderPart, leaf;
  SplitLeaf(relative, folderPart, leaf);
  if (!PlainComponent(leaf)) {
    errno = EINVAL;
    return UniqueFd();
  }
  UniqueFd parent;
  if (!folderPart.empty()) {
    parent = OpenFolderAt(dirFd, folderPart);
    if (!parent.valid()) return parent;
  }
  const std::string name(leaf);
  UniqueFd fd(::openat(folderPart.empty() ? dirFd : parent.get(), name.c_str(), flags | kSafeFlags, mode));
  if (!fd.valid()) return fd;
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return UniqueFd();
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return UniqueFd();
  }
  return fd;
}

bool WriteAll(int fd, const void* data, size_t size) noexcept {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

long ReadSmallFileAt(int dirFd, std::string_view relative, uint8_t* buffer, size_t capacity) noexcept {
  const UniqueFd fd = OpenFileAt(dirFd, relative, O_RDONLY);
  if (!fd.valid()) return -1;
  size_t total = 0;
  while (total < capacity) {
    const ssize_t n = ::read(fd.get(), buffer + total, capacity - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  return static_cast<long>(total);
}

bool ReadTextFileAt(int dirFd, std::string_view relative, std::string& text, size_t max) noexcept {
  text.clear();
  const UniqueFd fd = OpenFileAt(dirFd, relative, O_RDONLY);
  if (!fd.valid()) return false;
  try {
    char buffer[16384];
    for (;;) {
      const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) return true;
      if (text.size() + static_cast<size_t>(n) > max) {
        errno = EFBIG;
        return false;
      }
      text.append(buffer, static_cast<size_t>(n));
    }
  } catch (...) {
    errno = ENOMEM;
    return false;
  }
}

UniqueFd CreateTemporaryAt(int dirFd, std::string& name) noexcept {
  try {
    for (int attempt = 0; attempt < 16; ++attempt) {
      name = kTemporaryPrefix + std::to_string(::getpid()) + "-" + RandomToken();
      UniqueFd fd(::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | kSafeFlags, 0644));
      if (fd.valid() || errno != EEXIST) return fd;
    }
  } catch (...) {
    errno = ENOMEM;
  }
  return UniqueFd();
}

bool WriteFileAtomicAt(int dirFd, std::string_view relative, const uint8_t* data, size_t size) noexcept {
  std::string_view folderPart, leaf;
  SplitLeaf(relative, folderPart, leaf);
  if (!PlainComponent(leaf)) {
    errno = EINVAL;
    return false;
  }
  const UniqueFd folder = OpenFolderAt(dirFd, folderPart);
  if (!folder.valid()) return false;
  try {
    std::string temp;
    UniqueFd fd = CreateTemporaryAt(folder.get(), temp);
    if (!fd.valid()) return false;
    const std::string target(leaf);
    const bool written = WriteAll(fd.get(), data, size);
    const int saved = errno;
    if (!fd.Close() || !written || ::renameat(folder.get(), temp.c_str(), folder.get(), target.c_str()) != 0) {
      const int failure = written ? errno : saved;
      ::unlinkat(folder.get(), temp.c_str(), 0);
      errno = failure;
      return false;
    }
  } catch (...) {
    errno = ENOMEM;
    return false;
  }
  RemoveStaleTemporariesAt(folder.get());
  return true;
}

bool MakeFoldersAt(int dirFd, std::string_view relative, mode_t mode) noexcept {
  UniqueFd current(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  try {
    while (current.valid() && !relative.empty()) {
      const size_t slash = relative.find('/');
      const std::string_view part = relative.substr(0, slash);
      relative = slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
      if (!PlainComponent(part)) {
        errno = EINVAL;
        return false;
      }
      const std::string name(part);
      if (::mkdirat(current.get(), name.c_str(), mode) != 0 && errno != EEXIST) return false;
      current = OpenComponent(current.get(), part);
    }
  } catch (...) {
    errno = ENOMEM;
    return false;
  }
  return current.valid();
}

bool RemoveTreeAt(int dirFd, const std::string& name) noexcept {
  try {
    return RemoveTree(dirFd, name, 0);
  } catch (...) {
    return false;
  }
}

bool IsTemporaryName(std::string_view name, pid_t& pid) noexcept {
  constexpr size_t kPrefixLength = sizeof kTemporaryPrefix - 1;
  if (name.substr(0, kPrefixLength) != kTemporaryPrefix) return false;
  name.remove_prefix(kPrefixLength);
  const size_t dash = name.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash > 9) return false;
  long value = 0;
  for (char c : name.substr(0, dash)) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  const std::string_view token = name.substr(dash + 1);
  if (token.empty() || token.find_first_not_of("0123456789abcdef") != std::string_view::npos) return false;
  pid = static_cast<pid_t>(value);
  return value > 0;
}

bool ProcessGone(pid_t pid) noexcept { return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH; }

void RemoveStaleTemporariesAt(int dirFd) noexcept {
  try {
    std::vector<std::string> names, stale;
    if (!FolderNamesAt(dirFd, names)) return;
    for (const std::string& name : names) {
      pid_t pid = 0;
      if (IsTemporaryName(name, pid) && pid != ::getpid() && ProcessGone(pid)) stale.push_back(name);
    }
    for (const std::string& name : stale) {
      struct stat st{};
      // Files and links only: unlinking a link removes the link itself.
      if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
        ::unlinkat(dirFd, name.c_str(), 0);
      }
    }
  } catch (...) {
  }
}

}  // namespace vcam::detail
