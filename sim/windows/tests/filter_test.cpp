// The virtual DV camera's filter on a camera of a temporary root: binding
// through the property bag, the raw AV/C command with its bounds (byte-exact
// frames, results, the camera's trace), the external-device values and the
// filter's state.
#include <windows.h>
#include <edevdefs.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "vcam/vcam.h"
#include "interface_ids.h"
#include "vcam_filter.h"

namespace vcam::dshow {
namespace {

namespace fs = std::filesystem;

constexpr LONG kRawCommand = 5016;  // ED_RAW_EXT_DEV_CMD
const HRESULT kNotConnected = HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);

// The identification query and the camera's answer (a supported camera).
constexpr uint8_t kQuery[] = {0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x10, 0x13, 0xFF, 0xFF};
constexpr uint8_t kQueryAnswer[] = {0x0C, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x10, 0x13, 0x01, 0x01};

template <class I>
struct Releaser {
  void operator()(I* p) const {
    if (p) p->Release();
  }
};
template <class I>
using Ref = std::unique_ptr<I, Releaser<I>>;

template <class I>
Ref<I> Query(IUnknown* object, REFIID iid) {
  I* p = nullptr;
  if (FAILED(object->QueryInterface(iid, reinterpret_cast<void**>(&p)))) return nullptr;
  return Ref<I>(p);
}

// A device's property bag as the device enumerator hands it over: string values.
class Bag final : public IPropertyBag {
 public:
  explicit Bag(std::map<std::wstring, std::wstring> values) : values_(std::move(values)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!IsEqualGUID(riid, kIidUnknown) && !IsEqualGUID(riid, kIidPropertyBag)) return E_NOINTERFACE;
    *ppv = static_cast<IPropertyBag*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on the test's stack
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
    const auto found = values_.find(name);
    if (found == values_.end()) return E_INVALIDARG;  // what the device enumerator's bag answers
    value->vt = VT_BSTR;
    value->bstrVal = SysAllocStringLen(found->second.data(), static_cast<UINT>(found->second.size()));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }

 private:
  std::map<std::wstring, std::wstring> values_;
};

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    wchar_t temp[MAX_PATH + 1];
    ASSERT_NE(GetTempPathW(MAX_PATH + 1, temp), 0u);
    root_ = fs::path(temp) / (L"vcam-filter-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount64()));
    fs::create_directories(root_);
    CameraOptions options;
    options.sampleContent = false;
    camera_ = CreateCamera(root_, "cam", options);
    other_ = CreateCamera(root_, "other", options);
  }
  void TearDown() override {
    EXPECT_EQ(ModuleLocks(), 0) << "a filter or pin list was not released";
    camera_.reset();
    other_.reset();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    CoUninitialize();
  }

  std::wstring Folder() const { return camera_->dir().wstring(); }
  std::wstring DevicePath(const Camera& camera) const { return Widen(camera.identity().devicePath); }

  Ref<IUnknown> NewFilter() {
    IUnknown* p = nullptr;
    EXPECT_EQ(CreateFilter(nullptr, kIidUnknown, reinterpret_cast<void**>(&p)), S_OK);
    return Ref<IUnknown>(p);
  }
  HRESULT LoadInto(IUnknown* filter, std::map<std::wstring, std::wstring> values) {
    Bag bag(std::move(values));
    auto persist = Query<IPersistPropertyBag>(filter, kIidPersistPropertyBag);
    if (!persist) return E_NOINTERFACE;
    return persist->Load(&bag, nullptr);
  }
  Ref<IUnknown> BoundFilter() {
    Ref<IUnknown> filter = NewFilter();
    EXPECT_EQ(LoadInto(filter.get(), {{kFolderValue, Folder()}, {L"DevicePath", DevicePath(*camera_)}}), S_OK);
    return filter;
  }

  fs::path root_;
  std::unique_ptr<Camera> camera_;
  std::unique_ptr<Camera> other_;
};

TEST_F(FilterTest, OffersTheFilterAndExternalDeviceInterfacesOnOneObject) {
  Ref<IUnknown> filter = NewFilter();
  ASSERT_TRUE(filter);
  for (const IID* iid : {&kIidPersist, &kIidMediaFilter, &kIidBaseFilter, &kIidExtDevice, &kIidExtTransport,
                         &kIidPersistPropertyBag}) {
    auto face = Query<IUnknown>(filter.get(), *iid);
    ASSERT_TRUE(face);
    EXPECT_EQ(Query<IUnknown>(face.get(), kIidUnknown).get(), filter.get());  // one identity
  }
  EXPECT_FALSE(Query<IUnknown>(filter.get(), kIidPin));
  IUnknown* aggregated = nullptr;
  EXPECT_EQ(CreateFilter(filter.get(), kIidUnknown, reinterpret_cast<void**>(&aggregated)), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(aggregated, nullptr);
  CLSID clsid{};
  auto persist = Query<IPersist>(filter.get(), kIidPersist);
  EXPECT_EQ(persist->GetClassID(&clsid), S_OK);
  EXPECT_TRUE(IsEqualGUID(clsid, kClsidVirtualDvCamera));
}

TEST_F(FilterTest, LoadBindsOnlyTheCameraItsBagNames) {
  struct Case {
    const char* what;
    std::map<std::wstring, std::wstring> bag;
    HRESULT expected;
  };
  const std::wstring missing = (root_ / "gone").wstring();
  const Case cases[] = {
      {"folder and device path", {{kFolderValue, Folder()}, {L"DevicePath", DevicePath(*camera_)}}, S_OK},
      {"folder only", {{kFolderValue, Folder()}}, S_OK},
      {"no folder", {{L"DevicePath", DevicePath(*camera_)}}, E_INVALIDARG},
      {"empty folder value", {{kFolderValue, L""}}, E_INVALIDARG},
      {"folder without a camera", {{kFolderValue, missing}}, kNotConnected},
      {"another camera's device path", {{kFolderValue, Folder()}, {L"DevicePath", DevicePath(*other_)}}, kNotConnected},
  };
  for (const Case& c : cases) {
    Ref<IUnknown> filter = NewFilter();
    EXPECT_EQ(LoadInto(filter.get(), c.bag), c.expected) << c.what;
    // Only a bound filter reaches the camera.
    auto transport = Query<IAMExtTransport>(filter.get(), kIidExtTransport);
    uint8_t frame[kAvcFrameSize] = {};
    std::memcpy(frame, kQuery, sizeof kQuery);
    LONG length = sizeof kQuery;
    EXPECT_EQ(transport->GetTransportBasicParameters(kRawCommand, &length, reinterpret_cast<LPOLESTR*>(frame)),
              c.expected == S_OK ? S_OK : E_UNEXPECTED)
        << c.what;
  }
  Ref<IUnknown> filter = BoundFilter();
  EXPECT_EQ(LoadInto(filter.get(), {{kFolderValue, Folder()}}), E_UNEXPECTED);  // bound once
  EXPECT_EQ(Query<IPersistPropertyBag>(filter.get(), kIidPersistPropertyBag)->Load(nullptr, nullptr), E_POINTER);
}

// The raw command: what the camera answers, and that a bad pointer or length
// never reaches it nor touches a byte of the caller's memory.
TEST_F(FilterTest, RawCommandAnswersInPlaceWithinTheFrameBuffer) {
  Ref<IUnknown> filter = BoundFilter();
  auto transport = Query<IAMExtTransport>(filter.get(), kIidExtTransport);
  struct Case {
    const char* what;
    LONG param;
    LONG length;
    bool nullLength;
    bool nullBuffer;
    std::optional<HRESULT> expected;  // none: whatever the camera answers (the trace tells)
    bool traced;                      // the camera saw the exchange
  };
  const Case cases[] = {
      {"identification query", kRawCommand, sizeof kQuery, false, false, S_OK, true},
      {"too short for the camera", kRawCommand, 2, false, false, 87, true},
      {"a whole frame buffer", kRawCommand, 512, false, false, std::nullopt, true},
      {"negative length", kRawCommand, -1, false, false, 87, false},
      {"one past the buffer", kRawCommand, 513, false, false, 87, false},
      {"absurd length", kRawCommand, 0x7FFFFFFF, false, false, 87, false},
      {"null length", kRawCommand, sizeof kQuery, true, false, E_POINTER, false},
      {"null buffer", kRawCommand, sizeof kQuery, false, true, E_POINTER, false},
      {"another parameter", kRawCommand + 1, sizeof kQuery, false, false, E_NOTIMPL, false},
  };
  for (const Case& c : cases) {
    // The frame buffer sits between guard bytes that must stay as they are.
    uint8_t memory[16 + kAvcFrameSize + 16];
    std::memset(memory, 0xA5, sizeof memory);
    uint8_t* frame = memory + 16;
    std::memcpy(frame, kQuery, sizeof kQuery);
    LONG length = c.length;
    const size_t tracedBefore = camera_->ReadTrace().size();
    const HRESULT hr = transport->GetTransportBasicParameters(
        c.param, c.nullLength ? nullptr : &length, c.nullBuffer ? nullptr : reinterpret_cast<LPOLESTR*>(frame));
    if (c.expected) {
      EXPECT_EQ(hr, *c.expected) << c.what;
    }
    for (size_t i = 0; i < 16; ++i) {
      EXPECT_EQ(memory[i], 0xA5) << c.what << ": guard byte before the buffer " << i;
      EXPECT_EQ(memory[16 + kAvcFrameSize + i], 0xA5) << c.what << ": guard byte after the buffer " << i;
    }
    const std::vector<TraceEntry> trace = camera_->ReadTrace();
    ASSERT_EQ(trace.size(), tracedBefore + (c.traced ? 1 : 0)) << c.what;
    if (c.traced) {
      EXPECT_EQ(trace.back().result, static_cast<int32_t>(hr)) << c.what;
    }
    if (!c.traced) {
      EXPECT_EQ(std::memcmp(frame, kQuery, sizeof kQuery), 0) << c.what << ": the frame was changed";
      for (size_t i = sizeof kQuery; i < kAvcFrameSize; ++i) ASSERT_EQ(frame[i], 0xA5) << c.what << " byte " << i;
    }
    if (c.param == kRawCommand && c.length == static_cast<LONG>(sizeof kQuery) && hr == S_OK) {
      EXPECT_EQ(std::memcmp(frame, kQueryAnswer, sizeof kQueryAnswer), 0) << c.what;
      EXPECT_EQ(trace.back().frame, "012000000085001013FFFF");
      EXPECT_EQ(trace.back().response, "0C20000000850010130101");
    }
  }

  // An unplugged camera answers "device removed" with nothing in the frame.
  camera_->SetPlugged(false);
  uint8_t frame[kAvcFrameSize] = {};
  std::memcpy(frame, kQuery, sizeof kQuery);
  LONG length = sizeof kQuery;
  EXPECT_EQ(transport->GetTransportBasicParameters(kRawCommand, &length, reinterpret_cast<LPOLESTR*>(frame)),
            static_cast<HRESULT>(kDeviceRemoved));
  EXPECT_EQ(std::memcmp(frame, kQuery, sizeof kQuery), 0);
  EXPECT_EQ(camera_->ReadTrace().back().response, "-");
}

// The class is registered "Both": threads of one process share a filter, and
// every exchange is answered whole, one at a time.
TEST_F(FilterTest, ConcurrentRawCommandsEachGetTheirOwnAnswer) {
  Ref<IUnknown> filter = BoundFilter();
  auto transport = Query<IAMExtTransport>(filter.get(), kIidExtTransport);
  camera_->ClearTrace();
  constexpr int kThreads = 4;
  constexpr int kExchanges = 25;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kExchanges; ++i) {
        uint8_t frame[kAvcFrameSize] = {};
        std::memcpy(frame, kQuery, sizeof kQuery);
        LONG length = sizeof kQuery;
        const HRESULT hr =
            transport->GetTransportBasicParameters(kRawCommand, &length, reinterpret_cast<LPOLESTR*>(frame));
        if (hr != S_OK || std::memcmp(frame, kQueryAnswer, sizeof kQueryAnswer) != 0) ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
  const std::vector<TraceEntry> trace = camera_->ReadTrace();
  ASSERT_EQ(trace.size(), static_cast<size_t>(kThreads * kExchanges));
  for (const TraceEntry& entry : trace) {
    EXPECT_EQ(entry.frame, "012000000085001013FFFF");
    EXPECT_EQ(entry.response, "0C20000000850010130101");
  }
}

TEST_F(FilterTest, ExternalDeviceReportsPortPowerAndUniqueId) {
  Ref<IUnknown> unbound = NewFilter();
  auto device = Query<IAMExtDevice>(unbound.get(), kIidExtDevice);
  LONG value = 0;
  LPOLESTR id = nullptr;
  EXPECT_EQ(device->get_DevicePower(&value), E_UNEXPECTED);
  EXPECT_EQ(device->get_ExternalDeviceID(&id), E_UNEXPECTED);
  EXPECT_EQ(id, nullptr);

  Ref<IUnknown> filter = BoundFilter();
  device = Query<IAMExtDevice>(filter.get(), kIidExtDevice);
  EXPECT_EQ(device->get_DevicePort(&value), S_OK);
  EXPECT_EQ(value, DEV_PORT_1394);
  EXPECT_EQ(device->get_DevicePower(&value), S_OK);
  EXPECT_EQ(value, ED_POWER_ON);
  ASSERT_EQ(device->get_ExternalDeviceID(&id), S_OK);
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(std::wstring(id), Widen(camera_->identity().uniqueId));
  CoTaskMemFree(id);
  camera_->SetPlugged(false);
  EXPECT_EQ(device->get_DevicePower(&value), S_OK);
  EXPECT_EQ(value, ED_POWER_OFF);
  EXPECT_EQ(device->get_DevicePort(nullptr), E_POINTER);
  EXPECT_EQ(device->get_DevicePower(nullptr), E_POINTER);
  EXPECT_EQ(device->get_ExternalDeviceID(nullptr), E_POINTER);
  EXPECT_EQ(device->put_DevicePower(ED_POWER_ON), E_NOTIMPL);
}

TEST_F(FilterTest, FilterKeepsItsStateGraphAndClockWithoutPins) {
  Ref<IUnknown> filter = BoundFilter();
  auto base = Query<IBaseFilter>(filter.get(), kIidBaseFilter);
  FILTER_STATE state = State_Running;
  EXPECT_EQ(base->GetState(0, &state), S_OK);
  EXPECT_EQ(state, State_Stopped);
  const struct {
    HRESULT (IBaseFilter::*change)();
    FILTER_STATE expected;
  } steps[] = {{&IBaseFilter::Pause, State_Paused}, {&IBaseFilter::Stop, State_Stopped}};
  for (const auto& step : steps) {
    EXPECT_EQ((base.get()->*step.change)(), S_OK);
    EXPECT_EQ(base->GetState(0, &state), S_OK);
    EXPECT_EQ(state, step.expected);
  }
  EXPECT_EQ(base->Run(0), S_OK);
  EXPECT_EQ(base->GetState(0, &state), S_OK);
  EXPECT_EQ(state, State_Running);

  IEnumPins* pins = nullptr;
  ASSERT_EQ(base->EnumPins(&pins), S_OK);
  Ref<IEnumPins> ownPins(pins);
  IPin* pin = nullptr;
  ULONG fetched = 7;
  EXPECT_EQ(pins->Next(1, &pin, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(pin, nullptr);
  EXPECT_EQ(base->FindPin(L"Capture", &pin), VFW_E_NOT_FOUND);

  EXPECT_EQ(base->JoinFilterGraph(nullptr, L"ignored without a graph"), S_OK);
  FILTER_INFO info{};
  ASSERT_EQ(base->QueryFilterInfo(&info), S_OK);
  EXPECT_EQ(std::wstring(info.achName), L"");
  EXPECT_EQ(info.pGraph, nullptr);
  IReferenceClock* clock = reinterpret_cast<IReferenceClock*>(1);
  EXPECT_EQ(base->GetSyncSource(&clock), S_OK);
  EXPECT_EQ(clock, nullptr);
}

}  // namespace
}  // namespace vcam::dshow
