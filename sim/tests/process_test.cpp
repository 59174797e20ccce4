// Several processes on one camera: every read-modify-write is whole, every
// trace line is whole, and a preset file is never seen half-written.
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include "storage/frames.h"
#include "test_support.h"

namespace vcam::testing {
namespace {

namespace sf = storage;

class ProcessTest : public CameraFixture {};

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
  const auto dir = camera_->dir();
  StartBarrier start;
  const pid_t writer = Spawn(
      [&]() {
        auto camera = Camera::Open(dir);
        start.Await();
        for (int i = 0; i < 400; ++i) {
          AvcFrame w = Vendor(0x00, 0x0001, 0x71, {0x01, 'A', static_cast<uint8_t>('A' + i % 26), 0, 0, 0, 0, 0, 0});
          if (camera->AvcExchange(w.bytes, w.length) != kAvcOk) return 2;
        }
        return 0;
      },
      60);
  const auto path = camera_->PresetFile(1);
  std::set<uint8_t> namesSeen;
  int reads = 0;
  start.Open();
  int status = -1;
  for (;;) {
    int st = 0;
    const bool writerDone = ::waitpid(writer, &st, WNOHANG) == writer;
    const std::vector<uint8_t> bytes = ReadAll(path);
    ASSERT_EQ(bytes.size(), kPresetFileSize) << "read " << reads;
    ASSERT_EQ(bytes[0], kPresetFileSize);
    namesSeen.insert(bytes[3]);
    ++reads;
    if (writerDone) {
      status = WIFEXITED(st) ? WEXITSTATUS(st) : 100;
      break;
    }
  }
  EXPECT_EQ(status, 0);
  // The reads overlapped the writes: they saw several of the names written.
  EXPECT_GE(namesSeen.size(), 3u) << reads << " reads";
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
  const auto dir = camera_->dir();
  StartBarrier start;
  const pid_t writer = Spawn(
      [&]() {
        auto camera = Camera::Open(dir);
        start.Await();
        for (uint32_t i = 1; i <= 2000; ++i) {
          // Values at both ends of the state change together: a torn read sees them differ.
          camera->Modify([i](State& s) {
            s.chunkWaitMs = i;
            s.faults[kMaxFaults - 1].value = static_cast<int32_t>(i);
          });
        }
        return 0;
      },
      60);
  std::set<uint32_t> seen;
  start.Open();
  int status = -1;
  for (;;) {
    int st = 0;
    const bool writerDone = ::waitpid(writer, &st, WNOHANG) == writer;
    State s;
    ASSERT_TRUE(camera_->PeekState(s));
    if (s.chunkWaitMs != 5000) {  // 5000: the factory value, before the first change
      ASSERT_EQ(static_cast<int32_t>(s.chunkWaitMs), s.faults[kMaxFaults - 1].value);
    }
    seen.insert(s.chunkWaitMs);
    if (writerDone) {
      status = WIFEXITED(st) ? WEXITSTATUS(st) : 100;
      break;
    }
  }
  EXPECT_EQ(status, 0);
  // The reads overlapped the writes: they saw intermediate states.
  EXPECT_GE(seen.size(), 3u);
}

}  // namespace
}  // namespace vcam::testing
