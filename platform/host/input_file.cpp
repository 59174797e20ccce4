#include "platform/input_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "descriptor.h"

namespace platform {
namespace {

class HostInputFile final : public MappedInputFile {
 public:
  HostInputFile(const uint8_t* map, uint64_t size) : map_(map), size_(size) {}
  ~HostInputFile() override {
    if (map_ != nullptr) ::munmap(const_cast<uint8_t*>(map_), static_cast<size_t>(size_));
  }
  HostInputFile(const HostInputFile&) = delete;
  HostInputFile& operator=(const HostInputFile&) = delete;
  const uint8_t* data() const override { return map_; }
  uint64_t size() const override { return size_; }

 private:
  const uint8_t* map_;
  uint64_t size_;
};

}  // namespace

InputFileStatus OpenMappedInputFile(const std::filesystem::path& path, uint64_t maxSize,
                                    std::unique_ptr<MappedInputFile>& file, std::string& error) {
  file.reset();
  auto failed = [&](int code) {
    error = path.string() + ": " + std::strerror(code);
    return InputFileStatus::Failed;
  };
  host::Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return failed(errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return failed(errno);
  if (!S_ISREG(info.st_mode)) {
    error = path.string() + ": not a regular file";
    return InputFileStatus::NotRegular;
  }
  const auto size = static_cast<uint64_t>(info.st_size);
  if (size > maxSize || size > static_cast<uint64_t>(SIZE_MAX)) {
    error = path.string() + ": " + std::to_string(size) + " bytes, more than " + std::to_string(maxSize);
    return InputFileStatus::TooLarge;
  }
  const uint8_t* map = nullptr;
  if (size > 0) {
    void* p = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd.get(), 0);
    if (p == MAP_FAILED) return failed(errno);
    // Read ahead as the receiver goes through it; pages already sent can go.
    (void)::madvise(p, static_cast<size_t>(size), MADV_SEQUENTIAL);
    map = static_cast<const uint8_t*>(p);
  }
  file = std::make_unique<HostInputFile>(map, size);
  return InputFileStatus::Ok;
}

}  // namespace platform
