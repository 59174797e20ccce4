// The virtual camcorder's POSIX subset on Windows (see posix_win32.h).
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "posix_win32.h"

struct vcam_DIR {
  int fd = -1;
  std::vector<std::string> names;
  size_t next = 0;
  vcam_dirent entry{};
};

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_IO_PENDING:
      return EWOULDBLOCK;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
    case ERROR_NO_UNICODE_TRANSLATION:
      return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    default:
      return EIO;
  }
}

int Fail(int error) {
  errno = error;
  return -1;
}
int FailWin(DWORD error) { return Fail(ErrnoOf(error)); }

bool Utf8ToWide(const char* text, std::wstring& wide) {
  const int length = static_cast<int>(std::strlen(text));
  wide.clear();
  if (length == 0) return true;
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, nullptr, 0);
  if (n <= 0) return false;
  wide.resize(static_cast<size_t>(n));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, wide.data(), n) == n;
}

bool WideToUtf8(const wchar_t* text, std::string& utf8) {
  const int length = static_cast<int>(std::wcslen(text));
  utf8.clear();
  if (length == 0) return true;
  const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  utf8.resize(static_cast<size_t>(n));
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, length, utf8.data(), n, nullptr, nullptr) == n;
}

HANDLE HandleOf(int fd) {
  const intptr_t h = _get_osfhandle(fd);
  return h == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(h);
}

// The full path of an open folder, as "\\?\C:\..." (no length limit, no
// name rewriting).
bool FolderPath(int dirFd, std::wstring& path) {
  const HANDLE h = HandleOf(dirFd);
  if (h == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) {
      errno = ErrnoOf(GetLastError());
      return false;
    }
    if (n < buffer.size()) {
      path.assign(buffer.data(), n);
      break;
    }
    buffer.resize(n + 1);
  }
  if (path.rfind(L"\\\\?\\", 0) != 0) {
    path = path.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + path.substr(2) : L"\\\\?\\" + path;
  }
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return true;
}

// The path of `name` below the folder `dirFd`. A name is one plain
// component ("." is the folder itself): separators, drive or stream colons
// and ".." are refused, so nothing outside the folder is named.
bool PathAt(int dirFd, const char* name, std::wstring& path) {
  const std::string_view n(name);
  if (n.empty() || n == ".." || n.find_first_of("/\\:") != std::string_view::npos) {
    errno = n.empty() ? ENOENT : EINVAL;
    return false;
  }
  if (!FolderPath(dirFd, path)) return false;
  if (n == ".") return true;
  std::wstring leaf;
  if (!Utf8ToWide(name, leaf)) {
    errno = EINVAL;
    return false;
  }
  path += L'\\';
  path += leaf;
  return true;
}

int64_t UnixNanoseconds(int64_t fileTime) {
  // 100 ns steps since 1601-01-01.
  return (fileTime - 116444736000000000LL) * 100;
}

void SetTime(timespec& ts, int64_t fileTime) {
  const int64_t ns = UnixNanoseconds(fileTime);
  int64_t sec = ns / 1000000000;
  int64_t rem = ns % 1000000000;
  if (rem < 0) {
    rem += 1000000000;
    --sec;
  }
  ts.tv_sec = static_cast<time_t>(sec);
  ts.tv_nsec = static_cast<long>(rem);
}

int StatHandle(HANDLE h, vcam_stat* st) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return FailWin(GetLastError());
  *st = vcam_stat{};
  st->st_dev = info.dwVolumeSerialNumber;
  st->st_ino = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  st->st_size = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  const bool readOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    st->st_mode = S_IFLNK | 0777;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    st->st_mode = S_IFDIR | (readOnly ? 0555 : 0755);
  } else {
    st->st_mode = S_IFREG | (readOnly ? 0444 : 0644);
  }
  const int64_t written = static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                               info.ftLastWriteTime.dwLowDateTime);
  SetTime(st->st_mtim, written);
  // The change time (status changes too) where the file system keeps one.
  FILE_BASIC_INFO basic{};
  if (GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) && basic.ChangeTime.QuadPart != 0) {
    SetTime(st->st_ctim, basic.ChangeTime.QuadPart);
  } else {
    st->st_ctim = st->st_mtim;
  }
  return 0;
}

// Opens a path as a C runtime descriptor with the POSIX open flags.
int OpenPath(const std::wstring& path, int flags) {
  const int accessMode = flags & (O_RDONLY | O_WRONLY | O_RDWR);
  DWORD access = accessMode == O_WRONLY ? GENERIC_WRITE
                 : accessMode == O_RDWR ? GENERIC_READ | GENERIC_WRITE
                                        : GENERIC_READ;
  const bool writing = accessMode != O_RDONLY;
  DWORD disposition = OPEN_EXISTING;
  if (flags & O_CREAT) {
    disposition = (flags & O_EXCL) ? CREATE_NEW : (flags & O_TRUNC) ? CREATE_ALWAYS : OPEN_ALWAYS;
  } else if (flags & O_TRUNC) {
    disposition = TRUNCATE_EXISTING;
  }
  // Backup semantics let a folder be opened; O_NOFOLLOW opens a link itself
  // (refused below) and O_EXCL never follows one either.
  DWORD attributes = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS;
  if (flags & (O_NOFOLLOW | O_EXCL)) attributes |= FILE_FLAG_OPEN_REPARSE_POINT;
  const HANDLE h = CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition, attributes, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
      const DWORD a = GetFileAttributesW(path.c_str());
      if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) && !(flags & O_DIRECTORY)) return Fail(EISDIR);
    }
    return FailWin(error);
  }
  BY_HANDLE_FILE_INFORMATION info{};
  int refusal = 0;
  if (!GetFileInformationByHandle(h, &info)) {
    refusal = ErrnoOf(GetLastError());
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && (attributes & FILE_FLAG_OPEN_REPARSE_POINT)) {
    refusal = ELOOP;
  } else if ((flags & O_DIRECTORY) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    refusal = ENOTDIR;
  } else if (writing && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    refusal = EISDIR;
  }
  if (refusal != 0) {
    CloseHandle(h);
    return Fail(refusal);
  }
  // Never handed to a child process (the handle itself is not inheritable either).
  int crtFlags = _O_NOINHERIT | (accessMode == O_RDONLY ? _O_RDONLY : 0);
  if (flags & O_APPEND) crtFlags |= _O_APPEND;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), crtFlags);
  if (fd < 0) {
    CloseHandle(h);
    return Fail(EMFILE);
  }
  _setmode(fd, _O_BINARY);
  return fd;
}

}  // namespace

int open(const wchar_t* path, int flags, int /*mode*/) {
  if (path == nullptr || *path == L'\0') return Fail(ENOENT);
  return OpenPath(path, flags);
}

int vcam_openat(int dirFd, const char* name, int flags, int /*mode*/) {
  std::wstring path;
  if (!PathAt(dirFd, name, path)) return -1;
  return OpenPath(path, flags);
}

int vcam_fstat(int fd, vcam_stat* st) {
  const HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE) return Fail(EBADF);
  return StatHandle(h, st);
}

int vcam_fstatat(int dirFd, const char* name, vcam_stat* st, int flags) {
  std::wstring path;
  if (!PathAt(dirFd, name, path)) return -1;
  DWORD attributes = FILE_FLAG_BACKUP_SEMANTICS;
  if (flags & AT_SYMLINK_NOFOLLOW) attributes |= FILE_FLAG_OPEN_REPARSE_POINT;
  const HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, attributes, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FailWin(GetLastError());
  const int r = StatHandle(h, st);
  const int saved = errno;
  CloseHandle(h);
  errno = saved;
  return r;
}

int vcam_mkdirat(int dirFd, const char* name, int /*mode*/) {
  std::wstring path;
  if (!PathAt(dirFd, name, path)) return -1;
  return CreateDirectoryW(path.c_str(), nullptr) ? 0 : FailWin(GetLastError());
}

int vcam_unlinkat(int dirFd, const char* name, int flags) {
  std::wstring path;
  if (!PathAt(dirFd, name, path)) return -1;
  const DWORD a = GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return FailWin(GetLastError());
  const bool folder = (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const bool link = (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (flags & AT_REMOVEDIR) {
    if (!folder || link) return Fail(ENOTDIR);
    return RemoveDirectoryW(path.c_str()) ? 0 : FailWin(GetLastError());
  }
  // A link to a folder is removed like a file link: the link itself.
  if (folder && link) return RemoveDirectoryW(path.c_str()) ? 0 : FailWin(GetLastError());
  if (folder) return Fail(EISDIR);
  if (DeleteFileW(path.c_str())) return 0;
  DWORD error = GetLastError();
  // Removing a file is a change of its folder: a read-only file goes too.
  if (error == ERROR_ACCESS_DENIED && (a & FILE_ATTRIBUTE_READONLY) &&
      SetFileAttributesW(path.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
    if (DeleteFileW(path.c_str())) return 0;
    error = GetLastError();
    SetFileAttributesW(path.c_str(), a);
  }
  return FailWin(error);
}

// Replaces `target`, which another handle holds open, by `source`: Windows
// does not replace an open file, but renames it (every file here is opened
// shareable for deletion). So the open file is moved aside under a temporary's
// name and deleted (it goes when its last handle closes); its readers keep
// reading the old contents as on Linux. The name is missing for a moment.
bool ReplaceOpenFile(const std::wstring& source, const std::wstring& target) {
  const DWORD a = GetFileAttributesW(target.c_str());
  if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY)) return false;
  uint64_t random = 0;
  if (vcam_getrandom(&random, sizeof random, 0) != static_cast<ptrdiff_t>(sizeof random)) return false;
  std::wstring leaf = L".vcam-tmp-" + std::to_wstring(GetCurrentProcessId()) + L"-";
  for (int shift = 60; shift >= 0; shift -= 4) leaf += L"0123456789abcdef"[(random >> shift) & 15];
  const std::wstring aside = target.substr(0, target.rfind(L'\\') + 1) + leaf;
  if (!MoveFileExW(target.c_str(), aside.c_str(), 0)) return false;
  if (!MoveFileExW(source.c_str(), target.c_str(), 0)) {
    const DWORD error = GetLastError();
    MoveFileExW(aside.c_str(), target.c_str(), 0);
    SetLastError(error);
    return false;
  }
  DeleteFileW(aside.c_str());  // else a stale temporary, removed after this process ends
  return true;
}

int vcam_renameat2(int fromDirFd, const char* from, int toDirFd, const char* to, unsigned flags) {
  std::wstring source, target;
  if (!PathAt(fromDirFd, from, source) || !PathAt(toDirFd, to, target)) return -1;
  if (flags & RENAME_NOREPLACE) return MoveFileExW(source.c_str(), target.c_str(), 0) ? 0 : FailWin(GetLastError());
  if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return 0;
  const DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED && ReplaceOpenFile(source, target)) return 0;
  return FailWin(error);
}

int vcam_renameat(int fromDirFd, const char* from, int toDirFd, const char* to) {
  return vcam_renameat2(fromDirFd, from, toDirFd, to, 0);
}

vcam_DIR* vcam_fdopendir(int fd) {
  std::wstring path;
  if (!FolderPath(fd, path)) return nullptr;
  try {
    auto dir = std::make_unique<vcam_DIR>();
    WIN32_FIND_DATAW data{};
    const HANDLE find = FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                         nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES) {
        errno = ErrnoOf(error);
        return nullptr;
      }
    } else {
      do {
        std::string name;
        if (WideToUtf8(data.cFileName, name) && name.size() < sizeof dir->entry.d_name) dir->names.push_back(name);
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    dir->fd = fd;
    return dir.release();
  } catch (...) {
    errno = ENOMEM;
    return nullptr;
  }
}

vcam_dirent* vcam_readdir(vcam_DIR* dir) {
  if (dir == nullptr || dir->next >= dir->names.size()) return nullptr;
  const std::string& name = dir->names[dir->next++];
  std::memcpy(dir->entry.d_name, name.c_str(), name.size() + 1);
  return &dir->entry;
}

int vcam_closedir(vcam_DIR* dir) {
  if (dir == nullptr) return Fail(EBADF);
  const std::unique_ptr<vcam_DIR> owned(dir);
  return ::close(owned->fd);
}

int vcam_flock(int fd, int operation) {
  const HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE) return Fail(EBADF);
  OVERLAPPED whole{};
  if (operation & LOCK_UN) {
    return UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole) ? 0 : FailWin(GetLastError());
  }
  DWORD how = (operation & LOCK_EX) ? LOCKFILE_EXCLUSIVE_LOCK : 0;
  if (operation & LOCK_NB) how |= LOCKFILE_FAIL_IMMEDIATELY;
  if (LockFileEx(h, how, 0, MAXDWORD, MAXDWORD, &whole)) return 0;
  const DWORD error = GetLastError();
  return Fail(error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? EWOULDBLOCK : ErrnoOf(error));
}

void* vcam_mmap(void* /*address*/, size_t length, int protection, int flags, int fd, int64_t offset) {
  const HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE || length == 0 || offset < 0 || !(flags & MAP_SHARED)) {
    errno = h == INVALID_HANDLE_VALUE ? EBADF : EINVAL;
    return MAP_FAILED;
  }
  const bool write = (protection & PROT_WRITE) != 0;
  // The whole file is mapped (a size of 0): a mapping never grows the file.
  const HANDLE mapping = CreateFileMappingW(h, nullptr, write ? PAGE_READWRITE : PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) {
    errno = ErrnoOf(GetLastError());
    return MAP_FAILED;
  }
  const uint64_t at = static_cast<uint64_t>(offset);
  void* view = MapViewOfFile(mapping, write ? FILE_MAP_WRITE : FILE_MAP_READ, static_cast<DWORD>(at >> 32),
                             static_cast<DWORD>(at & 0xFFFFFFFFu), length);
  const DWORD error = GetLastError();
  CloseHandle(mapping);  // the view keeps the mapping
  if (view == nullptr) {
    errno = ErrnoOf(error);
    return MAP_FAILED;
  }
  return view;
}

int vcam_munmap(void* address, size_t /*length*/) {
  return UnmapViewOfFile(address) ? 0 : FailWin(GetLastError());
}

// The position of a read or write at an offset.
static OVERLAPPED At(int64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return at;
}

ptrdiff_t vcam_pread(int fd, void* buffer, size_t count, int64_t offset) {
  const HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE) return Fail(EBADF);
  if (offset < 0) return Fail(EINVAL);
  OVERLAPPED at = At(offset);
  DWORD got = 0;
  const DWORD wanted = static_cast<DWORD>(std::min<size_t>(count, 0x7FFFFFFF));
  if (!ReadFile(h, buffer, wanted, &got, &at)) {
    const DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF) return 0;
    return FailWin(error);
  }
  return static_cast<ptrdiff_t>(got);
}

ptrdiff_t vcam_pwrite(int fd, const void* buffer, size_t count, int64_t offset) {
  const HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE) return Fail(EBADF);
  if (offset < 0) return Fail(EINVAL);
  OVERLAPPED at = At(offset);
  DWORD written = 0;
  const DWORD wanted = static_cast<DWORD>(std::min<size_t>(count, 0x7FFFFFFF));
  if (!WriteFile(h, buffer, wanted, &written, &at)) return FailWin(GetLastError());
  return static_cast<ptrdiff_t>(written);
}

int vcam_kill(int pid, int signal) {
  if (signal != 0) return Fail(EINVAL);
  if (pid <= 0) return Fail(ESRCH);
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) {
    // A process of another user still runs.
    return Fail(GetLastError() == ERROR_ACCESS_DENIED ? EPERM : ESRCH);
  }
  DWORD code = 0;
  const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  return running ? 0 : Fail(ESRCH);
}

ptrdiff_t vcam_getrandom(void* buffer, size_t length, unsigned /*flags*/) {
  if (length > ULONG_MAX) return Fail(EINVAL);
  const NTSTATUS status = BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), static_cast<ULONG>(length),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  return status >= 0 ? static_cast<ptrdiff_t>(length) : Fail(EIO);
}

tm* vcam_gmtime_r(const time_t* time, tm* result) { return gmtime_s(result, time) == 0 ? result : nullptr; }
