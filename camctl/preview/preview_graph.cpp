#include "camctl/preview/preview_graph.h"

#include <algorithm>
#include <utility>

#include "camctl/common/results.h"

namespace camctl {

using platform::GraphState;
using platform::WindowHandle;

// ---- PreviewHost -----------------------------------------------------------

PreviewHost& PreviewHost::Process() {
  static PreviewHost host(platform::ProcessPreviewWindows());
  return host;
}

void PreviewHost::AddUse() {
  std::lock_guard<std::mutex> hold(hookMutex_);
  if (uses_++ == 0)
    windows_.InstallHook([this](WindowHandle window, const platform::WindowMessage& message) {
      Dispatch(window, message);
    });
}

void PreviewHost::ReleaseUse() {
  std::lock_guard<std::mutex> hold(hookMutex_);
  if (uses_ > 0 && --uses_ == 0) windows_.RemoveHook();
}

// Watching follows the lists under their mutex, so that a list made for one
// preview and emptied by another on a second thread cannot end unwatched.
void PreviewHost::Enter(WindowHandle window, const std::shared_ptr<PreviewGraph>& graph) {
  std::lock_guard<std::mutex> hold(listsMutex_);
  auto [list, created] = lists_.try_emplace(window);
  list->second.push_back(Entry{graph.get(), graph});
  if (created) windows_.Watch(window);
}

void PreviewHost::Remove(WindowHandle window, const PreviewGraph* graph) {
  std::lock_guard<std::mutex> hold(listsMutex_);
  const auto list = lists_.find(window);
  if (list == lists_.end()) return;
  auto& entries = list->second;
  const auto entry = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.graph == graph; });
  if (entry == entries.end()) return;
  entries.erase(entry);
  if (entries.empty()) {
    lists_.erase(list);
    windows_.Unwatch(window);
  }
}

std::size_t PreviewHost::ListSize(WindowHandle window) const {
  std::lock_guard<std::mutex> hold(listsMutex_);
  const auto list = lists_.find(window);
  return list == lists_.end() ? 0 : list->second.size();
}

void PreviewHost::Dispatch(WindowHandle window, const platform::WindowMessage& message) {
  std::vector<std::shared_ptr<PreviewGraph>> previews;
  {
    std::lock_guard<std::mutex> hold(listsMutex_);
    const auto list = lists_.find(window);
    if (list == lists_.end()) return;
    previews.reserve(list->second.size());
    for (const Entry& entry : list->second)
      if (auto preview = entry.ref.lock()) previews.push_back(std::move(preview));
  }
  for (const auto& preview : previews) preview->OnOwnerMessage(window, message);
}

// ---- PreviewGraph ----------------------------------------------------------

std::shared_ptr<PreviewGraph> PreviewGraph::Create(PreviewHost& host, std::unique_ptr<platform::FilterGraph> graph) {
  auto preview = std::make_shared<PreviewGraph>(CreateTag(), host, std::move(graph));
  host.AddUse();
  preview->counted_ = true;
  return preview;
}

PreviewGraph::PreviewGraph(CreateTag, PreviewHost& host, std::unique_ptr<platform::FilterGraph> graph)
    : host_(host), graph_(std::move(graph)) {}

PreviewGraph::~PreviewGraph() { Close(); }

HRESULT PreviewGraph::SetOwner(WindowHandle owner) {
  if (owner != 0 && !host_.windows().BelongsToThisProcess(owner)) return E_FAIL;
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (!Usable()) return E_FAIL;
  return SetOwnerLocked(owner);
}

HRESULT PreviewGraph::Start() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (!Usable()) return E_FAIL;
  runRequested_ = true;
  return Apply();
}

HRESULT PreviewGraph::Stop() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (!Usable()) return E_FAIL;
  runRequested_ = false;
  return Apply();
}

HRESULT PreviewGraph::SetVisible(LONG visibility) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (!Usable()) return E_FAIL;
  visibility_ = visibility;
  return Apply();
}

HRESULT PreviewGraph::Move(LONG left, LONG top, LONG right, LONG bottom) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (!Usable()) return E_FAIL;
  rect_ = {left, top, right, bottom};
  explicitPosition_ = true;
  return Apply();
}

void PreviewGraph::Close() {
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (closed_) return;
    if (graph_) {
      runRequested_ = false;
      Apply();
      SetOwnerLocked(0);
      built_ = false;
      graph_->RemoveAllFilters();
      graph_->ClearEventWindow();
      graph_->HideVideo();
      graph_->SetVideoOwner(0);
      graph_.reset();
    }
    closed_ = true;
  }
  // Outside the preview lock: removing the hook waits for a message being
  // delivered, and that delivery may be waiting for this very lock.
  if (counted_) {
    counted_ = false;
    host_.ReleaseUse();
  }
}

void PreviewGraph::OnOwnerMessage(WindowHandle window, const platform::WindowMessage& message) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (!Usable() || window == 0 || (window != listedTop_ && window != listedOwner_)) return;
  graph_->NotifyOwnerMessage(window, message);
  if (message.message == platform::kMessageDestroy) {
    SetOwnerLocked(0);
  } else if (message.message == platform::kMessageGraphNotify) {
    graph_->DrainEvents();
  }
}

bool PreviewGraph::GraphBuilt() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return built_;
}

WindowHandle PreviewGraph::Owner() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return owner_;
}

HRESULT PreviewGraph::SetOwnerLocked(WindowHandle owner) {
  if (listedTop_ != 0) host_.Remove(listedTop_, this);
  if (listedOwner_ != 0) host_.Remove(listedOwner_, this);
  listedTop_ = listedOwner_ = 0;
  if (owner != 0) {
    // Without a top-level ancestor the preview is entered nowhere.
    const WindowHandle top = host_.windows().TopLevelAncestor(owner);
    if (top != 0) {
      const auto self = shared_from_this();
      host_.Enter(top, self);
      listedTop_ = top;
      if (owner != top) {
        host_.Enter(owner, self);
        listedOwner_ = owner;
      }
    }
  }
  explicitPosition_ = false;
  owner_ = owner;
  return Apply();
}

HRESULT PreviewGraph::Apply() {
  if (owner_ == 0 || visibility_ != -1 || !runRequested_) return TakeDown();
  return BringUp();
}

HRESULT PreviewGraph::TakeDown() {
  GraphState state = GraphState::Stopped;
  const HRESULT query = graph_->GetState(kStateWaitMs, state);
  // A paused graph is stopped too, or its filters could not be removed and
  // the next bring-up would add a second camera filter.
  if (state == GraphState::Running) PauseGraph();
  if (FAILED(query) || state != GraphState::Stopped) graph_->Stop();
  graph_->HideVideo();
  graph_->SetVideoOwner(0);
  // Only an emptied graph counts as taken down; otherwise the next bring-up
  // keeps what is there rather than adding the camera again.
  if (built_ && graph_->RemoveAllFilters() == S_OK) built_ = false;
  return query;
}

HRESULT PreviewGraph::BringUp() {
  if (!built_) {
    // A camera filter that cannot be added or rendered is a failed preview,
    // never a running empty graph.
    if (FAILED(graph_->AddCameraFilter()) || graph_->RenderCameraOutput() != S_OK) {
      graph_->RemoveAllFilters();
      return CAM_E_PREVIEW_FAILED;
    }
    built_ = true;
  }
  platform::PreviewWindows& windows = host_.windows();
  if (!windows.IsWindow(owner_)) return E_FAIL;

  GraphState state = GraphState::Stopped;
  HRESULT hr = graph_->GetState(kStateWaitMs, state);
  if (hr != S_OK) return hr;
  if (state == GraphState::Running) {
    PauseGraph();
    graph_->Stop();
  }
  hr = graph_->HideVideo();
  if (hr != S_OK) return hr;

  // Failures from here on leave the preview as far as it got.
  graph_->SetVideoOwner(0);
  graph_->SetVideoOwner(owner_);
  if (!explicitPosition_) windows.ClientRect(owner_, rect_);
  graph_->PlaceVideo(rect_);
  const HRESULT query = graph_->GetState(kStateWaitMs, state);
  if (state != GraphState::Running) RunGraph();
  graph_->ShowVideo();
  return query;
}

HRESULT PreviewGraph::RunGraph() {
  HRESULT hr = graph_->Run();
  if (hr != S_FALSE) return hr;
  GraphState state = GraphState::Stopped;
  HRESULT query = graph_->GetState(kStateWaitMs, state);
  for (int asked = 1; query == platform::kStateIntermediate && asked < kRunStateQueries; ++asked)
    query = graph_->GetState(kStateWaitMs, state);
  if (SUCCEEDED(query) && query != platform::kStateIntermediate) hr = graph_->Run();
  return hr;
}

void PreviewGraph::PauseGraph() {
  if (graph_->Pause() != S_FALSE) return;
  GraphState state = GraphState::Stopped;
  if (graph_->GetState(kStateWaitMs, state) == platform::kCantCue) graph_->Pause();
}

}  // namespace camctl
