// Video input devices, their AV/C transport and the imaging-service device
// list on Linux: the virtual camcorder's plugged cameras.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/avc_transport.h"
#include "platform/imaging_devices.h"
#include "platform/registry.h"
#include "platform/video_devices.h"
#include "vcam_capture_device.h"
#include "vcam/vcam.h"

namespace platform {
namespace {

class VcamTransport final : public AvcTransport {
 public:
  explicit VcamTransport(std::unique_ptr<vcam::Camera> camera) : camera_(std::move(camera)) {}
  int32_t Exchange(uint8_t (&frame)[kAvcFrameBufferSize], uint32_t length) noexcept override {
    return camera_->AvcExchange(frame, length);
  }

 private:
  std::unique_ptr<vcam::Camera> camera_;
};

}  // namespace

std::shared_ptr<AvcTransport> host::VcamCaptureDevice::QueryTransport() {
  try {
    return std::make_shared<VcamTransport>(vcam::Camera::Open(dir_));
  } catch (const std::exception&) {
    return nullptr;  // the camera was deleted meanwhile
  }
}

namespace {

class VcamVideoDevice final : public VideoInputDevice {
 public:
  VcamVideoDevice(vcam::Identity identity, std::filesystem::path dir)
      : identity_(std::move(identity)), dir_(std::move(dir)) {}
  ComString FriendlyName() const override { return Utf8ToCom(identity_.friendlyName); }
  ComString DevicePath() const override { return Utf8ToCom(identity_.devicePath); }
  ComString PnpFriendlyName() const override { return Utf8ToCom(identity_.pnpFriendlyName); }
  std::shared_ptr<CaptureDevice> Bind() override {
    try {
      auto camera = vcam::Camera::Open(dir_);
      vcam::State state;
      if (!camera->PeekState(state) || !state.plugged) return nullptr;
      return std::make_shared<host::VcamCaptureDevice>(dir_);
    } catch (const std::exception&) {
      return nullptr;
    }
  }

 private:
  vcam::Identity identity_;
  std::filesystem::path dir_;
};

// The plugged cameras of the root, in the root's order. A newcomer's default
// root gets its default camera on first use.
template <typename Visit>
bool ForEachPluggedCamera(Visit&& visit) {
  try {
    const std::filesystem::path root = vcam::RootDir();
    const std::vector<std::string> names =
        vcam::UsingDefaultRoot() ? vcam::ListCamerasCreatingDefault(root) : vcam::ListCameras(root);
    for (const std::string& name : names) {
      std::unique_ptr<vcam::Camera> camera;
      try {
        camera = vcam::Camera::Open(root / name);
      } catch (const vcam::Error&) {
        continue;  // deleted or half-made meanwhile
      }
      vcam::State state;
      if (camera->PeekState(state) && state.plugged) visit(*camera);
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

HRESULT ListVideoInputDevices(std::vector<std::unique_ptr<VideoInputDevice>>& devices) {
  devices.clear();
  const bool listed = ForEachPluggedCamera([&](vcam::Camera& camera) {
    devices.push_back(std::make_unique<VcamVideoDevice>(camera.identity(), camera.dir()));
  });
  if (!listed) return E_FAIL;
  return devices.empty() ? S_FALSE : S_OK;
}

HRESULT ListImagingDevices(std::vector<ImagingDevice>& devices) {
  devices.clear();
  const ComString value = Utf8ToCom("DevSymLink");
  const bool listed = ForEachPluggedCamera([&](vcam::Camera& camera) {
    const vcam::Identity& id = camera.identity();
    ImagingDevice device;
    device.type = kImagingMainTypeCamera << 16;
    device.deviceId = Utf8ToCom(id.imagingDeviceId);
    // The class key's link is what the selection reads: keep it current.
    const ComString key = DeviceClassKey(device.deviceId);
    const ComString link = Utf8ToCom(id.devSymLink);
    ComString stored;
    if (registry::GetString(registry::Root::LocalMachine, key, value, stored) != S_OK || stored != link) {
      registry::SetString(registry::Root::LocalMachine, key, value, link);
    }
    devices.push_back(std::move(device));
  });
  return listed ? S_OK : E_FAIL;
}

}  // namespace platform
