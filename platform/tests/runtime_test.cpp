// CoCreateInstance end to end against the test server, and the runtime's
// result codes.
#include <dlfcn.h>

#include <cstring>
#include <thread>

#include "platform/com.h"
#include "registry_store.h"
#include "test_server.h"
#include "test_support.h"

namespace {

using hostcom::RegistryStore;
using hostcom::RegRoot;

const std::string kClassKey = "CLSID\\{5B0E6F52-1C7D-4C43-9A57-2E1E3B7C9D01}";
// {5B0E6F54-...}: registered to the test server, which does not serve it.
constexpr CLSID kOtherClass = {0x5B0E6F54, 0x1C7D, 0x4C43, {0x9A, 0x57, 0x2E, 0x1E, 0x3B, 0x7C, 0x9D, 0x01}};

// True while the test server is mapped into this process.
bool ServerLoaded() {
  void* handle = ::dlopen(TEST_SERVER_PATH, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  ::dlclose(handle);
  return true;
}

LONG ServerLiveObjects() {
  void* handle = ::dlopen(TEST_SERVER_PATH, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return -1;
  auto fn = reinterpret_cast<LONG (*)()>(::dlsym(handle, "TestServerLiveObjects"));
  const LONG n = fn != nullptr ? fn() : -1;
  ::dlclose(handle);
  return n;
}

class RuntimeTest : public hostcom_test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    Register(kClassKey, TEST_SERVER_PATH);
  }
  void TearDown() override {
    while (initialised_-- > 0) CoUninitialize();
    TempDirTest::TearDown();
  }
  void Register(const std::string& classKey, const std::string& path) {
    ASSERT_TRUE(RegistryStore(registry_).SetString(RegRoot::ClassesRoot, classKey + "\\InprocServer32", "", path));
  }
  void Init() {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    ++initialised_;
  }
  HRESULT Create(REFCLSID clsid, REFIID iid, void** out) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out);
  }
  int initialised_ = 0;
};

TEST_F(RuntimeTest, CreatesObjectOfRegisteredServer) {
  Init();
  void* sentinel = this;
  ITestValue* object = static_cast<ITestValue*>(sentinel);
  ASSERT_EQ(Create(CLSID_TestValue, IID_ITestValue, reinterpret_cast<void**>(&object)), S_OK);
  ASSERT_NE(object, nullptr);
  LONG value = 0;
  EXPECT_EQ(object->GetValue(&value), S_OK);
  EXPECT_EQ(value, kTestValue);
  EXPECT_EQ(ServerLiveObjects(), 1);
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(ServerLiveObjects(), 0);
}

TEST_F(RuntimeTest, UnregisteredClassGivesClassNotRegistered) {
  Init();
  void* out = this;
  EXPECT_EQ(Create(kOtherClass, IID_IUnknown, &out), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);
  // A class key without InprocServer32 is not enough.
  ASSERT_TRUE(RegistryStore(registry_).SetString(RegRoot::ClassesRoot, "CLSID\\" +
                                                     platform::ComToUtf8(platform::GuidToString(kOtherClass)),
                                                 "", "described only"));
  EXPECT_EQ(Create(kOtherClass, IID_IUnknown, &out), REGDB_E_CLASSNOTREG);
  // Only in-process servers exist here.
  EXPECT_EQ(CoCreateInstance(CLSID_TestValue, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &out), REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(ServerLoaded());
}

TEST_F(RuntimeTest, MissingLibraryGivesDllNotFound) {
  Register(kClassKey, (dir_ / "missing.so").string());
  Init();
  void* out = this;
  EXPECT_EQ(Create(CLSID_TestValue, IID_ITestValue, &out), CO_E_DLLNOTFOUND);
  EXPECT_EQ(out, nullptr);
  Register(kClassKey, "");
  EXPECT_EQ(Create(CLSID_TestValue, IID_ITestValue, &out), CO_E_DLLNOTFOUND);
}

TEST_F(RuntimeTest, LibraryWithoutClassObjectExportGivesErrorInDll) {
  Register(kClassKey, NO_EXPORT_SERVER_PATH);
  Init();
  void* out = this;
  EXPECT_EQ(Create(CLSID_TestValue, IID_ITestValue, &out), CO_E_ERRORINDLL);
  EXPECT_EQ(out, nullptr);
}

TEST_F(RuntimeTest, UninitialisedThreadGivesNotInitialized) {
  HRESULT result = S_OK;
  void* out = this;
  std::thread([&] { result = Create(CLSID_TestValue, IID_ITestValue, &out); }).join();
  EXPECT_EQ(result, CO_E_NOTINITIALIZED);
  EXPECT_EQ(out, nullptr);
  // Balanced uninitialisation ends initialisation again.
  Init();
  CoUninitialize();
  --initialised_;
  EXPECT_EQ(Create(CLSID_TestValue, IID_ITestValue, &out), CO_E_NOTINITIALIZED);
  EXPECT_FALSE(ServerLoaded());
}

TEST_F(RuntimeTest, InitialisationIsCountedPerThread) {
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
  initialised_ = 2;
  HRESULT other = E_FAIL;
  std::thread([&] {
    other = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoUninitialize();
  }).join();
  EXPECT_EQ(other, S_OK);
  EXPECT_EQ(CoInitialize(reinterpret_cast<void*>(1)), E_INVALIDARG);
  CoUninitialize();
  --initialised_;
  void* out = nullptr;
  EXPECT_EQ(Create(CLSID_TestValue, IID_ITestValue, &out), S_OK) << "still initialised once";
  static_cast<IUnknown*>(out)->Release();
}

TEST_F(RuntimeTest, FactoryResultsPassThrough) {
  Init();
  void* out = this;
  EXPECT_EQ(Create(CLSID_TestValue, IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  Register("CLSID\\" + platform::ComToUtf8(platform::GuidToString(kOtherClass)), TEST_SERVER_PATH);
  out = this;
  EXPECT_EQ(Create(kOtherClass, IID_IUnknown, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(Create(CLSID_TestValue, IID_IUnknown, nullptr), E_INVALIDARG);
  EXPECT_EQ(ServerLiveObjects(), 0);
}

TEST_F(RuntimeTest, ClassObjectIsServedAndLocksTheLibrary) {
  Init();
  IClassFactory* factory = nullptr;
  ASSERT_EQ(CoGetClassObject(CLSID_TestValue, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  ASSERT_NE(factory, nullptr);
  IUnknown* object = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
  CoFreeUnusedLibraries();
  EXPECT_TRUE(ServerLoaded()) << "an object and a class object are alive";
  object->Release();
  CoFreeUnusedLibraries();
  EXPECT_TRUE(ServerLoaded()) << "the class object is still held";
  factory->Release();
  CoFreeUnusedLibraries();
  EXPECT_FALSE(ServerLoaded());
}

TEST_F(RuntimeTest, LastUninitialiseUnloadsIdleLibrariesOnly) {
  Init();
  IUnknown* kept = nullptr;
  ASSERT_EQ(Create(CLSID_TestValue, IID_IUnknown, reinterpret_cast<void**>(&kept)), S_OK);
  CoUninitialize();
  --initialised_;
  EXPECT_TRUE(ServerLoaded()) << "a live object keeps its library";
  EXPECT_EQ(kept->Release(), 0u);
  Init();
  IUnknown* again = nullptr;
  ASSERT_EQ(Create(CLSID_TestValue, IID_IUnknown, reinterpret_cast<void**>(&again)), S_OK);
  again->Release();
  EXPECT_TRUE(ServerLoaded()) << "loaded libraries stay cached while COM is initialised";
  CoUninitialize();
  --initialised_;
  EXPECT_FALSE(ServerLoaded());
}

TEST_F(RuntimeTest, MalformedRegistryGivesReadError) {
  WriteFile(registry_, "not a registry file\n");
  Init();
  void* out = this;
  EXPECT_EQ(Create(CLSID_TestValue, IID_IUnknown, &out), REGDB_E_READREGDB);
  EXPECT_EQ(out, nullptr);
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(kTestProgId, &clsid), REGDB_E_READREGDB);
  EXPECT_EQ(ReadFile(registry_), "not a registry file\n");
}

TEST_F(RuntimeTest, ProgIdResolvesThroughClassesRoot) {
  RegistryStore store(registry_);
  ASSERT_TRUE(store.SetString(RegRoot::ClassesRoot, "HostCom.TestValue\\CLSID", "",
                              "{5B0E6F52-1C7D-4C43-9A57-2E1E3B7C9D01}"));
  ASSERT_TRUE(store.SetString(RegRoot::ClassesRoot, "Broken.ProgId\\CLSID", "", "not a guid"));
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"hostcom.testvalue", &clsid), S_OK);
  EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_TestValue));
  clsid = GUID_NULL;
  ASSERT_EQ(CLSIDFromString(u"HostCom.TestValue", &clsid), S_OK);
  EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_TestValue));
  clsid = GUID_NULL;
  EXPECT_EQ(CLSIDFromProgID(u"Missing.ProgId", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(u"Broken.ProgId", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(u"HostCom.TestValue\\..", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
  EXPECT_TRUE(IsEqualCLSID(clsid, GUID_NULL));
}

TEST(TaskMemory, AllocatesAndFrees) {
  void* p = CoTaskMemAlloc(64);
  ASSERT_NE(p, nullptr);
  std::memset(p, 0xAB, 64);
  CoTaskMemFree(p);
  CoTaskMemFree(nullptr);
  void* zero = CoTaskMemAlloc(0);
  EXPECT_NE(zero, nullptr);
  CoTaskMemFree(zero);
}

}  // namespace
