#include "camctl/preview/preview_control.h"

#include <memory>
#include <mutex>
#include <utility>

#include "camctl/common/results.h"
#include "camctl/preview/preview_graph.h"
#include "platform/preview.h"

namespace camctl {
namespace {

template <typename Operation>
HRESULT WithPreview(CameraState& state, Operation&& operation) {
  std::lock_guard<ObjectLock> hold(state.lock);
  if (state.connection == ConnectionState::Removed) return CAM_E_REMOVED;
  if (state.connection == ConnectionState::NoCamera || !state.previewGraph) return CAM_E_NOT_CONNECTED;
  return operation(*state.previewGraph);
}

}  // namespace

void CreatePreview(CameraState& state, platform::CaptureDevice& camera) {
  std::lock_guard<ObjectLock> hold(state.lock);
  DestroyPreview(state);
  std::unique_ptr<platform::FilterGraph> graph;
  if (FAILED(platform::CreateFilterGraph(camera, graph))) graph.reset();
  state.previewGraph = PreviewGraph::Create(PreviewHost::Process(), std::move(graph));
}

void DestroyPreview(CameraState& state) {
  std::lock_guard<ObjectLock> hold(state.lock);
  if (!state.previewGraph) return;
  state.previewGraph->Close();
  state.previewGraph.reset();
}

HRESULT SetPreviewOwner(CameraState& state, LONG owner) {
  // The handle is judged before anything else, whatever the object's state:
  // only an existing window that this process made can hold the preview.
  const platform::WindowHandle window = platform::WindowFromLong(owner);
  platform::PreviewWindows& windows = PreviewHost::Process().windows();
  if (window == 0 || !windows.IsWindow(window) || !windows.BelongsToThisProcess(window)) return E_FAIL;
  return WithPreview(state, [&](PreviewGraph& preview) { return preview.SetOwner(window); });
}

HRESULT StartPreview(CameraState& state) {
  return WithPreview(state, [](PreviewGraph& preview) { return preview.Start(); });
}

HRESULT StopPreview(CameraState& state) {
  return WithPreview(state, [](PreviewGraph& preview) { return preview.Stop(); });
}

HRESULT SetPreviewVisible(CameraState& state, LONG visibility) {
  return WithPreview(state, [&](PreviewGraph& preview) { return preview.SetVisible(visibility); });
}

HRESULT MovePreview(CameraState& state, LONG left, LONG top, LONG right, LONG bottom) {
  return WithPreview(state, [&](PreviewGraph& preview) { return preview.Move(left, top, right, bottom); });
}

}  // namespace camctl
