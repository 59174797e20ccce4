#include "platform/input_file.h"

#include <windows.h>

namespace platform {
namespace {

class Win32InputFile final : public MappedInputFile {
 public:
  Win32InputFile(HANDLE mapping, const uint8_t* view, uint64_t size) : mapping_(mapping), view_(view), size_(size) {}
  ~Win32InputFile() override {
    if (view_ != nullptr) ::UnmapViewOfFile(view_);
    if (mapping_ != nullptr) ::CloseHandle(mapping_);
  }
  Win32InputFile(const Win32InputFile&) = delete;
  Win32InputFile& operator=(const Win32InputFile&) = delete;
  const uint8_t* data() const override { return view_; }
  uint64_t size() const override { return size_; }

 private:
  HANDLE mapping_;
  const uint8_t* view_;
  uint64_t size_;
};

}  // namespace

InputFileStatus OpenMappedInputFile(const std::filesystem::path& path, uint64_t maxSize,
                                    std::unique_ptr<MappedInputFile>& file, std::string& error) {
  file.reset();
  auto failed = [&](const char* what) {
    error = path.string() + ": " + what + " (error " + std::to_string(::GetLastError()) + ")";
    return InputFileStatus::Failed;
  };
  const HANDLE handle = ::CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return failed("cannot be read");
  struct Closer {
    HANDLE h;
    ~Closer() { ::CloseHandle(h); }
  } closer{handle};
  // A pipe or a console device is no file to send.
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    error = path.string() + ": not a regular file";
    return InputFileStatus::NotRegular;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle, &size)) return failed("cannot be read");
  const auto bytes = static_cast<uint64_t>(size.QuadPart);
  if (bytes > maxSize || bytes > static_cast<uint64_t>(SIZE_MAX)) {
    error = path.string() + ": " + std::to_string(bytes) + " bytes, more than " + std::to_string(maxSize);
    return InputFileStatus::TooLarge;
  }
  HANDLE mapping = nullptr;
  const uint8_t* view = nullptr;
  if (bytes > 0) {
    mapping = ::CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) return failed("cannot be mapped");
    view = static_cast<const uint8_t*>(::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (view == nullptr) {
      const InputFileStatus status = failed("cannot be mapped");
      ::CloseHandle(mapping);
      return status;
    }
  }
  file = std::make_unique<Win32InputFile>(mapping, view, bytes);
  return InputFileStatus::Ok;
}

}  // namespace platform
