#include "platform/files.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <string>

#include "replace_target.h"

namespace platform {

namespace {

// Owns one file handle.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool Close() {
    if (!valid()) return true;
    const BOOL closed = ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return closed != FALSE;
  }

 private:
  HANDLE handle_;
};

HRESULT LastError() { return HRESULT_FROM_WIN32(::GetLastError()); }

}  // namespace

HRESULT ReplaceFileContents(const std::filesystem::path& given, std::string_view bytes) {
  win32::ReplaceTarget place;
  if (const DWORD error = win32::ResolveReplaceTarget(given.wstring(), place); error != 0)
    return HRESULT_FROM_WIN32(error);
  const std::filesystem::path target(place.path);
  const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : std::filesystem::path(L".");
  const std::wstring temporary =
      (dir / (L"~" + target.filename().wstring() + L"." + std::to_wstring(::GetCurrentProcessId()) + L".tmp"))
          .wstring();
  FileHandle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return LastError();
  auto fail = [&](HRESULT hr) {
    file.Close();
    ::DeleteFileW(temporary.c_str());
    return hr;
  };
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > 0x10000000u ? 0x10000000u : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), chunk, &written, nullptr) || written == 0) return fail(LastError());
    bytes.remove_prefix(written);
  }
  if (!::FlushFileBuffers(file.get())) return fail(LastError());
  if (!file.Close()) return fail(LastError());
  if (const DWORD error = win32::PutInPlace(temporary, place); error != 0) return fail(HRESULT_FROM_WIN32(error));
  return S_OK;
}

HRESULT ReadFileContents(const std::filesystem::path& path, std::string& bytes, size_t maxBytes) {
  FileHandle file(::CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD error = ::GetLastError();
    // A folder cannot be opened as a file: say what it is.
    const DWORD attributes = ::GetFileAttributesW(path.wstring().c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      return kNotRegularFile;
    return HRESULT_FROM_WIN32(error);
  }
  // A pipe or a character device in place of the file is never read.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return kNotRegularFile;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) return LastError();
  if (size.QuadPart < 0 || static_cast<unsigned long long>(size.QuadPart) > maxBytes) return kFileTooLarge;
  std::string content;
  content.reserve(static_cast<size_t>(size.QuadPart));
  char buffer[4096];
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) return LastError();
    if (read == 0) break;
    // A file that grew after the size check is refused too.
    if (read > maxBytes - content.size()) return kFileTooLarge;
    content.append(buffer, read);
  }
  bytes = std::move(content);
  return S_OK;
}

}  // namespace platform

namespace platform {

void SetStandardOutputBinary() { ::_setmode(::_fileno(stdout), _O_BINARY); }

}  // namespace platform
