// The camera's storage kernel driver as the storage channel and the
// microdriver see it: open a device link, exchange fixed-length frames under
// one control code, close. CreateFileW and DeviceIoControl(0x222403) on
// Windows; the virtual camcorder on Linux.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/com.h"

namespace platform {

class StorageDriverHandle {
 public:
  // Closes the handle if Close has not.
  virtual ~StorageDriverHandle() = default;

  // Sends the frame (the answer comes back in place, same length) and returns
  // 0 or the Win32 error of the exchange (170 ERROR_BUSY, 1617 device gone,
  // 87 for a frame the driver cannot take).
  //
  // `data` is the area a ReadThumbnail, ReadFile or WriteFile frame refers to
  // (null for the other frames) and `dataLength` its size. A 32-bit build also
  // carries the area's address in the frame's bytes 272-275; a 64-bit build
  // leaves them 0 and the area travels here only. The driver never reads or
  // writes beyond `dataLength` bytes of it, whatever the frame says.
  //
  // One exchange may block while the driver waits for a transfer control
  // frame; that frame is sent on another handle, from another thread.
  virtual int32_t Exchange(uint8_t* frame, uint32_t frameLength, uint8_t* data, uint32_t dataLength) noexcept = 0;

  // Closes the handle: 0, or the Win32 error (the handle then stays open).
  virtual int32_t Close() noexcept = 0;
};

// Opens the driver by its device link, as the registry's "DevSymLink" gives it
// with its second character replaced by a backslash ("\\?\..."). 0 and the
// handle, or the Win32 error of the open (2 ERROR_FILE_NOT_FOUND when no
// such device is present).
int32_t OpenStorageDriver(ComStringView deviceLink, std::unique_ptr<StorageDriverHandle>& handle);

}  // namespace platform
