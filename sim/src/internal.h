// Helpers shared by the virtual camcorder's sources.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "vcam/vcam.h"

namespace vcam::detail {

// Owns a file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Close(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives up ownership.
  int Release() noexcept { return std::exchange(fd_, -1); }
  // Closes now; false when the close failed (for a written file: the write failed).
  bool Close() noexcept {
    if (fd_ < 0) return true;
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0;
  }

 private:
  int fd_ = -1;
};

int64_t NowMs() noexcept;
bool IsBusy(const State& s, int64_t nowMs) noexcept;
// "ns/dev/campset/PresetNN.pst" below the camera folder.
std::string PresetFileRelative(uint8_t slot);

}  // namespace vcam::detail

namespace vcam {
// Uses up one application of a fault (kForever: never used up).
void ConsumeFault(Fault& fault);
// Counts an exchange against an "unplug after n exchanges" fault.
void CountUnplugFault(State& s);
// Opens and closes the root's events file for writing (creating it).
void TouchEventsFile(const std::filesystem::path& root) noexcept;
}  // namespace vcam
