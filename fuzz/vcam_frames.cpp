// The virtual camcorder's frame handling: a fresh camera in the private
// camera root answers AV/C and storage frames taken from the fuzz input, with
// scripted faults, unplugging and medium exchanges in between.
//
// Checked: answers stay inside the frame buffers and data areas given (guard
// bytes after each), AV/C results are documented or scripted, and nothing
// appears in the camera root beside the camera's own folder.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <vector>

#include "fuzz_support.h"
#include "storage/frames.h"
#include "vcam/vcam.h"

namespace {

constexpr size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xE7;

// The documented results, and whatever a scripted fault was told to answer.
bool AvcResultKnown(int32_t r, const std::vector<int32_t>& scripted) {
  for (int32_t value : scripted)
    if (r == value) return true;
  return r == vcam::kAvcOk || r == vcam::kAvcNotImplemented || r == vcam::kAvcRejected || r == vcam::kAvcAborted ||
         r == vcam::kAvcTimeout || r == vcam::kDeviceRemoved || r == vcam::kErrorBusy ||
         r == vcam::kErrorInvalidParameter || r == vcam::kErrorGenFailure;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto& surroundings = fuzz::Surroundings::Get();
  const std::filesystem::path& root = surroundings.cameraRoot();
  fuzz::Input in(data, size);

  vcam::CameraOptions options;
  const uint8_t shape = in.Byte();
  options.slotCount = static_cast<uint8_t>(shape % 8);
  options.sampleContent = (shape & 0x08) != 0;
  options.supported = (shape & 0x10) == 0;
  options.uniqueId = "0800460102ab0001";
  options.media.resize(1 + (shape >> 5) % vcam::kMaxMedia);
  for (auto& medium : options.media) medium.volumes = static_cast<uint8_t>(1 + in.Byte() % vcam::kMaxVolumes);

  {
    std::error_code ec;
    std::filesystem::remove_all(root / "cam", ec);
    std::unique_ptr<vcam::Camera> camera = vcam::CreateCamera(root, "cam", options);
    std::vector<int32_t> scripted;

    for (int step = 0; step < 32 && !in.empty(); ++step) {
      const uint8_t op = in.Byte();
      switch (op % 6) {
        case 0:
        case 1: {  // an AV/C frame
          std::vector<uint8_t> buffer(vcam::kAvcFrameSize + kGuard, kGuardByte);
          const uint16_t length = in.Be16() % (vcam::kAvcFrameSize + 9);
          const auto bytes = in.Bytes(std::min<size_t>(length, vcam::kAvcFrameSize));
          std::fill(buffer.begin(), buffer.begin() + vcam::kAvcFrameSize, 0);
          std::copy(bytes.begin(), bytes.end(), buffer.begin());
          auto& frame = *reinterpret_cast<uint8_t(*)[vcam::kAvcFrameSize]>(buffer.data());
          const int32_t r = camera->AvcExchange(frame, length);
          FUZZ_CHECK(AvcResultKnown(r, scripted));
          for (size_t i = 0; i < kGuard; ++i) FUZZ_CHECK(buffer[vcam::kAvcFrameSize + i] == kGuardByte);
          break;
        }
        case 2:
        case 3: {  // a storage frame with its data area
          const uint8_t opcode = in.Byte();
          uint32_t length = storage::FrameLength(opcode);
          if (length == 0 || (op & 0x80) != 0) length = in.Be16() % (storage::kMaxFrameLength + 1);
          std::vector<uint8_t> frame(length + kGuard, kGuardByte);
          std::fill(frame.begin(), frame.begin() + length, 0);
          if (length != 0) frame[0] = opcode;
          const auto bytes = in.Bytes(length > 0 ? length - 1 : 0);
          std::copy(bytes.begin(), bytes.end(), frame.begin() + (length > 0 ? 1 : 0));
          const uint32_t dataLength = in.Be16() % (storage::kTransferAreaSize + 1);
          std::vector<uint8_t> area(dataLength + kGuard, kGuardByte);
          const auto content = in.Bytes(std::min<size_t>(dataLength, 64));
          std::copy(content.begin(), content.end(), area.begin());
          const int32_t r = camera->StorageExchange(frame.data(), length, area.data(), dataLength);
          FUZZ_CHECK(r == 0 || r == vcam::kErrorInvalidParameter || r == vcam::kErrorBusy ||
                     r == vcam::kDeviceRemoved || r == vcam::kErrorGenFailure);
          for (size_t i = 0; i < kGuard; ++i) FUZZ_CHECK(frame[length + i] == kGuardByte);
          for (size_t i = 0; i < kGuard; ++i) FUZZ_CHECK(area[dataLength + i] == kGuardByte);
          break;
        }
        case 4: {  // a scripted fault
          vcam::Fault fault;
          fault.kind = static_cast<vcam::FaultKind>(in.Byte() % 6);
          fault.channel = in.Byte() % 3;
          fault.avcFrame = in.Byte() % 3;
          fault.key = in.Bit() ? vcam::kAny : in.Be16();
          fault.code = in.Bit() ? vcam::kAny : in.Byte();
          fault.value = static_cast<int32_t>(in.Be32());
          fault.times = 1 + in.Byte() % 4;
          try {
            camera->AddFault(fault);
            scripted.push_back(fault.value);
          } catch (const vcam::Error&) {
            // a fault the camera refuses to script is fine
          }
          break;
        }
        case 5:  // unplug, plug back, or exchange a medium
          try {
            if ((op & 0xC0) == 0x40) camera->SetPlugged(false);
            else if ((op & 0xC0) == 0x80) camera->SetPlugged(true);
            else camera->ExchangeMedium(in.Byte() % vcam::kMaxMedia);
          } catch (const vcam::Error&) {
            // no such medium
          }
          break;
      }
    }
    camera.reset();

    // Nothing outside the camera's own folder, neither beside it nor above the root.
    for (const auto& entry : std::filesystem::directory_iterator(root, ec))
      FUZZ_CHECK(entry.path().filename() == "cam" || entry.path().filename().string().rfind(".", 0) == 0);
    for (const auto& entry : std::filesystem::directory_iterator(surroundings.dir(), ec))
      FUZZ_CHECK(entry.path().filename() == "vcam" || entry.path().filename() == "log");
    vcam::DeleteCamera(root, "cam");
  }
  return 0;
}
