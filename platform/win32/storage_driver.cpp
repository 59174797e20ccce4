// The camera's storage kernel driver: one file handle on its device link and
// synchronous DeviceIoControl exchanges of fixed-length frames, sent and
// received in place under control code 0x222403.
//
// A data area (ReadThumbnail, ReadFile, WriteFile) reaches the driver in one
// of two forms. A 32-bit process puts the area's address in the frame and
// the driver reads or writes it there. A 64-bit address does not fit that
// field, so a 64-bit process leaves it 0 and sends the area in the same
// buffer right after the frame: in the input for WriteFile, in the output
// for the reads (so neither direction carries bytes it does not need).
#include "platform/storage_driver.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace platform {
namespace {

constexpr DWORD kStorageControlCode = 0x222403;
constexpr uint8_t kWriteFileOpcode = 0x0A;

class Win32StorageHandle final : public StorageDriverHandle {
 public:
  explicit Win32StorageHandle(HANDLE handle) : handle_(handle) {}
  ~Win32StorageHandle() override { (void)Close(); }
  Win32StorageHandle(const Win32StorageHandle&) = delete;
  Win32StorageHandle& operator=(const Win32StorageHandle&) = delete;

  int32_t Exchange(uint8_t* frame, uint32_t frameLength, uint8_t* data, uint32_t dataLength) noexcept override {
    if (handle_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    if (frame == nullptr || frameLength == 0) return ERROR_INVALID_PARAMETER;
    if constexpr (sizeof(void*) != 4) {
      if (data != nullptr && dataLength > 0) return ExchangeWithAreaBeside(frame, frameLength, data, dataLength);
    }
    DWORD returned = 0;
    if (!DeviceIoControl(handle_, kStorageControlCode, frame, frameLength, frame, frameLength, &returned, nullptr))
      return static_cast<int32_t>(GetLastError());
    return 0;
  }

  // The 64-bit form: frame and area in one buffer of this handle, which
  // grows to the largest exchange and is then reused.
  int32_t ExchangeWithAreaBeside(uint8_t* frame, uint32_t frameLength, uint8_t* data, uint32_t dataLength) noexcept {
    const bool write = frame[0] == kWriteFileOpcode;
    const size_t total = static_cast<size_t>(frameLength) + dataLength;
    if (total > UINT32_MAX) return ERROR_INVALID_PARAMETER;
    const std::lock_guard<std::mutex> lock(bufferLock_);
    try {
      if (buffer_.size() < total) buffer_.resize(total);
    } catch (const std::bad_alloc&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::memcpy(buffer_.data(), frame, frameLength);
    if (write) std::memcpy(buffer_.data() + frameLength, data, dataLength);
    const DWORD inLength = write ? static_cast<DWORD>(total) : frameLength;
    const DWORD outLength = write ? frameLength : static_cast<DWORD>(total);
    DWORD returned = 0;
    if (!DeviceIoControl(handle_, kStorageControlCode, buffer_.data(), inLength, buffer_.data(), outLength, &returned,
                         nullptr))
      return static_cast<int32_t>(GetLastError());
    std::memcpy(frame, buffer_.data(), frameLength);
    // Only what the driver gave back is the camera's: the rest of the area
    // keeps the caller's bytes.
    if (!write && returned > frameLength) std::memcpy(data, buffer_.data() + frameLength, returned - frameLength);
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
  std::mutex bufferLock_;
  std::vector<uint8_t> buffer_;
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
