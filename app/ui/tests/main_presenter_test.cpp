// The main window's handlers over a recording view and the scripted camera:
// start-up state, the selector's and Lock button's caption rules, the implicit
// choice of "Preset 1", messages and the busy pointer, level boxes, layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/access/tests/fake_camera.h"
#include "app/ui/form_tables.h"
#include "app/ui/main_presenter.h"
#include "camctl/common/results.h"

namespace presets::ui {
namespace {

using presets::testing::FakeFactory;
using presets::testing::FakeScript;

class FakeMainView final : public MainView {
 public:
  explicit FakeMainView(FakeScript& script) : script_(script) {}
  EditorValues Editors() override { return editors; }
  void SetEditors(const EditorValues& values) override {
    for (const SettingInfo& info : Settings())
      if (info.kind == SettingKind::Level && values[info.setting] != editors[info.setting])
        levelText[info.setting] = LevelText(values[info.setting]);
    editors = values;
  }
  void ShowMessage(std::string_view text) override { script_.log.push_back("message: " + std::string(text)); }
  void SetBusy(bool on) override {
    if (on == busy) return;
    busy = on;
    script_.log.push_back(on ? "busy on" : "busy off");
  }
  void SetEnabled(std::string_view control, bool on) override { enabled[std::string(control)] = on; }
  void SetCaption(std::string_view control, std::string_view caption) override {
    captions[std::string(control)] = std::string(caption);
  }
  int SelectorPosition() override { return selector; }
  void SetSelectorPosition(int position) override { selector = position; }
  int LevelPosition(Setting setting) override { return editors[setting]; }
  void SetLevelText(Setting setting, std::string_view text) override { levelText[setting] = std::string(text); }
  void ArrangeLayout(int layout) override { arranged.push_back(layout); }
  void ShowBrowser(BrowserMode mode) override { script_.log.push_back(mode == BrowserMode::Load ? "load" : "save"); }
  void ShowAbout() override { script_.log.push_back("about"); }
  void ShowReminder() override { script_.log.push_back("reminder"); }
  void CloseAll() override { script_.log.push_back("close"); }

  EditorValues editors;
  std::map<Setting, std::string> levelText;
  std::map<std::string, bool> enabled;
  std::map<std::string, std::string> captions;
  std::vector<int> arranged;
  int selector = 5;
  bool busy = false;

 private:
  FakeScript& script_;
};

struct Fixture {
  std::shared_ptr<FakeScript> script = std::make_shared<FakeScript>();
  FakeMainView view{*script};
  CameraAccess access{FakeFactory(script), PresetStateWait{std::chrono::milliseconds(0), 3, [](auto) {}}};
  MainPresenter presenter{view, access};
  Fixture() {
    view.editors[Setting::Red] = 4;
    view.editors.description = COM_TEXT("kept");
    presenter.Start();
    script->log.clear();
  }
  size_t Count(const std::string& entry) const {
    return static_cast<size_t>(std::count(script->log.begin(), script->log.end(), entry));
  }
};

TEST(MainPresenter, StartUpStateWithoutContactingTheCamera) {
  Fixture f;
  EXPECT_EQ(f.script->created, 0);
  EXPECT_FALSE(f.view.enabled.at("Command1"));
  EXPECT_FALSE(f.view.enabled.at("Command3"));
  EXPECT_FALSE(f.view.enabled.at("Command9"));
  EXPECT_EQ(f.view.captions.at("Command9"), "Lock Preset");
  EXPECT_EQ(f.view.captions.at("Command10"), "Layout 1");
  EXPECT_EQ(f.view.captions.at("Form1"), "Marrowfield KV7 Presets Manager");
  EXPECT_EQ(f.view.selector, -1);
  EditorValues expected = DefaultValues();
  expected.description = COM_TEXT("kept");
  EXPECT_EQ(f.view.editors, expected);
  EXPECT_EQ(f.view.levelText.at(Setting::Red), "0");  // its bar moved from 4
  EXPECT_EQ(f.view.arranged, std::vector<int>{1});
  f.presenter.AfterShown();
  EXPECT_EQ(f.script->log, std::vector<std::string>{"reminder"});
}

// Lock caption and button rules for each permission the selector can read.
TEST(MainPresenter, SelectorAppliesThePermission) {
  struct Case {
    LONG permission;
    bool writable;
    const char* caption;
  };
  for (const Case& c : {Case{0, true, "Lock Preset"}, Case{1, false, "Unlock Preset"}, Case{7, false, "Lock Preset"}}) {
    Fixture f;
    f.script->permission[2] = c.permission;
    f.presenter.OnSelectorChosen(1);
    EXPECT_TRUE(f.view.enabled.at("Command9")) << c.permission;
    EXPECT_EQ(f.view.enabled.at("Command1"), c.writable) << c.permission;
    EXPECT_EQ(f.view.enabled.at("Command3"), c.writable) << c.permission;
    EXPECT_EQ(f.view.captions.at("Command9"), c.caption) << c.permission;
    EXPECT_EQ(f.Count("#1 GetAccessPermission(2)"), 1u);
  }
}

TEST(MainPresenter, LockTogglesCaptionAndButtonsOnlyWhenTheCameraAccepts) {
  Fixture f;
  f.view.selector = 2;
  f.presenter.OnLock();
  EXPECT_EQ(f.Count("#1 SetAccessPermission(3,1)"), 1u);
  EXPECT_EQ(f.view.captions.at("Command9"), "Unlock Preset");
  EXPECT_FALSE(f.view.enabled.at("Command1"));
  f.presenter.OnLock();
  EXPECT_EQ(f.Count("#2 SetAccessPermission(3,0)"), 1u);
  EXPECT_EQ(f.view.captions.at("Command9"), "Lock Preset");
  EXPECT_TRUE(f.view.enabled.at("Command3"));

  f.script->failures["SetAccessPermission(3,1)"] = camctl::CAM_E_REJECTED;
  f.presenter.OnLock();
  EXPECT_EQ(f.view.captions.at("Command9"), "Lock Preset");
  EXPECT_TRUE(f.view.enabled.at("Command1"));
  EXPECT_NE(f.script->log.back().find("message: Lock Preset failed"), std::string::npos);
}

TEST(MainPresenter, ReadWithNothingChosenChoosesPreset1First) {
  Fixture f;
  f.script->permission[1] = 1;
  f.script->status[20] = 0;  // Color Gain -6
  f.presenter.OnReadPreset();
  EXPECT_EQ(f.view.selector, 0);
  EXPECT_EQ(f.view.captions.at("Command9"), "Unlock Preset");
  EXPECT_EQ(f.Count("#1 GetAccessPermission(1)"), 1u);
  EXPECT_EQ(f.Count("#2 SelectPreset(1)"), 1u);
  EXPECT_EQ(f.view.editors[Setting::ColorGain], -6);
  EXPECT_EQ(f.view.levelText.at(Setting::ColorGain), "-6");
  EXPECT_FALSE(f.view.busy);
  // Busy from before the permission query to the end.
  EXPECT_EQ(f.script->log.front(), "busy on");
  EXPECT_EQ(f.script->log.back(), "busy off");
  EXPECT_EQ(f.Count("busy on"), 1u);
}

// No camera: one message, whichever operation, and the pointer back to normal.
TEST(MainPresenter, NoCameraShowsOneMessageAndChangesNothing) {
  using Handler = void (MainPresenter::*)();
  for (Handler handler : {&MainPresenter::OnReadPreset, &MainPresenter::OnSetPreset, &MainPresenter::OnClearPreset,
                          &MainPresenter::OnLock}) {
    for (int selector : {-1, 1}) {
      Fixture f;
      f.script->devices.clear();
      f.view.selector = selector;
      const EditorValues before = f.view.editors;
      (f.presenter.*handler)();
      EXPECT_EQ(f.Count("message: Camera not found. "), 1u);
      EXPECT_FALSE(f.view.busy);
      EXPECT_EQ(f.view.editors, before);
      EXPECT_EQ(f.view.selector, selector);  // no implicit choice without a camera
      EXPECT_FALSE(f.view.enabled.at("Command9"));
    }
  }
}

// The implicit choice of "Preset 1" once the camera is back after it was
// missing: the slot's permission is read again (the failed attempt chose
// nothing); Read is busy from before the choice, Clear only after it.
TEST(MainPresenter, ImplicitChoiceAfterTheCameraCameBack) {
  using Handler = void (MainPresenter::*)();
  struct Case {
    Handler handler;
    bool busyBeforeChoice;
  };
  for (const Case& c : {Case{&MainPresenter::OnReadPreset, true}, Case{&MainPresenter::OnClearPreset, false}}) {
    Fixture f;
    const std::vector<std::string> devices = f.script->devices;
    f.script->devices.clear();
    (f.presenter.*c.handler)();
    f.script->devices = devices;
    f.script->log.clear();
    (f.presenter.*c.handler)();
    EXPECT_EQ(f.view.selector, 0);
    EXPECT_TRUE(f.view.enabled.at("Command1") && f.view.enabled.at("Command3") && f.view.enabled.at("Command9"));
    const auto& log = f.script->log;
    const auto choice = std::find_if(log.begin(), log.end(), [](const std::string& entry) {
      return entry.ends_with(" GetAccessPermission(1)");
    });
    const auto busy = std::find(log.begin(), log.end(), "busy on");
    ASSERT_NE(choice, log.end());
    ASSERT_NE(busy, log.end());
    EXPECT_EQ(busy < choice, c.busyBeforeChoice);
    EXPECT_EQ(log.back(), "busy off");
  }
}

TEST(MainPresenter, FailedReadKeepsWhatWasReadAndRestoresThePointer) {
  Fixture f;
  f.view.selector = 0;
  f.script->status[31] = 1;
  f.script->status[32] = 2;
  f.script->names[1] = u"DUSK";
  f.script->failures["GetStatus(33)"] = camctl::CAM_E_TIMEOUT;
  f.presenter.OnReadPreset();
  EXPECT_EQ(f.view.editors[Setting::Gamma], 1);
  EXPECT_EQ(f.view.editors[Setting::Knee], 2);
  EXPECT_EQ(f.view.editors.presetName, COM_TEXT("DUSK"));
  EXPECT_EQ(f.view.editors[Setting::Black], 1);
  EXPECT_EQ(f.script->log.back(), "busy off");
  EXPECT_EQ(f.Count("busy on"), 1u);
}

TEST(MainPresenter, SetPresetSendsTheEditorsAndClearReadsBack) {
  Fixture f;
  f.view.selector = 1;
  f.view.editors[Setting::MasterPed] = 6;
  f.view.editors.presetName = COM_TEXT("NIGHT");
  f.presenter.OnSetPreset();
  EXPECT_EQ(f.Count("#1 SetStatus(28,12)"), 1u);
  EXPECT_EQ(f.Count("#1 RegisterPreset(2,NIGHT)"), 1u);
  EXPECT_FALSE(f.view.busy);

  f.script->status[28] = 0;
  f.presenter.OnClearPreset();
  EXPECT_EQ(f.Count("#3 ResetPreset(2)"), 1u);
  EXPECT_EQ(f.view.editors[Setting::MasterPed], -6);
  EXPECT_FALSE(f.view.busy);
}

TEST(MainPresenter, LevelBoxLeavingTheFocus) {
  struct Case {
    int position;
    const char* typed;
    int newPosition;
    const char* text;
  };
  for (const Case& c : {Case{0, "7", 0, "0"}, Case{2, "-9", 0, "0"}, Case{0, "-6", -6, "-6"}, Case{0, "ab", 0, "0"},
                        Case{1, "-", 0, "0"}, Case{0, ".6", 1, "1"}, Case{0, ".5", 0, "0"}, Case{3, "3", 3, "3"},
                        Case{3, "+3", 3, "3"}, Case{-2, "-2.", -2, "-2"}}) {
    Fixture f;
    f.view.editors[Setting::Coring] = c.position;
    f.view.levelText[Setting::Coring] = c.typed;
    f.presenter.OnLevelTextLeft(Setting::Coring, c.typed);
    EXPECT_EQ(f.view.editors[Setting::Coring], c.newPosition) << c.typed;
    EXPECT_EQ(f.view.levelText[Setting::Coring], c.text) << c.typed;
    // What the box shows is what a saved file holds.
    EXPECT_EQ(f.view.levelText[Setting::Coring], LevelText(f.view.editors[Setting::Coring])) << c.typed;
  }
}

TEST(MainPresenter, LayoutButtonSwitchesAndOtherButtonsReachTheirWindows) {
  Fixture f;
  const EditorValues before = f.view.editors;
  f.presenter.OnLayout();
  EXPECT_EQ(f.view.captions.at("Command10"), "Layout 2");
  f.presenter.OnLayout();
  EXPECT_EQ(f.view.captions.at("Command10"), "Layout 1");
  EXPECT_EQ(f.view.arranged, (std::vector<int>{1, 2, 1}));
  EXPECT_EQ(f.view.editors, before);
  f.presenter.OnLoadFromFile();
  f.presenter.OnSaveToFile();
  f.presenter.OnInfo();
  f.presenter.OnExit();
  EXPECT_EQ(f.script->log, (std::vector<std::string>{"load", "save", "about", "close"}));
  EXPECT_EQ(f.script->created, 0);
}

TEST(MainPresenter, TypingLimitNeverCutsAText) {
  EXPECT_TRUE(AcceptTypedLength(7, 8, 8));
  EXPECT_FALSE(AcceptTypedLength(8, 9, 8));
  EXPECT_TRUE(AcceptTypedLength(12, 11, 8));  // a long name from a file may be shortened
  EXPECT_TRUE(AcceptTypedLength(12, 12, 8));  // or edited in place
  EXPECT_FALSE(AcceptTypedLength(12, 13, 8));
  struct Case {
    size_t previous, proposed, limit, kept;
  };
  // Pasting keeps what fits; a long text from a file keeps its length.
  for (const Case& c : {Case{2, 12, 8, 8}, Case{0, 8, 8, 8}, Case{12, 15, 8, 12}, Case{12, 4, 8, 4},
                        Case{0, 101, 100, 100}, Case{1, 3, 2, 2}})
    EXPECT_EQ(TypedLengthKept(c.previous, c.proposed, c.limit), c.kept) << c.previous << " " << c.proposed;
}

}  // namespace
}  // namespace presets::ui
