// What the main window does when it is clicked, chosen in or left: the
// portable handlers of the main window over a small view interface, so that
// any front end only wires its widgets to them.
#pragma once

#include <string>
#include <string_view>

#include "app/access/camera_operations.h"
#include "app/model/preset_model.h"
#include "app/ui/form_tables.h"

namespace presets::ui {

// The editors of the "Preset Options" group and the description: the one
// store of the current settings, read and written as a whole.
class EditorStore {
 public:
  virtual ~EditorStore() = default;
  // List positions (kNoSelection for none), scroll bar positions, the name
  // and the description.
  virtual EditorValues Editors() = 0;
  // Sets every editor; a level's text box is rewritten only when its scroll
  // bar's position changes.
  virtual void SetEditors(const EditorValues& values) = 0;
};

enum class BrowserMode : uint8_t { Load, Save };

// SetBusy only records the state: a second call with the same state changes nothing.
class MainView : public EditorStore, public OperationFeedback {
 public:
  virtual void SetEnabled(std::string_view control, bool enabled) = 0;
  virtual void SetCaption(std::string_view control, std::string_view caption) = 0;
  // The preset selector's position, -1 when nothing is selected.
  virtual int SelectorPosition() = 0;
  // Selects a position without running the selector's handler.
  virtual void SetSelectorPosition(int position) = 0;
  virtual int LevelPosition(Setting setting) = 0;
  virtual void SetLevelText(Setting setting, std::string_view text) = 0;
  // Moves the panel's controls to a layout (1 or 2), sets the focus order
  // and redraws.
  virtual void ArrangeLayout(int layout) = 0;
  virtual void ShowBrowser(BrowserMode mode) = 0;  // modal
  virtual void ShowAbout() = 0;                    // modal
  virtual void ShowReminder() = 0;                 // modal
  virtual void CloseAll() = 0;
};

// Whether an edit that makes a text `proposedLength` long from
// `previousLength` is accepted by a box that takes `limit` typed characters:
// typing may not grow a text past the limit, but a longer text put there by a
// file or the camera is kept and may be shortened.
bool AcceptTypedLength(size_t previousLength, size_t proposedLength, size_t limit);

// The length an edit (typing, pasting, dropping) that makes a text
// `proposedLength` long from `previousLength` may keep in such a box: what
// does not fit is dropped from the end of the inserted text, so a paste obeys
// the same limit as typing.
size_t TypedLengthKept(size_t previousLength, size_t proposedLength, size_t limit);

class MainPresenter {
 public:
  MainPresenter(MainView& view, CameraAccess& access);

  // Start-up after the controls exist: buttons, defaults, layout 1. The view
  // then shows the window, and afterwards calls ShowReminder().
  void Start();
  void AfterShown();

  void OnReadPreset();
  void OnSetPreset();
  void OnClearPreset();
  void OnSelectorChosen(int position);
  void OnLock();
  void OnDefaults();
  void OnLayout();
  void OnLoadFromFile();
  void OnSaveToFile();
  void OnInfo();
  void OnExit();
  // A level's scroll bar moved (by the user or the program).
  void OnLevelPositionChanged(Setting setting, int position);
  // A level's text box lost the focus holding `typed`. Afterwards the box
  // always shows its scroll bar's position in the level's text form.
  void OnLevelTextLeft(Setting setting, std::string_view typed);

  int Layout() const { return layout_; }
  const std::string& LockCaption() const { return lockCaption_; }

 private:
  // The selector's slot, choosing "Preset 1" (and running its handler) when
  // nothing is chosen. 0 when that choice found no single camera: the
  // operation then stops, as the selector already said why, and the selector
  // stays without a selection.
  int DetermineSlot();
  void SetWritable(bool writable);
  // Read or Clear Preset on the slot, the editors updated after it.
  template <class Operation>
  void ReadIntoEditors(Operation operation, int slot);
  // The selector's outcome: the Lock button usable once one camera answered,
  // and the buttons and caption for a known permission.
  void ApplyPermission(const OperationResult& result, LONG permission);
  void ApplyLayout(int layout);

  MainView& view_;
  CameraAccess& access_;
  std::string lockCaption_;
  int layout_ = 1;
};

}  // namespace presets::ui
