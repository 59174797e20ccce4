// The camera operations of the main window (Read, Set and Clear Preset, the
// preset selector, Lock/Unlock) over an editor-values record and a feedback
// interface, so that the windows and the command line run the same code.
// Every operation starts on a freshly created object with a fresh list of
// cameras, goes on only with exactly one camera, and stops at the first
// failing call, saying which call failed and with what result.
#pragma once

#include <string>
#include <string_view>

#include "app/access/camera_access.h"
#include "app/model/preset_model.h"

namespace presets {

// What an operation shows the user.
class OperationFeedback {
 public:
  virtual ~OperationFeedback() = default;
  // A message box with an OK button, titled with the application title.
  virtual void ShowMessage(std::string_view text) = 0;
  // The busy mouse pointer on or off.
  virtual void SetBusy(bool busy) = 0;
};

enum class OperationStatus : uint8_t {
  Done,
  NoCamera,        // "Camera not found. " was shown
  SeveralCameras,  // the last camera was selected, nothing more done
  Refused,         // the editors' values cannot be sent; the camera was not contacted
  InUse,           // another program's operation on the camera outlasted the wait; nothing was changed
  Failed,          // a call failed; `result` and `message` say which
};

struct OperationResult {
  OperationStatus status = OperationStatus::Done;
  HRESULT result = S_OK;
  std::string message;   // the text shown, empty when nothing was shown
  bool connected = false;  // exactly one camera was found and selected
  bool ok() const { return status == OperationStatus::Done; }
};

inline constexpr std::string_view kCameraNotFound = "Camera not found. ";
// After the operation's name and ": ".
inline constexpr std::string_view kCameraInUse =
    "the camera is in use by another program. Nothing was changed; try again when it has finished.";

// Reads the slot into `values`, each value as soon as it is read. A value
// outside its setting's choices or range fails the read and is not applied.
OperationResult ReadPreset(CameraAccess& access, OperationFeedback& feedback, int slot, EditorValues& values);

// Writes the fifteen settings in their order and registers the slot under
// the preset name. The name (at most 8 bytes in the code page, every
// character representable) and every value are checked before the camera is
// contacted.
OperationResult SetPreset(CameraAccess& access, OperationFeedback& feedback, int slot, const EditorValues& values);

// Resets the slot, then reads it back into `values`.
OperationResult ClearPreset(CameraAccess& access, OperationFeedback& feedback, int slot, EditorValues& values);

// The preset selector: the slot's access permission (kUnlocked, kLocked or
// another value the camera reports). `connected` in the result tells whether
// the Lock button becomes usable.
OperationResult QueryPermission(CameraAccess& access, OperationFeedback& feedback, int slot, LONG& permission);

// Lock Preset (lock = true) or Unlock Preset.
OperationResult ApplyLock(CameraAccess& access, OperationFeedback& feedback, int slot, bool lock);

// Exactly one camera found and selected; otherwise the reason, shown. The
// camera's operation lock is taken before it is selected and held until the
// caller's CameraAccess::OperationScope ends (the operations below open one).
OperationResult ConnectCamera(CameraAccess& access, OperationFeedback& feedback, std::string_view operation);

// Builds and shows the message of a failed call.
OperationResult Failure(OperationFeedback& feedback, std::string_view operation, std::string_view call, HRESULT hr,
                        std::string_view detail = {});

}  // namespace presets
