// Test doubles and helpers of the channel tests: a scriptable transport, a
// capture device, a per-test camera-mutex namespace and a second process that
// holds or abandons the camera mutex.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/avc_transport.h"
#include "tests/support/test_environment.h"

namespace camctl::testing {

using Bytes = std::vector<uint8_t>;

// A token that tells this test process apart from others running at once.
inline const std::string& ProcessToken() {
  static const std::string token = [] {
    std::random_device rd;
    return std::to_string(rd()) + std::to_string(rd() & 0xFFFF);
  }();
  return token;
}

// Records every frame it is handed and answers from a script.
class FakeTransport final : public platform::AvcTransport {
 public:
  struct Call {
    Bytes frame;          // the first `length` bytes as received
    uint32_t length = 0;
    bool tailZero = true;  // every byte after `length` was 0
  };

  // Results to return, one per call; once used up every call returns `fallback`.
  std::deque<int32_t> results;
  int32_t fallback = 0;
  // Bytes written into the buffer from `responseOffset` on before returning.
  Bytes response;
  uint32_t responseOffset = 0;
  // Runs inside each call (after the response is written), e.g. to scribble.
  std::function<void(uint8_t (&)[platform::kAvcFrameBufferSize], uint32_t)> onCall;

  std::vector<Call> calls;

  int32_t Exchange(uint8_t (&frame)[platform::kAvcFrameBufferSize], uint32_t length) noexcept override {
    Call call;
    call.length = length;
    call.frame.assign(frame, frame + std::min<uint32_t>(length, platform::kAvcFrameBufferSize));
    for (uint32_t i = length; i < platform::kAvcFrameBufferSize; ++i)
      if (frame[i] != 0) call.tailZero = false;
    calls.push_back(std::move(call));
    for (size_t i = 0; i < response.size() && responseOffset + i < platform::kAvcFrameBufferSize; ++i)
      frame[responseOffset + i] = response[i];
    if (onCall) onCall(frame, length);
    if (results.empty()) return fallback;
    const int32_t r = results.front();
    results.pop_front();
    return r;
  }
};

class FakeDevice final : public platform::CaptureDevice {
 public:
  explicit FakeDevice(std::shared_ptr<platform::AvcTransport> transport) : transport_(std::move(transport)) {}
  std::shared_ptr<platform::AvcTransport> QueryTransport() override {
    ++queries;
    if (throws) throw std::runtime_error("device gone");
    return transport_;
  }
  int queries = 0;
  bool throws = false;

 private:
  std::shared_ptr<platform::AvcTransport> transport_;
};

// Gives the test its own camera mutex: a namespace unique to this process and
// test, removed again afterwards.
class MutexNamespace {
 public:
  MutexNamespace() {
    static std::atomic<int> serial{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "chantest-" + ProcessToken() + "-" + std::to_string(serial++);
    if (info != nullptr) name += std::string("-") + info->name();
    for (char& c : name)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
    name_ = name.substr(0, 120);
    velquin_testing::SetEnvironment("VELQUIN_MUTEX_NAMESPACE", name_);
  }
  ~MutexNamespace() {
    velquin_testing::SetEnvironment("VELQUIN_MUTEX_NAMESPACE", "");
    std::error_code ec;
    const std::string prefix = "velquin-mutex-" + name_ + "-";
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec))
      if (entry.path().filename().string().rfind(prefix, 0) == 0) std::filesystem::remove(entry.path(), ec);
  }
  MutexNamespace(const MutexNamespace&) = delete;
  MutexNamespace& operator=(const MutexNamespace&) = delete;
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

// A scratch folder for the files through which the helper process reports.
class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> serial{0};
    path_ = std::filesystem::temp_directory_path() /
            ("chantest-" + ProcessToken() + "-" + std::to_string(serial++));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::filesystem::path operator/(const std::string& leaf) const { return path_ / leaf; }

 private:
  std::filesystem::path path_;
};

inline bool WaitForFile(const std::filesystem::path& path,
                        std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline void Touch(const std::filesystem::path& path) { std::ofstream(path) << "x\n"; }

// One argument of a command line for the system's shell.
inline std::string Quote(const std::string& argument) {
#ifdef _WIN32
  return "\"" + argument + "\"";
#else
  return "'" + argument + "'";
#endif
}

// Runs the holder program synchronously; it inherits this process's
// environment, so it opens the same (namespaced) mutex. Returns its exit code.
inline int RunHolder(const std::string& args) {
  const std::string cmd = Quote(CHANNEL_MUTEX_HOLDER) + " " + args;
#ifdef _WIN32
  // cmd.exe drops the first and the last quote of the line: give it a pair to drop.
  return std::system(("\"" + cmd + "\"").c_str());
#else
  const int status = std::system(cmd.c_str());
  // A wait status: the exit code in bits 8-15 when the low 7 bits are 0.
  return (status & 0x7F) == 0 ? (status >> 8) & 0xFF : -1;
#endif
}

// Another process that takes the mutex and keeps it until Release().
class OtherProcessHolder {
 public:
  OtherProcessHolder(const std::string& mutexName, const ScratchDir& dir)
      : ready_(dir / "held"), release_(dir / "release") {
    const std::string args = "hold " + Quote(mutexName) + " " + Quote(ready_.string()) + " " + Quote(release_.string());
    runner_ = std::thread([this, args] { exitCode_ = RunHolder(args); });
  }
  ~OtherProcessHolder() { Release(); }
  OtherProcessHolder(const OtherProcessHolder&) = delete;
  OtherProcessHolder& operator=(const OtherProcessHolder&) = delete;

  bool WaitHeld() { return WaitForFile(ready_); }
  // Lets the other process unlock and end; returns its exit code.
  int Release() {
    if (runner_.joinable()) {
      Touch(release_);
      runner_.join();
    }
    return exitCode_;
  }

 private:
  std::filesystem::path ready_;
  std::filesystem::path release_;
  std::thread runner_;
  std::atomic<int> exitCode_{-1};
};

}  // namespace camctl::testing
