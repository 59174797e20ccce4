// The machine-wide named lock on Linux: a process-shared, robust, recursive
// pthread mutex living in a POSIX shared-memory object.
//
// Name: "/velquin-mutex-<namespace>-<name>" with every character outside
// [A-Za-z0-9._-] replaced by '_'. The namespace comes from the environment
// variable VELQUIN_MUTEX_NAMESPACE and is "default" when that is unset or
// empty, so tests can run in isolation from each other and from real use.
//
// Initialisation race: every opener creates the object if needed and sizes it;
// the first to move the state word from 0 to 1 initialises the mutex and then
// publishes state 2. Everyone else waits (bounded) for state 2 before use.
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

constexpr uint32_t kStateEmpty = 0;
constexpr uint32_t kStateInitialising = 1;
constexpr uint32_t kStateReady = 2;
constexpr uint32_t kLayoutMagic = 0x564D5831;  // "VMX1": bumps when the layout changes
// An initialiser runs a handful of calls; one that has not finished after this
// long has died half-way, and the mutex is unusable until its name is removed.
constexpr auto kInitWaitLimit = std::chrono::seconds(2);

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
  if (out.size() > 250) out.resize(250);
  return out;
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

// Maps the named block and makes sure its mutex is initialised; null when the
// system refuses or the block never becomes ready.
SharedBlock* MapBlock(const std::string& shmName) {
  FileDescriptor fd(shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (fd.get() < 0) return nullptr;
  // Every user of the machine shares the camera, whatever its umask; a file
  // owned by someone else refuses the change and keeps its mode.
  (void)fchmod(fd.get(), 0666);

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

  uint32_t expected = kStateEmpty;
  if (block->state.compare_exchange_strong(expected, kStateInitialising, std::memory_order_acq_rel)) {
    block->magic = kLayoutMagic;
    if (!InitialiseMutex(*block)) {
      // Leave the block for a later opener to try again.
      block->state.store(kStateEmpty, std::memory_order_release);
      return nullptr;
    }
    block->state.store(kStateReady, std::memory_order_release);
  } else {
    const auto deadline = std::chrono::steady_clock::now() + kInitWaitLimit;
    while (block->state.load(std::memory_order_acquire) != kStateReady) {
      if (std::chrono::steady_clock::now() >= deadline) return nullptr;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    if (block->magic != kLayoutMagic) return nullptr;
  }
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

// ThreadSanitizer does not see pthread_mutex_clocklock (it would report every
// unlock as one of an unlocked mutex), so its builds use the timed lock it knows.
#if defined(VELQUIN_MONOTONIC_MUTEX_WAIT) && !defined(__SANITIZE_THREAD__)
#define VELQUIN_MONOTONIC_MUTEX_WAIT 1
#endif

  LockResult Lock(uint32_t timeoutMs) noexcept override {
    if (timeoutMs == kWaitForever) return FromErrno(pthread_mutex_lock(mutex_), mutex_);
#if defined(VELQUIN_MONOTONIC_MUTEX_WAIT)
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
#if defined(VELQUIN_MONOTONIC_MUTEX_WAIT)
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
