// The CameraControl object and its class object through the server's exports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "camctl/channel/attachment.h"
#include "camctl/channel/command_channel.h"
#include "camctl/common/results.h"
#include "camctl/object/camera_control.h"
#include "camctl/object/interfaces.h"
#include "camctl/object/module_state.h"

namespace {

namespace fs = std::filesystem;

class ObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("velquin-object-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    setenv("VELQUIN_LOG_DIR", dir_.c_str(), 1);
    setenv("VELQUIN_MUTEX_NAMESPACE", dir_.filename().c_str(), 1);
    ASSERT_EQ(DllGetClassObject(CLSID_CameraControl, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory_)),
              S_OK);
    baseLocks_ = camctl::ModuleLockCount();
  }
  void TearDown() override {
    if (factory_) factory_->Release();
    fs::remove_all(dir_);
  }

  template <class I>
  I* Create(REFIID iid) {
    I* p = nullptr;
    EXPECT_EQ(factory_->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&p)), S_OK);
    return p;
  }

  fs::path dir_;
  IClassFactory* factory_ = nullptr;
  int32_t baseLocks_ = 0;
};

template <class I>
IUnknown* IdentityOf(I* p) {
  IUnknown* unknown = nullptr;
  EXPECT_EQ(p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  unknown->Release();
  return unknown;
}

TEST_F(ObjectTest, AnswersExactlyTheFiveInterfacesWithOneIdentity) {
  auto* camera = Create<ICDVCameraControl>(IID_ICDVCameraControl);
  ASSERT_NE(camera, nullptr);
  const IID* iids[] = {&IID_ICDVCameraControl, &IID_ICDVPresetControl, &IID_ICDVEnumDevice,
                       &IID_ICDVDeviceControl, &IID_ICDVPreviewControl};
  IUnknown* identity = IdentityOf(camera);
  EXPECT_EQ(identity, static_cast<IUnknown*>(camera)) << "identity is the ICDVCameraControl pointer";
  for (const IID* iid : iids) {
    IDispatch* itf = nullptr;
    ASSERT_EQ(camera->QueryInterface(*iid, reinterpret_cast<void**>(&itf)), S_OK);
    EXPECT_EQ(IdentityOf(itf), identity);
    UINT count = 0;
    EXPECT_EQ(itf->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    itf->Release();
  }
  const IID* refused[] = {&IID_IDispatch, &IID_ISupportErrorInfo, &IID_IClassFactory,
                          &CLSID_CameraControl, &LIBID_VELQUINLib};
  for (const IID* iid : refused) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(camera->QueryInterface(*iid, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
  }
  EXPECT_EQ(camera->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(camera->Release(), 0u);
}

TEST_F(ObjectTest, ReferenceCountingKeepsTheObjectAndTheModuleAlive) {
  auto* presets = Create<ICDVPresetControl>(IID_ICDVPresetControl);
  ASSERT_NE(presets, nullptr);
  EXPECT_EQ(camctl::ModuleLockCount(), baseLocks_ + 1);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  ICDVEnumDevice* devices = nullptr;
  ASSERT_EQ(presets->QueryInterface(IID_ICDVEnumDevice, reinterpret_cast<void**>(&devices)), S_OK);
  EXPECT_EQ(presets->Release(), 1u);
  EXPECT_EQ(camctl::ModuleLockCount(), baseLocks_ + 1) << "one reference still holds the object";
  EXPECT_EQ(devices->Release(), 0u);
  EXPECT_EQ(camctl::ModuleLockCount(), baseLocks_);
}

TEST_F(ObjectTest, DllCanUnloadNowFollowsObjectsServerLocksAndClassObjectReferences) {
  factory_->Release();  // the fixture's extra reference on the class object
  factory_ = nullptr;
  ASSERT_EQ(DllCanUnloadNow(), S_OK);

  IClassFactory* cf = nullptr;
  ASSERT_EQ(DllGetClassObject(CLSID_CameraControl, IID_IClassFactory, reinterpret_cast<void**>(&cf)), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "a client holds the class object";
  EXPECT_EQ(cf->LockServer(TRUE), S_OK);
  cf->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "server lock";

  ASSERT_EQ(DllGetClassObject(CLSID_CameraControl, IID_IUnknown, reinterpret_cast<void**>(&cf)), S_OK);
  ICDVEnumDevice* object = nullptr;
  ASSERT_EQ(cf->CreateInstance(nullptr, IID_ICDVEnumDevice, reinterpret_cast<void**>(&object)), S_OK);
  EXPECT_EQ(cf->LockServer(FALSE), S_OK);
  cf->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "a live object";
  object->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(ObjectTest, ClassObjectErrors) {
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(IID_ICDVEnumDevice, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(DllGetClassObject(CLSID_CameraControl, IID_IClassFactory, nullptr), E_POINTER);
  p = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(CLSID_CameraControl, IID_ICDVEnumDevice, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);

  // The class object is cached: every request answers the same one.
  IClassFactory* again = nullptr;
  ASSERT_EQ(DllGetClassObject(CLSID_CameraControl, IID_IClassFactory, reinterpret_cast<void**>(&again)), S_OK);
  EXPECT_EQ(again, factory_);
  again->Release();

  EXPECT_EQ(factory_->CreateInstance(nullptr, IID_ICDVEnumDevice, nullptr), E_POINTER);
  p = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory_->CreateInstance(nullptr, IID_IDispatch, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(camctl::ModuleLockCount(), baseLocks_) << "a refused creation leaves no object behind";
}

// An outer object that aggregates CameraControl and counts what reaches it.
class Outer final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    ++queries;
    if (IsEqualGUID(riid, IID_IUnknown)) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  IUnknown* inner = nullptr;
  ULONG refs = 1;
  int queries = 0;
};

TEST_F(ObjectTest, AggregationDelegatesToTheControllingObject) {
  Outer outer;
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory_->CreateInstance(&outer, IID_ICDVEnumDevice, &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);

  ASSERT_EQ(factory_->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
  EXPECT_EQ(camctl::ModuleLockCount(), baseLocks_ + 1);

  // The inner unknown answers IUnknown with itself.
  IUnknown* innerAgain = nullptr;
  ASSERT_EQ(outer.inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&innerAgain)), S_OK);
  EXPECT_EQ(innerAgain, outer.inner);
  innerAgain->Release();

  // Interfaces got from the inner unknown count on the outer object.
  ICDVPresetControl* presets = nullptr;
  const ULONG before = outer.refs;
  ASSERT_EQ(outer.inner->QueryInterface(IID_ICDVPresetControl, reinterpret_cast<void**>(&presets)), S_OK);
  EXPECT_EQ(outer.refs, before + 1);
  IUnknown* identity = nullptr;
  const int queriesBefore = outer.queries;
  ASSERT_EQ(presets->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer)) << "identity is the outer object";
  EXPECT_EQ(outer.queries, queriesBefore + 1);
  identity->Release();
  presets->Release();
  EXPECT_EQ(outer.refs, before);

  EXPECT_EQ(outer.inner->Release(), 0u);
  EXPECT_EQ(camctl::ModuleLockCount(), baseLocks_);
}

TEST_F(ObjectTest, CreationDeletesTheDiagnosticLogFile) {
  const fs::path log = dir_ / "ORVANELogFile.txt";
  std::ofstream(log) << "left by an earlier run";
  ASSERT_TRUE(fs::exists(log));
  auto* camera = Create<ICDVCameraControl>(IID_ICDVCameraControl);
  EXPECT_FALSE(fs::exists(log));
  camera->Release();
  // A folder of that name (even an empty one) is never removed.
  fs::create_directory(log);
  camera = Create<ICDVCameraControl>(IID_ICDVCameraControl);
  EXPECT_TRUE(fs::is_directory(log));
  camera->Release();
}

TEST_F(ObjectTest, NewObjectStartsDetached) {
  auto* camera = Create<ICDVCameraControl>(IID_ICDVCameraControl);
  auto& state = camctl::CameraControl::FromIdentity(camera)->State();
  EXPECT_EQ(state.connection, camctl::ConnectionState::NoCamera);
  EXPECT_EQ(state.presetState, -1);
  EXPECT_EQ(state.presetCount, 0);
  EXPECT_EQ(state.capabilityMask, 0u);
  EXPECT_EQ(state.commandChannel, nullptr);
  EXPECT_TRUE(state.selectedDevicePath.empty());
  EXPECT_NE(state.cameraMutex, nullptr) << "the object opens its handle on the camera mutex";
  camera->Release();
}

TEST_F(ObjectTest, HostNameLookupGivesDispidsByPosition) {
  auto* presets = Create<ICDVPresetControl>(IID_ICDVPresetControl);
  OLECHAR name[] = u"setpresetname";  // automation names are case-insensitive
  LPOLESTR names[] = {name};
  DISPID id = 0;
  EXPECT_EQ(presets->GetIDsOfNames(IID_NULL, names, 1, 0x409, &id), S_OK);
  EXPECT_EQ(id, 9);
  OLECHAR unknown[] = u"SetStatus";  // a method of another interface
  names[0] = unknown;
  EXPECT_EQ(presets->GetIDsOfNames(IID_NULL, names, 1, 0x409, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
  EXPECT_EQ(presets->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
  EXPECT_EQ(info, nullptr);
  presets->Release();
}

// A camera that answers every frame at once.
class QuietTransport final : public platform::AvcTransport {
 public:
  int32_t Exchange(uint8_t (&)[platform::kAvcFrameBufferSize], uint32_t) noexcept override { return 0; }
};
class QuietDevice final : public platform::CaptureDevice {
 public:
  std::shared_ptr<platform::AvcTransport> QueryTransport() override { return transport; }
  std::shared_ptr<QuietTransport> transport = std::make_shared<QuietTransport>();
};

// A transport owned by the channel alone: it goes away inside the object's
// final Release, and notes what DllCanUnloadNow answered at that moment.
class UnloadProbeTransport final : public platform::AvcTransport {
 public:
  explicit UnloadProbeTransport(HRESULT& seen) : seen_(seen) {}
  ~UnloadProbeTransport() override { seen_ = DllCanUnloadNow(); }
  int32_t Exchange(uint8_t (&)[platform::kAvcFrameBufferSize], uint32_t) noexcept override { return 0; }

 private:
  HRESULT& seen_;
};
class UnloadProbeDevice final : public platform::CaptureDevice {
 public:
  explicit UnloadProbeDevice(HRESULT& seen) : seen_(seen) {}
  std::shared_ptr<platform::AvcTransport> QueryTransport() override {
    return std::make_shared<UnloadProbeTransport>(seen_);
  }

 private:
  HRESULT& seen_;
};

TEST_F(ObjectTest, ModuleIsNotUnloadableWhileTheLastReleaseRuns) {
  auto* camera = Create<ICDVCameraControl>(IID_ICDVCameraControl);
  factory_->Release();  // only the object keeps the module now
  factory_ = nullptr;
  HRESULT duringRelease = E_FAIL;
  UnloadProbeDevice device(duringRelease);
  ASSERT_EQ(camctl::AttachTransport(camctl::CameraControl::FromIdentity(camera)->State(), &device), S_OK);

  EXPECT_EQ(camera->Release(), 0u);
  EXPECT_EQ(duringRelease, S_FALSE) << "the object was still being torn down";
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(ObjectTest, ReleasingTheLastReferenceDetachesTheCamera) {
  auto* camera = Create<ICDVCameraControl>(IID_ICDVCameraControl);
  auto& state = camctl::CameraControl::FromIdentity(camera)->State();
  QuietDevice device;
  const int32_t attachedBefore = camctl::AttachedCameraCount();
  ASSERT_EQ(camctl::AttachTransport(state, &device), S_OK);
  state.selectedDevicePath = u"\\\\?\\avc#maker&kv9&1#0011223344556677#{guid}";
  EXPECT_EQ(camctl::AttachedCameraCount(), attachedBefore + 1);
  EXPECT_EQ(device.transport.use_count(), 2) << "the channel holds the transport";
  camctl::ArmSettleTimer();

  EXPECT_EQ(camera->Release(), 0u);
  EXPECT_EQ(device.transport.use_count(), 1) << "the channel is gone";
  EXPECT_EQ(camctl::AttachedCameraCount(), attachedBefore);
  if (attachedBefore == 0) {
    EXPECT_FALSE(camctl::SettleTimerRunning()) << "the last detach closes the window";
  }
  EXPECT_EQ(camctl::ModuleLockCount(), baseLocks_);
}

TEST_F(ObjectTest, RemoveDeviceResetsTheSelectionAndCanBeRepeated) {
  auto* devices = Create<ICDVEnumDevice>(IID_ICDVEnumDevice);
  auto* camera = static_cast<camctl::CameraControl*>(devices);
  auto& state = camera->State();
  QuietDevice device;
  ASSERT_EQ(camctl::AttachTransport(state, &device), S_OK);
  state.capabilityMask = 0x7FFFF;
  state.presetState = 0;
  state.presetCount = 3;
  state.selectedUniqueId = u"0011223344556677";
  EXPECT_EQ(devices->RemoveDevice(), S_OK);
  EXPECT_EQ(state.commandChannel, nullptr);
  EXPECT_EQ(state.connection, camctl::ConnectionState::NoCamera);
  EXPECT_EQ(state.capabilityMask, 0u);
  EXPECT_EQ(state.presetState, -1);
  EXPECT_EQ(state.presetCount, 3) << "the slot count is kept";
  EXPECT_TRUE(state.selectedUniqueId.empty());
  EXPECT_EQ(devices->RemoveDevice(), S_OK);
  EXPECT_EQ(device.transport.use_count(), 1);
  devices->Release();
}

TEST_F(ObjectTest, PreviewMethodsAnswerForAnObjectWithoutPreview) {
  auto* preview = Create<ICDVPreviewControl>(IID_ICDVPreviewControl);
  auto& state = static_cast<camctl::CameraControl*>(preview)->State();
  QuietDevice device;
  struct Case {
    camctl::ConnectionState connection;
    bool attached;
    HRESULT expected;
  };
  for (const Case& c : {Case{camctl::ConnectionState::NoCamera, false, camctl::CAM_E_NOT_CONNECTED},
                        Case{camctl::ConnectionState::Attached, true, camctl::CAM_E_NOT_CONNECTED},
                        Case{camctl::ConnectionState::Removed, false, camctl::CAM_E_REMOVED}}) {
    if (c.attached) {
      ASSERT_EQ(camctl::AttachTransport(state, &device), S_OK);
    }
    state.connection = c.connection;
    EXPECT_EQ(preview->SetOwner(0), E_FAIL) << "no window is refused before the state is looked at";
    EXPECT_EQ(preview->StartPreview(), c.expected);
    EXPECT_EQ(preview->StopPreview(), c.expected);
    EXPECT_EQ(preview->SetVisible(1), c.expected);
    EXPECT_EQ(preview->MoveWindow(0, 0, 320, 240), c.expected);
    if (c.attached) camctl::DetachTransport(state);
  }
  preview->Release();
}

}  // namespace
