// The registry file: transactions, atomic replacement, locking, refusal of
// malformed files, and two processes writing at once.
#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "registry_store.h"
#include "test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using hostcom::RegistryStore;
using hostcom::RegRoot;
using hostcom::RegStatus;
using hostcom::RegTree;

class RegistryStoreTest : public hostcom_test::TempDirTest {
 protected:
  ino_t Inode() const {
    struct stat st {};
    EXPECT_EQ(::stat(registry_.c_str(), &st), 0);
    return st.st_ino;
  }
  std::vector<std::string> DirEntries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(registry_.parent_path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(RegistryStoreTest, MissingFileReadsAsEmptyAndCreatesNothingWithoutLockFolder) {
  RegistryStore store(dir_ / "absent" / "registry.reg");
  RegTree t;
  ASSERT_TRUE(store.Read(t));
  EXPECT_EQ(t.Serialize(), "Windows Registry Editor Version 5.00\n\n");
  bool exists = true;
  ASSERT_TRUE(store.KeyExists(RegRoot::ClassesRoot, "CLSID", exists));
  EXPECT_FALSE(exists);
  std::string v;
  EXPECT_EQ(store.GetString(RegRoot::ClassesRoot, "CLSID", "", v).code, RegStatus::Code::NotFound);
  EXPECT_FALSE(fs::exists(dir_ / "absent"));
}

TEST_F(RegistryStoreTest, WriteCreatesFolderAndReadableFileWithoutLeftovers) {
  RegistryStore store(dir_ / "sub" / "dir" / "registry.reg");
  ASSERT_TRUE(store.SetString(RegRoot::ClassesRoot, "VELQUIN.CameraControl\\CurVer", "", "VELQUIN.CameraControl.1"));
  EXPECT_EQ(ReadFile(store.File()),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CLASSES_ROOT\\VELQUIN.CameraControl]\n\n"
            "[HKEY_CLASSES_ROOT\\VELQUIN.CameraControl\\CurVer]\n@=\"VELQUIN.CameraControl.1\"\n\n");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(store.File().parent_path())) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
}

TEST_F(RegistryStoreTest, TransactionAppliesAllChangesWithOneReplace) {
  RegistryStore store(registry_);
  ASSERT_TRUE(store.SetString(RegRoot::ClassesRoot, "Old", "", "gone soon"));
  const ino_t before = Inode();
  int calls = 0;
  ASSERT_TRUE(store.Transact([&](RegTree& t) {
    ++calls;
    RegStatus st = t.DeleteTree(RegRoot::ClassesRoot, "Old");
    if (st) st = t.SetString(RegRoot::ClassesRoot, "New\\A", "", "1");
    if (st) st = t.SetDword(RegRoot::LocalMachine, "New", "Count", 2);
    return st;
  }));
  EXPECT_EQ(calls, 1);
  EXPECT_NE(Inode(), before) << "the file is replaced, not rewritten in place";
  RegTree t;
  ASSERT_TRUE(store.Read(t));
  EXPECT_EQ(t.FindKey(RegRoot::ClassesRoot, "Old"), nullptr);
  EXPECT_NE(t.FindKey(RegRoot::ClassesRoot, "New\\A"), nullptr);
  EXPECT_EQ(t.GetValue(RegRoot::LocalMachine, "New", "Count")->dword, 2u);
  EXPECT_EQ(DirEntries(), (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
}

TEST_F(RegistryStoreTest, FailedOrThrowingEditWritesNothing) {
  RegistryStore store(registry_);
  ASSERT_TRUE(store.SetString(RegRoot::ClassesRoot, "Keep", "", "1"));
  const std::string text = ReadFile(registry_);
  const ino_t inode = Inode();
  const RegStatus failed = store.Transact([](RegTree& t) {
    t.SetString(RegRoot::ClassesRoot, "Half", "", "done");
    return RegStatus{RegStatus::Code::Aborted, "stop"};
  });
  EXPECT_EQ(failed.code, RegStatus::Code::Aborted);
  EXPECT_EQ(failed.message, "stop");
  const RegStatus thrown = store.Transact([](RegTree& t) -> RegStatus {
    t.SetString(RegRoot::ClassesRoot, "Half", "", "done");
    throw std::runtime_error("boom");
  });
  EXPECT_EQ(thrown.code, RegStatus::Code::Aborted);
  EXPECT_NE(thrown.message.find("boom"), std::string::npos);
  EXPECT_EQ(ReadFile(registry_), text);
  EXPECT_EQ(Inode(), inode);
}

TEST_F(RegistryStoreTest, UnchangedContentIsNotRewritten) {
  RegistryStore store(registry_);
  ASSERT_TRUE(store.SetString(RegRoot::ClassesRoot, "K", "", "v"));
  const ino_t inode = Inode();
  ASSERT_TRUE(store.SetString(RegRoot::ClassesRoot, "k", "", "v"));
  ASSERT_TRUE(store.DeleteTree(RegRoot::ClassesRoot, "Missing"));
  EXPECT_EQ(Inode(), inode);
}

TEST_F(RegistryStoreTest, MalformedFileIsRefusedAndLeftUntouched) {
  const std::string garbage =
      "Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\Good]\n@=\"x\"\n\nthis is not a value\n";
  WriteFile(registry_, garbage);
  ::chmod(registry_.c_str(), 0640);
  const ino_t inode = Inode();
  RegistryStore store(registry_);
  RegTree t;
  const RegStatus read = store.Read(t);
  EXPECT_EQ(read.code, RegStatus::Code::Malformed);
  EXPECT_NE(read.message.find(registry_.string() + " line 6"), std::string::npos) << read.message;
  const RegStatus write = store.SetString(RegRoot::ClassesRoot, "Other", "", "y");
  EXPECT_EQ(write.code, RegStatus::Code::Malformed);
  EXPECT_EQ(store.DeleteTree(RegRoot::ClassesRoot, "Good").code, RegStatus::Code::Malformed);
  EXPECT_EQ(ReadFile(registry_), garbage);
  EXPECT_EQ(Inode(), inode);
  std::string v;
  EXPECT_EQ(store.GetString(RegRoot::ClassesRoot, "Good", "", v).ToHresult(), HRESULT_FROM_WIN32(ERROR_BADDB));
}

TEST_F(RegistryStoreTest, FileModeIsKeptAcrossReplace) {
  RegistryStore store(registry_);
  ASSERT_TRUE(store.SetString(RegRoot::ClassesRoot, "K", "", "1"));
  ASSERT_EQ(::chmod(registry_.c_str(), 0600), 0);
  ASSERT_TRUE(store.SetString(RegRoot::ClassesRoot, "K", "", "2"));
  struct stat st {};
  ASSERT_EQ(::stat(registry_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RegistryStoreTest, WriterWaitsForTheExclusiveLock) {
  RegistryStore store(registry_);
  ASSERT_TRUE(store.SetString(RegRoot::ClassesRoot, "Before", "", "1"));
  const int fd = ::open((registry_.string() + ".lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_SH), 0);  // a reader holds the file
  std::atomic<bool> done{false};
  std::thread writer([&] {
    EXPECT_TRUE(RegistryStore(registry_).SetString(RegRoot::ClassesRoot, "After", "", "2"));
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(done.load()) << "a writer must not replace the file while a reader holds the lock";
  RegTree t;
  ASSERT_TRUE(RegTree::Parse(ReadFile(registry_), t));
  EXPECT_EQ(t.FindKey(RegRoot::ClassesRoot, "After"), nullptr);
  ::flock(fd, LOCK_UN);
  ::close(fd);
  writer.join();
  ASSERT_TRUE(store.Read(t));
  EXPECT_NE(t.FindKey(RegRoot::ClassesRoot, "After"), nullptr);
}

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(RegistryStoreTest, TwoWritingProcessesLoseNothing) {
  constexpr int kPerWriter = 200;
  RegistryStore store(registry_);
  ASSERT_TRUE(store.SetString(RegRoot::ClassesRoot, "Existing", "", "kept"));
  const pid_t a = Spawn({REGISTRY_WRITER_PATH, registry_.string(), "alpha", std::to_string(kPerWriter)});
  const pid_t b = Spawn({REGISTRY_WRITER_PATH, registry_.string(), "beta", std::to_string(kPerWriter)});
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  // Meanwhile every read sees a whole file.
  int reads = 0;
  for (; reads < 50; ++reads) {
    RegTree t;
    const RegStatus st = store.Read(t);
    ASSERT_TRUE(st) << st.message;
    ASSERT_NE(t.FindKey(RegRoot::ClassesRoot, "Existing"), nullptr);
  }
  EXPECT_EQ(WaitExit(a), 0);
  EXPECT_EQ(WaitExit(b), 0);

  RegTree t;
  ASSERT_TRUE(store.Read(t));
  const auto* writers = t.FindKey(RegRoot::LocalMachine, "Software\\Writers");
  ASSERT_NE(writers, nullptr);
  EXPECT_EQ(writers->Subkeys().size(), 2u * kPerWriter);
  for (const char* prefix : {"alpha", "beta"}) {
    for (int i = 0; i < kPerWriter; ++i) {
      std::string v;
      ASSERT_TRUE(t.GetString(RegRoot::LocalMachine, "Software\\Writers\\" + std::string(prefix) + "-" +
                                                         std::to_string(i),
                              "Index", v))
          << prefix << i;
      EXPECT_EQ(v, std::to_string(i));
    }
  }
  std::string v;
  EXPECT_TRUE(t.GetString(RegRoot::ClassesRoot, "Existing", "", v));
  EXPECT_EQ(DirEntries(), (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
}

// Whatever stands in place of the registry file or its lock file, reads and
// writes answer at once with a clear error and change nothing. A FIFO used to
// block the opener for ever while it held the lock.
TEST_F(RegistryStoreTest, SpecialFilesInPlaceOfTheRegistryAreRefusedAtOnce) {
  struct Case {
    const char* name;
    const char* planted;  // which file is replaced: "registry.reg" or "registry.reg.lock"
    const char* kind;     // "fifo", "link" or "dir"
    const char* message;
  };
  const Case cases[] = {
      {"fifo registry", "registry.reg", "fifo", "is not a regular file"},
      {"fifo lock", "registry.reg.lock", "fifo", "is not a regular file"},
      {"linked registry", "registry.reg", "link", "is a symbolic link"},
      {"linked lock", "registry.reg.lock", "link", "is a symbolic link"},
      {"folder registry", "registry.reg", "dir", "is not a regular file"},
  };
  const fs::path outside = dir_ / "outside.reg";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_ / "registry.reg");
    fs::remove_all(dir_ / "registry.reg.lock");
    WriteFile(outside, "Windows Registry Editor Version 5.00\n\n");
    const fs::path planted = dir_ / c.planted;
    if (std::string(c.kind) == "fifo") {
      ASSERT_EQ(::mkfifo(planted.c_str(), 0600), 0);
    }
    if (std::string(c.kind) == "link") fs::create_symlink(outside, planted);
    if (std::string(c.kind) == "dir") fs::create_directory(planted);

    RegistryStore store(registry_);
    auto read = std::async(std::launch::async, [&store] {
      RegTree t;
      return store.Read(t);
    });
    auto write = std::async(std::launch::async, [&store] { return store.SetString(RegRoot::ClassesRoot, "A", "", "1"); });
    for (auto* outcome : {&read, &write}) {
      if (outcome->wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the store blocked on the planted file";
        // Let a blocked reader of the FIFO go.
        const int unblock = ::open(planted.c_str(), O_WRONLY | O_NONBLOCK);
        if (unblock >= 0) ::close(unblock);
      }
      const RegStatus st = outcome->get();
      EXPECT_EQ(st.code, RegStatus::Code::IoError);
      EXPECT_NE(st.message.find(c.message), std::string::npos) << st.message;
    }
    EXPECT_EQ(ReadFile(outside), "Windows Registry Editor Version 5.00\n\n") << "nothing written through a link";
  }
}

// Temporary files of writers killed half-way go on the next write; only regular
// files of the temporary-name pattern are removed, and no link is followed.
TEST_F(RegistryStoreTest, NextWriteRemovesStaleTemporariesOnly) {
  RegistryStore store(registry_);
  ASSERT_TRUE(store.SetString(RegRoot::ClassesRoot, "A", "", "1"));
  WriteFile(dir_ / "registry.reg.tmp-aB3dE9", "Windows Registry Editor Version 5.00\n");
  WriteFile(dir_ / "registry.reg.tmp-Q1w2E3", "");
  WriteFile(dir_ / "registry.reg.backup", "keep: a copy the user made");
  WriteFile(dir_ / "registry.reg.tmp-ab-de9", "keep: not the pattern");
  WriteFile(dir_ / "other.reg.tmp-aB3dE9", "keep: another file's");
  WriteFile(dir_ / "target", "keep: reached through a link");
  fs::create_symlink(dir_ / "target", dir_ / "registry.reg.tmp-Zz9Yy8");
  fs::create_directory(dir_ / "registry.reg.tmp-Dd4Ff5");

  ASSERT_TRUE(store.SetString(RegRoot::ClassesRoot, "A", "", "2"));
  EXPECT_EQ(DirEntries(), (std::vector<std::string>{"other.reg.tmp-aB3dE9", "registry.reg", "registry.reg.backup",
                                                    "registry.reg.lock", "registry.reg.tmp-Dd4Ff5",
                                                    "registry.reg.tmp-Zz9Yy8", "registry.reg.tmp-ab-de9",
                                                    "target"}));
  EXPECT_EQ(ReadFile(dir_ / "target"), "keep: reached through a link");
  std::string v;
  ASSERT_TRUE(store.GetString(RegRoot::ClassesRoot, "A", "", v));
  EXPECT_EQ(v, "2");
}

TEST_F(RegistryStoreTest, NothingToRemoveFromAMissingFileWritesNothing) {
  RegistryStore store(registry_);
  ASSERT_TRUE(store.DeleteTree(RegRoot::ClassesRoot, "CLSID\\{X}"));
  EXPECT_FALSE(fs::exists(registry_));
}

TEST_F(RegistryStoreTest, DefaultPathFollowsEnvironment) {
  EXPECT_EQ(RegistryStore::DefaultPath(), registry_);
  ::unsetenv("HOSTCOM_REGISTRY");
  const std::string oldXdg = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
  const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("XDG_DATA_HOME", (dir_ / "xdg").c_str(), 1);
  EXPECT_EQ(RegistryStore::DefaultPath(), dir_ / "xdg" / "hostcom" / "registry.reg");
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("HOME", (dir_ / "home").c_str(), 1);
  EXPECT_EQ(RegistryStore::DefaultPath(), dir_ / "home" / ".local" / "share" / "hostcom" / "registry.reg");

  // Without HOME (or with a relative one, or a relative XDG_DATA_HOME) the
  // account's home directory: never a path relative to the current folder.
  const passwd* account = ::getpwuid(::geteuid());
  ASSERT_NE(account, nullptr);
  const fs::path accountRegistry = fs::path(account->pw_dir) / ".local" / "share" / "hostcom" / "registry.reg";
  ::unsetenv("HOME");
  EXPECT_EQ(RegistryStore::DefaultPath(), accountRegistry);
  EXPECT_EQ(hostcom::HomeDirectory(), fs::path(account->pw_dir));
  ::setenv("HOME", "relative/home", 1);
  ::setenv("XDG_DATA_HOME", "relative/data", 1);
  EXPECT_EQ(RegistryStore::DefaultPath(), accountRegistry);
  ::unsetenv("XDG_DATA_HOME");

  ::setenv("HOME", oldHome.c_str(), 1);
  if (!oldXdg.empty()) ::setenv("XDG_DATA_HOME", oldXdg.c_str(), 1);
}

// A store without a file (no home directory at all) says why it cannot work.
TEST_F(RegistryStoreTest, StoreWithoutAFileFailsWithAClearMessage) {
  RegistryStore store{fs::path()};
  RegTree t;
  for (const RegStatus& st : {store.Read(t), store.SetString(RegRoot::ClassesRoot, "A", "", "1")}) {
    EXPECT_EQ(st.code, RegStatus::Code::IoError);
    EXPECT_NE(st.message.find("HOME is not set"), std::string::npos) << st.message;
  }
}

}  // namespace
