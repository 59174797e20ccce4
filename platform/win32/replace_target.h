// The one rule for a write that replaces a file by name: a read-only file is
// refused, a link is written through to the file it leads to (the new content
// is put in place there, atomically), and the file's attributes and security
// are kept. A dangling link has no file behind it and is itself replaced.
#pragma once

#include <windows.h>

#include <string>

namespace platform::win32 {

struct ReplaceTarget {
  std::wstring path;  // where the new file is put
  bool exists = false;
};

// 0, or a Win32 error: ERROR_ACCESS_DENIED for a folder or a read-only file.
inline DWORD ResolveReplaceTarget(const std::wstring& given, ReplaceTarget& target) {
  target = ReplaceTarget{given, false};
  DWORD attributes = ::GetFileAttributesW(given.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : error;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // Opened through the link: the file it leads to, if any.
    const HANDLE file = ::CreateFileW(given.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD error = ::GetLastError();
      return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;  // dangling
    }
    wchar_t buffer[MAX_PATH * 4];
    const DWORD length = ::GetFinalPathNameByHandleW(file, buffer, MAX_PATH * 4, FILE_NAME_NORMALIZED);
    ::CloseHandle(file);
    if (length == 0 || length >= MAX_PATH * 4) return length == 0 ? ::GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    target.path.assign(buffer, length);
    attributes = ::GetFileAttributesW(target.path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return ::GetLastError();
  }
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) return ERROR_ACCESS_DENIED;
  target.exists = true;
  return 0;
}

// Puts the finished temporary file in place of the target: ReplaceFileW keeps
// the old file's attributes and security; MoveFileExW when there was none.
inline DWORD PutInPlace(const std::wstring& temporary, const ReplaceTarget& target) {
  if (target.exists &&
      ::ReplaceFileW(target.path.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                     nullptr))
    return 0;
  if (target.exists && ::GetLastError() != ERROR_FILE_NOT_FOUND) return ::GetLastError();
  return ::MoveFileExW(temporary.c_str(), target.path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? 0
             : ::GetLastError();
}

}  // namespace platform::win32
