// Linux only: a bound virtual camcorder, the capture device that its AV/C
// transport and its preview are made from.
#pragma once

#include <filesystem>
#include <memory>
#include <utility>

#include "platform/avc_transport.h"

namespace platform::host {

class VcamCaptureDevice final : public CaptureDevice {
 public:
  explicit VcamCaptureDevice(std::filesystem::path dir) : dir_(std::move(dir)) {}
  std::shared_ptr<AvcTransport> QueryTransport() override;
  // The camera's state directory.
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
};

}  // namespace platform::host
