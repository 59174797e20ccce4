// The virtual camcorder's frame handling: a camera in factory state in the
// private camera root answers AV/C and storage frames taken from the fuzz
// input, with scripted faults, unplugging and medium exchanges in between.
//
// The camera is made once per process and brought back to the factory state
// of the input's shape before every input: the state always, the preset
// files and the media's files when the shape changed or an earlier input's
// frames changed them. A run costs its exchanges, not the making of a camera.
//
// Checked: answers stay inside the frame buffers and data areas given (guard
// bytes after each), AV/C results are documented or scripted, and nothing
// appears in the camera root beside the camera's own folder.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include <sanitizer/asan_interface.h>

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

// A buffer of `used` zero bytes followed by guard bytes, reused from run to
// run: everything past the guard is poisoned, so that AddressSanitizer
// still stops any access beyond it, as for an allocation of that size.
template <size_t Capacity>
class GuardedBuffer {
 public:
  uint8_t* Prepare(size_t used) {
    ASAN_UNPOISON_MEMORY_REGION(bytes_, sizeof bytes_);
    std::memset(bytes_, 0, used);
    std::memset(bytes_ + used, kGuardByte, kGuard);
    ASAN_POISON_MEMORY_REGION(bytes_ + used + kGuard, sizeof bytes_ - used - kGuard);
    used_ = used;
    return bytes_;
  }
  bool GuardIntact() const {
    for (size_t i = 0; i < kGuard; ++i)
      if (bytes_[used_ + i] != kGuardByte) return false;
    return true;
  }

 private:
  alignas(16) uint8_t bytes_[Capacity + kGuard];
  size_t used_ = 0;
};

void WriteFile(const std::filesystem::path& path, size_t size, uint8_t seed) {
  static const std::vector<char> pattern = [] {
    std::vector<char> bytes(40000 + 256);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 31u) & 0xFF);
    return bytes;
  }();
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(pattern.data() + seed, static_cast<std::streamsize>(size));
}

// A volume as made: empty, or with a few sample pictures (in volume 0 of
// medium 0 one larger than any transfer area).
void LayOutVolume(const vcam::Camera& camera, uint8_t medium, uint8_t volume, bool sampleContent) {
  std::error_code ec;
  const std::filesystem::path dir = camera.VolumeDir(medium, volume);
  std::filesystem::remove_all(dir, ec);
  std::filesystem::create_directories(dir, ec);
  if (!sampleContent) return;
  const std::filesystem::path pictures = dir / "DCIM" / "100KV7";
  std::filesystem::create_directories(pictures, ec);
  WriteFile(pictures / "IMG_0001.JPG", medium == 0 && volume == 0 ? 40000 : 900, 1);
  WriteFile(pictures / "IMG_0001.THM", 300, 8);
  WriteFile(pictures / "IMG_0002.JPG", 1200, 2);
  WriteFile(dir / "INFO.TXT", 34, 3);
}

// The preset files of a factory camera: Preset00 to PresetNN, the defaults without a name.
void RestorePresetFiles(const vcam::Camera& camera, const vcam::State& factory) {
  char expected[vcam::kPresetFileSize] = {static_cast<char>(vcam::kPresetFileSize)};
  for (size_t i = 0; i < 15; ++i) expected[10 + i] = static_cast<char>(factory.fallback[vcam::kPresetFileCodes[i]]);
  for (unsigned slot = 0; slot <= factory.slotCount; ++slot) {
    std::ofstream(camera.PresetFile(static_cast<uint8_t>(slot)), std::ios::binary | std::ios::trunc)
        .write(expected, sizeof expected);
  }
}

// One camera per slot count and content choice (the files differ), each with
// every medium and volume; an input's state uses some of them.
struct KeptCamera {
  std::unique_ptr<vcam::Camera> camera;
  bool sampleContent = false;
  bool presetsChanged = false;
  std::vector<std::pair<uint8_t, uint8_t>> volumesChanged;

  static std::string Name(size_t index) { return "cam" + std::to_string(index); }

  void Make(const std::filesystem::path& root, size_t index, const vcam::CameraOptions& options) {
    vcam::CameraOptions all = options;
    all.sampleContent = false;
    all.media.assign(vcam::kMaxMedia, vcam::MediumOptions{vcam::kMaxVolumes});
    char uniqueId[17];
    std::snprintf(uniqueId, sizeof uniqueId, "0800460102ab%04zx", index);
    all.uniqueId = uniqueId;
    camera = vcam::CreateCamera(root, Name(index), all);
    sampleContent = options.sampleContent;
    for (uint8_t m = 0; m < vcam::kMaxMedia; ++m)
      for (uint8_t v = 0; v < vcam::kMaxVolumes; ++v) LayOutVolume(*camera, m, v, sampleContent);
  }

  // Back to the files as made, where the last input changed them.
  void Restore(const vcam::State& factory) {
    if (presetsChanged) RestorePresetFiles(*camera, factory);
    presetsChanged = false;
    for (const auto& [medium, volume] : volumesChanged) LayOutVolume(*camera, medium, volume, sampleContent);
    volumesChanged.clear();
  }
};

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
  options.media.resize(1 + (shape >> 5) % vcam::kMaxMedia);
  for (auto& medium : options.media) medium.volumes = static_cast<uint8_t>(1 + in.Byte() % vcam::kMaxVolumes);

  constexpr size_t kCameras = 16;
  static KeptCamera kept[kCameras];
  const size_t index = options.slotCount * 2u + (options.sampleContent ? 1u : 0u);
  KeptCamera& keptCamera = kept[index];
  if (keptCamera.camera == nullptr) keptCamera.Make(root, index, options);
  vcam::Camera* camera = keptCamera.camera.get();
  {
    std::error_code ec;
    const vcam::State factory = vcam::FactoryState(options);
    camera->Modify([&](vcam::State& s) { s = factory; });
    keptCamera.Restore(factory);
    std::vector<int32_t> scripted;

    for (int step = 0; step < 32 && !in.empty(); ++step) {
      const uint8_t op = in.Byte();
      switch (op % 6) {
        case 0:
        case 1: {  // an AV/C frame
          static GuardedBuffer<vcam::kAvcFrameSize> buffer;
          const uint16_t length = in.Be16() % (vcam::kAvcFrameSize + 9);
          const auto bytes = in.Bytes(std::min<size_t>(length, vcam::kAvcFrameSize));
          uint8_t* start = buffer.Prepare(vcam::kAvcFrameSize);
          std::copy(bytes.begin(), bytes.end(), start);
          auto& frame = *reinterpret_cast<uint8_t(*)[vcam::kAvcFrameSize]>(start);
          // Register and reset of a slot rewrite its preset file (checked before the answer overwrites byte 0).
          if (length >= 9 && frame[0] == 0x00 && frame[1] == 0x20 && (frame[8] == 0x71 || frame[8] == 0x72)) {
            keptCamera.presetsChanged = true;
          }
          const int32_t r = camera->AvcExchange(frame, length);
          FUZZ_CHECK(AvcResultKnown(r, scripted));
          FUZZ_CHECK(buffer.GuardIntact());
          break;
        }
        case 2:
        case 3: {  // a storage frame with its data area
          const uint8_t opcode = in.Byte();
          uint32_t length = storage::FrameLength(opcode);
          if (length == 0 || (op & 0x80) != 0) length = in.Be16() % (storage::kMaxFrameLength + 1);
          static GuardedBuffer<storage::kMaxFrameLength> frameBuffer;
          static GuardedBuffer<storage::kTransferAreaSize> areaBuffer;
          uint8_t* frame = frameBuffer.Prepare(length);
          if (length != 0) frame[0] = opcode;
          const auto bytes = in.Bytes(length > 0 ? length - 1 : 0);
          std::copy(bytes.begin(), bytes.end(), frame + (length > 0 ? 1 : 0));
          const uint32_t dataLength = in.Be16() % (storage::kTransferAreaSize + 1);
          uint8_t* area = areaBuffer.Prepare(dataLength);
          const auto content = in.Bytes(std::min<size_t>(dataLength, 64));
          std::copy(content.begin(), content.end(), area);
          const bool changing = length > storage::kMediumOffset &&
                                (opcode == static_cast<uint8_t>(storage::Opcode::WriteFile) ||
                                 opcode == static_cast<uint8_t>(storage::Opcode::DeleteFile));
          const bool onMedium = changing && frame[storage::kMediumOffset] != storage::kDeviceNamespace;
          const int32_t r = camera->StorageExchange(frame, length, area, dataLength);
          // Only a write or deletion that succeeded changed a file.
          if (changing && r == 0 && frame[storage::kStatusOffset] == storage::kStatusOk) {
            if (!onMedium) {
              keptCamera.presetsChanged = true;
            } else {
              // (A scripted status can claim success for any address: only real volumes are laid out again.)
              const uint8_t medium = frame[storage::kMediumOffset];
              const uint8_t volume = frame[storage::kVolumeOffset] == storage::kNoVolume ? 0 : frame[storage::kVolumeOffset];
              if (medium < vcam::kMaxMedia && volume < vcam::kMaxVolumes) keptCamera.volumesChanged.emplace_back(medium, volume);
            }
          }
          FUZZ_CHECK(r == 0 || r == vcam::kErrorInvalidParameter || r == vcam::kErrorBusy ||
                     r == vcam::kDeviceRemoved || r == vcam::kErrorGenFailure);
          FUZZ_CHECK(frameBuffer.GuardIntact());
          FUZZ_CHECK(areaBuffer.GuardIntact());
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
    // Nothing outside the cameras' own folders, neither beside them nor above the root.
    for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
      const std::string name = entry.path().filename().string();
      bool ours = name.rfind(".", 0) == 0;
      for (size_t i = 0; i < kCameras && !ours; ++i) ours = name == KeptCamera::Name(i) && kept[i].camera != nullptr;
      FUZZ_CHECK(ours);
    }
    for (const auto& entry : std::filesystem::directory_iterator(surroundings.dir(), ec))
      FUZZ_CHECK(entry.path().filename() == "vcam" || entry.path().filename() == "log");
  }
  return 0;
}
