// The two seams of the live preview: the filter graph that renders the
// camera's picture into a video window, and the window system of the client's
// owner window. Windows: a DirectShow filter graph with its video window, and
// user32 with a call-window-procedure hook. Linux: the owner is an X11 window
// id; the video window is a child X window drawn with XCB from the frames the
// virtual camcorder renders.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/avc_transport.h"
#include "platform/com.h"

namespace platform {

// A window of the window system (HWND on Windows, X window id on Linux); 0 is none.
using WindowHandle = uintptr_t;

// The window handle a client passes as a 32-bit value.
WindowHandle WindowFromLong(LONG value) noexcept;

// Left, top, right and bottom edges.
struct PreviewRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

// A message one of the owner windows received.
struct WindowMessage {
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};
inline constexpr uint32_t kMessageDestroy = 0x0002;      // the window is being destroyed
inline constexpr uint32_t kMessageGraphNotify = 0x0501;  // the graph has events queued

// Graph states.
enum class GraphState : int32_t { Stopped = 0, Paused = 1, Running = 2 };

// Success codes of the graph's state changes.
inline constexpr HRESULT kStateIntermediate = 0x00040237;  // VFW_S_STATE_INTERMEDIATE
inline constexpr HRESULT kCantCue = 0x00040268;            // VFW_S_CANT_CUE

// The filter graph of one camera and its video window.
class FilterGraph {
 public:
  virtual ~FilterGraph() = default;
  // Adds the camera's filter to the graph.
  virtual HRESULT AddCameraFilter() = 0;
  // Renders the camera filter's first output pin of the interleaved DV type
  // with the graph's automatic connection. S_FALSE when there is no such pin.
  virtual HRESULT RenderCameraOutput() = 0;
  // Removes every filter; S_OK when the graph is empty afterwards.
  virtual HRESULT RemoveAllFilters() = 0;
  // The graph's state, waiting at most waitMs for a transition to finish.
  virtual HRESULT GetState(uint32_t waitMs, GraphState& state) = 0;
  // S_FALSE: the transition has not finished yet.
  virtual HRESULT Run() = 0;
  virtual HRESULT Pause() = 0;
  virtual HRESULT Stop() = 0;

  virtual HRESULT HideVideo() = 0;
  // Makes the video window a child of the owner; 0 clears its owner.
  virtual void SetVideoOwner(WindowHandle owner) = 0;
  // In the owner's client coordinates.
  virtual void PlaceVideo(const PreviewRect& rect) = 0;
  // Shows the video window and brings it to the foreground.
  virtual void ShowVideo() = 0;
  // Passes a message of the owner to the video window.
  virtual void NotifyOwnerMessage(WindowHandle window, const WindowMessage& message) = 0;
  // Takes every pending event of the graph (without waiting) and frees it.
  virtual void DrainEvents() = 0;
  // Asks the graph to stop posting its events to any window.
  virtual void ClearEventWindow() = 0;
};

// Creates the filter graph for a bound camera. A failure means the preview
// cannot be shown for this camera.
HRESULT CreateFilterGraph(CaptureDevice& camera, std::unique_ptr<FilterGraph>& graph);

// The window system of the owner windows.
class PreviewWindows {
 public:
  using MessageSink = std::function<void(WindowHandle window, const WindowMessage& message)>;
  virtual ~PreviewWindows() = default;
  virtual bool IsWindow(WindowHandle window) = 0;
  // False for a window of another process, and for the root window.
  virtual bool BelongsToThisProcess(WindowHandle window) = 0;
  virtual bool ClientRect(WindowHandle window, PreviewRect& rect) = 0;
  // The window's top-level ancestor (the window itself when it is one); 0 when
  // a parent is missing on the way.
  virtual WindowHandle TopLevelAncestor(WindowHandle window) = 0;
  // The window has (or no longer has) an owner list: its messages must (or
  // need no longer) reach the sink.
  virtual void Watch(WindowHandle window) = 0;
  virtual void Unwatch(WindowHandle window) = 0;
  // Starts delivering the messages of watched windows to the sink (the hook);
  // RemoveHook stops and waits for a delivery in progress on another thread.
  virtual void InstallHook(MessageSink sink) = 0;
  virtual void RemoveHook() = 0;
};

// The window system of this process.
PreviewWindows& ProcessPreviewWindows();

}  // namespace platform
