#include "platform/output_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

class HostOutputFile final : public MappedOutputFile {
 public:
  HostOutputFile(std::filesystem::path target, std::filesystem::path temp, int fd, uint8_t* map, size_t size)
      : target_(std::move(target)), temp_(std::move(temp)), fd_(fd), map_(map), size_(size) {}
  ~HostOutputFile() override {
    Unmap();
    if (fd_ >= 0) {
      ::close(fd_);
      ::unlink(temp_.c_str());
    }
  }
  HostOutputFile(const HostOutputFile&) = delete;
  HostOutputFile& operator=(const HostOutputFile&) = delete;

  uint8_t* data() override { return map_; }

  bool Commit(std::string& error) override {
    Unmap();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 || ::rename(temp_.c_str(), target_.c_str()) != 0) {
      error = target_.string() + ": " + std::strerror(errno);
      ::unlink(temp_.c_str());
      return false;
    }
    return true;
  }

 private:
  void Unmap() {
    if (map_ != nullptr) ::munmap(map_, size_);
    map_ = nullptr;
  }
  std::filesystem::path target_;
  std::filesystem::path temp_;
  int fd_;
  uint8_t* map_;
  size_t size_;
};

}  // namespace

std::unique_ptr<MappedOutputFile> CreateMappedOutputFile(const std::filesystem::path& target, uint64_t size,
                                                         std::string& error) {
  std::filesystem::path temp = target;
  temp += ".part";
  const int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    error = temp.string() + ": " + std::strerror(errno);
    if (fd >= 0) {
      ::close(fd);
      ::unlink(temp.c_str());
    }
    return nullptr;
  }
  uint8_t* map = nullptr;
  if (size > 0) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      error = temp.string() + ": " + std::strerror(errno);
      ::close(fd);
      ::unlink(temp.c_str());
      return nullptr;
    }
    map = static_cast<uint8_t*>(p);
    // Fault the pages in at once rather than one by one during the copy (older kernels: ignored).
    (void)::madvise(map, size, MADV_POPULATE_WRITE);
  }
  return std::make_unique<HostOutputFile>(target, temp, fd, map, static_cast<size_t>(size));
}

}  // namespace platform
