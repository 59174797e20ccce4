// camlist: a small COM client of the camera control library. It creates a
// CameraControl object by its class identifier, lists the cameras it finds and
// describes them; with --select it selects the last one and reads its preset
// slots, as the preset manager does before every camera operation.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "camctl/common/results.h"
#include "camctl/object/interfaces.h"

namespace {

std::string Narrow(const OLECHAR* text) {
  return text ? platform::ComToUtf8(platform::ComStringView(text, SysStringLen(const_cast<BSTR>(text))))
              : std::string();
}

// Owns one BSTR.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const platform::ComString& text)
      : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR* Out() { return &value_; }
  BSTR Get() const { return value_; }

 private:
  BSTR value_ = nullptr;
};

// Owns one interface reference.
template <class I>
class Ref {
 public:
  Ref() = default;
  ~Ref() {
    if (p_) p_->Release();
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  void** Out() { return reinterpret_cast<void**>(&p_); }
  I* operator->() const { return p_; }
  I* Get() const { return p_; }

 private:
  I* p_ = nullptr;
};

int Fail(const char* what, HRESULT hr) {
  char buffer[16];
  const auto name = camctl::ResultName(hr, buffer);
  const auto meaning = camctl::ResultMeaning(hr);
  std::fprintf(stderr, "camlist: %s failed: %.*s (0x%08X)%s%.*s\n", what, static_cast<int>(name.size()),
               name.data(), static_cast<unsigned>(hr), meaning.empty() ? "" : ": ",
               static_cast<int>(meaning.size()), meaning.data());
  return 1;
}

void Usage(FILE* out) {
  std::fputs(
      "usage: camlist [--select]\n"
      "  Lists the cameras the camera control library finds (CameraControl,\n"
      "  created through COM by its class identifier) with their friendly name,\n"
      "  device path and model. --select also selects the last camera listed and\n"
      "  reads its preset slots.\n",
      out);
}

int ReadSlots(ICDVEnumDevice* devices, const platform::ComString& identifier) {
  Bstr device(identifier);
  HRESULT hr = devices->SelectDevice(device.Get());
  if (FAILED(hr)) return Fail("SelectDevice", hr);
  Ref<ICDVPresetControl> presets;
  hr = devices->QueryInterface(IID_ICDVPresetControl, presets.Out());
  if (FAILED(hr)) return Fail("QueryInterface(ICDVPresetControl)", hr);
  LONG count = 0;
  hr = presets->GetPresetCount(&count);
  if (FAILED(hr)) return Fail("GetPresetCount", hr);
  std::printf("Selected the last camera: %d preset slots\n", static_cast<int>(count));
  for (LONG slot = 1; slot <= count; ++slot) {
    Bstr name;
    LONG permission = 0;
    HRESULT nameResult = presets->GetPresetName(slot, name.Out());
    HRESULT permissionResult = presets->GetAccessPermission(slot, &permission);
    std::printf("  Preset %d: ", static_cast<int>(slot));
    if (SUCCEEDED(nameResult))
      std::printf("\"%s\"", Narrow(name.Get()).c_str());
    else
      std::printf("(name unreadable: 0x%08X)", static_cast<unsigned>(nameResult));
    if (SUCCEEDED(permissionResult)) std::printf(", %s", permission ? "locked" : "unlocked");
    std::printf("\n");
  }
  devices->RemoveDevice();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool select = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      Usage(stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--select")) {
      select = true;
      continue;
    }
    Usage(stderr);
    return 2;
  }

  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) return Fail("CoInitializeEx", hr);
  int status = 0;
  {
    Ref<ICDVEnumDevice> devices;
    hr = CoCreateInstance(CLSID_CameraControl, nullptr, CLSCTX_INPROC_SERVER, IID_ICDVEnumDevice,
                          devices.Out());
    if (FAILED(hr)) {
      status = Fail("CoCreateInstance(CameraControl)", hr);
    } else {
      SAFEARRAY* list = nullptr;
      LONG count = 0;
      hr = devices->EnumerateDevice(&list, &count);
      if (FAILED(hr)) {
        status = Fail("EnumerateDevice", hr);
      } else {
        std::printf("Cameras found: %d\n", static_cast<int>(count));
        std::vector<platform::ComString> identifiers;
        for (LONG i = 0; list && i < count; ++i) {
          BSTR item = nullptr;
          if (FAILED(SafeArrayGetElement(list, &i, &item))) continue;
          identifiers.emplace_back(item, SysStringLen(item));
          Bstr friendly, path, model;
          const HRESULT info = devices->GetDeviceInfo(item, friendly.Out(), path.Out(), model.Out());
          std::printf("  [%d] %s\n", static_cast<int>(i), Narrow(item).c_str());
          if (SUCCEEDED(info)) {
            std::printf("      friendly name: %s\n      device path:   %s\n      model:         %s\n",
                        Narrow(friendly.Get()).c_str(), Narrow(path.Get()).c_str(),
                        Narrow(model.Get()).c_str());
          }
          SysFreeString(item);
        }
        if (list) SafeArrayDestroy(list);
        if (select && !identifiers.empty()) status = ReadSlots(devices.Get(), identifiers.back());
      }
    }
  }
  CoUninitialize();
  return status;
}
