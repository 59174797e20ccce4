#include "platform/output_file.h"

#include <windows.h>

namespace platform {
namespace {

class Win32OutputFile final : public MappedOutputFile {
 public:
  Win32OutputFile(std::filesystem::path target, std::filesystem::path temp, HANDLE file, HANDLE mapping, uint8_t* view)
      : target_(std::move(target)), temp_(std::move(temp)), file_(file), mapping_(mapping), view_(view) {}
  ~Win32OutputFile() override {
    if (Close()) ::DeleteFileW(temp_.wstring().c_str());
  }
  Win32OutputFile(const Win32OutputFile&) = delete;
  Win32OutputFile& operator=(const Win32OutputFile&) = delete;

  uint8_t* data() override { return view_; }

  bool Commit(std::string& error) override {
    Close();
    if (!::MoveFileExW(temp_.wstring().c_str(), target_.wstring().c_str(), MOVEFILE_REPLACE_EXISTING)) {
      error = target_.string() + ": cannot be written (error " + std::to_string(::GetLastError()) + ")";
      ::DeleteFileW(temp_.wstring().c_str());
      return false;
    }
    return true;
  }

 private:
  // True when something was still open.
  bool Close() {
    const bool open = file_ != INVALID_HANDLE_VALUE;
    if (view_ != nullptr) ::UnmapViewOfFile(view_);
    if (mapping_ != nullptr) ::CloseHandle(mapping_);
    if (file_ != INVALID_HANDLE_VALUE) ::CloseHandle(file_);
    view_ = nullptr;
    mapping_ = nullptr;
    file_ = INVALID_HANDLE_VALUE;
    return open;
  }
  std::filesystem::path target_;
  std::filesystem::path temp_;
  HANDLE file_;
  HANDLE mapping_;
  uint8_t* view_;
};

}  // namespace

std::unique_ptr<MappedOutputFile> CreateMappedOutputFile(const std::filesystem::path& target, uint64_t size,
                                                         std::string& error) {
  std::filesystem::path temp = target;
  temp += ".part";
  const HANDLE file = ::CreateFileW(temp.wstring().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = temp.string() + ": cannot be created (error " + std::to_string(::GetLastError()) + ")";
    return nullptr;
  }
  HANDLE mapping = nullptr;
  uint8_t* view = nullptr;
  if (size > 0) {
    mapping = ::CreateFileMappingW(file, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                   static_cast<DWORD>(size), nullptr);
    if (mapping != nullptr) view = static_cast<uint8_t*>(::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (view == nullptr) {
      error = temp.string() + ": cannot be mapped (error " + std::to_string(::GetLastError()) + ")";
      if (mapping != nullptr) ::CloseHandle(mapping);
      ::CloseHandle(file);
      ::DeleteFileW(temp.wstring().c_str());
      return nullptr;
    }
  }
  return std::make_unique<Win32OutputFile>(target, temp, file, mapping, view);
}

}  // namespace platform
