// Device enumeration and selection over device lists whose every string and
// answer comes from the fuzz input: friendly names and device paths of the
// video input devices (the unique id and model name are cut out of them),
// the identification query's answers, the imaging-service devices with their
// "DevSymLink" values, and the storage driver's slot count answers.
//
// Checked: the decoders of device paths return pieces of the path that hold
// no separator; the list never has more than ten identifiers, each one a
// listed device's; a selected camera's slot count stays within 0..99.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camctl/channel/attachment.h"
#include "camctl/devices/device_selection.h"
#include "camctl/devices/device_sources.h"
#include "camctl/devices/device_walker.h"
#include "camctl/object/camera_state.h"
#include "camctl/settings/camera_settings.h"
#include "camctl/settings/preset_zero.h"
#include "fakes.h"

namespace {

using platform::ComString;
using platform::ComStringView;

struct FakeDevice {
  ComString friendlyName;
  ComString devicePath;
  ComString pnpFriendlyName;
  bool bindable = true;
  bool hasTransport = true;
};
struct FakeImaging {
  uint32_t type = 0;
  ComString deviceId;
  ComString link;
  bool hasLink = true;
};
struct World {
  std::vector<FakeDevice> devices;
  std::vector<FakeImaging> imaging;
  std::shared_ptr<fuzz::FuzzTransport> transport = std::make_shared<fuzz::FuzzTransport>();
  HRESULT listResult = S_OK;
};
World* g_world = nullptr;

class Capture final : public platform::CaptureDevice {
 public:
  explicit Capture(bool hasTransport) : hasTransport_(hasTransport) {}
  std::shared_ptr<platform::AvcTransport> QueryTransport() override {
    return hasTransport_ ? g_world->transport : nullptr;
  }

 private:
  bool hasTransport_;
};

class VideoDevice final : public platform::VideoInputDevice {
 public:
  explicit VideoDevice(const FakeDevice& device) : device_(device) {}
  ComString FriendlyName() const override { return device_.friendlyName; }
  ComString DevicePath() const override { return device_.devicePath; }
  ComString PnpFriendlyName() const override { return device_.pnpFriendlyName; }
  std::shared_ptr<platform::CaptureDevice> Bind() override {
    if (!device_.bindable) return nullptr;
    return std::make_shared<Capture>(device_.hasTransport);
  }

 private:
  FakeDevice device_;
};

HRESULT ListVideo(std::vector<std::unique_ptr<platform::VideoInputDevice>>& devices) {
  if (FAILED(g_world->listResult)) return g_world->listResult;
  for (const FakeDevice& d : g_world->devices) devices.push_back(std::make_unique<VideoDevice>(d));
  return devices.empty() ? S_FALSE : S_OK;
}
HRESULT ListImaging(std::vector<platform::ImagingDevice>& devices) {
  for (const FakeImaging& i : g_world->imaging) devices.push_back({i.type, i.deviceId});
  return S_OK;
}
HRESULT ReadLink(ComStringView deviceId, ComString& link) {
  for (const FakeImaging& i : g_world->imaging) {
    if (i.deviceId == deviceId && i.hasLink) {
      link = i.link;
      return S_OK;
    }
  }
  return static_cast<HRESULT>(0x80070002u);
}
int32_t OpenDriver(ComStringView, std::unique_ptr<platform::StorageDriverHandle>& handle) {
  handle = std::make_unique<fuzz::FuzzStorageDriver>();
  return 0;
}

// A device path: raw text, or the usual shape with fuzzed pieces.
ComString DevicePath(fuzz::Input& in, ComString& uniqueId) {
  if (in.Bit()) return in.ComText(160);
  const ComString model = in.ComText(12);
  uniqueId = in.ComText(20);
  ComString path = COM_TEXT("\\\\?\\avc#maker&");
  path += model;
  path += COM_TEXT("&camcorder&dv#");
  path += uniqueId;
  path += COM_TEXT("#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global");
  return path;
}

bool Contains(ComStringView whole, ComStringView part) { return whole.find(part) != ComStringView::npos; }

void CheckPathDecoders(ComStringView path) {
  ComString id;
  if (camctl::ExtractUniqueId(path, id)) {
    FUZZ_CHECK(id.find(static_cast<OLECHAR>('#')) == ComString::npos);
    FUZZ_CHECK(Contains(path, id));
  }
  ComString model;
  if (camctl::ModelNameOf(path, model)) {
    FUZZ_CHECK(!model.empty());
    FUZZ_CHECK(model.find(static_cast<OLECHAR>('&')) == ComString::npos);
    for (OLECHAR c : model) FUZZ_CHECK(!(c >= 'a' && c <= 'z'));
    FUZZ_CHECK(model.size() < path.size());
  }
  ComString word;
  if (camctl::settings::ModelWord(path, word)) {
    FUZZ_CHECK(word.find(static_cast<OLECHAR>('&')) == ComString::npos);
    FUZZ_CHECK(Contains(path, word));
  }
}

struct Bstr {
  BSTR p = nullptr;
  Bstr() = default;
  explicit Bstr(ComStringView text) : p(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~Bstr() { SysFreeString(p); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)fuzz::Surroundings::Get();
  fuzz::Input in(data, size);
  fuzz::UseInput use(in);
  World world;
  g_world = &world;

  // The machine: video input devices, then imaging-service devices.
  const uint8_t shape = in.Byte();
  world.listResult = (shape & 0x80) != 0 ? static_cast<HRESULT>(0x80004005u) : S_OK;
  std::vector<ComString> uniqueIds;
  for (int i = 0, n = shape % 5; i < n; ++i) {
    FakeDevice d;
    const uint8_t flags = in.Byte();
    d.friendlyName = (flags & 1) != 0 ? in.ComText(40) : ComString(COM_TEXT("DV Camera"));
    ComString uniqueId;
    d.devicePath = DevicePath(in, uniqueId);
    d.pnpFriendlyName = in.ComText(40);
    d.bindable = (flags & 2) == 0;
    d.hasTransport = (flags & 4) == 0;
    uniqueIds.push_back(uniqueId);
    world.devices.push_back(std::move(d));
  }
  for (int i = 0, n = (shape >> 3) % 4; i < n; ++i) {
    FakeImaging m;
    const uint8_t flags = in.Byte();
    m.type = (flags & 1) != 0 ? in.Be32() : 0x00020001u;
    m.deviceId = in.ComText(40);
    m.hasLink = (flags & 2) == 0;
    if ((flags & 4) != 0 || uniqueIds.empty()) {
      m.link = in.ComText(120);
    } else {
      m.link = COM_TEXT("\\??\\1394#maker&kv7#");
      m.link += uniqueIds[in.Byte() % uniqueIds.size()];
      m.link += COM_TEXT("#{6bdd1fc6-810f-11d0-bec7-08002be2092f}");
    }
    world.imaging.push_back(std::move(m));
  }

  for (const FakeDevice& d : world.devices) CheckPathDecoders(d.devicePath);
  for (const FakeImaging& m : world.imaging) CheckPathDecoders(m.link);

  camctl::DeviceSources sources;
  sources.listVideoInputDevices = &ListVideo;
  sources.listImagingDevices = &ListImaging;
  sources.readDevSymLink = &ReadLink;
  sources.storage.readLink = &ReadLink;
  sources.storage.openDriver = &OpenDriver;
  sources.storage.sleep = [](uint32_t) {};
  camctl::SetDeviceSources(sources);
  camctl::StopSettleTimer();

  {
    camctl::CameraState state;
    SAFEARRAY* list = nullptr;
    LONG count = -7;
    std::vector<ComString> listed;
    const HRESULT enumerated = camctl::EnumerateDevices(state, &list, &count);
    if (enumerated == S_OK) {
      FUZZ_CHECK(list != nullptr && count >= 1 && count <= camctl::kMaxListedDevices);
      FUZZ_CHECK(static_cast<size_t>(count) <= world.devices.size());
      for (LONG i = 0; i < count; ++i) {
        BSTR element = nullptr;
        FUZZ_CHECK(SafeArrayGetElement(list, &i, &element) == S_OK && element != nullptr);
        listed.emplace_back(element, SysStringLen(element));
        SysFreeString(element);
      }
      SafeArrayDestroy(list);
    } else {
      FUZZ_CHECK(enumerated == S_FALSE && list == nullptr);
      FUZZ_CHECK(count == -7 || count == 0);
    }
    for (const ComString& id : listed) {
      bool known = false;
      for (const FakeDevice& d : world.devices) known = known || id.rfind(d.friendlyName + COM_TEXT("#"), 0) == 0;
      FUZZ_CHECK(known);
    }

    // The device to ask about and select: a listed one, or any text.
    const uint8_t pick = in.Byte();
    ComString wanted;
    if (!listed.empty() && (pick & 1) == 0) wanted = listed[pick % listed.size()];
    else wanted = in.ComText(60);
    Bstr device(wanted);

    Bstr friendly, path, model;
    const HRESULT info = camctl::GetDeviceInfo(device.p, &friendly.p, &path.p, &model.p);
    if (info != S_OK) FUZZ_CHECK(friendly.p == nullptr && path.p == nullptr && model.p == nullptr);

    const HRESULT selected = camctl::SelectDevice(state, device.p);
    FUZZ_CHECK(state.presetCount >= 0 && state.presetCount <= camctl::kMaxPresetSlots);
    FUZZ_CHECK(state.presetState == -1 || state.presetState == -2 || state.presetState == 0);
    if (selected == S_OK) FUZZ_CHECK(state.commandChannel != nullptr && state.storageChannel != nullptr);

    camctl::DetachTransport(state);
    camctl::CloseStorageChannel(state);
  }
  camctl::SetDeviceSources(camctl::DeviceSources{});
  camctl::StopSettleTimer();
  g_world = nullptr;
  return 0;
}
