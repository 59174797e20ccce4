// The library's storage channel: one open handle on the camera's storage
// driver, found through the "DevSymLink" value of the camera's driver instance
// key, and the three exchanges the library needs (count the entries of a
// device-namespace folder, read a file, write a file).
//
// Every exchange holds the camera mutex for its whole run (retries and sleeps
// included) through the channel's own handle on it, so storage and AV/C
// traffic of all objects in all processes never overlap.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/com.h"
#include "platform/named_mutex.h"
#include "platform/storage_driver.h"
#include "storage/device_link.h"
#include "storage/frames.h"

namespace storage {

// Attempts of one exchange while the driver answers busy (status 0x80): the
// first one and three retries.
inline constexpr int kLibraryAttempts = 4;
// ReadFile pauses this long after every busy answer.
inline constexpr uint32_t kReadBusySleepMs = 100;
// The device-namespace folder of the preset files.
inline constexpr std::string_view kPresetFolder = "\\dev\\campset";

// What the channel needs from the machine. Tests replace members; a null
// member means the platform's own.
struct StorageChannelEnvironment {
  // Reads the "DevSymLink" value of an instance key below
  // SYSTEM\CurrentControlSet\Control\Class.
  HRESULT (*readLink)(platform::ComStringView instanceKey, platform::ComString& link) = nullptr;
  // Opens the driver by its device link: 0 or a Win32 error.
  int32_t (*openDriver)(platform::ComStringView deviceLink,
                        std::unique_ptr<platform::StorageDriverHandle>& handle) = nullptr;
  // Pauses the calling thread.
  std::function<void(uint32_t milliseconds)> sleep;
  // Opens a handle on the camera mutex (null when the system refuses).
  std::function<std::unique_ptr<platform::NamedMutex>()> openMutex;
};

class StorageChannel {
 public:
  // Opens the channel's handle on the camera mutex; no driver yet.
  explicit StorageChannel(StorageChannelEnvironment environment = {});
  // Closes the driver handle, then the mutex handle.
  virtual ~StorageChannel();
  StorageChannel(const StorageChannel&) = delete;
  StorageChannel& operator=(const StorageChannel&) = delete;

  // Resolves the instance key's device link and opens the driver. E_FAIL when
  // already open (the handle stays), when the key or value cannot be read or
  // the link is unusable; the HRESULT of the driver's open failure otherwise.
  HRESULT Open(platform::ComStringView instanceKey);
  // Closes the driver handle if one is open.
  void Close();
  bool IsOpen() const { return driver_ != nullptr; }

  // The number of entries of a device-namespace path (selector 1).
  HRESULT CountEntries(std::string_view path, uint32_t& count);
  // Reads a device-namespace file. `size`: on entry the bytes wanted (at most
  // 0x8000); on success the bytes delivered, which are in `destination`.
  HRESULT ReadFile(std::string_view path, uint8_t* destination, uint32_t& size);
  // Writes `size` bytes of `data` to a device-namespace file.
  HRESULT WriteFile(std::string_view path, const uint8_t* data, uint32_t size);

 private:
  // The attempt loop shared by the three exchanges; the caller holds the mutex.
  HRESULT Exchange(uint8_t* frame, uint32_t length, uint8_t* data, uint32_t dataLength, bool sleepOnBusy);
  void Sleep(uint32_t milliseconds);

  StorageChannelEnvironment environment_;
  std::unique_ptr<platform::NamedMutex> mutex_;
  std::unique_ptr<platform::StorageDriverHandle> driver_;
  // The receive area of ReadFile; used only while the camera mutex is held.
  std::unique_ptr<std::array<uint8_t, kTransferAreaSize>> receiveArea_;
};

}  // namespace storage
