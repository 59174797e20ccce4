// The bodies of the preview interface's methods, and the preview's place in
// selecting and removing a camera. The preview never takes the camera mutex
// and never sends a camera command.
#pragma once

#include "camctl/object/camera_state.h"
#include "platform/avc_transport.h"
#include "platform/com.h"

namespace camctl {

// Creates the camera's preview (at selection). When the graph cannot be
// made the preview still exists and its methods answer E_FAIL.
void CreatePreview(CameraState& state, platform::CaptureDevice& camera);
// Takes the preview down and destroys it, if any (at removal).
void DestroyPreview(CameraState& state);

// Each takes the object lock, answers CAM_E_REMOVED for a removed camera and
// CAM_E_NOT_CONNECTED without a camera or preview, and otherwise the preview's
// result. SetPreviewOwner first, before the lock, requires an existing window
// of this process (else E_FAIL).
HRESULT SetPreviewOwner(CameraState& state, LONG owner);
HRESULT StartPreview(CameraState& state);
HRESULT StopPreview(CameraState& state);
HRESULT SetPreviewVisible(CameraState& state, LONG visibility);
HRESULT MovePreview(CameraState& state, LONG left, LONG top, LONG right, LONG bottom);

}  // namespace camctl
