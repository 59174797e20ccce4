// campreview: opens a window, selects the first camera the camera control
// library lists and shows its live preview in the window, so a person can
// watch the picture follow `vcam set` and library changes. The preview follows
// the window's size. Closing the window (or --seconds N) ends the program.
#include <poll.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "camctl/common/results.h"
#include "camctl/object/interfaces.h"

namespace {

struct Release {
  void operator()(IUnknown* p) const { p->Release(); }
};
template <class I>
using Ref = std::unique_ptr<I, Release>;

struct FreeString {
  void operator()(OLECHAR* s) const { SysFreeString(s); }
};
using String = std::unique_ptr<OLECHAR, FreeString>;

struct FreeReply {
  void operator()(void* p) const { std::free(p); }
};

int Fail(const char* what, HRESULT hr) {
  const std::string text = camctl::ResultText(hr);
  std::fprintf(stderr, "campreview: %s failed: %s (0x%08X)\n", what, text.c_str(), static_cast<unsigned>(hr));
  return 1;
}

// The identifier of the first camera listed.
HRESULT FirstCamera(ICDVEnumDevice* devices, String& identifier) {
  SAFEARRAY* list = nullptr;
  LONG count = 0;
  const HRESULT hr = devices->EnumerateDevice(&list, &count);
  if (hr != S_OK) return hr == S_FALSE ? E_FAIL : hr;
  BSTR first = nullptr;
  LONG index = 0;
  const HRESULT got = SafeArrayGetElement(list, &index, &first);
  SafeArrayDestroy(list);
  if (FAILED(got)) return got;
  identifier.reset(first);
  return S_OK;
}

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  std::unique_ptr<xcb_intern_atom_reply_t, FreeReply> reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : XCB_NONE;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 0;  // 0: until the window is closed
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: campreview [--seconds N]\n");
      return 2;
    }
  }

  int screenNumber = 0;
  std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> c(xcb_connect(nullptr, &screenNumber),
                                                                   xcb_disconnect);
  if (xcb_connection_has_error(c.get())) {
    std::fprintf(stderr, "campreview: cannot open the display (is DISPLAY set?)\n");
    return 1;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
  for (int i = 0; i < screenNumber && screens.rem > 1; ++i) xcb_screen_next(&screens);
  const xcb_screen_t* screen = screens.data;

  const xcb_window_t window = xcb_generate_id(c.get());
  const uint32_t values[] = {screen->black_pixel, XCB_EVENT_MASK_STRUCTURE_NOTIFY};
  xcb_create_window(c.get(), XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 720, 576, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
  static constexpr char kTitle[] = "campreview";
  xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                      sizeof kTitle - 1, kTitle);
  const xcb_atom_t protocols = Atom(c.get(), "WM_PROTOCOLS");
  const xcb_atom_t deleteWindow = Atom(c.get(), "WM_DELETE_WINDOW");
  xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, window, protocols, XCB_ATOM_ATOM, 32, 1, &deleteWindow);
  xcb_map_window(c.get(), window);
  xcb_flush(c.get());

  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) return Fail("CoInitializeEx", hr);
  int status = 0;
  {
    ICDVEnumDevice* rawDevices = nullptr;
    hr = CoCreateInstance(CLSID_CameraControl, nullptr, CLSCTX_INPROC_SERVER, IID_ICDVEnumDevice,
                          reinterpret_cast<void**>(&rawDevices));
    if (FAILED(hr)) return Fail("CoCreateInstance(CameraControl)", hr);
    Ref<ICDVEnumDevice> devices(rawDevices);
    String camera;
    if (FAILED(hr = FirstCamera(devices.get(), camera))) return Fail("EnumerateDevice (no camera?)", hr);
    if (FAILED(hr = devices->SelectDevice(camera.get()))) return Fail("SelectDevice", hr);
    ICDVPreviewControl* rawPreview = nullptr;
    if (FAILED(hr = devices->QueryInterface(IID_ICDVPreviewControl, reinterpret_cast<void**>(&rawPreview))))
      return Fail("QueryInterface(ICDVPreviewControl)", hr);
    Ref<ICDVPreviewControl> preview(rawPreview);
    if (FAILED(hr = preview->SetOwner(static_cast<LONG>(window)))) return Fail("SetOwner", hr);
    if (FAILED(hr = preview->SetVisible(-1))) return Fail("SetVisible", hr);
    if (FAILED(hr = preview->StartPreview())) return Fail("StartPreview", hr);
    std::printf("campreview: showing %s\n",
                platform::ComToUtf8(platform::ComStringView(camera.get(), SysStringLen(camera.get()))).c_str());
    std::fflush(stdout);

    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    pollfd events{xcb_get_file_descriptor(c.get()), POLLIN, 0};
    bool running = true;
    while (running && (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
      ::poll(&events, 1, 100);
      while (xcb_generic_event_t* raw = xcb_poll_for_event(c.get())) {
        std::unique_ptr<xcb_generic_event_t, FreeReply> event(raw);
        const uint8_t type = event->response_type & 0x7F;
        if (type == XCB_CONFIGURE_NOTIFY) {
          const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(raw);
          if (configure->window == window) preview->MoveWindow(0, 0, configure->width, configure->height);
        } else if (type == XCB_CLIENT_MESSAGE &&
                   reinterpret_cast<const xcb_client_message_event_t*>(raw)->data.data32[0] == deleteWindow) {
          running = false;
        }
      }
      if (xcb_connection_has_error(c.get())) break;
    }
    devices->RemoveDevice();
  }
  CoUninitialize();
  return status;
}
