#include "app/ui/main_presenter.h"

#include <algorithm>

#include "app/ui/form_tables.h"

namespace presets::ui {

bool AcceptTypedLength(size_t previousLength, size_t proposedLength, size_t limit) {
  return proposedLength <= limit || proposedLength <= previousLength;
}

size_t TypedLengthKept(size_t previousLength, size_t proposedLength, size_t limit) {
  return std::min(proposedLength, std::max(limit, previousLength));
}

MainPresenter::MainPresenter(MainView& view, CameraAccess& access) : view_(view), access_(access) {}

void MainPresenter::Start() {
  view_.SetCaption("Form1", kApplicationTitle);
  for (std::string_view control : {names::kSetPreset, names::kClearPreset, names::kLock})
    view_.SetEnabled(control, false);
  lockCaption_ = kLockCaption;
  view_.SetCaption(names::kLock, lockCaption_);
  view_.SetSelectorPosition(-1);
  OnDefaults();
  ApplyLayout(1);
}

void MainPresenter::AfterShown() { view_.ShowReminder(); }

int MainPresenter::DetermineSlot() {
  const int position = view_.SelectorPosition();
  if (position >= 0) return position + 1;
  // The implicit choice of "Preset 1" runs the selector's handling first. The
  // selector moves only once one camera answered: without one nothing on
  // screen changes, and the next operation asks for the slot's permission
  // again. The operation itself would only repeat the message.
  LONG permission = 0;
  const OperationResult chosen = QueryPermission(access_, view_, kFirstSlot, permission);
  if (!chosen.connected) return 0;
  view_.SetSelectorPosition(0);
  ApplyPermission(chosen, permission);
  return kFirstSlot;
}

namespace {

// The busy pointer from construction to destruction.
class BusyPointer {
 public:
  explicit BusyPointer(OperationFeedback& view) : view_(view) { view_.SetBusy(true); }
  ~BusyPointer() { view_.SetBusy(false); }
  BusyPointer(const BusyPointer&) = delete;
  BusyPointer& operator=(const BusyPointer&) = delete;

 private:
  OperationFeedback& view_;
};

}  // namespace

template <class Operation>
void MainPresenter::ReadIntoEditors(Operation operation, int slot) {
  EditorValues values = view_.Editors();
  operation(access_, view_, slot, values);
  // Values read before a failure stay in the editors.
  view_.SetEditors(values);
}

void MainPresenter::OnReadPreset() {
  // Busy for the whole run, the implicit choice of a slot included.
  const BusyPointer busy(view_);
  if (const int slot = DetermineSlot(); slot != 0) ReadIntoEditors(ReadPreset, slot);
}

void MainPresenter::OnSetPreset() {
  const int slot = DetermineSlot();
  if (slot == 0) return;
  SetPreset(access_, view_, slot, view_.Editors());
}

void MainPresenter::OnClearPreset() {
  // The implicit choice of a slot comes before the busy pointer.
  const int slot = DetermineSlot();
  if (slot == 0) return;
  const BusyPointer busy(view_);
  ReadIntoEditors(ClearPreset, slot);
}

void MainPresenter::ApplyPermission(const OperationResult& result, LONG permission) {
  view_.SetEnabled(names::kLock, true);
  if (!result.ok()) return;
  if (permission == kUnlocked) SetWritable(true);
  if (permission == kLocked) SetWritable(false);
}

void MainPresenter::OnSelectorChosen(int position) {
  if (position < 0) return;
  LONG permission = 0;
  const OperationResult result = QueryPermission(access_, view_, position + 1, permission);
  if (result.connected) ApplyPermission(result, permission);
}

void MainPresenter::SetWritable(bool writable) {
  view_.SetEnabled(names::kSetPreset, writable);
  view_.SetEnabled(names::kClearPreset, writable);
  lockCaption_ = writable ? kLockCaption : kUnlockCaption;
  view_.SetCaption(names::kLock, lockCaption_);
}

void MainPresenter::OnLock() {
  const int slot = DetermineSlot();
  if (slot == 0) return;
  const bool lock = lockCaption_ == kLockCaption;
  if (ApplyLock(access_, view_, slot, lock).ok()) SetWritable(!lock);
}

void MainPresenter::OnDefaults() {
  EditorValues values = view_.Editors();
  ApplyDefaults(values);
  view_.SetEditors(values);
}

void MainPresenter::ApplyLayout(int layout) {
  layout_ = layout;
  view_.ArrangeLayout(layout);
  view_.SetCaption(names::kLayout, layout == 1 ? kLayout1Caption : kLayout2Caption);
}

void MainPresenter::OnLayout() { ApplyLayout(layout_ == 1 ? 2 : 1); }

void MainPresenter::OnLoadFromFile() { view_.ShowBrowser(BrowserMode::Load); }
void MainPresenter::OnSaveToFile() { view_.ShowBrowser(BrowserMode::Save); }
void MainPresenter::OnInfo() { view_.ShowAbout(); }
void MainPresenter::OnExit() { view_.CloseAll(); }

void MainPresenter::OnLevelPositionChanged(Setting setting, int position) {
  view_.SetLevelText(setting, LevelText(position));
}

void MainPresenter::OnLevelTextLeft(Setting setting, std::string_view typed) {
  const int current = view_.LevelPosition(setting);
  const int position = CheckTypedLevel(typed, current).position;
  if (position != current) {
    EditorValues values = view_.Editors();
    values[setting] = position;
    view_.SetEditors(values);  // the bar's change rewrites the text
  } else if (typed != LevelText(position)) {
    // A text that reads as the bar's position in another form (".5", "+3",
    // "ab") becomes that position: box and bar always say the same, and a
    // saved file loads back to what the window showed.
    view_.SetLevelText(setting, LevelText(position));
  }
}

}  // namespace presets::ui
