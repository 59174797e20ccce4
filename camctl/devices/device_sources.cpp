#include "camctl/devices/device_sources.h"

#include <mutex>

namespace camctl {
namespace {

std::mutex g_sourcesLock;
DeviceSources g_sources;  // guarded by g_sourcesLock

HRESULT PlatformReadDevSymLink(platform::ComStringView deviceId, platform::ComString& link) {
  return platform::ReadDevSymLink(deviceId, link);
}

}  // namespace

void SetDeviceSources(const DeviceSources& sources) {
  std::lock_guard<std::mutex> hold(g_sourcesLock);
  g_sources = sources;
}

DeviceSources CurrentDeviceSources() {
  DeviceSources sources;
  {
    std::lock_guard<std::mutex> hold(g_sourcesLock);
    sources = g_sources;
  }
  if (sources.listVideoInputDevices == nullptr) sources.listVideoInputDevices = platform::ListVideoInputDevices;
  if (sources.listImagingDevices == nullptr) sources.listImagingDevices = platform::ListImagingDevices;
  if (sources.readDevSymLink == nullptr) sources.readDevSymLink = PlatformReadDevSymLink;
  return sources;
}

}  // namespace camctl
