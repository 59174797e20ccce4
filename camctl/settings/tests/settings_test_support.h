// Test doubles of the setting tests: a scriptable transport that records every
// frame, a small camera model that remembers written values, a fake clock and
// sleep for the read-back, and a fixture that attaches a camera state to the
// transport inside a camera-mutex namespace of its own.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <algorithm>
#include <iterator>
#include <vector>

#include "camctl/channel/attachment.h"
#include "camctl/channel/command_channel.h"
#include "camctl/object/camera_state.h"
#include "camctl/settings/camera_settings.h"
#include "platform/avc_transport.h"
#include "tests/support/test_environment.h"

namespace camctl::settings::testing {

using Bytes = std::vector<uint8_t>;

// What the transport does with one frame: its return value and the operand
// bytes it leaves in the response.
struct Reply {
  int32_t result = 0;
  Bytes operands;
};

inline bool IsVendorFrame(const Bytes& frame) {
  return frame.size() >= 9 && frame[1] == 0x20 && frame[2] == 0x00 && frame[3] == 0x00 && frame[4] == 0x00 &&
         frame[5] == 0x85;
}

class ScriptedTransport final : public platform::AvcTransport {
 public:
  // Replies used one per call in order; when none is left, `responder` decides
  // (by default: success, nothing written).
  std::deque<Reply> replies;
  std::function<Reply(const Bytes& frame)> responder;
  // Runs at the start of every call, e.g. to move the fake clock.
  std::function<void()> onExchange;
  bool record = true;

  std::vector<Bytes> frames;
  std::atomic<uint64_t> exchanges{0};

  int32_t Exchange(uint8_t (&frame)[platform::kAvcFrameBufferSize], uint32_t length) noexcept override {
    ++exchanges;
    if (onExchange) onExchange();
    Bytes sent(frame, frame + std::min<uint32_t>(length, platform::kAvcFrameBufferSize));
    Reply reply;
    if (!replies.empty()) {
      reply = replies.front();
      replies.pop_front();
    } else if (responder) {
      reply = responder(sent);
    }
    const uint32_t offset = IsVendorFrame(sent) ? 9 : 3;
    for (size_t i = 0; i < reply.operands.size() && offset + i < platform::kAvcFrameBufferSize; ++i)
      frame[offset + i] = reply.operands[i];
    if (record) frames.push_back(std::move(sent));
    return reply.result;
  }
};

class FakeDevice final : public platform::CaptureDevice {
 public:
  explicit FakeDevice(std::shared_ptr<platform::AvcTransport> transport) : transport_(std::move(transport)) {}
  std::shared_ptr<platform::AvcTransport> QueryTransport() override { return transport_; }

 private:
  std::shared_ptr<platform::AvcTransport> transport_;
};

// A camera that keeps the last operands written per vendor code and answers
// STATUS frames from them; codes it was told it lacks answer 50.
struct CameraModel {
  std::map<uint8_t, Bytes> values;
  std::map<uint8_t, int32_t> failures;  // code -> transport result for every frame of it

  Reply operator()(const Bytes& frame) {
    if (!IsVendorFrame(frame)) return {};
    const uint8_t code = frame[8];
    if (auto it = failures.find(code); it != failures.end()) return {it->second, {}};
    Bytes operands(frame.begin() + 9, frame.end());
    if (frame[0] == 0x00) {
      values[code] = operands;
      return {};
    }
    auto it = values.find(code);
    return {0, it != values.end() ? it->second : Bytes{}};
  }
};

// The fake clock and sleep of the read-back: sleeping moves the clock, and so
// does every exchange, by `msPerExchange`.
struct FakeTime {
  static inline std::atomic<uint64_t> nowMs{0};
  static inline std::atomic<uint64_t> msPerExchange{4};
  static inline std::mutex sleepsMutex;
  static inline std::vector<uint32_t> sleeps;
  static inline std::function<void()> duringSleep;

  static void Sleep(uint32_t ms) {
    {
      std::lock_guard hold(sleepsMutex);
      sleeps.push_back(ms);
    }
    if (duringSleep) duringSleep();
    nowMs += ms;
  }
  static uint64_t Tick() { return nowMs.load(); }
  static void Reset() {
    nowMs = 1000;
    msPerExchange = 4;
    std::lock_guard hold(sleepsMutex);
    sleeps.clear();
    duringSleep = nullptr;
  }
  static std::vector<uint32_t> Sleeps() {
    std::lock_guard hold(sleepsMutex);
    return sleeps;
  }
};

inline std::string UniqueToken() {
  static const std::string token = [] {
    std::random_device rd;
    return std::to_string(rd()) + "-" + std::to_string(rd() & 0xFFFF);
  }();
  return token;
}

// Attaches a fresh camera state to a scripted transport in a camera-mutex
// namespace of its own, with the fake read-back timing.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> serial{0};
    std::string name = "settings-" + UniqueToken() + "-" + std::to_string(serial++) + "-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
    mutexNamespace_ = name.substr(0, 100);
    velquin_testing::SetEnvironment("VELQUIN_MUTEX_NAMESPACE", mutexNamespace_);

    FakeTime::Reset();
    SetReadBackTiming({&FakeTime::Sleep, &FakeTime::Tick});
    StopSettleTimer();

    transport_ = std::make_shared<ScriptedTransport>();
    transport_->onExchange = [] { FakeTime::nowMs += FakeTime::msPerExchange.load(); };
    transport_->responder = std::ref(camera_);
    device_ = std::make_unique<FakeDevice>(transport_);
    state_ = std::make_unique<CameraState>();
    ASSERT_EQ(AttachTransport(*state_, device_.get()), S_OK);
  }

  void TearDown() override {
    if (state_) DetachTransport(*state_);
    state_.reset();
    StopSettleTimer();
    SetReadBackTiming({});
    FakeTime::Reset();
    velquin_testing::SetEnvironment("VELQUIN_MUTEX_NAMESPACE", "");
    std::error_code ec;
    const std::string prefix = "velquin-mutex-" + mutexNamespace_ + "-";
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec))
      if (entry.path().filename().string().rfind(prefix, 0) == 0) std::filesystem::remove(entry.path(), ec);
  }

  CameraState& state() { return *state_; }
  ScriptedTransport& transport() { return *transport_; }
  const std::vector<Bytes>& frames() { return transport_->frames; }
  const std::string& mutexNamespace() const { return mutexNamespace_; }

  CameraModel camera_;
  std::shared_ptr<ScriptedTransport> transport_;
  std::unique_ptr<FakeDevice> device_;
  std::unique_ptr<CameraState> state_;
  std::string mutexNamespace_;
};

// Vendor frames of command set 0x0001.
inline Bytes Vendor(uint8_t ctype, uint8_t code, const Bytes& operands) {
  const uint8_t header[9] = {ctype, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, code};
  Bytes f(sizeof header + operands.size());
  std::copy(std::begin(header), std::end(header), f.begin());
  std::copy(operands.begin(), operands.end(), f.begin() + sizeof header);
  return f;
}
inline Bytes Control(uint8_t code, const Bytes& operands) { return Vendor(0x00, code, operands); }
inline Bytes Status(uint8_t code, size_t cells) { return Vendor(0x01, code, Bytes(cells, 0xFF)); }

}  // namespace camctl::settings::testing
