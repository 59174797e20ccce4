// The regsvr tool against the test server: exit codes, messages and the keys
// registration writes and removes.
#include "platform/com.h"
#include "process.h"
#include "registry_store.h"
#include "test_server.h"
#include "test_support.h"

namespace {

using hostcom::RegistryStore;
using hostcom::RegRoot;

const std::string kClassKey = "CLSID\\{5B0E6F52-1C7D-4C43-9A57-2E1E3B7C9D01}";

class RegsvrTest : public hostcom_test::TempDirTest {
 protected:
  hostcom_test::RunResult Regsvr(std::vector<std::string> args, const std::filesystem::path& cwd = {}) {
    args.insert(args.begin(), REGSVR_PATH);
    return hostcom_test::Run(args, dir_, cwd);
  }
  std::string Get(const std::string& key, const std::string& name = "") {
    std::string v;
    const hostcom::RegStatus st = RegistryStore(registry_).GetString(RegRoot::ClassesRoot, key, name, v);
    return st ? v : "<" + st.message + ">";
  }
  bool Exists(const std::string& key) {
    bool exists = false;
    EXPECT_TRUE(RegistryStore(registry_).KeyExists(RegRoot::ClassesRoot, key, exists));
    return exists;
  }
};

TEST_F(RegsvrTest, RegistersAndUnregistersServer) {
  auto r = Regsvr({TEST_SERVER_PATH});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, std::string("DllRegisterServer in ") + TEST_SERVER_PATH + " succeeded.\n");
  EXPECT_EQ(Get(kClassKey + "\\InprocServer32"), TEST_SERVER_PATH);
  EXPECT_EQ(Get(kClassKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(Get("HostCom.TestValue\\CLSID"), "{5B0E6F52-1C7D-4C43-9A57-2E1E3B7C9D01}");

  // The registration is usable by the runtime.
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(kTestProgId, &clsid), S_OK);
  ITestValue* object = nullptr;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITestValue, reinterpret_cast<void**>(&object)),
            S_OK);
  LONG value = 0;
  EXPECT_EQ(object->GetValue(&value), S_OK);
  EXPECT_EQ(value, kTestValue);
  object->Release();
  CoUninitialize();

  r = Regsvr({"/u", TEST_SERVER_PATH});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, std::string("DllUnregisterServer in ") + TEST_SERVER_PATH + " succeeded.\n");
  EXPECT_FALSE(Exists(kClassKey));
  EXPECT_FALSE(Exists("HostCom.TestValue"));
  EXPECT_TRUE(Exists("CLSID"));
}

TEST_F(RegsvrTest, SilentPrintsNothingOnSuccess) {
  auto r = Regsvr({"/s", TEST_SERVER_PATH});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(Exists(kClassKey));
  r = Regsvr({"-u", "-s", TEST_SERVER_PATH});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(Exists(kClassKey));
}

TEST_F(RegsvrTest, RelativeServerNameIsRegisteredWithItsFullPath) {
  const std::filesystem::path server = TEST_SERVER_PATH;
  auto r = Regsvr({"/s", server.filename().string()}, server.parent_path());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Get(kClassKey + "\\InprocServer32"), TEST_SERVER_PATH);
}

TEST_F(RegsvrTest, FailuresExitOneWithTheResultCode) {
  auto r = Regsvr({(dir_ / "missing.so").string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("0x8007007E"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");

  r = Regsvr({"/s", NO_EXPORT_SERVER_PATH});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("DllRegisterServer"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("0x8007007F"), std::string::npos) << r.err;

  ::setenv("HOSTCOM_TEST_REGISTER_RESULT", "80070005", 1);
  r = Regsvr({TEST_SERVER_PATH});
  ::unsetenv("HOSTCOM_TEST_REGISTER_RESULT");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, std::string("regsvr: DllRegisterServer in ") + TEST_SERVER_PATH +
                       " failed with error 0x80070005\n");
  EXPECT_FALSE(Exists(kClassKey));
}

TEST_F(RegsvrTest, RegistrationIntoMalformedRegistryFailsAndKeepsTheFile) {
  WriteFile(registry_, "garbage\n");
  auto r = Regsvr({TEST_SERVER_PATH});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("0x800703F1"), std::string::npos) << r.err;  // ERROR_BADDB
  EXPECT_EQ(ReadFile(registry_), "garbage\n");
}

TEST_F(RegsvrTest, BadUsageExitsTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"/u"}, {"/x", TEST_SERVER_PATH}, {"--verbose", TEST_SERVER_PATH}, {TEST_SERVER_PATH, TEST_SERVER_PATH}};
  for (const auto& args : cases) {
    auto r = Regsvr(args);
    EXPECT_EQ(r.exitCode, 2) << args.size();
    EXPECT_NE(r.err.find("Usage: regsvr"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(registry_)) << "bad usage must not register anything";
  auto help = Regsvr({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("Usage: regsvr"), std::string::npos);
}

}  // namespace
