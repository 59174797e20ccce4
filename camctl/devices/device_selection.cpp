#include "camctl/devices/device_selection.h"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "camctl/channel/attachment.h"
#include "camctl/channel/command_channel.h"
#include "camctl/common/results.h"
#include "camctl/devices/device_sources.h"
#include "camctl/devices/device_walker.h"
#include "camctl/preview/preview_control.h"
#include "camctl/settings/camera_settings.h"
#include "camctl/settings/preset_zero.h"
#include "storage/storage_channel.h"

namespace camctl {
namespace {

platform::ComStringView ViewOf(BSTR text) {
  return text == nullptr ? platform::ComStringView() : platform::ComStringView(text, SysStringLen(text));
}

struct SafeArrayDeleter {
  void operator()(SAFEARRAY* array) const { SafeArrayDestroy(array); }
};
using SafeArrayOwner = std::unique_ptr<SAFEARRAY, SafeArrayDeleter>;

struct BstrDeleter {
  void operator()(OLECHAR* text) const { SysFreeString(text); }
};
using BstrOwner = std::unique_ptr<OLECHAR, BstrDeleter>;

// A COM string of the text; null for empty text (or when out of memory).
BSTR NewBstrOrNull(platform::ComStringView text) {
  if (text.empty()) return nullptr;
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// The imaging-service device of the selected camera: a digital camera whose
// storage link carries the same unique id (letter case aside).
HRESULT FindStorageInstanceKey(const DeviceSources& sources, platform::ComStringView uniqueId,
                               platform::ComString& instanceKey) {
  std::vector<platform::ImagingDevice> devices;
  if (FAILED(sources.listImagingDevices(devices))) return E_FAIL;
  for (const platform::ImagingDevice& device : devices) {
    if ((device.type >> 16) != platform::kImagingMainTypeCamera) continue;
    platform::ComString link;
    if (FAILED(sources.readDevSymLink(device.deviceId, link))) continue;
    if (const size_t end = link.find(OLECHAR{0}); end != platform::ComString::npos) link.resize(end);
    platform::ComString linkId;
    if (!ExtractUniqueId(link, linkId)) continue;
    if (EqualIgnoringCase(linkId, uniqueId)) {
      instanceKey = device.deviceId;
      return S_OK;
    }
  }
  return E_FAIL;
}

// The slot count of "\dev\campset", asked again while the storage is busy.
HRESULT ReadSlotCount(CameraState& state) {
  uint32_t count = 0;
  HRESULT hr = CAM_E_BUSY;
  for (int attempt = 1; attempt <= kSlotCountAttempts && hr == CAM_E_BUSY; ++attempt)
    hr = state.storageChannel->CountEntries(storage::kPresetFolder, count);
  if (hr != S_OK) return hr;
  state.presetCount = count > static_cast<uint32_t>(kMaxPresetSlots) ? kMaxPresetSlots : static_cast<int32_t>(count);
  return S_OK;
}

// Whether the camera offers its presets: 0 when it answers 1, -2 for any
// other answer; the state stays -1 when it cannot be asked.
void ReadPresetAvailability(CameraState& state) {
  std::lock_guard<ObjectLock> hold(state.lock);
  platform::NamedMutexHold camera(state.cameraMutex.get(), kCameraMutexWaitMs);
  if (!camera.held()) return;
  if (!state.commandChannel || !state.storageChannel) return;
  uint8_t cell = 0xFF;  // filled by the camera
  if (state.commandChannel->SendVendorCommand(kCommandSetCamera, kCodePresetAvailable, Ctype::Status, {&cell}) != S_OK)
    return;
  state.presetState = cell == 1 ? 0 : -2;
}

// Opens the storage channel on the instance key, then reads the slot count
// and the preset availability. The slot count's result is the result.
HRESULT OpenStorage(CameraState& state, const DeviceSources& sources, platform::ComStringView instanceKey) {
  if (state.storageChannel) return E_FAIL;
  state.presetState = -1;
  state.presetCount = 0;
  auto channel = std::make_unique<storage::StorageChannel>(sources.storage);
  const HRESULT opened = channel->Open(instanceKey);
  if (opened != S_OK) return opened;
  state.storageChannel = std::move(channel);
  const HRESULT hr = ReadSlotCount(state);
  ReadPresetAvailability(state);
  return hr;
}

}  // namespace

HRESULT EnumerateDevices(CameraState& state, SAFEARRAY** list, LONG* count) {
  if (list == nullptr || count == nullptr) return E_POINTER;
  SafeArrayOwner array(SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(kMaxListedDevices)));
  if (!array) return E_OUTOFMEMORY;

  DeviceWalker walker;
  if (walker.Start() != S_OK) return S_FALSE;

  // The object lock before the camera mutex, the order of every other method
  // (the other way round, a selection or removal on another thread deadlocks
  // with this). The camera mutex is held across the queries so no other
  // object's traffic runs between them.
  std::lock_guard<ObjectLock> hold(state.lock);
  platform::NamedMutexHold camera(state.cameraMutex.get(), platform::kWaitForever);
  if (!camera.held()) return E_FAIL;

  LONG stored = 0;
  DeviceRecord record;
  while (stored < kMaxListedDevices && walker.Next(record) == S_OK) {
    RunIdentificationQuery(record);
    std::lock_guard<std::mutex> recordHold(record.lock);
    if (!record.supportedCamera) continue;
    const BstrOwner identifier(NewBstrOrNull(record.deviceIdentifier));
    if (!identifier) break;
    LONG index = stored;
    if (FAILED(SafeArrayPutElement(array.get(), &index, identifier.get()))) break;
    ++stored;
  }

  if (stored == 0) {
    *count = 0;
    return S_FALSE;
  }
  *list = array.release();
  *count = stored;
  return S_OK;
}

HRESULT SelectDevice(CameraState& state, BSTR device) {
  const platform::ComStringView wanted = ViewOf(device);
  if (wanted.empty()) return E_INVALIDARG;

  std::lock_guard<ObjectLock> hold(state.lock);
  if (state.connection != ConnectionState::NoCamera || state.commandChannel) return CAM_E_LOCK_TIMEOUT;

  const DeviceSources sources = CurrentDeviceSources();
  DeviceWalker walker;
  if (walker.Start() != S_OK) return E_FAIL;
  DeviceRecord record;
  std::shared_ptr<platform::CaptureDevice> filter;
  for (;;) {
    if (walker.Next(record) != S_OK) return E_FAIL;
    std::lock_guard<std::mutex> recordHold(record.lock);
    if (record.deviceIdentifier != wanted) continue;
    state.selectedUniqueId = record.uniqueId;
    state.selectedDevicePath = record.devicePath;
    state.reapplyPresetZero = settings::IsPresetZeroModel(record.devicePath);
    filter = record.moniker->Bind();
    if (!filter) return E_FAIL;
    break;
  }

  if (AttachTransport(state, filter.get()) != S_OK) return E_FAIL;
  settings::ProbeCapabilities(state);
  CreatePreview(state, *filter);

  platform::ComString instanceKey;
  if (FindStorageInstanceKey(sources, state.selectedUniqueId, instanceKey) != S_OK) return E_FAIL;
  return OpenStorage(state, sources, instanceKey);
}

void CloseStorageChannel(CameraState& state) {
  std::lock_guard<ObjectLock> hold(state.lock);
  if (!state.storageChannel) return;
  state.storageChannel->Close();
  state.storageChannel.reset();
}

HRESULT GetDeviceInfo(BSTR device, BSTR* friendlyName, BSTR* devicePath, BSTR* modelName) {
  const platform::ComStringView wanted = ViewOf(device);
  if (wanted.empty()) return E_INVALIDARG;
  for (BSTR* out : {friendlyName, devicePath, modelName})
    if (out != nullptr) *out = nullptr;

  DeviceWalker walker;
  const HRESULT started = walker.Start();
  if (FAILED(started)) return started;
  if (started != S_OK) return E_FAIL;  // no device at all

  DeviceRecord record;
  while (walker.Next(record) == S_OK) {
    std::lock_guard<std::mutex> recordHold(record.lock);
    if (record.deviceIdentifier != wanted) continue;
    if (devicePath != nullptr) *devicePath = NewBstrOrNull(record.devicePath);
    if (modelName != nullptr) {
      platform::ComString model;
      if (ModelNameOf(record.devicePath, model)) *modelName = NewBstrOrNull(model);
    }
    if (friendlyName != nullptr) *friendlyName = NewBstrOrNull(record.pnpFriendlyName);
    return S_OK;
  }
  return E_FAIL;
}

}  // namespace camctl
