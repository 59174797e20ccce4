// Shared test fixtures: a private camera root per test, and raw frames.
#pragma once

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <new>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "storage/frames.h"
#include "vcam/vcam.h"

namespace vcam::testing {

// A fresh root in a temporary folder, exported as VCAM_HOME for the test.
class RootFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::unique_ptr<Camera> Create(const std::string& name, CameraOptions options = {});
  std::filesystem::path root_;
};

// A fixture with one camera "cam" (3 slots, one medium with sample content).
class CameraFixture : public RootFixture {
 protected:
  void SetUp() override;
  // Closes the camera before its folder is removed (Windows keeps open folders).
  void TearDown() override;
  std::unique_ptr<Camera> camera_;
};

// A 512-byte AV/C frame buffer holding the given bytes.
struct AvcFrame {
  uint8_t bytes[kAvcFrameSize] = {};
  uint32_t length = 0;
  AvcFrame(std::initializer_list<uint8_t> init);
  std::vector<uint8_t> Response() const { return {bytes, bytes + length}; }
};

// A vendor-dependent frame: ctype, 20 00 00 00 85, command set, code, operands.
AvcFrame Vendor(uint8_t ctype, uint16_t set, uint8_t code, std::initializer_list<uint8_t> operands);

#ifndef _WIN32
// The helpers of the multi-process suites (fork) are Linux-only.

// Runs `body` in a child process (its result is the exit status; an
// exception exits 1). With `seconds`, the child is killed by an alarm when
// still running then: a hang shows as a failure, never as a stuck test.
template <typename F>
pid_t Spawn(F&& body, unsigned seconds = 0) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (seconds != 0) ::alarm(seconds);
    int code = 1;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  return pid;
}

// The child's exit status; 100 when a signal ended it.
inline int Wait(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// A start line for child processes: each child calls Await, which returns
// once every child forked while the barrier existed has called it and the
// test has called Open (a pipe whose last write end is then closed).
class StartBarrier {
 public:
  StartBarrier() { EXPECT_EQ(::pipe(fds_), 0); }
  ~StartBarrier() { Open(); ::close(fds_[0]); }
  void Await() {
    Open();  // the child's own copy of the write end
    char c;
    while (::read(fds_[0], &c, 1) < 0 && errno == EINTR) {
    }
  }
  void Open() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

// A flag shared with the child processes forked after it (an anonymous
// shared mapping): the test tells a child to stop when it has seen enough.
class SharedFlag {
 public:
  SharedFlag()
      : flag_(static_cast<std::atomic<bool>*>(
            ::mmap(nullptr, sizeof(std::atomic<bool>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0))) {
    new (flag_) std::atomic<bool>(false);
  }
  ~SharedFlag() { ::munmap(flag_, sizeof(std::atomic<bool>)); }
  SharedFlag(const SharedFlag&) = delete;
  SharedFlag& operator=(const SharedFlag&) = delete;
  void Set() { flag_->store(true); }
  bool IsSet() const { return flag_->load(); }

 private:
  std::atomic<bool>* flag_;
};

#endif  // !_WIN32

// Writes a file through a WriteFile frame; returns its status byte (0xFF
// when the exchange itself failed) and, in `stored`, the path written back.
uint8_t WriteThroughFrame(Camera& camera, storage::Address at, const std::string& path, std::vector<uint8_t> data,
                          std::string* stored = nullptr);

std::vector<uint8_t> ReadAll(const std::filesystem::path& path);
void WriteAll(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
std::string Hex(const std::vector<uint8_t>& bytes);

}  // namespace vcam::testing
