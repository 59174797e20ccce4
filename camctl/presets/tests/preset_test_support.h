// Test doubles of the preset tests: a scriptable camera on the AV/C transport,
// a storage driver that keeps preset files in memory, and a fixture that
// attaches both to a camera object's state with its own camera mutex, a
// settle clock the test moves and a record of the module's pauses.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "camctl/channel/attachment.h"
#include "camctl/channel/command_channel.h"
#include "camctl/common/results.h"
#include "camctl/object/camera_state.h"
#include "camctl/presets/preset_slots.h"
#include "platform/avc_transport.h"
#include "platform/storage_driver.h"
#include "storage/frames.h"
#include "storage/storage_channel.h"
#include "tests/support/test_environment.h"

namespace camctl::presets_testing {

using Bytes = std::vector<uint8_t>;

// The header of a vendor-dependent frame of command set 0x0001.
inline Bytes Vendor(uint8_t ctype, uint8_t code, const Bytes& operands) {
  const uint8_t header[9] = {ctype, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, code};
  Bytes frame(sizeof header + operands.size());
  std::copy(std::begin(header), std::end(header), frame.begin());
  std::copy(operands.begin(), operands.end(), frame.begin() + sizeof header);
  return frame;
}
inline const Bytes kBusyQuery = Vendor(0x01, 0x75, {0xFF});

// A camera as the command channel sees it: keeps slot permissions, answers the
// busy flag from a script, and records every frame it is sent.
class FakeCamera final : public platform::AvcTransport {
 public:
  std::vector<Bytes> frames;
  // Busy flag answers, one per query; once used up every query gets busyFallback.
  std::deque<uint8_t> busyAnswers;
  uint8_t busyFallback = 0;
  // Transport results per command code, one per frame of that code; then 0.
  std::map<uint8_t, std::deque<int32_t>> results;
  std::map<uint8_t, uint8_t> permissions;  // slot byte -> permission byte

  int32_t Exchange(uint8_t (&frame)[platform::kAvcFrameBufferSize], uint32_t length) noexcept override {
    frames.emplace_back(frame, frame + length);
    const uint8_t code = length > 8 ? frame[8] : 0;
    auto scripted = results.find(code);
    if (scripted != results.end() && !scripted->second.empty()) {
      const int32_t r = scripted->second.front();
      scripted->second.pop_front();
      if (r != 0) return r;
    }
    const bool status = frame[0] == 0x01;
    if (code == 0x75 && status) {
      uint8_t busy = busyFallback;
      if (!busyAnswers.empty()) {
        busy = busyAnswers.front();
        busyAnswers.pop_front();
      }
      frame[9] = busy;
    } else if (code == 0x74 && status) {
      frame[10] = permissions[frame[9]];
    } else if (code == 0x74) {
      permissions[frame[9]] = frame[10];
    }
    return 0;
  }

  size_t Count(uint8_t code) const {
    size_t n = 0;
    for (const auto& f : frames)
      if (f.size() > 8 && f[8] == code) ++n;
    return n;
  }
};

class FakeDevice final : public platform::CaptureDevice {
 public:
  explicit FakeDevice(std::shared_ptr<platform::AvcTransport> transport) : transport_(std::move(transport)) {}
  std::shared_ptr<platform::AvcTransport> QueryTransport() override { return transport_; }

 private:
  std::shared_ptr<platform::AvcTransport> transport_;
};

// The storage driver's device namespace: files by path, and what was sent.
struct FakeStorage {
  std::map<std::string, Bytes> files;
  std::vector<Bytes> frames;  // every frame as it was sent
  std::deque<uint8_t> statuses;  // status bytes to answer, one per frame; then 0
  // When set, ReadFile reports this count instead of the bytes it delivered.
  int64_t reportDelivered = -1;

  size_t Count(storage::Opcode opcode) const {
    size_t n = 0;
    for (const auto& f : frames)
      if (f[0] == static_cast<uint8_t>(opcode)) ++n;
    return n;
  }
};

inline std::shared_ptr<FakeStorage>& CurrentStorage() {
  static std::shared_ptr<FakeStorage> storage;
  return storage;
}

class FakeStorageDriver final : public platform::StorageDriverHandle {
 public:
  explicit FakeStorageDriver(std::shared_ptr<FakeStorage> storage) : storage_(std::move(storage)) {}

  int32_t Exchange(uint8_t* frame, uint32_t frameLength, uint8_t* data, uint32_t dataLength) noexcept override {
    FakeStorage& s = *storage_;
    s.frames.emplace_back(frame, frame + frameLength);
    if (!s.statuses.empty()) {
      const uint8_t status = s.statuses.front();
      s.statuses.pop_front();
      if (status != 0) {
        frame[storage::kStatusOffset] = status;
        return 0;
      }
    }
    std::string_view path;
    if (frame[0] == static_cast<uint8_t>(storage::Opcode::ReadFile)) {
      if (!storage::GetPath(frame + storage::read_file::kPath, path)) return storage::kErrorInvalidParameter;
      auto it = s.files.find(std::string(path));
      if (it == s.files.end()) {
        frame[storage::kStatusOffset] = storage::kStatusNotFound;
        return 0;
      }
      const uint32_t requested = storage::GetBe32(frame + storage::read_file::kRequested);
      const uint32_t n = std::min<uint32_t>({static_cast<uint32_t>(it->second.size()), requested, dataLength});
      std::copy_n(it->second.begin(), n, data);
      storage::PutBe32(frame + storage::read_file::kDelivered,
                       s.reportDelivered >= 0 ? static_cast<uint32_t>(s.reportDelivered) : n);
    } else if (frame[0] == static_cast<uint8_t>(storage::Opcode::WriteFile)) {
      if (!storage::GetPath(frame + storage::write_file::kPath, path)) return storage::kErrorInvalidParameter;
      const uint32_t size = storage::GetBe32(frame + storage::write_file::kFirstLength);
      if (size > dataLength) return storage::kErrorInvalidParameter;
      s.files[std::string(path)] = Bytes(data, data + size);
    }
    frame[storage::kStatusOffset] = storage::kStatusOk;
    return 0;
  }
  int32_t Close() noexcept override { return 0; }

 private:
  std::shared_ptr<FakeStorage> storage_;
};

inline HRESULT FakeReadLink(platform::ComStringView, platform::ComString& link) {
  link = COM_TEXT("\\??\\fakestorage");
  return S_OK;
}
inline int32_t FakeOpenDriver(platform::ComStringView, std::unique_ptr<platform::StorageDriverHandle>& handle) {
  handle = std::make_unique<FakeStorageDriver>(CurrentStorage());
  return 0;
}

// The settle window's clock, moved by the tests.
inline std::atomic<int64_t>& FakeNowNs() {
  static std::atomic<int64_t> now{0};
  return now;
}
inline std::chrono::steady_clock::time_point FakeNow() {
  return std::chrono::steady_clock::time_point(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::nanoseconds(FakeNowNs().load())));
}
inline void Advance(std::chrono::nanoseconds by) { FakeNowNs() += by.count(); }

// The pauses the module asked for, instead of sleeping.
inline std::vector<std::chrono::milliseconds>& Pauses() {
  static std::vector<std::chrono::milliseconds> pauses;
  return pauses;
}
inline void RecordPause(std::chrono::milliseconds duration) { Pauses().push_back(duration); }

// A preset file: length byte, flags, name padded with 0, picture bytes.
inline Bytes PresetFile(std::string_view name, size_t length = 25, uint8_t flags = 0x5A) {
  Bytes file(length, 0);
  for (size_t i = 10; i < length; ++i) file[i] = static_cast<uint8_t>(0x30 + i);
  file[0] = static_cast<uint8_t>(length);
  if (length > 1) file[1] = flags;
  for (size_t i = 0; i < name.size() && i < 8 && 2 + i < length; ++i) file[2 + i] = static_cast<uint8_t>(name[i]);
  return file;
}
inline std::string SlotPath(int slot) {
  char text[32];
  std::snprintf(text, sizeof text, "\\dev\\campset\\Preset%02d.pst", slot);
  return text;
}

// An attached camera with three slots and an open storage channel.
using velquin_testing::SetEnvironment;

class PresetFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    ns_ = "presettest-" + std::to_string(rd()) + "-" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : ns_)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
    ns_ = ns_.substr(0, 100);
    SetEnvironment("VELQUIN_MUTEX_NAMESPACE", ns_);

    FakeNowNs() = 1'000'000'000;
    SetSettleClock(&FakeNow);
    StopSettleTimer();
    Pauses().clear();
    SetPresetSleep(&RecordPause);

    storage_ = std::make_shared<FakeStorage>();
    CurrentStorage() = storage_;
    camera_ = std::make_shared<FakeCamera>();
    device_ = std::make_unique<FakeDevice>(camera_);
    state_ = std::make_unique<CameraState>();
    ASSERT_EQ(AttachTransport(*state_, device_.get()), S_OK);
    storage::StorageChannelEnvironment environment;
    environment.readLink = &FakeReadLink;
    environment.openDriver = &FakeOpenDriver;
    environment.sleep = [](uint32_t) {};
    state_->storageChannel = std::make_unique<storage::StorageChannel>(std::move(environment));
    ASSERT_EQ(state_->storageChannel->Open(COM_TEXT("{fake}\\0000")), S_OK);
    state_->presetCount = 3;
    state_->presetState = 0;
    for (int slot = 1; slot <= 3; ++slot) storage_->files[SlotPath(slot)] = PresetFile("SLOT" + std::to_string(slot));
  }

  void TearDown() override {
    if (state_) {
      DetachTransport(*state_);
      state_->storageChannel.reset();
      state_.reset();
    }
    CurrentStorage().reset();
    SetPresetSleep(nullptr);
    SetSettleClock(nullptr);
    StopSettleTimer();
    std::error_code ec;
    const std::string prefix = "velquin-mutex-" + ns_ + "-";
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec))
      if (entry.path().filename().string().rfind(prefix, 0) == 0) std::filesystem::remove(entry.path(), ec);
    SetEnvironment("VELQUIN_MUTEX_NAMESPACE", "");
  }

  // Forget what was sent so far.
  void ClearRecords() {
    camera_->frames.clear();
    storage_->frames.clear();
    Pauses().clear();
  }

  std::string ns_;
  std::shared_ptr<FakeStorage> storage_;
  std::shared_ptr<FakeCamera> camera_;
  std::unique_ptr<FakeDevice> device_;
  std::unique_ptr<CameraState> state_;
};

}  // namespace camctl::presets_testing

namespace camctl::presets_testing {

// A COM string owned by the test.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(platform::ComStringView text) : value_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~Bstr() { ::SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return value_; }
  BSTR* out() {
    ::SysFreeString(value_);
    value_ = nullptr;
    return &value_;
  }
  platform::ComString text() const {
    return value_ ? platform::ComString(value_, ::SysStringLen(value_)) : platform::ComString();
  }

 private:
  BSTR value_ = nullptr;
};

}  // namespace camctl::presets_testing
