// The camera's storage driver on Linux: the virtual camcorder answers.
#include <cctype>
#include <memory>
#include <string>

#include "platform/storage_driver.h"
#include "vcam/vcam.h"

namespace platform {
namespace {

constexpr int32_t kErrorFileNotFound = 2;
constexpr int32_t kErrorInvalidHandle = 6;

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

class VcamStorageHandle final : public StorageDriverHandle {
 public:
  explicit VcamStorageHandle(std::unique_ptr<vcam::Camera> camera) : camera_(std::move(camera)) {}
  int32_t Exchange(uint8_t* frame, uint32_t frameLength, uint8_t* data, uint32_t dataLength) noexcept override {
    if (camera_ == nullptr) return kErrorInvalidHandle;
    return camera_->StorageExchange(frame, frameLength, data, dataLength);
  }
  int32_t Close() noexcept override {
    if (camera_ == nullptr) return kErrorInvalidHandle;
    camera_.reset();
    return 0;
  }

 private:
  std::unique_ptr<vcam::Camera> camera_;
};

}  // namespace

int32_t OpenStorageDriver(ComStringView deviceLink, std::unique_ptr<StorageDriverHandle>& handle) {
  handle.reset();
  try {
    const std::string link = ComToUtf8(deviceLink);
    auto camera = vcam::FindCameraByUniqueId(vcam::RootDir(), vcam::UniqueIdField(link));
    if (camera == nullptr) return kErrorFileNotFound;
    // The registry's "\??\" link, opened as "\\?\": the whole link must match.
    std::string expected = camera->identity().devSymLink;
    if (expected.size() >= 2) expected[1] = '\\';
    vcam::State state;
    if (!EqualNoCase(link, expected) || !camera->PeekState(state) || !state.plugged) return kErrorFileNotFound;
    handle = std::make_unique<VcamStorageHandle>(std::move(camera));
    return 0;
  } catch (const std::exception&) {
    return kErrorFileNotFound;
  }
}

}  // namespace platform
