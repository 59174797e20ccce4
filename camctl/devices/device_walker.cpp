#include "camctl/devices/device_walker.h"

#include <cstring>
#include <utility>

#include "camctl/common/results.h"
#include "camctl/devices/device_sources.h"
#include "platform/avc_transport.h"

namespace camctl {
namespace {

constexpr OLECHAR kHash = static_cast<OLECHAR>('#');
constexpr OLECHAR kAmpersand = static_cast<OLECHAR>('&');

OLECHAR AsciiUpper(OLECHAR c) {
  return (c >= 'a' && c <= 'z') ? static_cast<OLECHAR>(c - ('a' - 'A')) : c;
}

// The query frame: STATUS, tape recorder subunit, vendor-dependent, company
// 00 00 85, command set 0x0010, code 0x13, two cells for the camera to fill.
constexpr uint8_t kIdentificationQuery[kIdentificationQueryLength] = {0x01, 0x20, 0x00, 0x00, 0x00, 0x85,
                                                                      0x00, 0x10, 0x13, 0xFF, 0xFF};

}  // namespace

void DeviceRecord::Clear() {
  std::lock_guard<std::mutex> hold(lock);
  moniker.reset();
  friendlyName.clear();
  devicePath.clear();
  uniqueId.clear();
  deviceIdentifier.clear();
  pnpFriendlyName.clear();
  supportedCamera = false;
}

bool ExtractUniqueId(platform::ComStringView path, platform::ComString& uniqueId) {
  size_t hits[3] = {};
  size_t from = 1;
  for (size_t& hit : hits) {
    if (from >= path.size()) return false;
    hit = path.find(kHash, from);
    if (hit == platform::ComStringView::npos) return false;
    from = hit + 1;
  }
  uniqueId.assign(path.substr(hits[1] + 1, hits[2] - hits[1] - 1));
  return true;
}

bool EqualIgnoringCase(platform::ComStringView a, platform::ComStringView b) {
  const auto fold = [](OLECHAR c) { return (c >= 'a' && c <= 'z') ? static_cast<OLECHAR>(c - ('a' - 'A')) : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

bool ModelNameOf(platform::ComStringView devicePath, platform::ComString& model) {
  platform::ComString upper(devicePath);
  for (OLECHAR& c : upper) c = AsciiUpper(c);
  const size_t hash = upper.find(kHash);
  if (hash == platform::ComString::npos) return false;
  const size_t first = upper.find(kAmpersand, hash + 1);
  if (first == platform::ComString::npos) return false;
  const size_t second = upper.find(kAmpersand, first + 1);
  if (second == platform::ComString::npos || second == first + 1) return false;
  model = upper.substr(first + 1, second - first - 1);
  return true;
}

HRESULT DeviceWalker::Start() {
  devices_.clear();
  next_ = 0;
  ended_ = true;
  const DeviceSources sources = CurrentDeviceSources();
  const HRESULT hr = sources.listVideoInputDevices(devices_);
  if (FAILED(hr)) {
    devices_.clear();
    return hr;
  }
  if (devices_.empty()) return S_FALSE;
  ended_ = false;
  return S_OK;
}

HRESULT DeviceWalker::Next(DeviceRecord& record) {
  record.Clear();
  if (ended_ || next_ >= devices_.size()) {
    ended_ = true;
    return S_FALSE;
  }
  std::lock_guard<std::mutex> hold(record.lock);
  record.moniker = std::move(devices_[next_++]);
  if (!record.moniker) {
    ended_ = true;
    return E_FAIL;
  }
  record.friendlyName = record.moniker->FriendlyName();
  record.devicePath = record.moniker->DevicePath();
  record.pnpFriendlyName = record.moniker->PnpFriendlyName();
  // A device that cannot be identified ends the walk: the devices behind it
  // are not visited.
  if (!ExtractUniqueId(record.devicePath, record.uniqueId) || record.uniqueId.empty() ||
      record.friendlyName.empty()) {
    ended_ = true;
    return E_FAIL;
  }
  record.deviceIdentifier = record.friendlyName;
  record.deviceIdentifier.push_back(kHash);
  record.deviceIdentifier.append(record.uniqueId);
  return S_OK;
}

void RunIdentificationQuery(DeviceRecord& record) {
  std::lock_guard<std::mutex> hold(record.lock);
  record.supportedCamera = false;
  if (!record.moniker) return;
  std::shared_ptr<platform::AvcTransport> transport;
  try {
    const std::shared_ptr<platform::CaptureDevice> device = record.moniker->Bind();
    if (device) transport = device->QueryTransport();
  } catch (...) {
    return;  // a device that cannot be bound is not a supported camera
  }
  if (!transport) return;

  alignas(8) uint8_t frame[platform::kAvcFrameBufferSize];
  for (int attempt = 1; attempt <= kIdentificationAttempts; ++attempt) {
    // The same query every time, whatever a failed attempt left in the buffer.
    std::memset(frame, 0, sizeof frame);
    std::memcpy(frame, kIdentificationQuery, sizeof kIdentificationQuery);
    const int32_t result = transport->Exchange(frame, kIdentificationQueryLength);
    if (result == 0) {
      record.supportedCamera = frame[9] != 0 && frame[10] == 1;
      return;
    }
    if (result == kWin32NotSupported) return;
  }
}

}  // namespace camctl
