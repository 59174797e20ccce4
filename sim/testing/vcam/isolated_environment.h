// Test support: a private folder per test for everything a camera control
// object and the virtual camcorder keep on disk or share between processes
// (cameras, registry store, log file, camera mutex namespace). The variables
// are set on construction; destruction unsets them and removes the folder
// and the mutex's shared memory.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace vcam::testing {

class IsolatedEnvironment {
 public:
  explicit IsolatedEnvironment(const std::string& prefix) {
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() /
           (prefix + "-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(Cameras());
    ::setenv("VCAM_HOME", Cameras().c_str(), 1);
    ::setenv("HOSTCOM_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    ::setenv("VELQUIN_LOG_DIR", dir_.c_str(), 1);
    ::setenv("VELQUIN_MUTEX_NAMESPACE", dir_.filename().c_str(), 1);
  }
  ~IsolatedEnvironment() {
    for (const char* name : {"VCAM_HOME", "HOSTCOM_REGISTRY", "VELQUIN_LOG_DIR", "VELQUIN_MUTEX_NAMESPACE"})
      ::unsetenv(name);
    std::error_code ec;
    const std::string tag = dir_.filename().string();
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec))
      if (entry.path().filename().string().find(tag) != std::string::npos) std::filesystem::remove(entry.path(), ec);
    std::filesystem::remove_all(dir_, ec);
  }
  IsolatedEnvironment(const IsolatedEnvironment&) = delete;
  IsolatedEnvironment& operator=(const IsolatedEnvironment&) = delete;

  const std::filesystem::path& Dir() const { return dir_; }
  std::filesystem::path Cameras() const { return dir_ / "cameras"; }

 private:
  std::filesystem::path dir_;
};

}  // namespace vcam::testing
