// The host seams: platform::registry over the registry store, module facts,
// PC files.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iterator>

#include "platform/module.h"
#include "platform/pc_file.h"
#include "platform/registry.h"
#include "registry_store.h"
#include "test_support.h"

namespace {

using platform::registry::Root;

class RegistrySeamTest : public hostcom_test::TempDirTest {};

TEST_F(RegistrySeamTest, SetGetCreateDelete) {
  EXPECT_EQ(platform::registry::SetString(Root::ClassesRoot, u"CLSID\\{X}\\InprocServer32", u"", u"/opt/ü.so"), S_OK);
  EXPECT_EQ(platform::registry::SetString(Root::LocalMachine, u"System\\Class\\0001", u"DevSymLink", u"\\\\.\\cam"),
            S_OK);
  EXPECT_EQ(platform::registry::CreateKey(Root::ClassesRoot, u"CLSID\\{X}\\Programmable"), S_OK);
  platform::ComString v;
  ASSERT_EQ(platform::registry::GetString(Root::ClassesRoot, u"clsid\\{x}\\inprocserver32", u"", v), S_OK);
  EXPECT_EQ(v, u"/opt/ü.so");
  ASSERT_EQ(platform::registry::GetString(Root::LocalMachine, u"System\\Class\\0001", u"devsymlink", v), S_OK);
  EXPECT_EQ(v, u"\\\\.\\cam");
  EXPECT_TRUE(platform::registry::KeyExists(Root::ClassesRoot, u"CLSID\\{X}\\Programmable"));
  EXPECT_FALSE(platform::registry::KeyExists(Root::LocalMachine, u"CLSID"));
  // The file is the store's, in UTF-8.
  EXPECT_NE(ReadFile(registry_).find("@=\"/opt/ü.so\""), std::string::npos);

  EXPECT_EQ(platform::registry::DeleteTree(Root::ClassesRoot, u"CLSID\\{X}"), S_OK);
  EXPECT_FALSE(platform::registry::KeyExists(Root::ClassesRoot, u"CLSID\\{X}"));
  EXPECT_TRUE(platform::registry::KeyExists(Root::ClassesRoot, u"CLSID"));
  EXPECT_EQ(platform::registry::DeleteTree(Root::ClassesRoot, u"CLSID\\{X}"), S_OK);
}

TEST_F(RegistrySeamTest, MissingValueGivesFileNotFoundAndLeavesOutputAlone) {
  platform::ComString v = u"unchanged";
  EXPECT_EQ(platform::registry::GetString(Root::ClassesRoot, u"Nope", u"", v), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(platform::registry::SetString(Root::ClassesRoot, u"Key", u"a", u"1"), S_OK);
  EXPECT_EQ(platform::registry::GetString(Root::ClassesRoot, u"Key", u"b", v), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(v, u"unchanged");
  EXPECT_EQ(platform::registry::SetString(Root::ClassesRoot, u"Bad\\\\Path", u"", u"x"), E_INVALIDARG);
}

TEST_F(RegistrySeamTest, MalformedFileIsReportedAndKept) {
  WriteFile(registry_, "[HKEY_CLASSES_ROOT\\NoHeader]\n");
  platform::ComString v;
  EXPECT_EQ(platform::registry::GetString(Root::ClassesRoot, u"NoHeader", u"", v), HRESULT_FROM_WIN32(ERROR_BADDB));
  EXPECT_EQ(platform::registry::SetString(Root::ClassesRoot, u"K", u"", u"v"), HRESULT_FROM_WIN32(ERROR_BADDB));
  EXPECT_FALSE(platform::registry::KeyExists(Root::ClassesRoot, u"NoHeader"));
  EXPECT_EQ(ReadFile(registry_), "[HKEY_CLASSES_ROOT\\NoHeader]\n");
}

TEST_F(RegistrySeamTest, BatchIsWrittenOnceAtTheEnd) {
  ASSERT_EQ(platform::registry::SetString(Root::ClassesRoot, u"Old", u"", u"1"), S_OK);
  const std::string before = ReadFile(registry_);
  const HRESULT hr = platform::registry::RunBatch([&] {
    EXPECT_EQ(platform::registry::DeleteTree(Root::ClassesRoot, u"Old"), S_OK);
    EXPECT_EQ(platform::registry::SetString(Root::ClassesRoot, u"New", u"", u"2"), S_OK);
    // Calls inside the batch see its changes; the file does not yet.
    EXPECT_FALSE(platform::registry::KeyExists(Root::ClassesRoot, u"Old"));
    platform::ComString v;
    EXPECT_EQ(platform::registry::GetString(Root::ClassesRoot, u"New", u"", v), S_OK);
    EXPECT_EQ(v, u"2");
    // A nested batch is part of this one.
    EXPECT_EQ(platform::registry::RunBatch([] {
                return platform::registry::SetString(Root::ClassesRoot, u"Nested", u"", u"3");
              }),
              S_OK);
    EXPECT_EQ(ReadFile(registry_), before);
    return S_OK;
  });
  EXPECT_EQ(hr, S_OK);
  EXPECT_FALSE(platform::registry::KeyExists(Root::ClassesRoot, u"Old"));
  EXPECT_TRUE(platform::registry::KeyExists(Root::ClassesRoot, u"New"));
  EXPECT_TRUE(platform::registry::KeyExists(Root::ClassesRoot, u"Nested"));
}

TEST_F(RegistrySeamTest, FailedBatchWritesNothingAndReturnsItsResult) {
  ASSERT_EQ(platform::registry::SetString(Root::ClassesRoot, u"Old", u"", u"1"), S_OK);
  const std::string before = ReadFile(registry_);
  const HRESULT hr = platform::registry::RunBatch([] {
    platform::registry::DeleteTree(Root::ClassesRoot, u"Old");
    platform::registry::SetString(Root::ClassesRoot, u"Half", u"", u"2");
    return E_ACCESSDENIED;
  });
  EXPECT_EQ(hr, E_ACCESSDENIED);
  EXPECT_EQ(ReadFile(registry_), before);
  EXPECT_TRUE(platform::registry::KeyExists(Root::ClassesRoot, u"Old"));
  // Calls after the batch go to the file again.
  EXPECT_EQ(platform::registry::SetString(Root::ClassesRoot, u"After", u"", u"3"), S_OK);
  EXPECT_NE(ReadFile(registry_).find("After"), std::string::npos);
}

class ModuleTest : public hostcom_test::TempDirTest {};

TEST_F(ModuleTest, ModuleFilePathOfCodeInTheProgramIsTheProgram) {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  ASSERT_GT(n, 0);
  EXPECT_EQ(platform::ComToUtf8(platform::ModuleFilePath()), std::string(buf, static_cast<size_t>(n)));
}

TEST_F(ModuleTest, DiagnosticLogPathFollowsEnvironment) {
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("VELQUIN_LOG_DIR", (dir_ / "logs").c_str(), 1);
  ::setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
  EXPECT_EQ(platform::DiagnosticLogPath(), dir_ / "logs" / "ORVANELogFile.txt");
  ::unsetenv("VELQUIN_LOG_DIR");
  EXPECT_EQ(platform::DiagnosticLogPath(), dir_ / "state" / "velquin" / "ORVANELogFile.txt");
  ::unsetenv("XDG_STATE_HOME");
  ::setenv("HOME", (dir_ / "home").c_str(), 1);
  EXPECT_EQ(platform::DiagnosticLogPath(), dir_ / "home" / ".local" / "state" / "velquin" / "ORVANELogFile.txt");
  // Without HOME: the account's home directory, never the current folder.
  ::unsetenv("HOME");
  ::setenv("XDG_STATE_HOME", "relative", 1);
  const passwd* account = ::getpwuid(::geteuid());
  ASSERT_NE(account, nullptr);
  EXPECT_EQ(platform::DiagnosticLogPath(),
            std::filesystem::path(account->pw_dir) / ".local" / "state" / "velquin" / "ORVANELogFile.txt");
  ::unsetenv("XDG_STATE_HOME");
  ::setenv("HOME", home.c_str(), 1);
}

// A file that cannot take all the bytes (here: the process's file size limit)
// is an error, never a success, and leaves no partial file: a new file is
// removed, a replaced one keeps its old content.
class PcFileSeamTest : public hostcom_test::TempDirTest {};

TEST_F(PcFileSeamTest, AShortWriteFailsAndLeavesNoPartialFile) {
  const uint8_t data[25] = {25, 1, 2, 3};
  const struct {
    const char* name;
    bool existing;
    bool replace;
  } cases[] = {{"new file", false, false}, {"new file, replacing", false, true}, {"replaced file", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path folder = dir_ / c.name;
    std::filesystem::create_directories(folder);
    const std::filesystem::path target = folder / "preset.pst";
    if (c.existing) WriteFile(target, "old");
    const platform::ComString path = platform::Utf8ToCom(target.string());

    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto previous = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const uint32_t error = platform::WritePcFile(path, data, sizeof data, c.replace);
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, previous);

    EXPECT_NE(error, 0u);
    const size_t entries = static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
    EXPECT_EQ(entries, c.existing ? 1u : 0u) << "no partial or temporary file is left";
    if (c.existing) {
      EXPECT_EQ(ReadFile(target), "old");
    }
    // Without the limit the same call goes through, also the exclusive create.
    EXPECT_EQ(platform::WritePcFile(path, data, sizeof data, c.replace), 0u);
    EXPECT_EQ(ReadFile(target), std::string(std::begin(data), std::end(data)));
  }
}

// WritePcFile with `replace` in a child process that runs as an ordinary
// user (nobody, when the tests run as root); its result, or 255.
uint32_t ReplaceAsOrdinaryUser(const platform::ComString& path, const uint8_t* data, size_t size) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
      ::_exit(255);
    const uint32_t error = platform::WritePcFile(path, data, size, true);
    ::_exit(error < 255 ? static_cast<int>(error) : 254);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 255;
  return static_cast<uint32_t>(WEXITSTATUS(status));
}

// In a folder the user may not write, a file the user may write is overwritten
// in place (cut to the new size); a read-only one is refused and kept.
TEST_F(PcFileSeamTest, AFolderClosedToNewFilesStillLetsAWritableFileBeReplaced) {
  const uint8_t data[25] = {25, 7, 7, 7};
  const std::string old(40, 'o');
  const struct {
    const char* name;
    std::filesystem::perms mode;
    uint32_t expected;
    bool replaced;
  } cases[] = {{"writable file", std::filesystem::perms(0666), 0, true},
               {"read-only file", std::filesystem::perms(0444), platform::kFileErrorAccessDenied, false}};
  std::filesystem::permissions(dir_, std::filesystem::perms(0755));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path folder = dir_ / c.name;
    std::filesystem::create_directories(folder);
    const std::filesystem::path target = folder / "preset.pst";
    WriteFile(target, old);
    std::filesystem::permissions(target, c.mode);
    std::filesystem::permissions(folder, std::filesystem::perms(0555));
    EXPECT_EQ(ReplaceAsOrdinaryUser(platform::Utf8ToCom(target.string()), data, sizeof data), c.expected);
    EXPECT_EQ(ReadFile(target), c.replaced ? std::string(std::begin(data), std::end(data)) : old);
    EXPECT_EQ(std::filesystem::status(target).permissions(), c.mode);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1) << "nothing left beside it";
    std::filesystem::permissions(folder, std::filesystem::perms(0755));
  }
}

}  // namespace
