// The named lock on Linux: a process-shared, robust, recursive pthread mutex
// living in a POSIX shared-memory object.
//
// Scope: one user, as a Windows named mutex without the "Global\" prefix is
// scoped to its session. Name: "/velquin-mutex-<namespace>-<name>.u<uid>" with
// every character outside [A-Za-z0-9._-] replaced by '_'. The namespace comes
// from VELQUIN_MUTEX_NAMESPACE and is "default" when that is unset or empty, so
// tests can run in isolation from each other and from real use. The object is
// created owner-only (0600); one that belongs to another user, or that others
// may write, is refused: it could have been planted to take the lock hostage.
//
// Initialisation: the first opener to find the block not ready takes an flock
// on the object (the creation lock), sets the state word to "initialising",
// initialises the mutex and publishes "ready". Openers that find it ready use
// it at once. A block left "initialising" by a process that died half-way is
// found under the creation lock (which died with that process) and initialised
// again: nobody can be using a mutex that was never published.
//
// Each process maps a given mutex once and keeps the mapping until exit. A
// robust mutex is linked into its owner thread's robust list by address, so
// unmapping it while any thread of the process might own it would leave that
// list pointing at nothing; handles are therefore cheap views on the mapping.
//
// Abandonment: when the owner dies holding the lock, the next Lock() marks the
// mutex consistent again and reports AcquiredAbandoned. Ownership passes, as
// with an abandoned Windows mutex: one camera exchange is self-contained, so
// nothing a dead owner left half-done is carried into the next one.

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/named_mutex.h"

namespace platform {
namespace {

constexpr uint32_t kStateInitialising = 1;
constexpr uint32_t kStateReady = 2;
constexpr uint32_t kLayoutMagic = 0x564D5831;  // "VMX1": bumps when the layout changes
// An initialiser holds the creation lock for a handful of calls; waiting longer
// than this for it means something is badly wrong, and the open fails.
constexpr auto kInitWaitLimit = std::chrono::seconds(2);

// pthread_mutex_clocklock (glibc 2.30) takes a monotonic deadline. Thread
// sanitizers do not see it take the lock, so their builds use the timed lock
// with a wall-clock deadline instead.
#if defined(__SANITIZE_THREAD__)
#define VELQUIN_MONOTONIC_LOCK 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELQUIN_MONOTONIC_LOCK 0
#endif
#endif
#ifndef VELQUIN_MONOTONIC_LOCK
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 30))
#define VELQUIN_MONOTONIC_LOCK 1
#else
#define VELQUIN_MONOTONIC_LOCK 0
#endif
#endif

static_assert(std::atomic<uint32_t>::is_always_lock_free,
              "the state word is shared between processes and must be lock-free");

struct SharedBlock {
  std::atomic<uint32_t> state;
  uint32_t magic;
  pthread_mutex_t mutex;
};

std::string ShmName(std::string_view name) {
  const char* ns = std::getenv("VELQUIN_MUTEX_NAMESPACE");
  std::string raw = (ns != nullptr && *ns != '\0') ? ns : "default";
  raw += '-';
  raw.append(name.data(), name.size());
  std::string out = "/velquin-mutex-";
  for (char c : raw) {
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_' || c == '-';
    out += keep ? c : '_';
  }
  // NAME_MAX is 255 and the leading '/' does not count.
  const std::string user = ".u" + std::to_string(::geteuid());
  if (out.size() + user.size() > 250) out.resize(250 - user.size());
  return out + user;
}

bool InitialiseMutex(SharedBlock& block) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
            pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
            pthread_mutex_init(&block.mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Unmaps a block unless told to keep it.
class MapGuard {
 public:
  explicit MapGuard(void* addr) : addr_(addr) {}
  ~MapGuard() {
    if (addr_ != nullptr) munmap(addr_, sizeof(SharedBlock));
  }
  MapGuard(const MapGuard&) = delete;
  MapGuard& operator=(const MapGuard&) = delete;
  void Keep() { addr_ = nullptr; }

 private:
  void* addr_;
};

// Holds an flock on a descriptor for a scope.
class CreationLock {
 public:
  explicit CreationLock(int fd) : fd_(fd) {}
  ~CreationLock() {
    if (held_) flock(fd_, LOCK_UN);
  }
  CreationLock(const CreationLock&) = delete;
  CreationLock& operator=(const CreationLock&) = delete;
  // Waits at most kInitWaitLimit.
  bool Take() {
    const auto deadline = std::chrono::steady_clock::now() + kInitWaitLimit;
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    held_ = true;
    return true;
  }

 private:
  int fd_;
  bool held_ = false;
};

// Opens the object of this user: created owner-only, or an existing one that
// this user owns and no one else may write.
int OpenOwnObject(const std::string& shmName) {
  int fd = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) fd = shm_open(shmName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Maps the named block and makes sure its mutex is initialised; null when the
// system refuses, the object is not this user's, or the block never becomes ready.
SharedBlock* MapBlock(const std::string& shmName) {
  FileDescriptor fd(OpenOwnObject(shmName));
  if (fd.get() < 0) return nullptr;

  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return nullptr;
  // Growing from 0 zero-fills (state = empty); equal sizes change nothing, so
  // racing openers cannot wipe a block another process already set up.
  if (st.st_size < static_cast<off_t>(sizeof(SharedBlock)) &&
      ftruncate(fd.get(), sizeof(SharedBlock)) != 0)
    return nullptr;

  void* addr = mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (addr == MAP_FAILED) return nullptr;
  MapGuard guard(addr);
  auto* block = static_cast<SharedBlock*>(addr);

  if (block->state.load(std::memory_order_acquire) != kStateReady) {
    CreationLock creation(fd.get());
    if (!creation.Take()) return nullptr;
    // Under the creation lock a block that is not ready has no initialiser
    // alive: empty, or left half-done by a process that died.
    if (block->state.load(std::memory_order_acquire) != kStateReady) {
      block->state.store(kStateInitialising, std::memory_order_release);
      block->magic = kLayoutMagic;
      if (!InitialiseMutex(*block)) return nullptr;  // a later opener tries again
      block->state.store(kStateReady, std::memory_order_release);
    }
  }
  if (block->magic != kLayoutMagic) return nullptr;
  guard.Keep();
  return block;
}

// Blocks by shared-memory name. They stay mapped until the process ends (see
// above), so this table owns nothing that needs releasing.
SharedBlock* AcquireBlock(const std::string& shmName) {
  static std::mutex guard;
  static std::map<std::string, SharedBlock*> blocks;
  std::lock_guard<std::mutex> hold(guard);
  auto it = blocks.find(shmName);
  if (it != blocks.end()) return it->second;
  SharedBlock* block = MapBlock(shmName);
  if (block != nullptr) blocks.emplace(shmName, block);
  return block;
}

LockResult FromErrno(int rc, pthread_mutex_t* mutex) {
  switch (rc) {
    case 0:
      return LockResult::Acquired;
    case EOWNERDEAD:
      // The caller now owns it; making it consistent keeps it usable for all.
      pthread_mutex_consistent(mutex);
      return LockResult::AcquiredAbandoned;
    case ETIMEDOUT:
      return LockResult::TimedOut;
    default:  // ENOTRECOVERABLE, EAGAIN (recursion depth), EINVAL
      return LockResult::Failed;
  }
}

class HostNamedMutex final : public NamedMutex {
 public:
  explicit HostNamedMutex(SharedBlock* block) : mutex_(&block->mutex) {}

  LockResult Lock(uint32_t timeoutMs) noexcept override {
    if (timeoutMs == kWaitForever) return FromErrno(pthread_mutex_lock(mutex_), mutex_);
#if VELQUIN_MONOTONIC_LOCK
    // A monotonic deadline is immune to wall-clock changes.
    const clockid_t clock = CLOCK_MONOTONIC;
#else
    const clockid_t clock = CLOCK_REALTIME;
#endif
    timespec deadline{};
    clock_gettime(clock, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
#if VELQUIN_MONOTONIC_LOCK
    return FromErrno(pthread_mutex_clocklock(mutex_, clock, &deadline), mutex_);
#else
    return FromErrno(pthread_mutex_timedlock(mutex_, &deadline), mutex_);
#endif
  }

  void Unlock() noexcept override { pthread_mutex_unlock(mutex_); }

 private:
  pthread_mutex_t* mutex_;
};

}  // namespace

std::unique_ptr<NamedMutex> OpenNamedMutex(std::string_view name) {
  SharedBlock* block = AcquireBlock(ShmName(name));
  if (block == nullptr) return nullptr;
  return std::make_unique<HostNamedMutex>(block);
}

}  // namespace platform
