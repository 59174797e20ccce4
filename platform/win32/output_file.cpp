#include "platform/output_file.h"

#include <windows.h>

#include <cstring>
#include <system_error>
#include <vector>

#include "../common/partial_names.h"

namespace platform {
namespace {

std::string Describe(const std::filesystem::path& path, const char* what) {
  return path.string() + ": " + what + " (error " + std::to_string(::GetLastError()) + ")";
}

bool ProcessGone(uint32_t pid) {
  const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return ::GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  DWORD code = 0;
  const bool gone = ::GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  ::CloseHandle(process);
  return gone;
}

// Leftovers of our killed processes in the folder: our name pattern, a plain
// file (no folder, no link) whose creating process is gone.
void RemoveLeftovers(const std::filesystem::path& dir) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW((dir / L".*.part").wstring().c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring_view name(found.cFileName);
    const uint32_t creator = partial_names::Creator(name);
    if (creator == 0 || creator == ::GetCurrentProcessId()) continue;
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
    if (ProcessGone(creator)) ::DeleteFileW((dir / found.cFileName).wstring().c_str());
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
}

class Win32OutputFile final : public MappedOutputFile {
 public:
  Win32OutputFile(std::filesystem::path target, HANDLE file) : target_(std::move(target)), file_(file) {}
  ~Win32OutputFile() override {
    if (file_ != INVALID_HANDLE_VALUE) Discard();
  }
  Win32OutputFile(const Win32OutputFile&) = delete;
  Win32OutputFile& operator=(const Win32OutputFile&) = delete;

  uint8_t* data() override { return view_; }

  bool Map(uint64_t size, std::string& error) {
    mapping_ = ::CreateFileMappingW(file_, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                    static_cast<DWORD>(size), nullptr);
    if (mapping_ != nullptr) view_ = static_cast<uint8_t*>(::MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, 0));
    if (view_ == nullptr) error = Describe(target_, "cannot be mapped");
    return view_ != nullptr;
  }

  bool Commit(std::string& error) override {
    Unmap();
    // Renamed through our own handle: the file we wrote, whatever the temporary name meanwhile holds.
    // A full path: a relative one would be taken as a plain name in the temporary file's folder.
    std::error_code ec;
    const std::wstring target = std::filesystem::absolute(target_, ec).wstring();
    std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, target.c_str(), target.size() * sizeof(wchar_t));
    if (!::SetFileInformationByHandle(file_, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) {
      error = Describe(target_, "cannot be written");
      Discard();
      return false;
    }
    ::CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    return true;
  }

 private:
  void Unmap() {
    if (view_ != nullptr) ::UnmapViewOfFile(view_);
    if (mapping_ != nullptr) ::CloseHandle(mapping_);
    view_ = nullptr;
    mapping_ = nullptr;
  }
  // Deletes the file through our own handle, so only ever the one we created.
  void Discard() {
    Unmap();
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    (void)::SetFileInformationByHandle(file_, FileDispositionInfo, &disposition, sizeof disposition);
    ::CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
  }
  std::filesystem::path target_;
  HANDLE file_;
  HANDLE mapping_ = nullptr;
  uint8_t* view_ = nullptr;
};

}  // namespace

std::unique_ptr<MappedOutputFile> CreateMappedOutputFile(const std::filesystem::path& target, uint64_t size,
                                                         std::string& error) {
  const std::wstring leaf = target.filename().wstring();
  if (leaf.empty() || leaf == L"." || leaf == L"..") {
    error = target.string() + ": not a file name";
    return nullptr;
  }
  const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : std::filesystem::path(L".");
  RemoveLeftovers(dir);
  // A new file of ours: CREATE_NEW never opens one that is there already, link or not.
  HANDLE file = INVALID_HANDLE_VALUE;
  std::filesystem::path temp;
  for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temp = dir / partial_names::Make<wchar_t>(leaf, ::GetCurrentProcessId());
    file = ::CreateFileW(temp.wstring().c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    error = Describe(temp, "cannot be created");
    return nullptr;
  }
  auto output = std::make_unique<Win32OutputFile>(target, file);
  if (size > 0 && !output->Map(size, error)) return nullptr;
  return output;
}

}  // namespace platform
