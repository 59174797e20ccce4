// The camera's storage kernel driver: one file handle on its device link and
// synchronous DeviceIoControl exchanges of fixed-length frames, sent and
// received in place under control code 0x222403.
#include "platform/storage_driver.h"

namespace platform {
namespace {

constexpr DWORD kStorageControlCode = 0x222403;

class Win32StorageHandle final : public StorageDriverHandle {
 public:
  explicit Win32StorageHandle(HANDLE handle) : handle_(handle) {}
  ~Win32StorageHandle() override { (void)Close(); }
  Win32StorageHandle(const Win32StorageHandle&) = delete;
  Win32StorageHandle& operator=(const Win32StorageHandle&) = delete;

  int32_t Exchange(uint8_t* frame, uint32_t frameLength, uint8_t* data, uint32_t dataLength) noexcept override {
    if (handle_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    if (frame == nullptr || frameLength == 0) return ERROR_INVALID_PARAMETER;
    (void)dataLength;
    // The driver reaches a data area only through the 32-bit address in the
    // frame; a 64-bit process cannot hand it one, so nothing is sent rather
    // than a frame that points nowhere.
    if constexpr (sizeof(void*) != 4) {
      if (data != nullptr) return ERROR_NOT_SUPPORTED;
    }
    DWORD returned = 0;
    if (!DeviceIoControl(handle_, kStorageControlCode, frame, frameLength, frame, frameLength, &returned, nullptr))
      return static_cast<int32_t>(GetLastError());
    return 0;
  }

  int32_t Close() noexcept override {
    if (handle_ == INVALID_HANDLE_VALUE) return 0;
    if (!CloseHandle(handle_)) return static_cast<int32_t>(GetLastError());
    handle_ = INVALID_HANDLE_VALUE;
    return 0;
  }

 private:
  HANDLE handle_;
};

}  // namespace

int32_t OpenStorageDriver(ComStringView deviceLink, std::unique_ptr<StorageDriverHandle>& handle) {
  handle.reset();
  const ComString path(deviceLink);
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int32_t>(error) : ERROR_GEN_FAILURE;
  }
  handle = std::make_unique<Win32StorageHandle>(file);
  return 0;
}

}  // namespace platform
