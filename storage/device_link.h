// From a camera's driver instance key to an open storage driver handle, the
// same way for the library's storage channel and the microdriver: read the
// "DevSymLink" value of the instance key, turn the link into the path the
// driver is opened by, open it.
#pragma once

#include <memory>

#include "platform/com.h"
#include "platform/storage_driver.h"
#include "storage/frames.h"

namespace storage {

// The device link as the driver is opened by it: the link's text up to an
// embedded terminator, with its second character replaced by a backslash
// ("\??\x" becomes "\\?\x"). False for a link too short to be one.
inline bool DeviceLinkToOpenPath(platform::ComStringView link, platform::ComString& path) {
  if (const size_t end = link.find(OLECHAR{0}); end != platform::ComStringView::npos) link = link.substr(0, end);
  if (link.size() < 2) return false;
  path.assign(link);
  path[1] = static_cast<OLECHAR>('\\');
  return true;
}

// Resolves the instance key's link and opens the driver: S_OK and the handle;
// E_FAIL when the value cannot be read or the link is unusable; the HRESULT
// of the driver's open failure otherwise. `readLink(key, link)` gives an
// HRESULT, `openDriver(path, handle)` 0 or a Win32 error.
template <typename ReadLink, typename OpenDriver>
HRESULT OpenDriverByInstanceKey(const ReadLink& readLink, const OpenDriver& openDriver,
                                       platform::ComStringView instanceKey,
                                       std::unique_ptr<platform::StorageDriverHandle>& handle) {
  handle.reset();
  platform::ComString link;
  if (FAILED(readLink(instanceKey, link))) return E_FAIL;
  platform::ComString path;
  if (!DeviceLinkToOpenPath(link, path)) return E_FAIL;
  const int32_t error = openDriver(path, handle);
  if (error != 0) {
    handle.reset();
    return ResultFromWin32(error);
  }
  return handle ? S_OK : E_FAIL;
}

}  // namespace storage
