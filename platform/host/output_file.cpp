#include "platform/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../common/partial_names.h"
#include "descriptor.h"

namespace platform {
namespace {

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

using host::Descriptor;

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// True while `name` in the folder is still the file we created.
bool StillOurs(int folder, const std::string& name, const struct stat& created) {
  struct stat now {};
  return ::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(now, created);
}

// Leftovers of our killed processes in the folder: our name pattern, a
// regular file of this user, and its creator gone. Nothing else is touched.
void RemoveLeftovers(int folder) {
  const int listing = ::dup(folder);
  if (listing < 0) return;
  DIR* dir = ::fdopendir(listing);
  if (dir == nullptr) {
    ::close(listing);
    return;
  }
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    const uint32_t creator = partial_names::Creator(name);
    if (creator == 0 || creator > 0x7FFFFFFFu || static_cast<pid_t>(creator) == self) continue;
    struct stat info {};
    if (::fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) continue;
    if (::kill(static_cast<pid_t>(creator), 0) == 0 || errno != ESRCH) continue;  // alive, or not ours to judge
    (void)::unlinkat(folder, entry->d_name, 0);
  }
  ::closedir(dir);
}

class HostOutputFile final : public MappedOutputFile {
 public:
  HostOutputFile(std::filesystem::path target, int folder, std::string temp, int fd, const struct stat& created)
      : target_(std::move(target)), folder_(folder), temp_(std::move(temp)), fd_(fd), created_(created) {}
  ~HostOutputFile() override {
    Unmap();
    if (fd_.get() >= 0) {
      (void)fd_.Close();
      Discard();
    }
  }
  HostOutputFile(const HostOutputFile&) = delete;
  HostOutputFile& operator=(const HostOutputFile&) = delete;

  uint8_t* data() override { return map_; }
  void Mapped(uint8_t* map, size_t size) {
    map_ = map;
    size_ = size;
  }

  bool Commit(std::string& error) override {
    Unmap();
    const int closeError = fd_.Close();
    if (closeError != 0) return Fail(closeError, error);
    // Renamed only while the name is still the file we wrote.
    if (!StillOurs(folder_.get(), temp_, created_)) return Fail(EEXIST, error);
    if (::renameat(folder_.get(), temp_.c_str(), folder_.get(), target_.filename().c_str()) != 0)
      return Fail(errno, error);
    return true;
  }

 private:
  void Unmap() {
    if (map_ != nullptr) ::munmap(map_, size_);
    map_ = nullptr;
  }
  // Removes the temporary file, and only ours.
  void Discard() {
    if (StillOurs(folder_.get(), temp_, created_)) (void)::unlinkat(folder_.get(), temp_.c_str(), 0);
  }
  bool Fail(int code, std::string& error) {
    error = target_.string() + ": " + std::strerror(code);
    Discard();
    return false;
  }
  std::filesystem::path target_;
  Descriptor folder_;
  std::string temp_;
  Descriptor fd_;
  struct stat created_;
  uint8_t* map_ = nullptr;
  size_t size_ = 0;
};

}  // namespace

std::unique_ptr<MappedOutputFile> CreateMappedOutputFile(const std::filesystem::path& target, uint64_t size,
                                                         std::string& error) {
  const std::string leaf = target.filename().string();
  if (leaf.empty() || leaf == "." || leaf == "..") {
    error = target.string() + ": not a file name";
    return nullptr;
  }
  const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  auto fail = [&](const std::string& what, int code) {
    error = what + ": " + std::strerror(code);
    return nullptr;
  };
  if (size > static_cast<uint64_t>(SIZE_MAX)) return fail(target.string(), EFBIG);
  const int folder = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return fail(dir.string(), errno);
  RemoveLeftovers(folder);

  // A new file of ours: never one that is there already, never through a link.
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = partial_names::Make<char>(leaf, static_cast<uint32_t>(::getpid()));
    fd = ::openat(folder, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    const int code = errno;
    ::close(folder);
    return fail((dir / temp).string(), code);
  }
  struct stat created {};
  (void)::fstat(fd, &created);
  // From here the file owns the descriptors and removes what it created on failure.
  auto file = std::make_unique<HostOutputFile>(target, folder, temp, fd, created);
  if (size == 0) return file;
  // The blocks are reserved now: a full disk is an error here, not a fault
  // while the camera's data arrives in the mapping.
  if (const int e = ::posix_fallocate(fd, 0, static_cast<off_t>(size)); e != 0) return fail(target.string(), e);
  void* p = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return fail(target.string(), errno);
  // Fault the pages in at once rather than one by one during the copy (older kernels: ignored).
  (void)::madvise(p, static_cast<size_t>(size), MADV_POPULATE_WRITE);
  file->Mapped(static_cast<uint8_t*>(p), static_cast<size_t>(size));
  return file;
}

}  // namespace platform
