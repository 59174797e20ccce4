// A walk over the video input devices of the machine, one completed record at
// a time, and the identification query that tells a supported camcorder from
// any other video input device.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com.h"
#include "platform/video_devices.h"

namespace camctl {

// One video input device met during a walk; lives for one method call.
struct DeviceRecord {
  std::unique_ptr<platform::VideoInputDevice> moniker;  // binds to the capture filter
  platform::ComString friendlyName;
  platform::ComString devicePath;
  platform::ComString uniqueId;          // between the second and third '#' of the path
  platform::ComString deviceIdentifier;  // friendlyName + "#" + uniqueId
  platform::ComString pnpFriendlyName;
  bool supportedCamera = false;
  std::mutex lock;  // guards the fields above

  // Empties every field.
  void Clear();
};

// The text between the second and third '#' of a device path or device link;
// the first search starts at the path's second character. False when the
// path has fewer than three '#'.
bool ExtractUniqueId(platform::ComStringView path, platform::ComString& uniqueId);

// The model name of a device path: in an upper-case copy, the text between
// the first and second '&' after the first '#'. False when there is none
// (no '#', fewer than two '&' after it, or nothing between them).
bool ModelNameOf(platform::ComStringView devicePath, platform::ComString& model);

// Device paths and unique ids compared as the system compares them: letter
// case of A-Z does not matter.
bool EqualIgnoringCase(platform::ComStringView a, platform::ComStringView b);

class DeviceWalker {
 public:
  // Lists the video input category. S_OK, S_FALSE when the category is empty
  // (the walk yields nothing), or the failure of the device enumerator.
  HRESULT Start();
  // Fills the record with the next device: S_OK; S_FALSE at the end of the
  // walk; E_FAIL for an incomplete record (no friendly name, or a device path
  // with fewer than three '#'), which also ends the walk: devices behind it
  // are not visited.
  HRESULT Next(DeviceRecord& record);

 private:
  std::vector<std::unique_ptr<platform::VideoInputDevice>> devices_;
  size_t next_ = 0;
  bool ended_ = true;
};

// The identification query: a STATUS vendor command (set 0x0010, code 0x13,
// two cells to fill) sent raw to the device, and its answer.
inline constexpr uint32_t kIdentificationQueryLength = 11;
inline constexpr int kIdentificationAttempts = 4;

// Binds the record's device, asks the query and sets supportedCamera: true
// when the camera answers with byte 9 non-zero and byte 10 equal to 1. A
// failure is asked again (at most four attempts), except "not supported"
// (50), which ends the query at once.
void RunIdentificationQuery(DeviceRecord& record);

}  // namespace camctl
