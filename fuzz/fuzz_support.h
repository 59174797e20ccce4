// Helpers shared by the fuzz targets: a reader that turns the fuzz input into
// device answers and call arguments, and the private surroundings every
// target runs in (its own temp folder, registry file, camera root and
// camera-mutex namespace), so that a fuzzing run or a replay never touches
// the user's files or another process's camera mutex.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <span>
#include <string>
#include <system_error>

#include "platform/com.h"

namespace fuzz {

// Reads the input front to back. Past its end every read gives zeros, so a
// short input still drives a whole, deterministic run.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  size_t remaining() const { return empty() ? 0 : size_ - pos_; }

  uint8_t Byte() { return empty() ? 0 : data_[pos_++]; }
  bool Bit() { return (Byte() & 1) != 0; }
  uint16_t Be16() {
    const uint16_t hi = Byte();
    return static_cast<uint16_t>((hi << 8) | Byte());
  }
  uint32_t Be32() {
    const uint32_t hi = Be16();
    return (hi << 16) | Be16();
  }
  // Up to `n` bytes, fewer at the end of the input.
  std::span<const uint8_t> Bytes(size_t n) {
    const size_t take = std::min(n, remaining());
    std::span<const uint8_t> out(data_ + pos_, take);
    pos_ += take;
    return out;
  }
  // A length byte (at most `max`), then that many bytes as text.
  std::string Text(size_t max) {
    const size_t length = std::min<size_t>(Byte(), max);
    const auto bytes = Bytes(length);
    return std::string(bytes.begin(), bytes.end());
  }
  // A length byte (at most `max`), then that many UTF-16 units: a byte below
  // 0xF0 is one unit of that value (NUL included); 0xF0-0xFF and the next byte
  // make one unit up to 0x0FFF or, for 0xFF, a full 16-bit unit.
  platform::ComString ComText(size_t max) {
    const size_t length = std::min<size_t>(Byte(), max);
    platform::ComString out;
    for (size_t i = 0; i < length && !empty(); ++i) {
      const uint8_t b = Byte();
      if (b < 0xF0)
        out.push_back(static_cast<OLECHAR>(b));
      else if (b == 0xFF)
        out.push_back(static_cast<OLECHAR>(Be16()));
      else
        out.push_back(static_cast<OLECHAR>(((b & 0x0F) << 8) | Byte()));
    }
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Stops the run with a message: a broken promise of the code under test.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::fflush(stderr);
  std::abort();
}
#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) ::fuzz::Fail(#condition); \
  } while (0)

// The process's private surroundings, made on first use and removed at exit:
// a temp folder holding the registry file (HOSTCOM_REGISTRY), the camera root
// (VCAM_HOME) and the log folder (VELQUIN_LOG_DIR), and a camera-mutex
// namespace of its own (VELQUIN_MUTEX_NAMESPACE). Folders left behind by runs
// that died (a crash ends the process without exit handlers) are removed when
// their process is gone.
class Surroundings {
 public:
  static const Surroundings& Get() {
    static const Surroundings instance;
    return instance;
  }
  const std::filesystem::path& dir() const { return dir_; }
  const std::filesystem::path& cameraRoot() const { return cameraRoot_; }
  const std::string& mutexNamespace() const { return namespace_; }

  Surroundings(const Surroundings&) = delete;
  Surroundings& operator=(const Surroundings&) = delete;

 private:
  static constexpr char kPrefix[] = "velquin-fuzz-";

  Surroundings() {
    std::error_code ec;
    const std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
    const std::filesystem::path base = ec ? std::filesystem::path("/tmp") : tmp;
    RemoveStale(base);
    const std::string pid = std::filesystem::read_symlink("/proc/self", ec).string();
    std::random_device random;
    const std::string token = (pid.empty() ? std::string("0") : pid) + "-" + std::to_string(random() & 0xFFFFFF);
    dir_ = base / (kPrefix + token);
    std::filesystem::create_directories(dir_ / "vcam", ec);
    std::filesystem::create_directories(dir_ / "log", ec);
    cameraRoot_ = dir_ / "vcam";
    namespace_ = "fuzz-" + token;
    ::setenv("HOSTCOM_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    ::setenv("VCAM_HOME", cameraRoot_.c_str(), 1);
    ::setenv("VELQUIN_LOG_DIR", (dir_ / "log").c_str(), 1);
    ::setenv("VELQUIN_MUTEX_NAMESPACE", namespace_.c_str(), 1);
  }

  ~Surroundings() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    RemoveMutexObjects(namespace_);
  }

  // The named mutexes of a namespace live in /dev/shm as "velquin-mutex-<ns>-<name>".
  static void RemoveMutexObjects(const std::string& ns) {
    std::error_code ec;
    const std::string prefix = "velquin-mutex-" + ns + "-";
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec))
      if (entry.path().filename().string().rfind(prefix, 0) == 0) std::filesystem::remove(entry.path(), ec);
  }

  // "velquin-fuzz-<pid>-<token>" of a process that no longer runs.
  static void RemoveStale(const std::filesystem::path& base) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(base, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(kPrefix, 0) != 0) continue;
      const std::string rest = name.substr(sizeof kPrefix - 1);
      const size_t dash = rest.find('-');
      if (dash == std::string::npos || dash == 0) continue;
      const std::string pid = rest.substr(0, dash);
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      if (std::filesystem::exists("/proc/" + pid, ec)) continue;
      std::filesystem::remove_all(entry.path(), ec);
      RemoveMutexObjects("fuzz-" + rest);
    }
  }

  std::filesystem::path dir_;
  std::filesystem::path cameraRoot_;
  std::string namespace_;
};

}  // namespace fuzz
