// The camera mutex itself: exclusion between threads and processes, recursion
// for the owner, bounded waits and abandonment by a dying owner.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Linux: the lock's shared-memory object, its owner and its permissions.
#ifndef _WIN32
// The shared-memory object behind a mutex name of this test's namespace.
std::filesystem::path ObjectOf(const std::string& ns, const std::string& name) {
  return std::filesystem::path("/dev/shm") / ("velquin-mutex-" + ns + "-" + name + ".u" + std::to_string(::geteuid()));
}

// Plants an object as another process could have left it: `state` in the
// first word (1: an initialiser died half-way), with the given owner and mode.
void Plant(const std::filesystem::path& object, uint32_t state, mode_t mode, uid_t owner) {
  const int fd = ::open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 4096), 0);
  ASSERT_EQ(::pwrite(fd, &state, sizeof state, 0), static_cast<ssize_t>(sizeof state));
  ASSERT_EQ(::fchmod(fd, mode), 0);
  ASSERT_EQ(::fchown(fd, owner, static_cast<gid_t>(-1)), 0);
  ::close(fd);
}

// The lock is the user's own: its object carries the user id and only the
// owner may open it.
TEST_F(NamedMutexTest, ObjectIsScopedToTheUserAndOwnerOnly) {
  auto mutex = platform::OpenNamedMutex("scoped");
  ASSERT_TRUE(mutex);
  struct stat st {};
  ASSERT_EQ(::stat(ObjectOf(ns_.name(), "scoped").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// Objects planted in place of the lock: one another user owns or others may
// write is refused (it could hold the lock hostage); one an initialiser left
// half-done when it died is initialised again and works.
TEST_F(NamedMutexTest, PlantedOrHalfInitialisedObjectsAreRefusedOrRecovered) {
  struct Case {
    const char* name;
    uint32_t state;
    mode_t mode;
    bool otherOwner;
    bool usable;
  };
  const Case cases[] = {
      {"left-initialising", 1, 0600, false, true},
      {"left-empty", 0, 0600, false, true},
      {"writable-by-all", 0, 0666, false, false},
      {"writable-by-group", 2, 0620, false, false},
      {"other-user", 1, 0600, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.otherOwner && ::geteuid() != 0) continue;  // only root can plant another user's object
    Plant(ObjectOf(ns_.name(), c.name), c.state, c.mode, c.otherOwner ? 65534 : ::geteuid());
    auto mutex = platform::OpenNamedMutex(c.name);
    ASSERT_EQ(mutex != nullptr, c.usable);
    if (!mutex) continue;
    ASSERT_EQ(mutex->Lock(kCameraMutexWaitMs), LockResult::Acquired);
    EXPECT_EQ(LockFromOtherThread(*mutex, 0), LockResult::TimedOut);
    mutex->Unlock();
    EXPECT_EQ(LockFromOtherThread(*mutex, 0), LockResult::Acquired);
  }
}
#endif  // _WIN32

}  // namespace
}  // namespace camctl::testing
