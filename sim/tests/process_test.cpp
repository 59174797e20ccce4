// Several processes on one camera: every read-modify-write is whole, every
// trace line is whole, and a preset file is never seen half-written.
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "storage/frames.h"
#include "test_support.h"

namespace vcam::testing {
namespace {

namespace sf = storage;

// Runs `body` in a child process; returns its exit status.
template <typename F>
pid_t Spawn(F&& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 1;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

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

TEST_F(ProcessTest, PresetFileIsNeverSeenHalfWritten) {
  const auto dir = camera_->dir();
  const pid_t writer = Spawn([dir]() {
    auto camera = Camera::Open(dir);
    for (int i = 0; i < 200; ++i) {
      AvcFrame w = Vendor(0x00, 0x0001, 0x71, {0x01, 'A', static_cast<uint8_t>('A' + i % 26), 0, 0, 0, 0, 0, 0});
      if (camera->AvcExchange(w.bytes, w.length) != kAvcOk) return 2;
    }
    return 0;
  });
  auto reader = Camera::Open(dir);
  for (int i = 0; i < 200; ++i) {
    uint8_t frame[sf::kReadFileLength];
    uint8_t area[256];
    sf::BuildReadFile(frame, sf::Address{}, "\\dev\\campset\\Preset01.pst", 0x8000, 256, area);
    ASSERT_EQ(reader->StorageExchange(frame, sizeof frame, area, sizeof area), 0);
    ASSERT_EQ(frame[1], 0);
    ASSERT_EQ(sf::GetBe32(frame + sf::read_file::kDelivered), 25u);
    ASSERT_EQ(area[0], 25);
  }
  EXPECT_EQ(Wait(writer), 0);
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
  const pid_t writer = Spawn([dir]() {
    auto camera = Camera::Open(dir);
    for (int i = 0; i < 300; ++i) {
      // Both values change together: a torn read would see them differ.
      camera->Modify([i](State& s) {
        s.value[0x40][0] = static_cast<uint8_t>(i);
        s.value[0x50][0] = static_cast<uint8_t>(i);
      });
    }
    return 0;
  });
  for (int i = 0; i < 3000; ++i) {
    State s;
    ASSERT_TRUE(camera_->PeekState(s));
    ASSERT_EQ(s.value[0x40][0], s.value[0x50][0]);
  }
  EXPECT_EQ(Wait(writer), 0);
}

}  // namespace
}  // namespace vcam::testing
