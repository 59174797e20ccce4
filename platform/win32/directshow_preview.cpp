// The preview on Windows: a DirectShow filter graph in which the DV camera
// filter's interleaved output is rendered to a video window, and the owner
// windows seen through user32 and one call-window-procedure hook for the
// thread that creates the first preview. A window with an owner list carries
// the property "AfxOrvane" (and the global atom of that name), which the hook
// looks for before it reports a message.
#include <control.h>
#include <strmif.h>
#include <uuids.h>

#include <memory>
#include <mutex>
#include <utility>

#include "com_ref.h"
#include "directshow_transport.h"
#include "platform/preview.h"

namespace platform {
namespace {

using win32::ComRef;

constexpr wchar_t kCameraFilterName[] = L"Microsoft DV Camera and VCR";
constexpr wchar_t kOwnerListProperty[] = L"AfxOrvane";
constexpr ULONG kFilterBatch = 10;
constexpr int kRemovalRounds = 16;
constexpr int kHookCodeNoRemove = 3;
// Automation booleans of the video window.
constexpr LONG kTrue = -1;  // OATRUE
constexpr LONG kFalse = 0;  // OAFALSE  // passed on at once, as negative codes

class DirectShowGraph final : public FilterGraph {
 public:
  DirectShowGraph(ComRef<IBaseFilter> camera, ComRef<IGraphBuilder> graph, ComRef<IMediaControl> control,
                  ComRef<IVideoWindow> video, ComRef<IMediaEventEx> events)
      : camera_(std::move(camera)),
        graph_(std::move(graph)),
        control_(std::move(control)),
        video_(std::move(video)),
        events_(std::move(events)) {}

  HRESULT AddCameraFilter() override { return graph_->AddFilter(camera_.get(), kCameraFilterName); }

  HRESULT RenderCameraOutput() override {
    ComRef<IPin> pin;
    if (!FindInterleavedOutput(pin)) return S_FALSE;
    // A partly rendered stream (VFW_S_AUDIO_NOT_RENDERED without a sound
    // device, for one) still shows the picture.
    const HRESULT hr = graph_->Render(pin.get());
    return FAILED(hr) ? hr : S_OK;
  }

  HRESULT RemoveAllFilters() override {
    ComRef<IEnumFilters> list;
    HRESULT hr = graph_->EnumFilters(list.out());
    if (FAILED(hr) || !list) return FAILED(hr) ? hr : E_FAIL;
    // A graph that keeps a filter it claims to have removed is given up on.
    for (int round = 0; round < kRemovalRounds; ++round) {
      IBaseFilter* batch[kFilterBatch] = {};
      ULONG fetched = 0;
      list->Reset();
      list->Next(kFilterBatch, batch, &fetched);
      if (fetched == 0) return S_OK;
      if (fetched > kFilterBatch) fetched = kFilterBatch;
      // Last to first, so downstream filters go before the ones feeding them.
      HRESULT removed = S_OK;
      for (ULONG i = fetched; i-- > 0;) {
        const HRESULT one = graph_->RemoveFilter(batch[i]);
        if (FAILED(one)) removed = one;
        batch[i]->Release();
      }
      if (FAILED(removed)) return removed;
    }
    return E_FAIL;
  }

  HRESULT GetState(uint32_t waitMs, GraphState& state) override {
    OAFilterState raw = State_Stopped;
    const HRESULT hr = control_->GetState(static_cast<LONG>(waitMs), &raw);
    state = raw == State_Running ? GraphState::Running : raw == State_Paused ? GraphState::Paused : GraphState::Stopped;
    return hr;
  }
  HRESULT Run() override { return control_->Run(); }
  HRESULT Pause() override { return control_->Pause(); }
  HRESULT Stop() override { return control_->Stop(); }

  HRESULT HideVideo() override { return video_->put_Visible(kFalse); }
  void SetVideoOwner(WindowHandle owner) override {
    video_->put_Owner(static_cast<OAHWND>(owner));
    if (owner != 0) video_->put_WindowStyle(WS_CHILD);
  }
  void PlaceVideo(const PreviewRect& rect) override {
    video_->SetWindowPosition(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
  }
  void ShowVideo() override {
    video_->put_Visible(kTrue);
    video_->SetWindowForeground(kTrue);
  }
  void NotifyOwnerMessage(WindowHandle window, const WindowMessage& message) override {
    video_->NotifyOwnerMessage(static_cast<OAHWND>(window), static_cast<LONG>(message.message),
                               static_cast<LONG_PTR>(message.wParam), static_cast<LONG_PTR>(message.lParam));
  }
  void DrainEvents() override {
    LONG code = 0;
    LONG_PTR first = 0, second = 0;
    while (events_->GetEvent(&code, &first, &second, 0) == S_OK) events_->FreeEventParams(code, first, second);
  }
  void ClearEventWindow() override { events_->SetNotifyWindow(0, 0, 0); }

 private:
  // The camera filter's first output pin that offers the interleaved DV type.
  bool FindInterleavedOutput(ComRef<IPin>& found) {
    ComRef<IEnumPins> pins;
    if (FAILED(camera_->EnumPins(pins.out())) || !pins) return false;
    for (;;) {
      ComRef<IPin> pin;
      ULONG fetched = 0;
      if (pins->Next(1, pin.out(), &fetched) != S_OK || fetched != 1 || !pin) return false;
      PIN_DIRECTION direction = PINDIR_INPUT;
      if (FAILED(pin->QueryDirection(&direction)) || direction != PINDIR_OUTPUT) continue;
      ComRef<IEnumMediaTypes> types;
      if (FAILED(pin->EnumMediaTypes(types.out())) || !types) continue;
      for (;;) {
        AM_MEDIA_TYPE* type = nullptr;
        ULONG got = 0;
        if (types->Next(1, &type, &got) != S_OK || got != 1 || !type) break;
        const bool interleaved = IsEqualGUID(type->majortype, MEDIATYPE_Interleaved);
        if (type->cbFormat != 0) CoTaskMemFree(type->pbFormat);
        if (type->pUnk) type->pUnk->Release();
        CoTaskMemFree(type);
        if (interleaved) {
          found = pin;
          return true;
        }
      }
    }
  }

  ComRef<IBaseFilter> camera_;
  ComRef<IGraphBuilder> graph_;
  ComRef<IMediaControl> control_;
  ComRef<IVideoWindow> video_;
  ComRef<IMediaEventEx> events_;
};

// ---- Owner windows and the hook ----------------------------------------------

class User32Windows final : public PreviewWindows {
 public:
  bool IsWindow(WindowHandle window) override { return ::IsWindow(Hwnd(window)) != FALSE; }
  bool BelongsToThisProcess(WindowHandle window) override {
    if (Hwnd(window) == ::GetDesktopWindow()) return false;
    DWORD process = 0;
    ::GetWindowThreadProcessId(Hwnd(window), &process);
    return process == ::GetCurrentProcessId();
  }
  bool ClientRect(WindowHandle window, PreviewRect& rect) override {
    RECT r{};
    if (!::GetClientRect(Hwnd(window), &r)) return false;
    rect = {r.left, r.top, r.right, r.bottom};
    return true;
  }
  WindowHandle TopLevelAncestor(WindowHandle window) override {
    HWND w = Hwnd(window);
    while (w != nullptr && (::GetWindowLongW(w, GWL_STYLE) & WS_CHILD) != 0) w = ::GetParent(w);
    return reinterpret_cast<WindowHandle>(w);
  }
  void Watch(WindowHandle window) override {
    ::SetPropW(Hwnd(window), kOwnerListProperty, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(1)));
    ::GlobalAddAtomW(kOwnerListProperty);
  }
  void Unwatch(WindowHandle window) override {
    ::RemovePropW(Hwnd(window), kOwnerListProperty);
    if (const ATOM atom = ::GlobalFindAtomW(kOwnerListProperty)) ::GlobalDeleteAtom(atom);
  }
  void InstallHook(MessageSink sink) override {
    std::lock_guard<std::mutex> hold(mutex_);
    sink_ = std::move(sink);
    hook_ = ::SetWindowsHookExW(WH_CALLWNDPROC, &HookProcedure, nullptr, ::GetCurrentThreadId());
  }
  void RemoveHook() override {
    HHOOK hook = nullptr;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      hook = hook_;
      hook_ = nullptr;
      sink_ = nullptr;
    }
    if (hook) ::UnhookWindowsHookEx(hook);
  }

 private:
  static HWND Hwnd(WindowHandle window) { return reinterpret_cast<HWND>(window); }

  static LRESULT CALLBACK HookProcedure(int code, WPARAM wParam, LPARAM lParam);

  std::mutex mutex_;
  MessageSink sink_;
  HHOOK hook_ = nullptr;
  friend User32Windows& Windows();
};

User32Windows& Windows() {
  static User32Windows windows;
  return windows;
}

LRESULT CALLBACK User32Windows::HookProcedure(int code, WPARAM wParam, LPARAM lParam) {
  if (code >= 0 && code != kHookCodeNoRemove) {
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (call != nullptr && ::GetPropW(call->hwnd, kOwnerListProperty) != nullptr) {
      MessageSink sink;
      {
        std::lock_guard<std::mutex> hold(Windows().mutex_);
        sink = Windows().sink_;
      }
      if (sink)
        sink(reinterpret_cast<WindowHandle>(call->hwnd),
             WindowMessage{call->message, static_cast<uintptr_t>(call->wParam), static_cast<intptr_t>(call->lParam)});
    }
  }
  return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

WindowHandle WindowFromLong(LONG value) noexcept {
  // Window handles are 32-bit values, sign-extended in a 64-bit process.
  return static_cast<WindowHandle>(static_cast<intptr_t>(value));
}

HRESULT CreateFilterGraph(CaptureDevice& camera, std::unique_ptr<FilterGraph>& graph) {
  IUnknown* device = win32::ExternalDeviceOf(camera);
  if (device == nullptr) return E_NOINTERFACE;
  ComRef<IBaseFilter> filter;
  HRESULT hr = device->QueryInterface(IID_IBaseFilter, filter.out_void());
  if (FAILED(hr)) return hr;
  ComRef<IGraphBuilder> builder;
  hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, builder.out_void());
  if (FAILED(hr)) return hr;
  ComRef<IMediaControl> control;
  ComRef<IVideoWindow> video;
  ComRef<IMediaEventEx> events;
  if (FAILED(hr = builder->QueryInterface(IID_IMediaControl, control.out_void())) ||
      FAILED(hr = builder->QueryInterface(IID_IVideoWindow, video.out_void())) ||
      FAILED(hr = builder->QueryInterface(IID_IMediaEventEx, events.out_void())))
    return hr;
  graph = std::make_unique<DirectShowGraph>(std::move(filter), std::move(builder), std::move(control),
                                            std::move(video), std::move(events));
  return S_OK;
}

PreviewWindows& ProcessPreviewWindows() { return Windows(); }

}  // namespace platform
