// The machine registry file under each user's own: the merged view, the trust
// rules for the machine file, and regsvr --machine.
#include <sys/stat.h>
#include <unistd.h>

#include "platform/com.h"
#include "process.h"
#include "registry_store.h"
#include "test_server.h"
#include "test_support.h"

namespace {

using hostcom::RegRoot;
using hostcom::RegistryStore;

constexpr uid_t kNobody = 65534;
const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";
const std::string kClassKey = "CLSID\\{5B0E6F52-1C7D-4C43-9A57-2E1E3B7C9D01}";

class MachineRegistryTest : public hostcom_test::TempDirTest {
 protected:
  // Makes the machine folder and file as a root-owned install would have them.
  void MakeMachine(const std::string& text, mode_t dirMode = 0755, mode_t fileMode = 0644) {
    std::filesystem::create_directories(machineDir_);
    WriteFile(machineRegistry_, text);
    ASSERT_EQ(::chmod(machineRegistry_.c_str(), fileMode), 0);
    ASSERT_EQ(::chmod(machineDir_.c_str(), dirMode), 0);
  }
  hostcom_test::RunResult Regsvr(std::vector<std::string> args) {
    args.insert(args.begin(), REGSVR_PATH);
    return hostcom_test::Run(args, dir_);
  }
  // The default value of `key` in HKEY_CLASSES_ROOT as a process sees it, and the warnings.
  std::string ViewValue(const std::string& key, std::vector<std::string>& warnings, const std::string& name = "") {
    hostcom::RegTree view;
    const hostcom::RegStatus st = hostcom::ReadRegistryView(view, &warnings);
    if (!st) return "<" + st.message + ">";
    std::string v;
    const hostcom::RegStatus got = view.GetString(RegRoot::ClassesRoot, key, name, v);
    return got ? v : "<missing>";
  }
};

// Each row: the machine file and its modes (or a link), the user's file, what
// HKEY_CLASSES_ROOT\K shows and the warning given.
TEST_F(MachineRegistryTest, ViewMergesTheUsersClassesOverTrustedMachineClasses) {
  const std::string machineText = kHeader +
                                  "[HKEY_LOCAL_MACHINE\\Software\\Classes\\K]\n@=\"machine\"\n\"Extra\"=\"m\"\n\n"
                                  "[HKEY_LOCAL_MACHINE\\Software\\Classes\\M]\n@=\"only machine\"\n";
  const std::string userText = kHeader + "[HKEY_CLASSES_ROOT\\K]\n@=\"user\"\n\n[HKEY_CLASSES_ROOT\\U]\n@=\"u\"\n";
  enum class Owner { Caller, Nobody, Link };
  struct Row {
    const char* name;
    std::string machine;  // empty: no machine file
    mode_t dirMode, fileMode;
    Owner owner;
    std::string user;
    const char* k;      // HKEY_CLASSES_ROOT\K default value
    const char* extra;  // HKEY_CLASSES_ROOT\K "Extra"
    const char* m;      // HKEY_CLASSES_ROOT\M default value
    const char* warning;
  };
  const Row rows[] = {
      {"no machine file", "", 0755, 0644, Owner::Caller, userText, "user", "<missing>", "<missing>", ""},
      {"machine alone", machineText, 0755, 0644, Owner::Caller, "", "machine", "m", "only machine", ""},
      // The user's key brings its own values, none of the machine's.
      {"user over machine", machineText, 0755, 0644, Owner::Caller, userText, "user", "<missing>", "only machine", ""},
      {"group-writable file", machineText, 0755, 0664, Owner::Caller, userText, "user", "<missing>", "<missing>",
       "is writable by group or others (mode 0664)"},
      {"other-writable folder", machineText, 0757, 0644, Owner::Caller, userText, "user", "<missing>", "<missing>",
       "machine registry folder"},
      {"file of another user", machineText, 0755, 0644, Owner::Nobody, userText, "user", "<missing>", "<missing>",
       "is not owned by root (owner uid 65534)"},
      {"link in its place", machineText, 0755, 0644, Owner::Link, userText, "user", "<missing>", "<missing>",
       "is a symbolic link"},
      {"corrupt machine file", kHeader + "[HKEY_LOCAL_MACHINE\\X]\nbroken\n", 0755, 0644, Owner::Caller, userText,
       "user", "<missing>", "<missing>", "line 4: unexpected text"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::error_code ec;
    std::filesystem::remove_all(machineDir_, ec);
    std::filesystem::remove(registry_, ec);
    if (row.owner == Owner::Nobody && ::geteuid() != 0) continue;  // only root can give a file away
    if (!row.machine.empty()) MakeMachine(row.machine, row.dirMode, row.fileMode);
    if (row.owner == Owner::Nobody) { ASSERT_EQ(::chown(machineRegistry_.c_str(), kNobody, kNobody), 0); }
    if (row.owner == Owner::Link) {
      const auto target = dir_ / "elsewhere.reg";
      std::filesystem::rename(machineRegistry_, target);
      std::filesystem::create_symlink(target, machineRegistry_);
    }
    if (!row.user.empty()) WriteFile(registry_, row.user);
    std::vector<std::string> warnings;
    EXPECT_EQ(ViewValue("K", warnings), row.k);
    EXPECT_EQ(ViewValue("K", warnings, "Extra"), row.extra);
    EXPECT_EQ(ViewValue("M", warnings), row.m);
    if (!row.user.empty()) { EXPECT_EQ(ViewValue("U", warnings), "u"); }
    if (*row.warning == '\0') {
      EXPECT_TRUE(warnings.empty()) << warnings.front();
    } else {
      ASSERT_FALSE(warnings.empty());
      EXPECT_NE(warnings.front().find(machineRegistry_.parent_path().string()), std::string::npos) << warnings.front();
      EXPECT_NE(warnings.front().find(row.warning), std::string::npos) << warnings.front();
    }
    // Reading never rewrites the machine file.
    if (!row.machine.empty() && row.owner != Owner::Link) { EXPECT_EQ(ReadFile(machineRegistry_), row.machine); }
  }
}

// Each row: the state of the machine file, then regsvr --machine: its exit
// status and message, and what the machine file holds afterwards.
TEST_F(MachineRegistryTest, RegsvrMachineRegistersForEveryUserOrSaysWhyNot) {
  const std::string corrupt = kHeader + "garbage\n";
  struct Row {
    const char* name;
    const char* setup;  // "none", "corrupt", "open folder", "nobody folder", "read-only folder"
    int exitCode;
    const char* message;
  };
  const Row rows[] = {
      {"fresh machine", "none", 0, ""},
      {"corrupt machine file", "corrupt", 1, "line 3: unexpected text"},
      {"group-writable folder", "open folder", 1, "is writable by group or others"},
      {"folder of another user", "nobody folder", 1, "is not owned by root"},
      {"no write access", "read-only folder", 1, "registering for every user needs root"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::error_code ec;
    std::filesystem::remove_all(machineDir_, ec);
    std::filesystem::remove(registry_, ec);
    const std::string setup = row.setup;
    if (setup == "nobody folder" && ::geteuid() != 0) continue;
    if (setup == "read-only folder" && ::geteuid() == 0) continue;  // root writes anyway
    if (setup == "corrupt") MakeMachine(corrupt);
    if (setup == "open folder") MakeMachine(kHeader, 0775);
    if (setup == "nobody folder") {
      MakeMachine(kHeader);
      ASSERT_EQ(::chown(machineDir_.c_str(), kNobody, kNobody), 0);
    }
    if (setup == "read-only folder") MakeMachine(kHeader, 0555);
    const std::string before = std::filesystem::exists(machineRegistry_) ? ReadFile(machineRegistry_) : "";

    auto r = Regsvr({"--machine", TEST_SERVER_PATH});
    EXPECT_EQ(r.exitCode, row.exitCode) << r.err;
    if (row.exitCode != 0) {
      EXPECT_NE(r.err.find(machineRegistry_.string()), std::string::npos) << r.err;
      EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
      if (!before.empty()) { EXPECT_EQ(ReadFile(machineRegistry_), before); }
      (void)::chmod(machineDir_.c_str(), 0755);
      continue;
    }
    // Written to the machine file only, under Software\Classes, and usable by the runtime.
    std::string v;
    EXPECT_TRUE(RegistryStore::Machine().GetString(RegRoot::LocalMachine,
                                                   "Software\\Classes\\" + kClassKey + "\\InprocServer32", "", v));
    EXPECT_EQ(v, TEST_SERVER_PATH);
    EXPECT_FALSE(std::filesystem::exists(registry_));
    struct stat st {};
    ASSERT_EQ(::stat(machineRegistry_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(kTestProgId, &clsid), S_OK);
    ITestValue* object = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TestValue, nullptr, CLSCTX_INPROC_SERVER, IID_ITestValue,
                               reinterpret_cast<void**>(&object)),
              S_OK);
    object->Release();
    CoUninitialize();

    r = Regsvr({"--machine", "/u", "/s", TEST_SERVER_PATH});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    bool exists = true;
    EXPECT_TRUE(RegistryStore::Machine().KeyExists(RegRoot::LocalMachine, "Software\\Classes\\" + kClassKey, exists));
    EXPECT_FALSE(exists);
  }
}

// A machine file that cannot be used never stops a per-user registration.
TEST_F(MachineRegistryTest, PerUserRegistrationWorksBesideABrokenMachineFile) {
  const std::string corrupt = kHeader + "garbage\n";
  MakeMachine(corrupt);
  auto r = Regsvr({"/s", TEST_SERVER_PATH});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  ITestValue* object = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_TestValue, nullptr, CLSCTX_INPROC_SERVER, IID_ITestValue,
                             reinterpret_cast<void**>(&object)),
            S_OK);
  if (object != nullptr) object->Release();
  CoUninitialize();
  EXPECT_EQ(ReadFile(machineRegistry_), corrupt);
}

}  // namespace
