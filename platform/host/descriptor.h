// A file descriptor closed on every path, and a write loop, for the host's
// file seams.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace platform::host {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now; the close's own failure (a delayed write error) is reported
  // as its errno, 0 on success.
  int Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

// What WriteAll answers when the file took no more bytes without saying why.
inline constexpr int kShortWrite = -1;

// Writes everything, retrying on interruption; 0, errno of the failure, or kShortWrite.
inline int WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return kShortWrite;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace platform::host
