// PC files on Windows: CreateFileW and friends; errors are the system's own.
#include <windows.h>

#include <string>

#include "platform/pc_file.h"
#include "replace_target.h"

namespace platform {
namespace {

// A file handle closed on every path.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (valid()) CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  // Closes now; the close's own failure is reported.
  DWORD Close() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return CloseHandle(handle) ? 0 : GetLastError();
  }

 private:
  HANDLE handle_;
};

std::wstring WidePath(ComStringView path) { return std::wstring(path.begin(), path.end()); }

// Writes the whole content and closes the file; with `cutToSize`, whatever
// an older, longer content left beyond it goes too.
DWORD WriteAndClose(FileHandle& file, const uint8_t* data, size_t size, bool cutToSize) {
  DWORD error = 0;
  DWORD written = 0;
  if (!WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr))
    error = GetLastError();
  else if (written != size)
    error = kFileErrorWriteFault;
  else if ((cutToSize && !SetEndOfFile(file.get())) || !FlushFileBuffers(file.get()))
    error = GetLastError();
  const DWORD closed = file.Close();
  return error != 0 ? error : closed;
}

// Fills an open new file and closes it; on failure the file is deleted.
uint32_t FillNewFile(FileHandle& file, const std::wstring& path, const uint8_t* data, size_t size) {
  const DWORD error = WriteAndClose(file, data, size, false);
  if (error != 0) DeleteFileW(path.c_str());
  return error;
}

HANDLE CreateNew(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Overwrites the existing file itself, for a folder that takes no new file
// beside it. Written first and cut to size after, so a file no shorter than
// the new content needs no new space.
uint32_t WriteInPlace(const std::wstring& path, const uint8_t* data, size_t size) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return GetLastError();
  if (GetFileType(file.get()) != FILE_TYPE_DISK) return kFileErrorBadFormat;
  return WriteAndClose(file, data, size, true);
}

}  // namespace

bool PcPathExists(ComStringView path) noexcept {
  try {
    // Attributes of the entry itself: a link is found even when it leads nowhere.
    return GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  } catch (...) {
    return false;
  }
}

uint32_t WritePcFile(ComStringView path, const uint8_t* data, size_t size, bool replace) noexcept {
  try {
    const std::wstring target = WidePath(path);
    if (!replace) {
      FileHandle file(CreateNew(target));
      if (!file.valid()) return GetLastError();
      return FillNewFile(file, target, data, size);
    }
    win32::ReplaceTarget place;
    if (const DWORD error = win32::ResolveReplaceTarget(target, place); error != 0) return error;
    for (int attempt = 0; attempt < 16; ++attempt) {
      const std::wstring temporary = place.path + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                     std::to_wstring(GetTickCount() + static_cast<DWORD>(attempt)) + L".tmp";
      FileHandle file(CreateNew(temporary));
      if (!file.valid()) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS) continue;
        if (place.exists && error == ERROR_ACCESS_DENIED) return WriteInPlace(place.path, data, size);
        return error;
      }
      if (const uint32_t error = FillNewFile(file, temporary, data, size); error != 0) return error;
      if (const DWORD error = win32::PutInPlace(temporary, place); error != 0) {
        DeleteFileW(temporary.c_str());
        return error;
      }
      return 0;
    }
    return ERROR_FILE_EXISTS;
  } catch (...) {
    return ERROR_OUTOFMEMORY;
  }
}

uint32_t ReadPcFile(ComStringView path, uint8_t* buffer, size_t capacity, size_t& size, uint64_t& sizeAtOpen) noexcept {
  size = 0;
  sizeAtOpen = 0;
  try {
    FileHandle file(CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return GetLastError();
    // Pipes, consoles and devices could block a read indefinitely.
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return kFileErrorBadFormat;
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file.get(), &length)) return GetLastError();
    sizeAtOpen = static_cast<uint64_t>(length.QuadPart);
    while (size < capacity) {
      DWORD got = 0;
      if (!::ReadFile(file.get(), buffer + size, static_cast<DWORD>(capacity - size), &got, nullptr))
        return GetLastError();
      if (got == 0) break;
      size += got;
    }
    return 0;
  } catch (...) {
    return ERROR_OUTOFMEMORY;
  }
}

}  // namespace platform
