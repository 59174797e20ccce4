// The camera mutex itself: exclusion between threads and processes, recursion
// for the owner, bounded waits and abandonment by a dying owner.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "camctl/channel/command_channel.h"
#include "platform/named_mutex.h"
#include "test_support.h"

namespace camctl::testing {
namespace {

using platform::LockResult;

class NamedMutexTest : public ::testing::Test {
 protected:
  MutexNamespace ns_;
  ScratchDir dir_;
};

// Tries the lock from another thread of this process.
LockResult LockFromOtherThread(platform::NamedMutex& mutex, uint32_t timeoutMs) {
  LockResult result = LockResult::Failed;
  std::thread([&] {
    result = mutex.Lock(timeoutMs);
    if (platform::Owns(result)) mutex.Unlock();
  }).join();
  return result;
}

TEST_F(NamedMutexTest, OwnerTakesItAgainThroughAnyHandle) {
  auto a = platform::OpenNamedMutex(kCameraMutexName);
  auto b = platform::OpenNamedMutex(kCameraMutexName);
  ASSERT_TRUE(a && b);
  ASSERT_EQ(a->Lock(kCameraMutexWaitMs), LockResult::Acquired);
  ASSERT_EQ(b->Lock(kCameraMutexWaitMs), LockResult::Acquired);
  ASSERT_EQ(a->Lock(0), LockResult::Acquired);

  // Still held after two of three releases.
  b->Unlock();
  a->Unlock();
  EXPECT_EQ(LockFromOtherThread(*b, 20), LockResult::TimedOut);
  a->Unlock();
  EXPECT_EQ(LockFromOtherThread(*b, 20), LockResult::Acquired);
}

TEST_F(NamedMutexTest, NamesAndNamespacesAreSeparateLocks) {
  auto camera = platform::OpenNamedMutex(kCameraMutexName);
  auto other = platform::OpenNamedMutex("another-lock");
  ASSERT_TRUE(camera && other);
  ASSERT_EQ(camera->Lock(0), LockResult::Acquired);
  EXPECT_EQ(LockFromOtherThread(*other, 0), LockResult::Acquired);
  camera->Unlock();
}

TEST_F(NamedMutexTest, ZeroTimeoutDoesNotWait) {
  auto mutex = platform::OpenNamedMutex(kCameraMutexName);
  ASSERT_TRUE(mutex);
  ASSERT_EQ(mutex->Lock(0), LockResult::Acquired);
  EXPECT_EQ(LockFromOtherThread(*mutex, 0), LockResult::TimedOut);
  mutex->Unlock();
}

TEST_F(NamedMutexTest, AnotherProcessExcludesUsUntilItReleases) {
  auto mutex = platform::OpenNamedMutex(kCameraMutexName);
  ASSERT_TRUE(mutex);
  OtherProcessHolder holder(kCameraMutexName, dir_);
  ASSERT_TRUE(holder.WaitHeld());

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(mutex->Lock(kCameraMutexWaitMs), LockResult::TimedOut);
  // The wait is bounded but real: it did not give up at once.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kCameraMutexWaitMs - 20));

  EXPECT_EQ(holder.Release(), 0);
  ASSERT_EQ(mutex->Lock(5000), LockResult::Acquired);
  mutex->Unlock();
}

TEST_F(NamedMutexTest, OwnerDyingHoldingItLeavesItAbandonedThenUsable) {
  // Opened first, as by a process waiting for the camera: a Windows named
  // mutex with no handle left open ends with its last owner.
  auto mutex = platform::OpenNamedMutex(kCameraMutexName);
  ASSERT_TRUE(mutex);
  ASSERT_EQ(RunHolder("die " + Quote(kCameraMutexName) + " " + Quote((dir_ / "held").string())), 0);
  ASSERT_TRUE(std::filesystem::exists(dir_ / "held"));

  EXPECT_EQ(mutex->Lock(kCameraMutexWaitMs), LockResult::AcquiredAbandoned);
  // Ownership passed: other threads are excluded and it releases normally.
  EXPECT_EQ(LockFromOtherThread(*mutex, 0), LockResult::TimedOut);
  mutex->Unlock();
  EXPECT_EQ(mutex->Lock(kCameraMutexWaitMs), LockResult::Acquired);
  mutex->Unlock();
  EXPECT_EQ(LockFromOtherThread(*mutex, 0), LockResult::Acquired);
}

TEST_F(NamedMutexTest, ProcessesRacingToCreateItStillExcludeEachOther) {
  // Four processes open a mutex nobody has created yet at the same moment and
  // increment a shared counter file under it; a lost update shows a broken lock.
  const std::string counter = (dir_ / "counter").string();
  std::ofstream(counter) << 0 << "\n";
  constexpr int kProcesses = 4;
  constexpr int kRounds = 150;
  std::vector<std::thread> runners;
  std::atomic<int> failures{0};
  for (int i = 0; i < kProcesses; ++i)
    runners.emplace_back([&] {
      if (RunHolder("count racing-lock " + Quote(counter) + " " + std::to_string(kRounds)) != 0) ++failures;
    });
  for (auto& t : runners) t.join();
  EXPECT_EQ(failures.load(), 0);
  int64_t value = -1;
  std::ifstream(counter) >> value;
  EXPECT_EQ(value, kProcesses * kRounds);
}

}  // namespace
}  // namespace camctl::testing
