#include "app/access/camera_operations.h"

#include <cstdio>

#include "camctl/common/results.h"
#include "platform/ansi.h"

namespace presets {

namespace {

// The busy pointer for a scope.
class BusyPointer {
 public:
  explicit BusyPointer(OperationFeedback& feedback) : feedback_(feedback) { feedback_.SetBusy(true); }
  ~BusyPointer() { feedback_.SetBusy(false); }
  BusyPointer(const BusyPointer&) = delete;
  BusyPointer& operator=(const BusyPointer&) = delete;

 private:
  OperationFeedback& feedback_;
};

// One public operation: its scope on the access layer, and its feedback, which
// gives the camera's operation lock back before any message is shown. Every
// message ends the operation, and a message box left open must not keep
// another program waiting.
class Operation final : public OperationFeedback {
 public:
  Operation(CameraAccess& access, OperationFeedback& feedback) : scope_(access), access_(access), feedback_(feedback) {}
  void ShowMessage(std::string_view text) override {
    access_.ReleaseOperationLocks();
    feedback_.ShowMessage(text);
  }
  void SetBusy(bool busy) override { feedback_.SetBusy(busy); }

 private:
  CameraAccess::OperationScope scope_;
  CameraAccess& access_;
  OperationFeedback& feedback_;
};

OperationResult Refusal(OperationFeedback& feedback, std::string_view operation, std::string_view why) {
  OperationResult result;
  result.status = OperationStatus::Refused;
  result.result = E_INVALIDARG;
  result.message = std::string(operation) + " refused: " + std::string(why) + ". Nothing was sent to the camera.";
  feedback.ShowMessage(result.message);
  return result;
}

std::string Call(std::string_view method, LONG argument, std::string_view what = {}) {
  std::string text = std::string(method) + "(" + std::to_string(argument);
  if (!what.empty()) text += ", " + std::string(what);
  return text + ")";
}

bool ValidSlot(int slot) { return slot >= kFirstSlot && slot <= kLastSlot; }
std::string SlotRefusal(int slot) { return "there is no preset slot " + std::to_string(slot) + " (slots 1 to 3)"; }

// SelectPresetAndWait, its failure said.
OperationResult SelectSlot(CameraAccess& access, OperationFeedback& feedback, std::string_view operation, int slot) {
  LONG state = 0;
  const HRESULT hr = access.SelectPresetAndWait(slot, state);
  if (hr == E_FAIL)
    return Failure(feedback, operation, "GetPresetState", hr,
                   "the camera reports preset state " + std::to_string(state));
  if (FAILED(hr)) return Failure(feedback, operation, Call("SelectPreset", slot) + " and the wait", hr);
  return {};
}

// The end of Read and Set Preset: a fresh object takes the camera's place.
OperationResult ReleaseAtEnd(CameraAccess& access, OperationFeedback& feedback, std::string_view operation) {
  const HRESULT hr = access.ReleaseCamera();
  if (FAILED(hr)) return Failure(feedback, operation, "RemoveDevice on a new object", hr);
  OperationResult done;
  done.connected = true;
  return done;
}

// Reads the slot once connected: the body shared by Read and Clear Preset.
OperationResult ReadConnectedSlot(CameraAccess& access, OperationFeedback& feedback, std::string_view operation,
                                  int slot, EditorValues& values) {
  const OperationResult selected = SelectSlot(access, feedback, operation, slot);
  if (!selected.ok()) return selected;

  auto readSetting = [&](Setting setting) -> OperationResult {
    const SettingInfo& info = Info(setting);
    LONG cameraValue = 0;
    const HRESULT read = access.ReadSetting(info.function, cameraValue);
    if (FAILED(read)) return Failure(feedback, operation, Call("GetStatus", info.function, info.name), read);
    const auto value = FromCamera(setting, cameraValue);
    if (!value)
      return Failure(feedback, operation, Call("GetStatus", info.function, info.name), camctl::CAM_E_OUT_OF_RANGE,
                     "the camera answered " + std::to_string(cameraValue) + ", outside " +
                         (info.kind == SettingKind::List ? "its choices" : std::string("0 to 12")));
    values[setting] = *value;
    return {};
  };

  // Gamma, then the name, then the others in their order.
  OperationResult step = readSetting(Setting::Gamma);
  if (!step.ok()) return step;
  platform::ComString name;
  const HRESULT hr = access.QueryPresetName(slot, name);
  if (FAILED(hr)) return Failure(feedback, operation, Call("GetPresetName", slot), hr);
  values.presetName = std::move(name);
  for (const SettingInfo& info : Settings()) {
    if (info.setting == Setting::Gamma) continue;
    step = readSetting(info.setting);
    if (!step.ok()) return step;
  }
  return ReleaseAtEnd(access, feedback, operation);
}

OperationResult ConnectAndRead(CameraAccess& access, OperationFeedback& feedback, std::string_view operation, int slot,
                               EditorValues& values) {
  const OperationResult connected = ConnectCamera(access, feedback, operation);
  if (!connected.connected) return connected;
  return ReadConnectedSlot(access, feedback, operation, slot, values);
}

}  // namespace

OperationResult Failure(OperationFeedback& feedback, std::string_view operation, std::string_view call, HRESULT hr,
                        std::string_view detail) {
  char buffer[16];
  const std::string_view name = camctl::ResultName(hr, buffer);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(hr));
  OperationResult result;
  result.status = OperationStatus::Failed;
  result.result = hr;
  const std::string code = name == std::string_view(hex) ? std::string(name) : std::string(name) + " (" + hex + ")";
  result.message = std::string(operation) + " failed: " + std::string(call) + " ";
  if (detail.empty()) {
    result.message += "returned " + code;
    const std::string_view meaning = camctl::ResultMeaning(hr);
    if (!meaning.empty()) result.message += ": " + std::string(meaning);
  } else {
    result.message += std::string(detail) + ": " + code;
  }
  feedback.ShowMessage(result.message);
  return result;
}

OperationResult ConnectCamera(CameraAccess& access, OperationFeedback& feedback, std::string_view operation) {
  LONG count = 0;
  HRESULT hr = access.EnumerateCameras(count);
  if (FAILED(hr))
    return Failure(feedback, operation, access.HasObject() ? "EnumerateDevice" : "creating the camera control object",
                   hr);
  OperationResult result;
  if (count == 0) {
    result.status = OperationStatus::NoCamera;
    result.message = std::string(kCameraNotFound);
    feedback.ShowMessage(result.message);
    return result;
  }
  // Another of our programs' operation on this camera ends before this one
  // selects it; nothing has been sent that changes the camera yet.
  switch (access.LockLastCamera()) {
    case LockOutcome::Held:
      break;
    case LockOutcome::InUse:
      result.status = OperationStatus::InUse;
      result.result = camctl::CAM_E_BUSY;
      result.message = std::string(operation) + ": " + std::string(kCameraInUse);
      feedback.ShowMessage(result.message);
      return result;
    case LockOutcome::Failed:
      return Failure(feedback, operation, "taking the camera's operation lock", E_FAIL);
  }
  hr = access.SelectLastCamera();
  if (FAILED(hr)) return Failure(feedback, operation, "SelectDevice", hr);
  if (count != 1) {
    // Said, rather than ending without a word as if the operation had worked.
    result.status = OperationStatus::SeveralCameras;
    result.message = std::to_string(count) + " cameras found. Connect only the camera to work with. ";
    feedback.ShowMessage(result.message);
    return result;
  }
  result.connected = true;
  return result;
}

OperationResult ReadPreset(CameraAccess& access, OperationFeedback& outer, int slot, EditorValues& values) {
  Operation feedback(access, outer);
  constexpr std::string_view kOperation = "Read Preset";
  if (!ValidSlot(slot)) return Refusal(feedback, kOperation, SlotRefusal(slot));
  BusyPointer busy(feedback);
  return ConnectAndRead(access, feedback, kOperation, slot, values);
}

OperationResult SetPreset(CameraAccess& access, OperationFeedback& outer, int slot, const EditorValues& values) {
  Operation feedback(access, outer);
  constexpr std::string_view kOperation = "Set Preset";
  if (!ValidSlot(slot)) return Refusal(feedback, kOperation, SlotRefusal(slot));
  // Everything the camera will get is checked before the first command, so a
  // refusal never leaves half the settings written.
  std::string why;
  if (!CheckPresetName(values.presetName, why)) return Refusal(feedback, kOperation, why);
  for (const SettingInfo& info : Settings()) {
    const int value = values[info.setting];
    if (IsSendable(info.setting, value)) continue;
    return Refusal(feedback, kOperation,
                   value == kNoSelection && info.kind == SettingKind::List
                       ? std::string(info.label) + " has no choice selected"
                       : std::string(info.label) + " holds " + std::to_string(value) + ", outside its " +
                             (info.kind == SettingKind::List ? "choices" : "range -6 to 6"));
  }

  OperationResult connected = ConnectCamera(access, feedback, kOperation);
  if (!connected.connected) return connected;
  const platform::ComString name = values.presetName;
  const OperationResult selected = SelectSlot(access, feedback, kOperation, slot);
  if (!selected.ok()) return selected;

  BusyPointer busy(feedback);
  for (const SettingInfo& info : Settings()) {
    const HRESULT hr = access.WriteSetting(info.function, ToCamera(info.setting, values[info.setting]));
    if (FAILED(hr)) return Failure(feedback, kOperation, Call("SetStatus", info.function, info.name), hr);
  }
  const HRESULT hr = access.RegisterPresetSlot(slot, name);
  if (FAILED(hr)) return Failure(feedback, kOperation, Call("RegisterPreset", slot), hr);
  return ReleaseAtEnd(access, feedback, kOperation);
}

OperationResult ClearPreset(CameraAccess& access, OperationFeedback& outer, int slot, EditorValues& values) {
  Operation feedback(access, outer);
  constexpr std::string_view kOperation = "Clear Preset";
  if (!ValidSlot(slot)) return Refusal(feedback, kOperation, SlotRefusal(slot));
  BusyPointer busy(feedback);
  const OperationResult connected = ConnectCamera(access, feedback, kOperation);
  if (!connected.connected) return connected;
  HRESULT hr = access.ResetPresetSlot(slot);
  if (FAILED(hr)) return Failure(feedback, kOperation, Call("ResetPreset", slot), hr);
  hr = access.RemoveCamera();
  if (FAILED(hr)) return Failure(feedback, kOperation, "RemoveDevice", hr);
  // Show what the camera now holds in the slot.
  return ConnectAndRead(access, feedback, kOperation, slot, values);
}

OperationResult QueryPermission(CameraAccess& access, OperationFeedback& outer, int slot, LONG& permission) {
  Operation feedback(access, outer);
  constexpr std::string_view kOperation = "Preset selection";
  if (!ValidSlot(slot)) return Refusal(feedback, kOperation, SlotRefusal(slot));
  OperationResult connected = ConnectCamera(access, feedback, kOperation);
  if (!connected.connected) return connected;
  LONG value = 0;
  const HRESULT hr = access.QueryAccessPermission(slot, value);
  if (FAILED(hr)) {
    OperationResult failed = Failure(feedback, kOperation, Call("GetAccessPermission", slot), hr);
    failed.connected = true;
    return failed;
  }
  permission = value;
  return connected;
}

OperationResult ApplyLock(CameraAccess& access, OperationFeedback& outer, int slot, bool lock) {
  Operation feedback(access, outer);
  const std::string_view operation = lock ? "Lock Preset" : "Unlock Preset";
  if (!ValidSlot(slot)) return Refusal(feedback, operation, SlotRefusal(slot));
  OperationResult connected = ConnectCamera(access, feedback, operation);
  if (!connected.connected) return connected;
  const LONG permission = lock ? kLocked : kUnlocked;
  const HRESULT hr = access.ApplyAccessPermission(slot, permission);
  if (FAILED(hr)) {
    OperationResult failed = Failure(feedback, operation, Call("SetAccessPermission", slot, lock ? "1" : "0"), hr);
    failed.connected = true;
    return failed;
  }
  return connected;
}

}  // namespace presets
