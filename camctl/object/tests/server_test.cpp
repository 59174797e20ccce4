// The built server as an outside client sees it: registered by the regsvr
// tool, created through the COM runtime by its class identifier, and called
// through a plain C vtable written from the published identifiers and slot
// order only.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "camctl/object/interfaces.h"
#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;

// ICDVEnumDevice as a C client declares it.
struct EnumDeviceVtbl {
  HRESULT (*QueryInterface)(void* self, const GUID* riid, void** ppv);
  ULONG (*AddRef)(void* self);
  ULONG (*Release)(void* self);
  HRESULT (*GetTypeInfoCount)(void* self, UINT* count);
  void* GetTypeInfo;
  void* GetIDsOfNames;
  void* Invoke;
  HRESULT (*EnumerateDevice)(void* self, SAFEARRAY** list, int32_t* count);
  HRESULT (*SelectDevice)(void* self, BSTR device);
  HRESULT (*RemoveDevice)(void* self);
  HRESULT (*GetDeviceInfo)(void* self, BSTR device, BSTR* friendly, BSTR* path, BSTR* model);
};
struct CEnumDevice {
  const EnumDeviceVtbl* vtbl;
};

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("velquin-server-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setenv("HOSTCOM_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    setenv("VELQUIN_LOG_DIR", dir_.c_str(), 1);
    setenv("VELQUIN_MUTEX_NAMESPACE", ("server-" + dir_.filename().string()).c_str(), 1);
    setenv("VCAM_HOME", (dir_ / "cameras").c_str(), 1);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  }
  void TearDown() override {
    CoUninitialize();
    fs::remove_all(dir_);
  }
  static int Regsvr(const std::string& flags) {
    const std::string command = std::string(REGSVR_PATH) + " " + flags + " " + VELQUIN_SERVER_PATH;
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  fs::path dir_;
};

TEST_F(ServerTest, RegisteredServerIsCreatedByClassIdAndCalledThroughItsVtable) {
  ASSERT_EQ(Regsvr("/s"), 0);
  platform::ComString server;
  ASSERT_EQ(platform::registry::GetString(platform::registry::Root::ClassesRoot,
                                          u"CLSID\\{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}\\InprocServer32",
                                          u"", server),
            S_OK);
  EXPECT_EQ(fs::path(platform::ComToUtf8(server)), fs::canonical(VELQUIN_SERVER_PATH));

  CEnumDevice* devices = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_CameraControl, nullptr, CLSCTX_INPROC_SERVER, IID_ICDVEnumDevice,
                             reinterpret_cast<void**>(&devices)),
            S_OK);
  ASSERT_NE(devices, nullptr);
  UINT count = 0;
  EXPECT_EQ(devices->vtbl->GetTypeInfoCount(devices, &count), S_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(devices->vtbl->RemoveDevice(devices), S_OK) << "slot 9 is RemoveDevice";
  void* dispatch = reinterpret_cast<void*>(1);
  EXPECT_EQ(devices->vtbl->QueryInterface(devices, &IID_IDispatch, &dispatch), E_NOINTERFACE);
  EXPECT_EQ(dispatch, nullptr);

  // Created by ProgID too.
  CLSID byProgId{};
  ASSERT_EQ(CLSIDFromProgID(u"VELQUIN.CameraControl", &byProgId), S_OK);
  EXPECT_TRUE(IsEqualCLSID(byProgId, CLSID_CameraControl));
  EXPECT_EQ(devices->vtbl->Release(devices), 0u);
}

TEST_F(ServerTest, UnregisteredServerCannotBeCreated) {
  ASSERT_EQ(Regsvr("/s"), 0);
  ASSERT_EQ(Regsvr("/u /s"), 0);
  EXPECT_FALSE(platform::registry::KeyExists(platform::registry::Root::ClassesRoot,
                                             u"CLSID\\{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}"));
  EXPECT_TRUE(platform::registry::KeyExists(platform::registry::Root::ClassesRoot, u"CLSID"));
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoCreateInstance(CLSID_CameraControl, nullptr, CLSCTX_INPROC_SERVER, IID_ICDVEnumDevice, &p),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(p, nullptr);
}

// Unregistration reports a registry it could not read or write; only nothing
// to remove counts as success.
TEST_F(ServerTest, UnregistrationFailsOnARegistryItCannotReadOrWrite) {
  struct Case {
    const char* name;
    const char* content;  // of the registry file; null: no file
    bool folderIsAFile;   // the registry's folder is a plain file: nothing can be written there
    int exitStatus;
  };
  const Case cases[] = {
      {"no registry yet", nullptr, false, 0},
      {"registered", "", false, 0},
      {"malformed registry", "not a registry\n", false, 1},
      {"unwritable folder", nullptr, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_ / "reg");
    fs::create_directories(dir_ / "reg");
    fs::path registry = dir_ / "reg" / "registry.reg";
    if (c.folderIsAFile) {
      std::ofstream(dir_ / "reg" / "file") << "x";
      registry = dir_ / "reg" / "file" / "registry.reg";
    }
    setenv("HOSTCOM_REGISTRY", registry.c_str(), 1);
    if (c.content != nullptr && *c.content == '\0') {
      ASSERT_EQ(Regsvr("/s"), 0);
    }
    if (c.content != nullptr && *c.content != '\0') std::ofstream(registry) << c.content;

    EXPECT_EQ(Regsvr("/u /s"), c.exitStatus);
    if (c.content == nullptr && !c.folderIsAFile) {
      EXPECT_FALSE(fs::exists(registry)) << "nothing to remove writes nothing";
    }
    if (c.content != nullptr && *c.content != '\0') {
      std::ifstream in(registry);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.content) << "the file is kept";
    }
  }
}

}  // namespace
