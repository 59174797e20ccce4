// Scripted stand-ins for the device sources: video input devices with their
// transports, imaging-service devices with their links, a storage driver.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "camctl/devices/device_sources.h"
#include "platform/avc_transport.h"
#include "platform/storage_driver.h"
#include "platform/video_devices.h"
#include "tests/support/test_environment.h"

namespace camctl::testing {

using Bytes = std::vector<uint8_t>;

// Every AV/C frame sent to one fake camera, and its answers.
struct FakeCamera {
  std::string friendlyName = "DV Camera";
  std::string devicePath;
  std::string pnpFriendlyName = "Marrowfield DV Camera";
  bool bindable = true;
  bool hasTransport = true;
  // Identification query: results per attempt (then `idFallback`) and answer bytes 9, 10.
  std::deque<int32_t> idResults;
  int32_t idFallback = 0;
  uint8_t idByte9 = 0x01;
  uint8_t idByte10 = 0x01;
  // Answer to the preset-availability query (code 0x73) and its result.
  uint8_t presetAvailable = 1;
  int32_t presetAvailableResult = 0;

  std::vector<Bytes> frames;  // every frame as sent (its length)
  int binds = 0;

  size_t CountCode(uint16_t commandSet, uint8_t code) const {
    size_t n = 0;
    for (const Bytes& f : frames)
      if (f.size() >= 9 && f[2] == 0x00 && ((f[6] << 8) | f[7]) == commandSet && f[8] == code) ++n;
    return n;
  }
};

class FakeTransport final : public platform::AvcTransport {
 public:
  explicit FakeTransport(FakeCamera& camera) : camera_(camera) {}
  int32_t Exchange(uint8_t (&frame)[platform::kAvcFrameBufferSize], uint32_t length) noexcept override {
    camera_.frames.emplace_back(frame, frame + length);
    const bool vendor = length >= 9 && frame[2] == 0x00;
    if (vendor && frame[6] == 0x00 && frame[7] == 0x10 && frame[8] == 0x13) {
      int32_t r = camera_.idFallback;
      if (!camera_.idResults.empty()) {
        r = camera_.idResults.front();
        camera_.idResults.pop_front();
      }
      if (r == 0) {
        frame[9] = camera_.idByte9;
        frame[10] = camera_.idByte10;
      }
      return r;
    }
    if (vendor && frame[6] == 0x00 && frame[7] == 0x01 && frame[8] == 0x73) {
      if (camera_.presetAvailableResult == 0) frame[9] = camera_.presetAvailable;
      return camera_.presetAvailableResult;
    }
    return 0;  // everything else is accepted
  }

 private:
  FakeCamera& camera_;
};

class FakeCapture final : public platform::CaptureDevice {
 public:
  explicit FakeCapture(FakeCamera& camera) : camera_(camera) {}
  std::shared_ptr<platform::AvcTransport> QueryTransport() override {
    if (!camera_.hasTransport) return nullptr;
    return std::make_shared<FakeTransport>(camera_);
  }

 private:
  FakeCamera& camera_;
};

class FakeVideoDevice final : public platform::VideoInputDevice {
 public:
  explicit FakeVideoDevice(FakeCamera& camera) : camera_(camera) {}
  platform::ComString FriendlyName() const override { return platform::Utf8ToCom(camera_.friendlyName); }
  platform::ComString DevicePath() const override { return platform::Utf8ToCom(camera_.devicePath); }
  platform::ComString PnpFriendlyName() const override { return platform::Utf8ToCom(camera_.pnpFriendlyName); }
  std::shared_ptr<platform::CaptureDevice> Bind() override {
    ++camera_.binds;
    if (!camera_.bindable) return nullptr;
    return std::make_shared<FakeCapture>(camera_);
  }

 private:
  FakeCamera& camera_;
};

struct FakeImaging {
  uint32_t type = 0x00020000;
  std::string deviceId;
  std::string link;  // "DevSymLink"; empty: the value is missing
};

// One storage driver answer: a status byte and the count of CountEntries.
struct FakeStorage {
  std::deque<uint8_t> statuses;
  uint8_t fallbackStatus = 0;
  uint16_t count = 3;
  int32_t openError = 0;
  std::vector<Bytes> frames;
  std::string openedPath;
  std::vector<uint32_t> sleeps;
};

// The world the fakes describe; installed as the process's device sources.
struct FakeWorld {
  std::deque<FakeCamera> cameras;  // stable addresses
  std::vector<FakeImaging> imaging;
  FakeStorage storage;
  HRESULT listResult = S_OK;  // S_OK: list the cameras; a failure: the enumerator fails
  HRESULT imagingResult = S_OK;

  FakeCamera& AddCamera(const std::string& uniqueId, const std::string& model = "kv7") {
    FakeCamera& c = cameras.emplace_back();
    c.devicePath = "\\\\?\\avc#maker&" + model + "&camcorder&dv#" + uniqueId +
                   "#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
    return c;
  }
  void AddImaging(const std::string& uniqueId, const std::string& deviceId) {
    imaging.push_back({0x00020001, deviceId, "\\??\\1394#maker&kv7#" + uniqueId + "#{6bdd1fc6}"});
  }
};

inline FakeWorld* g_world = nullptr;

class FakeStorageDriver final : public platform::StorageDriverHandle {
 public:
  int32_t Exchange(uint8_t* frame, uint32_t frameLength, uint8_t*, uint32_t) noexcept override {
    FakeStorage& s = g_world->storage;
    s.frames.emplace_back(frame, frame + frameLength);
    uint8_t status = s.fallbackStatus;
    if (!s.statuses.empty()) {
      status = s.statuses.front();
      s.statuses.pop_front();
    }
    frame[1] = status;
    if (status == 0 && frame[0] == 0x06) {
      frame[7] = static_cast<uint8_t>(s.count >> 8);
      frame[8] = static_cast<uint8_t>(s.count);
    }
    return 0;
  }
  int32_t Close() noexcept override { return 0; }
};

inline HRESULT FakeListVideo(std::vector<std::unique_ptr<platform::VideoInputDevice>>& devices) {
  if (FAILED(g_world->listResult)) return g_world->listResult;
  for (FakeCamera& c : g_world->cameras) devices.push_back(std::make_unique<FakeVideoDevice>(c));
  return devices.empty() ? S_FALSE : S_OK;
}

inline HRESULT FakeListImaging(std::vector<platform::ImagingDevice>& devices) {
  if (FAILED(g_world->imagingResult)) return g_world->imagingResult;
  for (const FakeImaging& i : g_world->imaging) devices.push_back({i.type, platform::Utf8ToCom(i.deviceId)});
  return S_OK;
}

inline HRESULT FakeReadLink(platform::ComStringView deviceId, platform::ComString& link) {
  for (const FakeImaging& i : g_world->imaging) {
    if (platform::Utf8ToCom(i.deviceId) == deviceId && !i.link.empty()) {
      link = platform::Utf8ToCom(i.link);
      return S_OK;
    }
  }
  return static_cast<HRESULT>(0x80070002u);
}

inline int32_t FakeOpenDriver(platform::ComStringView path, std::unique_ptr<platform::StorageDriverHandle>& handle) {
  g_world->storage.openedPath = platform::ComToUtf8(path);
  if (g_world->storage.openError != 0) return g_world->storage.openError;
  handle = std::make_unique<FakeStorageDriver>();
  return 0;
}

// Installs a fresh fake world and a private camera-mutex namespace for one test.
class FakeWorldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    ns_ = "devtest-" + std::to_string(rd()) + "-" + std::to_string(rd());
    velquin_testing::SetEnvironment("VELQUIN_MUTEX_NAMESPACE", ns_);
    g_world = &world_;
    DeviceSources sources;
    sources.listVideoInputDevices = FakeListVideo;
    sources.listImagingDevices = FakeListImaging;
    sources.readDevSymLink = FakeReadLink;
    sources.storage.readLink = FakeReadLink;
    sources.storage.openDriver = FakeOpenDriver;
    sources.storage.sleep = [](uint32_t ms) { g_world->storage.sleeps.push_back(ms); };
    SetDeviceSources(sources);
  }
  void TearDown() override {
    SetDeviceSources(DeviceSources{});
    g_world = nullptr;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/dev/shm", ec))
      if (e.path().filename().string().find(ns_) != std::string::npos) std::filesystem::remove(e.path(), ec);
    velquin_testing::SetEnvironment("VELQUIN_MUTEX_NAMESPACE", "");
  }

  FakeWorld world_;
  std::string ns_;
};

// A COM string that frees itself.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::string& utf8) {
    const platform::ComString s = platform::Utf8ToCom(utf8);
    p_ = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  }
  ~Bstr() { SysFreeString(p_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return p_; }
  BSTR* out() {
    SysFreeString(p_);
    p_ = nullptr;
    return &p_;
  }
  std::string utf8() const {
    return p_ == nullptr ? std::string() : platform::ComToUtf8(platform::ComStringView(p_, SysStringLen(p_)));
  }

 private:
  BSTR p_ = nullptr;
};

// The strings of a BSTR safe array, "<null>" for a null element.
inline std::vector<std::string> ArrayStrings(SAFEARRAY* array) {
  std::vector<std::string> out;
  LONG lower = 0, upper = -1;
  SafeArrayGetLBound(array, 1, &lower);
  SafeArrayGetUBound(array, 1, &upper);
  for (LONG i = lower; i <= upper; ++i) {
    BSTR element = nullptr;
    if (FAILED(SafeArrayGetElement(array, &i, &element))) {
      out.push_back("<error>");
      continue;
    }
    out.push_back(element == nullptr ? "<null>"
                                     : platform::ComToUtf8(platform::ComStringView(element, SysStringLen(element))));
    SysFreeString(element);
  }
  return out;
}

}  // namespace camctl::testing
