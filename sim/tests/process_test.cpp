// Several processes on one camera: every read-modify-write is whole, every
// trace line is whole, and a preset file is never seen half-written.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>

#include "storage/frames.h"
#include "test_support.h"

namespace vcam::testing {
namespace {

namespace sf = storage;

class ProcessTest : public CameraFixture {
 protected:
  // A child that repeats `step` (the repetition's number, from 1) on its
  // own handle of the camera from the moment the test's reads start until
  // StopWriter; false from `step` ends it with a failure.
  template <typename Step>
  void StartWriter(Step step) {
    const auto dir = camera_->dir();
    writer_ = Spawn(
        [&, dir]() {
          auto camera = Camera::Open(dir);
          start_.Await();
          for (uint32_t i = 1; !stop_.IsSet(); ++i) {
            if (!step(*camera, i)) return 2;
          }
          return 0;
        },
        60);
    start_.Open();
  }
  int StopWriter() {
    stop_.Set();
    return Wait(writer_);
  }

 private:
  StartBarrier start_;
  SharedFlag stop_;
  pid_t writer_ = -1;
};

TEST_F(ProcessTest, TwoProcessesShareOneConsistentCamera) {
  constexpr int kExchanges = 150;
  // Every exchange counts against this fault: lost updates would leave more.
  Fault f;
  f.kind = FaultKind::UnplugAfter;
  f.times = 4 * kExchanges + 1;
  camera_->AddFault(f);
  const auto dir = camera_->dir();
  auto work = [dir]() {
    auto camera = Camera::Open(dir);
    for (int i = 0; i < kExchanges; ++i) {
      AvcFrame w = Vendor(0x00, 0x0001, 0x41, {static_cast<uint8_t>(i % 13)});
      if (camera->AvcExchange(w.bytes, w.length) != kAvcOk) return 2;
      uint8_t frame[sf::kCountEntriesLength];
      sf::BuildCountEntries(frame, sf::Address{}, 1, "\\dev\\campset");
      if (camera->StorageExchange(frame, sizeof frame, nullptr, 0) != 0 || frame[1] != 0) return 3;
    }
    return 0;
  };
  const pid_t a = Spawn(work);
  const pid_t b = Spawn(work);
  EXPECT_EQ(Wait(a), 0);
  EXPECT_EQ(Wait(b), 0);
  const State s = camera_->ReadState();
  EXPECT_EQ(s.plugged, 1);
  EXPECT_EQ(s.faults[0].kind, FaultKind::UnplugAfter);
  EXPECT_EQ(s.faults[0].times, 1u);
  // 4 * kExchanges whole trace lines of six fields each.
  std::ifstream in(dir / "trace.log");
  size_t lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    std::istringstream fields(line);
    std::string field;
    int n = 0;
    while (fields >> field) ++n;
    EXPECT_EQ(n, 6) << line;
  }
  EXPECT_EQ(lines, 4u * kExchanges);
}

// The reader opens the file itself, without the camera lock the writer
// holds, as any other program would: only an atomic replacement keeps it
// from ever seeing an empty or partial file.
TEST_F(ProcessTest, PresetFileIsNeverSeenHalfWritten) {
  StartWriter([](Camera& camera, uint32_t i) {
    AvcFrame w = Vendor(0x00, 0x0001, 0x71, {0x01, 'A', static_cast<uint8_t>('A' + i % 26), 0, 0, 0, 0, 0, 0});
    return camera.AvcExchange(w.bytes, w.length) == kAvcOk;
  });
  const auto path = camera_->PresetFile(1);
  std::set<uint8_t> namesSeen;
  // Reads until they have overlapped the writes: several of the names written seen.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int reads = 0;
  for (; namesSeen.size() < 10 && std::chrono::steady_clock::now() < deadline; ++reads) {
    const std::vector<uint8_t> bytes = ReadAll(path);
    if (bytes.size() != kPresetFileSize || bytes[0] != kPresetFileSize) {
      ADD_FAILURE() << "read " << reads << ": " << bytes.size() << " bytes";
      break;
    }
    namesSeen.insert(bytes[3]);
  }
  EXPECT_EQ(StopWriter(), 0);
  EXPECT_GE(namesSeen.size(), 10u) << reads << " reads";
}

TEST_F(ProcessTest, FaultScriptedInOneProcessActsInAnother) {
  const auto dir = camera_->dir();
  Fault f;
  f.kind = FaultKind::AvcResult;
  f.value = kAvcTimeout;
  f.times = 2;
  camera_->AddFault(f);
  const pid_t child = Spawn([dir]() {
    auto camera = Camera::Open(dir);
    AvcFrame q = Vendor(0x01, 0x0001, 0x75, {0xFF});
    if (camera->AvcExchange(q.bytes, q.length) != kAvcTimeout) return 2;
    return 0;
  });
  EXPECT_EQ(Wait(child), 0);
  AvcFrame q = Vendor(0x01, 0x0001, 0x75, {0xFF});
  EXPECT_EQ(camera_->AvcExchange(q.bytes, q.length), kAvcTimeout);
  EXPECT_EQ(camera_->AvcExchange(q.bytes, q.length), kAvcOk);
}

TEST_F(ProcessTest, PeekSeesWholeStatesWhileAnotherProcessWrites) {
  StartWriter([](Camera& camera, uint32_t i) {
    // Values at both ends of the state change together: a torn read sees them differ.
    camera.Modify([i](State& s) {
      s.chunkWaitMs = i;
      s.faults[kMaxFaults - 1].value = static_cast<int32_t>(i);
    });
    return true;
  });
  std::set<uint32_t> seen;
  // Reads until they have overlapped many writes.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (seen.size() < 200 && std::chrono::steady_clock::now() < deadline) {
    State s;
    if (!camera_->PeekState(s)) {
      ADD_FAILURE() << "no whole state";
      break;
    }
    if (s.chunkWaitMs != 5000) {  // 5000: the factory value, before the first change
      if (static_cast<int32_t>(s.chunkWaitMs) != s.faults[kMaxFaults - 1].value) {
        ADD_FAILURE() << "torn: " << s.chunkWaitMs << " / " << s.faults[kMaxFaults - 1].value;
        break;
      }
    }
    seen.insert(s.chunkWaitMs);
  }
  EXPECT_EQ(StopWriter(), 0);
  EXPECT_GE(seen.size(), 200u);
}

}  // namespace
}  // namespace vcam::testing
