// The live preview of one attached camera: a filter graph that renders the
// camera's picture into a video window, made a child of the client's owner
// window. Every change (owner, run or stop, visibility, position) is stored
// and then applied by one procedure that brings the preview either fully up
// or fully down.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com.h"
#include "platform/preview.h"

namespace camctl {

class PreviewGraph;

// The owner lists of one window system's windows (which previews each window
// owns) and the use count of its message hook, one per live preview.
class PreviewHost {
 public:
  explicit PreviewHost(platform::PreviewWindows& windows) : windows_(windows) {}
  PreviewHost(const PreviewHost&) = delete;
  PreviewHost& operator=(const PreviewHost&) = delete;

  // The host of the platform's window system.
  static PreviewHost& Process();

  platform::PreviewWindows& windows() { return windows_; }

  // The first use installs the hook; the last release removes it (and waits
  // for a message being delivered on another thread).
  void AddUse();
  void ReleaseUse();

  // Creating a window's list starts watching the window; emptying it stops.
  // The window system's Watch and Unwatch run under the lists' mutex.
  void Enter(platform::WindowHandle window, const std::shared_ptr<PreviewGraph>& graph);
  // Removes the first entry of that preview.
  void Remove(platform::WindowHandle window, const PreviewGraph* graph);
  std::size_t ListSize(platform::WindowHandle window) const;

  // A message of a watched window: every preview in its list is told. The
  // list is copied first, so a preview that leaves the list (or a list that
  // disappears) while the message is handled does not upset the walk.
  void Dispatch(platform::WindowHandle window, const platform::WindowMessage& message);

 private:
  struct Entry {
    const PreviewGraph* graph;
    std::weak_ptr<PreviewGraph> ref;
  };
  platform::PreviewWindows& windows_;
  mutable std::mutex listsMutex_;
  std::map<platform::WindowHandle, std::vector<Entry>> lists_;
  std::mutex hookMutex_;
  int uses_ = 0;
};

class PreviewGraph : public std::enable_shared_from_this<PreviewGraph> {
  struct CreateTag {
    explicit CreateTag() = default;
  };

 public:
  // Waits for a graph state change at most this long per query.
  static constexpr uint32_t kStateWaitMs = 100;
  // A run that stays in transition is given up after this many state queries.
  static constexpr int kRunStateQueries = 50;

  // A null graph (it could not be created) gives a preview whose operations
  // all answer E_FAIL.
  static std::shared_ptr<PreviewGraph> Create(PreviewHost& host, std::unique_ptr<platform::FilterGraph> graph);
  PreviewGraph(CreateTag, PreviewHost& host, std::unique_ptr<platform::FilterGraph> graph);
  ~PreviewGraph();
  PreviewGraph(const PreviewGraph&) = delete;
  PreviewGraph& operator=(const PreviewGraph&) = delete;

  // E_FAIL for a window of another process (the previous owner stays).
  HRESULT SetOwner(platform::WindowHandle owner);
  HRESULT Start();
  HRESULT Stop();
  // Only -1 shows the preview.
  HRESULT SetVisible(LONG visibility);
  // Left, top, right and bottom edges in the owner's client coordinates.
  HRESULT Move(LONG left, LONG top, LONG right, LONG bottom);

  // Takes the preview down for good, leaves the owner lists and releases the
  // graph and the hook; later operations answer E_FAIL. Idempotent.
  void Close();

  // A message of a window whose owner list holds this preview.
  void OnOwnerMessage(platform::WindowHandle window, const platform::WindowMessage& message);

  // For tests and diagnostics.
  bool GraphBuilt();
  platform::WindowHandle Owner();

 private:
  HRESULT SetOwnerLocked(platform::WindowHandle owner);
  HRESULT Apply();
  HRESULT TakeDown();
  HRESULT BringUp();
  HRESULT RunGraph();
  void PauseGraph();
  bool Usable() const { return graph_ != nullptr && !closed_; }

  PreviewHost& host_;
  std::unique_ptr<platform::FilterGraph> graph_;
  // The preview lock. Recursive: the window system may deliver an owner
  // message on this thread while an operation is changing the video window.
  std::recursive_mutex lock_;
  bool explicitPosition_ = false;
  platform::WindowHandle owner_ = 0;
  // The windows whose owner lists hold this preview.
  platform::WindowHandle listedTop_ = 0;
  platform::WindowHandle listedOwner_ = 0;
  platform::PreviewRect rect_;
  LONG visibility_ = -1;
  bool runRequested_ = false;  // a new preview counts as stopped
  bool built_ = false;
  bool closed_ = false;
  bool counted_ = false;
};

}  // namespace camctl
