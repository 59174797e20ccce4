#include "storage/storage_channel.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#include "camctl/channel/command_channel.h"  // the camera mutex's name and wait
#include "camctl/common/results.h"
#include "platform/imaging_devices.h"

namespace storage {
namespace {

using camctl::CAM_E_BUSY;
using camctl::CAM_E_LOCK_TIMEOUT;
using camctl::CAM_E_PROTECTED;
using camctl::HResultFromWin32;

// The library always addresses the device namespace.
constexpr Address kNamespace{kDeviceNamespace, kNoVolume, 0};

HRESULT PlatformReadLink(platform::ComStringView instanceKey, platform::ComString& link) {
  return platform::ReadDevSymLink(instanceKey, link);
}

}  // namespace

StorageChannel::StorageChannel(StorageChannelEnvironment environment) : environment_(std::move(environment)) {
  if (environment_.readLink == nullptr) environment_.readLink = PlatformReadLink;
  if (environment_.openDriver == nullptr) environment_.openDriver = platform::OpenStorageDriver;
  mutex_ = environment_.openMutex ? environment_.openMutex() : platform::OpenNamedMutex(camctl::kCameraMutexName);
}

StorageChannel::~StorageChannel() { Close(); }

HRESULT StorageChannel::Open(platform::ComStringView instanceKey) {
  platform::NamedMutexHold hold(mutex_.get(), platform::kWaitForever);
  if (driver_) return E_FAIL;

  std::unique_ptr<platform::StorageDriverHandle> handle;
  const HRESULT opened = OpenDriverByInstanceKey(environment_.readLink, environment_.openDriver, instanceKey, handle);
  if (opened != S_OK) return opened;
  if (!receiveArea_) receiveArea_ = std::make_unique<std::array<uint8_t, kTransferAreaSize>>();
  driver_ = std::move(handle);
  return S_OK;
}

void StorageChannel::Close() {
  platform::NamedMutexHold hold(mutex_.get(), platform::kWaitForever);
  if (!driver_) return;
  (void)driver_->Close();
  driver_.reset();
}

void StorageChannel::Sleep(uint32_t milliseconds) {
  if (environment_.sleep) {
    environment_.sleep(milliseconds);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

HRESULT StorageChannel::Exchange(uint8_t* frame, uint32_t length, uint8_t* data, uint32_t dataLength,
                                 bool sleepOnBusy) {
  HRESULT result = E_FAIL;
  const uint8_t opcode = frame[kOpcodeOffset];
  // Every attempt sends the command as built, not what a busy answer left in the frame.
  uint8_t command[kMaxFrameLength];
  length = std::min(length, kMaxFrameLength);
  std::memcpy(command, frame, length);
  for (int attempt = 1; attempt <= kLibraryAttempts; ++attempt) {
    std::memcpy(frame, command, length);
    frame[kStatusOffset] = 0;
    if (opcode == static_cast<uint8_t>(Opcode::CountEntries)) {
      frame[count_entries::kCount] = 0;
      frame[count_entries::kCount + 1] = 0;
    } else {
      frame[kIdentityOffset] = 0;
    }
    const int32_t error = driver_->Exchange(frame, length, data, dataLength);
    // A failed transport is not retried: the driver did not take the frame.
    if (error != 0) return HResultFromWin32(error);
    switch (ClassifyForLibrary(frame[kStatusOffset])) {
      case LibraryStatus::Success:
        return S_OK;
      case LibraryStatus::BusyRetry:
        result = CAM_E_BUSY;
        if (sleepOnBusy) Sleep(kReadBusySleepMs);
        continue;
      case LibraryStatus::Protected:
        return CAM_E_PROTECTED;
      case LibraryStatus::Failure:
        return E_FAIL;
    }
  }
  return result;
}

HRESULT StorageChannel::CountEntries(std::string_view path, uint32_t& count) {
  alignas(8) uint8_t frame[kCountEntriesLength];
  if (!BuildCountEntries(frame, kNamespace, count_entries::kSelectorLibrary, path)) return E_INVALIDARG;

  platform::NamedMutexHold hold(mutex_.get(), camctl::kCameraMutexWaitMs);
  if (!hold.held()) return CAM_E_LOCK_TIMEOUT;
  if (!driver_) return E_FAIL;
  const HRESULT hr = Exchange(frame, kCountEntriesLength, nullptr, 0, false);
  if (hr != S_OK) return hr;
  count = GetBe16(frame + count_entries::kCount);
  return S_OK;
}

HRESULT StorageChannel::ReadFile(std::string_view path, uint8_t* destination, uint32_t& size) {
  if (size > kTransferAreaSize) return E_FAIL;
  if (destination == nullptr && size != 0) return E_POINTER;
  const uint32_t requested = size;
  uint8_t* area = receiveArea_ ? receiveArea_->data() : nullptr;

  alignas(8) uint8_t frame[kReadFileLength];
  if (!BuildReadFile(frame, kNamespace, path, kTransferAreaSize, requested, area)) return E_INVALIDARG;

  platform::NamedMutexHold hold(mutex_.get(), camctl::kCameraMutexWaitMs);
  if (!hold.held()) return CAM_E_LOCK_TIMEOUT;
  if (!driver_ || area == nullptr) return E_FAIL;
  const HRESULT hr = Exchange(frame, kReadFileLength, area, kTransferAreaSize, true);
  if (hr != S_OK) return hr;
  // The driver's count is believed only as far as the caller's request goes.
  const uint32_t delivered = GetBe32(frame + read_file::kDelivered);
  if (delivered > requested) return E_FAIL;
  if (delivered != 0) std::memcpy(destination, area, delivered);
  size = delivered;
  return S_OK;
}

HRESULT StorageChannel::WriteFile(std::string_view path, const uint8_t* data, uint32_t size) {
  if (data == nullptr && size != 0) return E_POINTER;
  WriteRequest request;
  request.pathLength = static_cast<uint8_t>(path.size());  // checked against the field below
  request.firstLength = size;
  request.secondLength = size;
  request.firstFlag = 1;
  request.secondFlag = 0xFF;
  request.data = data;

  alignas(8) uint8_t frame[kWriteFileLength];
  if (!BuildWriteFile(frame, kNamespace, path, request)) return E_INVALIDARG;

  platform::NamedMutexHold hold(mutex_.get(), camctl::kCameraMutexWaitMs);
  if (!hold.held()) return CAM_E_LOCK_TIMEOUT;
  if (!driver_) return E_FAIL;
  // The driver only reads the source area of a write.
  return Exchange(frame, kWriteFileLength, const_cast<uint8_t*>(data), size, false);
}

}  // namespace storage
