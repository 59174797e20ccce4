// The registry file: shared-locked reads, exclusive-locked read-modify-write
// with an atomic replace.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "registry_store.h"

namespace hostcom {
namespace {

namespace fs = std::filesystem;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports a failed close (a late write error).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

RegStatus IoFailure(const std::string& what, const fs::path& path, int err) {
  return {RegStatus::Code::IoError, what + " " + path.string() + ": " + std::strerror(err)};
}

// Every file of the store: no link followed, no blocking open (a FIFO would
// otherwise hang the opener while it holds the lock), not inherited.
constexpr int kOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// Opens `path` and requires a regular file. `missing` is set (and nothing
// reported) when it does not exist.
RegStatus OpenRegular(const fs::path& path, int flags, mode_t mode, const char* what, Fd& out,
                      bool* missing = nullptr, int* openError = nullptr, struct stat* info = nullptr) {
  if (missing != nullptr) *missing = false;
  Fd fd(::open(path.c_str(), flags | kOpenFlags, mode));
  if (!fd.valid()) {
    const int err = errno;
    if (openError != nullptr) *openError = err;
    if (missing != nullptr && (err == ENOENT || err == ENOTDIR)) {
      *missing = true;
      return RegStatus::Ok();
    }
    if (err == ELOOP) return {RegStatus::Code::IoError, std::string(what) + " " + path.string() + " is a symbolic link"};
    return IoFailure(std::string("cannot open ") + what, path, err);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return IoFailure(std::string("cannot examine ") + what, path, errno);
  if (!S_ISREG(st.st_mode))
    return {RegStatus::Code::IoError, std::string(what) + " " + path.string() + " is not a regular file"};
  if (info != nullptr) *info = st;
  // Reads block as usual from here on.
  const int fl = ::fcntl(fd.get(), F_GETFL);
  if (fl >= 0) (void)::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
  out = std::move(fd);
  return RegStatus::Ok();
}

fs::path LockPath(const fs::path& file) {
  fs::path p = file;
  p += ".lock";
  return p;
}

// Holds an flock on the sibling lock file for its lifetime (released when the
// descriptor closes).
class FileLock {
 public:
  // Exclusive: creates the folder and the lock file if needed.
  RegStatus LockExclusive(const fs::path& file) {
    std::error_code ec;
    if (file.has_parent_path()) fs::create_directories(file.parent_path(), ec);
    const fs::path lock = LockPath(file);
    Fd fd;
    RegStatus st = OpenRegular(lock, O_RDWR | O_CREAT, 0644, "registry lock file", fd);
    if (!st) return st;
    st = Flock(fd.get(), LOCK_EX, lock);
    if (st) fd_ = std::move(fd);
    return st;
  }

  // Shared: a missing folder means there is nothing to read; a lock file that
  // cannot be created (read-only folder) leaves the read unlocked, which is
  // still consistent because writers replace the file by rename.
  RegStatus LockShared(const fs::path& file) {
    const fs::path lock = LockPath(file);
    Fd fd;
    bool missing = false;
    int error = 0;
    RegStatus st = OpenRegular(lock, O_RDONLY, 0, "registry lock file", fd, &missing, &error);
    if (!st && error == EACCES) return RegStatus::Ok();
    if (!st) return st;
    if (missing) {
      st = OpenRegular(lock, O_RDWR | O_CREAT, 0644, "registry lock file", fd, nullptr, &error);
      if (!st && (error == ENOENT || error == ENOTDIR || error == EACCES || error == EROFS)) return RegStatus::Ok();
      if (!st) return st;
    }
    st = Flock(fd.get(), LOCK_SH, lock);
    if (st) fd_ = std::move(fd);
    return st;
  }

 private:
  static RegStatus Flock(int fd, int op, const fs::path& lock) {
    while (::flock(fd, op) != 0) {
      if (errno != EINTR) return IoFailure("cannot lock", lock, errno);
    }
    return RegStatus::Ok();
  }

  Fd fd_;
};

// A machine file or folder is trusted when root or the caller owns it and no
// one else may write to it. Empty when trusted, else the reason.
std::string Distrust(const struct stat& st, const char* what, const fs::path& path) {
  if (st.st_uid != 0 && st.st_uid != ::geteuid())
    return std::string(what) + " " + path.string() + " is not owned by root (owner uid " + std::to_string(st.st_uid) +
           ")";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string(what) + " " + path.string() + " is writable by group or others (mode " + mode + ")";
  }
  return {};
}

RegStatus Untrusted(const std::string& why) {
  return {RegStatus::Code::IoError, why + ": not trusted"};
}

// Reads the whole file; `exists` false (and Ok) when there is none. A
// `trusted` read refuses a file that Distrust objects to.
RegStatus ReadFile(const fs::path& file, std::string& text, bool& exists, bool trusted = false) {
  text.clear();
  exists = false;
  Fd fd;
  bool missing = false;
  struct stat info {};
  RegStatus st = OpenRegular(file, O_RDONLY, 0, "registry file", fd, &missing, nullptr, &info);
  if (!st || missing) return st;
  if (trusted) {
    if (std::string why = Distrust(info, "machine registry file", file); !why.empty()) return Untrusted(why);
  }
  exists = true;
  char buf[65536];
  while (true) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return IoFailure("cannot read registry file", file, errno);
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return RegStatus::Ok();
}

RegStatus WriteAll(int fd, std::string_view data, const fs::path& path) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return IoFailure("cannot write", path, errno);
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return RegStatus::Ok();
}

// Temporary files are "<file>.tmp-" and six characters from mkostemp: a
// marker no one would give a copy of the file (a plain "<file>.XXXXXX" would
// match "registry.reg.backup").
constexpr std::string_view kTemporaryMarker = ".tmp-";

bool IsTemporaryName(std::string_view name, std::string_view fileName) {
  const size_t prefix = fileName.size() + kTemporaryMarker.size();
  if (name.size() != prefix + 6 || name.substr(0, fileName.size()) != fileName ||
      name.substr(fileName.size(), kTemporaryMarker.size()) != kTemporaryMarker)
    return false;
  for (const char c : name.substr(prefix)) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum) return false;
  }
  return true;
}

// Removes temporary files that writers killed half-way left beside `file`.
// Runs under the exclusive lock, which every writer holds while its temporary
// file exists, so any such file found is stale. Only regular files of ours are
// removed, without following links.
void RemoveStaleTemporaries(const fs::path& dir, const std::string& fileName) {
  Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd.valid()) return;
  const int scanFd = ::dup(dirFd.get());
  if (scanFd < 0) return;
  DIR* scan = ::fdopendir(scanFd);
  if (scan == nullptr) {
    ::close(scanFd);
    return;
  }
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(scan)) {
    if (!IsTemporaryName(entry->d_name, fileName)) continue;
    struct stat st {};
    if (::fstatat(dirFd.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) stale.emplace_back(entry->d_name);
  }
  ::closedir(scan);
  for (const std::string& name : stale) (void)::unlinkat(dirFd.get(), name.c_str(), 0);
}

// Writes a temporary file beside `file`, flushes it and renames it over `file`,
// so that readers see either the old or the new content, never a mix.
RegStatus ReplaceFile(const fs::path& file, std::string_view text) {
  const fs::path dir = file.has_parent_path() ? file.parent_path() : fs::path(".");
  RemoveStaleTemporaries(dir, file.filename().string());
  std::string tmpl = (dir / (file.filename().string() + std::string(kTemporaryMarker) + "XXXXXX")).string();
  Fd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
  if (!fd.valid()) return IoFailure("cannot create temporary file in", dir, errno);
  const fs::path tmp = tmpl;
  auto fail = [&tmp](RegStatus st) {
    ::unlink(tmp.c_str());
    return st;
  };
  struct stat old {};
  const mode_t mode = ::lstat(file.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  if (::fchmod(fd.get(), mode) != 0) return fail(IoFailure("cannot set mode of", tmp, errno));
  RegStatus st = WriteAll(fd.get(), text, tmp);
  if (!st) return fail(st);
  if (::fsync(fd.get()) != 0) return fail(IoFailure("cannot flush", tmp, errno));
  if (!fd.Close()) return fail(IoFailure("cannot close", tmp, errno));
  if (::rename(tmp.c_str(), file.c_str()) != 0) return fail(IoFailure("cannot replace", file, errno));
  // Make the rename itself durable.
  Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.valid()) ::fsync(dirFd.get());
  return RegStatus::Ok();
}

std::string EnvOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

// An environment variable naming a folder counts only as an absolute path.
std::string AbsoluteEnvOrEmpty(const char* name) {
  std::string v = EnvOrEmpty(name);
  return !v.empty() && v.front() == '/' ? v : std::string();
}

RegStatus NoFile() {
  return {RegStatus::Code::IoError,
          "cannot locate the registry file: HOME is not set and the account has no home directory "
          "(set HOSTCOM_REGISTRY)"};
}

std::atomic<RegScope> g_scope{RegScope::User};

#ifndef HOSTCOM_MACHINE_REGISTRY_DEFAULT
#define HOSTCOM_MACHINE_REGISTRY_DEFAULT "/var/lib/hostcom/registry.reg"
#endif

// Copies `from` (values and subkeys) into `to`, replacing the values of every
// key that `from` has: the key-by-key overlay of the registry view.
void Overlay(RegKey& to, const RegKey& from) {
  to.ClearValues();
  for (const auto& [name, value] : from.Values()) to.SetValue(name, value);
  for (const auto& [name, sub] : from.Subkeys()) Overlay(to.CreateSubkey(sub->Name()), *sub);
}

void WarnOnce(const std::string& message) {
  static std::mutex mutex;
  static std::set<std::string> said;
  std::lock_guard<std::mutex> lock(mutex);
  if (said.insert(message).second) std::fprintf(stderr, "hostcom: warning: %s\n", message.c_str());
}

}  // namespace

void SetRegistrationScope(RegScope scope) { g_scope.store(scope); }
RegScope RegistrationScope() { return g_scope.load(); }

std::filesystem::path RegistryStore::MachinePath() {
  if (std::string p = EnvOrEmpty("HOSTCOM_MACHINE_REGISTRY"); !p.empty()) return p;
  return HOSTCOM_MACHINE_REGISTRY_DEFAULT;
}

RegistryStore RegistryStore::Machine() {
  RegistryStore store(MachinePath());
  store.machine_ = true;
  return store;
}

RegStatus RegistryStore::CheckFolderTrusted() const {
  const fs::path dir = file_.has_parent_path() ? file_.parent_path() : fs::path(".");
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) return RegStatus::Ok();  // nothing there yet
    return IoFailure("cannot open machine registry folder", dir, errno);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return IoFailure("cannot examine machine registry folder", dir, errno);
  if (std::string why = Distrust(st, "machine registry folder", dir); !why.empty()) return Untrusted(why);
  return RegStatus::Ok();
}

bool MachineLocation(RegRoot root, std::string_view path, RegRoot& machineRoot, std::string& machinePath) {
  switch (root) {
    case RegRoot::CurrentUser: return false;
    case RegRoot::LocalMachine:
      machineRoot = RegRoot::LocalMachine;
      machinePath = path;
      return true;
    case RegRoot::ClassesRoot:
      machineRoot = RegRoot::LocalMachine;
      machinePath = "Software\\Classes";
      if (!path.empty()) {
        machinePath += '\\';
        machinePath += path;
      }
      return true;
  }
  return false;
}

RegStatus ReadRegistryView(RegTree& out, std::vector<std::string>* warnings) {
  RegTree user;
  RegStatus st = RegistryStore::Default().Read(user);
  if (!st) return st;
  RegTree machine;
  if (RegStatus ms = RegistryStore::Machine().Read(machine); !ms) {
    const std::string message = "ignoring the machine registry: " + ms.message;
    if (warnings != nullptr)
      warnings->push_back(message);
    else
      WarnOnce(message);
    machine = RegTree();
  }
  RegTree view;
  if (const RegKey* classes = machine.FindKey(RegRoot::LocalMachine, "Software\\Classes"))
    Overlay(view.Root(RegRoot::ClassesRoot), *classes);
  Overlay(view.Root(RegRoot::ClassesRoot), user.Root(RegRoot::ClassesRoot));
  Overlay(view.Root(RegRoot::LocalMachine), machine.Root(RegRoot::LocalMachine));
  Overlay(view.Root(RegRoot::LocalMachine), user.Root(RegRoot::LocalMachine));
  Overlay(view.Root(RegRoot::CurrentUser), user.Root(RegRoot::CurrentUser));
  out = std::move(view);
  return RegStatus::Ok();
}

std::filesystem::path HomeDirectory() {
  if (std::string home = AbsoluteEnvOrEmpty("HOME"); !home.empty()) return home;
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* found = nullptr;
  while (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == ERANGE && buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  if (found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') return found->pw_dir;
  return {};
}

RegistryStore::RegistryStore(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path RegistryStore::DefaultPath() {
  if (std::string p = EnvOrEmpty("HOSTCOM_REGISTRY"); !p.empty()) return p;
  if (std::string xdg = AbsoluteEnvOrEmpty("XDG_DATA_HOME"); !xdg.empty())
    return fs::path(xdg) / "hostcom" / "registry.reg";
  const fs::path home = HomeDirectory();
  if (home.empty()) return {};
  return home / ".local" / "share" / "hostcom" / "registry.reg";
}

RegStatus RegistryStore::Read(RegTree& out) const {
  if (file_.empty()) return NoFile();
  try {
    if (machine_) {
      if (RegStatus trust = CheckFolderTrusted(); !trust) return trust;
    }
    FileLock lock;
    RegStatus st = lock.LockShared(file_);
    if (!st) return st;
    std::string text;
    bool exists = false;
    st = ReadFile(file_, text, exists, machine_);
    if (!st) return st;
    if (!exists) {
      out = RegTree();
      return st;
    }
    return RegTree::Parse(text, out, file_.string());
  } catch (const std::bad_alloc&) {
    return {RegStatus::Code::IoError, "out of memory reading " + file_.string()};
  }
}

RegStatus RegistryStore::Transact(const std::function<RegStatus(RegTree&)>& edit) {
  if (file_.empty()) return NoFile();
  try {
    if (machine_) {
      // Made here, the folder must not take a loose mode from the umask.
      const fs::path dir = file_.has_parent_path() ? file_.parent_path() : fs::path(".");
      if (::mkdir(dir.c_str(), 0755) == 0) (void)::chmod(dir.c_str(), 0755);
      if (RegStatus trust = CheckFolderTrusted(); !trust) return trust;
    }
    FileLock lock;
    RegStatus st = lock.LockExclusive(file_);
    if (!st) return st;
    std::string text;
    bool exists = false;
    st = ReadFile(file_, text, exists, machine_);
    if (!st) return st;
    RegTree tree;
    // A file we cannot parse is left exactly as it is.
    if (exists) {
      st = RegTree::Parse(text, tree, file_.string());
      if (!st) return st;
    }
    try {
      st = edit(tree);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& e) {
      return {RegStatus::Code::Aborted, std::string("registry edit failed: ") + e.what()};
    }
    if (!st) return st;
    std::string updated = tree.Serialize();
    if (exists && updated == text) return RegStatus::Ok();
    // Nothing to keep and no file yet: nothing to write either.
    if (!exists && updated == RegTree().Serialize()) return RegStatus::Ok();
    return ReplaceFile(file_, updated);
  } catch (const std::bad_alloc&) {
    return {RegStatus::Code::IoError, "out of memory updating " + file_.string()};
  }
}

RegStatus RegistryStore::CreateKey(RegRoot root, std::string_view path) {
  return Transact([&](RegTree& t) { return t.CreateKey(root, path); });
}

RegStatus RegistryStore::SetString(RegRoot root, std::string_view path, std::string_view name, std::string_view value) {
  return Transact([&](RegTree& t) { return t.SetString(root, path, name, value); });
}

RegStatus RegistryStore::SetDword(RegRoot root, std::string_view path, std::string_view name, uint32_t value) {
  return Transact([&](RegTree& t) { return t.SetDword(root, path, name, value); });
}

RegStatus RegistryStore::DeleteValue(RegRoot root, std::string_view path, std::string_view name) {
  return Transact([&](RegTree& t) { return t.DeleteValue(root, path, name); });
}

RegStatus RegistryStore::DeleteTree(RegRoot root, std::string_view path) {
  return Transact([&](RegTree& t) { return t.DeleteTree(root, path); });
}

RegStatus RegistryStore::GetString(RegRoot root, std::string_view path, std::string_view name, std::string& value) const {
  RegTree tree;
  RegStatus st = Read(tree);
  if (!st) return st;
  return tree.GetString(root, path, name, value);
}

RegStatus RegistryStore::KeyExists(RegRoot root, std::string_view path, bool& exists) const {
  RegTree tree;
  RegStatus st = Read(tree);
  if (!st) return st;
  exists = tree.FindKey(root, path) != nullptr;
  return st;
}

}  // namespace hostcom
