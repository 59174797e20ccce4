// The operation lock between our own programs, with a second process holding
// it: every operation on that camera waits, then stops before selecting the
// camera and says it is in use; another camera's lock, or a lock given back,
// lets the operation run.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/access/camera_operations.h"
#include "app/access/tests/fake_camera.h"
#include "camctl/common/results.h"
#include "vcam/isolated_environment.h"

extern char** environ;

namespace presets {
namespace {

namespace fs = std::filesystem;
using Log = std::vector<std::string>;

// The holder program, running until Release.
class OtherProgram {
 public:
  OtherProgram(const fs::path& dir, const std::string& identifier)
      : ready_(dir / "READY"), release_(dir / "RELEASE") {
    fs::remove(ready_);
    fs::remove(release_);
    std::vector<std::string> args = {OPERATION_LOCK_HOLDER_PATH, identifier, ready_.string(), release_.string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
  }
  ~OtherProgram() { Release(); }
  OtherProgram(const OtherProgram&) = delete;
  OtherProgram& operator=(const OtherProgram&) = delete;

  bool WaitHeld() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (pid_ > 0 && !fs::exists(ready_) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return fs::exists(ready_);
  }
  // The holder's exit code.
  int Release() {
    if (pid_ <= 0) return -1;
    std::ofstream(release_) << "go\n";
    int status = 0;
    const bool waited = waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return waited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  fs::path ready_, release_;
  pid_t pid_ = -1;
};

class NoBusyFeedback final : public OperationFeedback {
 public:
  explicit NoBusyFeedback(testing::FakeScript& script) : script_(script) {}
  void ShowMessage(std::string_view text) override { script_.log.push_back("message: " + std::string(text)); }
  void SetBusy(bool) override {}

 private:
  testing::FakeScript& script_;
};

struct OperationCase {
  const char* name;
  std::function<OperationResult(CameraAccess&, OperationFeedback&)> run;
};

const OperationCase kOperations[] = {
    {"Read Preset",
     [](CameraAccess& a, OperationFeedback& f) {
       EditorValues v = DefaultValues();
       return ReadPreset(a, f, 1, v);
     }},
    {"Set Preset", [](CameraAccess& a, OperationFeedback& f) { return SetPreset(a, f, 1, DefaultValues()); }},
    {"Clear Preset",
     [](CameraAccess& a, OperationFeedback& f) {
       EditorValues v = DefaultValues();
       return ClearPreset(a, f, 1, v);
     }},
    {"Preset selection",
     [](CameraAccess& a, OperationFeedback& f) {
       LONG permission = 0;
       return QueryPermission(a, f, 1, permission);
     }},
    {"Lock Preset", [](CameraAccess& a, OperationFeedback& f) { return ApplyLock(a, f, 1, true); }},
};

TEST(OperationLock, AnotherProgramsOperationOnTheSameCameraKeepsEveryOperationOut) {
  vcam::testing::IsolatedEnvironment env("operation-lock");
  struct Case {
    const char* holder;  // the identifier the other program locks; null: none
    bool inUse;
  };
  const Case cases[] = {
      {"DV Camera#0800460102AB0001", true},  // the fake's camera; unique ids compare without case
      {"DV Camera#0800460102ab0002", false},
      {nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.holder ? c.holder : "no holder");
    std::optional<OtherProgram> other;
    if (c.holder) {
      other.emplace(env.Dir(), c.holder);
      ASSERT_TRUE(other->WaitHeld());
    }
    for (const OperationCase& op : kOperations) {
      SCOPED_TRACE(op.name);
      auto script = std::make_shared<testing::FakeScript>();
      NoBusyFeedback feedback(*script);
      CameraAccess access(testing::FakeFactory(script), {}, std::chrono::milliseconds(100));
      const OperationResult result = op.run(access, feedback);
      if (c.inUse) {
        const std::string says = std::string(op.name) + ": " + std::string(kCameraInUse);
        EXPECT_EQ(result.status, OperationStatus::InUse);
        EXPECT_EQ(result.result, camctl::CAM_E_BUSY);
        EXPECT_FALSE(result.connected);
        EXPECT_EQ(script->log, (Log{"new #1", "#1 EnumerateDevice", "message: " + says}));
      } else {
        EXPECT_TRUE(result.ok()) << result.message;
        EXPECT_EQ(std::count(script->log.begin(), script->log.end(), "#1 SelectDevice(DV Camera#0800460102ab0001)"),
                  1);
      }
    }
    // Each operation gave its lock back: the other program takes the camera's at once.
    if (!c.holder) {
      OtherProgram after(env.Dir(), "DV Camera#0800460102ab0001");
      EXPECT_TRUE(after.WaitHeld());
      EXPECT_EQ(after.Release(), 0);
    } else {
      EXPECT_EQ(other->Release(), 0);
    }
  }
}

TEST(OperationLock, NamedAfterTheUniqueId) {
  const std::pair<const char*, const char*> cases[] = {
      {"DV Camera#0800460102AB0001", "Local\\VELQUIN-camera-operation-0800460102ab0001"},
      {"Cam#A#b/c\\d e", "Local\\VELQUIN-camera-operation-b_c_d_e"},
      {"plain", "Local\\VELQUIN-camera-operation-plain"},
      {"trailing#", "Local\\VELQUIN-camera-operation-trailing_"},
  };
  for (const auto& [identifier, name] : cases) EXPECT_EQ(OperationLockName(identifier), name) << identifier;
}

}  // namespace
}  // namespace presets
