// The one rule for a write that replaces a file by name: a read-only file is
// refused, a link is written through to the file it leads to (the new content
// is put in place there, atomically), and the file's permission bits are
// kept. A dangling link has no file behind it and is itself replaced.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace platform::host {

struct ReplaceTarget {
  std::string path;  // where the new file is renamed to
  bool exists = false;
  mode_t mode = 0;   // the permission bits to keep, when it exists
};

// Writable as the mode bits say, root included: root bypasses permission
// bits, but a file marked read-only is not replaced by us even so. The owner
// (or root) needs the owner's write bit; anyone else what the system grants.
inline bool ModeAllowsWriting(const std::string& path, const struct stat& st) {
  const uid_t me = ::geteuid();
  if (me == 0 || me == st.st_uid) return (st.st_mode & S_IWUSR) != 0;
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

// 0, or errno: EISDIR for a folder, ENODEV for anything else that is not a
// regular file, EACCES for a read-only file; the errno of the look-up otherwise.
inline int ResolveReplaceTarget(const std::string& given, ReplaceTarget& target) {
  target = ReplaceTarget{given, false, 0};
  struct stat st {};
  if (::stat(given.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;  // nothing, or a dangling link
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return ENODEV;
  char resolved[PATH_MAX];
  if (::realpath(given.c_str(), resolved) == nullptr) return errno;
  target.path = resolved;
  target.exists = true;
  target.mode = st.st_mode & 0777;
  return ModeAllowsWriting(target.path, st) ? 0 : EACCES;
}

// The folder part of a path ("." for a bare name, "/" for the root).
inline std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace platform::host
