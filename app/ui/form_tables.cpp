#include "app/ui/form_tables.h"

#include <array>
#include <vector>

#include "app/model/preset_model.h"

namespace presets::ui {

namespace {

using K = ControlKind;

constexpr ControlSpec Fixed(K kind, std::string_view name, std::string_view parent, std::string_view caption,
                            std::string_view tooltip, Twips place, Align align = Align::Left) {
  return {kind, name, parent, caption, tooltip, place, place, align};
}

constexpr int kGap = 120;        // between a right-aligned label and its control
constexpr int kLabelHeight = 255;
constexpr Twips kListSize{0, 0, 1815, 315};
constexpr Twips kBarSize{0, 0, 2055, 255};
constexpr Twips kLevelBoxSize{0, 0, 375, 285};

// One editor row in each layout: the label's left, the control's left (for a
// level: the scroll bar's, then the text box's) and the row's top.
struct Row {
  int labelLeft, controlLeft, boxLeft, top;
};
struct EditorPlace {
  Setting setting;
  std::string_view labelName;
  std::string_view boxName;  // level settings only
  Row layout1, layout2;
};

constexpr std::array<EditorPlace, kSettingCount> kEditorPlaces{{
    {Setting::Gamma, "Label_Gamma", {}, {1080, 1800, 0, 1200}, {1080, 1800, 0, 1560}},
    {Setting::Knee, "Label_Knee", {}, {1200, 1800, 0, 2280}, {1200, 1800, 0, 1920}},
    {Setting::Black, "Label_Black", {}, {1200, 1800, 0, 2760}, {1200, 1800, 0, 2280}},
    {Setting::NR, "Label_NR", {}, {480, 1800, 0, 3360}, {5880, 7440, 0, 4200}},
    {Setting::VDetail, "Label_VDetail", {}, {600, 1800, 0, 3960}, {6000, 7440, 0, 1920}},
    {Setting::ColorMatrix, "Label_ColorMatrix", {}, {840, 1800, 0, 1680}, {840, 2040, 0, 3240}},
    {Setting::ColorGain, "Label_ColorGain", "Text_ColorGain", {6240, 7320, 9480, 480}, {720, 1800, 3960, 3600}},
    {Setting::ColorPhase, "Label_ColorPhase", "Text_ColorPhase", {6240, 7320, 9480, 960}, {720, 1800, 3960, 3960}},
    {Setting::Red, "Label_Red", "Text_Red", {6120, 7320, 9480, 1440}, {6000, 7200, 9360, 600}},
    {Setting::Green, "Label_Green", "Text_Green", {6000, 7320, 9480, 1800}, {5880, 7200, 9360, 960}},
    {Setting::Blue, "Label_Blue", "Text_Blue", {6120, 7320, 9480, 2160}, {6000, 7200, 9360, 1320}},
    {Setting::Sharpness, "Label_Sharpness", "Text_Sharpness", {6240, 7320, 9480, 2640}, {6120, 7200, 9360, 2280}},
    {Setting::SetupLevel, "Label_SetupLevel", "Text_SetupLevel", {6120, 7320, 9480, 3600}, {5880, 7200, 9360, 3480}},
    {Setting::Coring, "Label_Coring", "Text_Coring", {6480, 7320, 9480, 3120}, {6360, 7200, 9360, 2640}},
    {Setting::MasterPed, "Label_MasterPed", "Text_MasterPed", {6360, 7320, 9480, 4080}, {6240, 7200, 9360, 3840}},
}};

Twips LabelPlace(const Row& row) {
  return {row.labelLeft, row.top, row.controlLeft - kGap - row.labelLeft, kLabelHeight};
}
Twips At(Twips size, int left, int top) { return {left, top, size.width, size.height}; }

constexpr std::string_view kOptions = names::kOptionsPanel;

std::vector<ControlSpec> BuildMainControls() {
  std::vector<ControlSpec> c = {
      Fixed(K::Picture, names::kBanner, {}, {}, {}, {480, 120, 3150, 1245}),
      Fixed(K::Button, names::kInfo, {}, "Info", {}, {9720, 120, 1215, 375}),
      Fixed(K::Frame, "Frame_CameraOperations", {}, {}, {}, {1920, 720, 9135, 1215}),
      Fixed(K::Panel, "Panel_CameraOperations", {}, {}, {}, {2040, 960, 8895, 855}),
      Fixed(K::Label, "Label17", "Panel_CameraOperations", "Camera Operations", {}, {0, 0, 8895, 375}, Align::Centre),
      Fixed(K::Label, "Label30", "Panel_CameraOperations", "Preset", {}, {0, 0, 855, 255}),
      Fixed(K::EditableCombo, names::kSelector, "Panel_CameraOperations", {}, {}, {720, 0, 1335, 315}),
      Fixed(K::Button, names::kReadPreset, "Panel_CameraOperations", "Read Preset",
            "Read settings from selected camera preset", {720, 480, 1815, 375}),
      Fixed(K::Button, names::kSetPreset, "Panel_CameraOperations", "Set Preset",
            "Send settings to selected camera preset", {2760, 480, 1815, 375}),
      Fixed(K::Button, names::kClearPreset, "Panel_CameraOperations", "Clear Preset", "Clear selected camera preset",
            {4800, 480, 1575, 375}),
      Fixed(K::Button, names::kLock, "Panel_CameraOperations", kLockCaption,
            "Set Preset to either Protected or Unprotected mode", {6600, 480, 1575, 375}),
      Fixed(K::Frame, "Frame_PresetOptions", {}, {}, {}, {480, 2280, 10575, 5160}),
      Fixed(K::Panel, kOptions, {}, {}, {}, {600, 2520, 10335, 4815}),
      Fixed(K::Button, names::kLayout, kOptions, kLayout1Caption, "Change Screen Layout", {0, 0, 1815, 375}),
      Fixed(K::Button, names::kDefaults, kOptions, "Default Settings", "Reset on screen settings",
            {1920, 0, 1815, 375}),
      Fixed(K::Label, "Label20", kOptions, "Preset Options", {}, {4320, 0, 1695, 255}),
      Fixed(K::Label, "Label_PresetName", kOptions, "Preset Name", {}, {360, 600, 1800 - kGap - 360, kLabelHeight},
            Align::Right),
  };
  ControlSpec name = Fixed(K::TextBox, names::kPresetName, kOptions, {}, {}, {1800, 600, 1455, 285});
  name.maxTyped = static_cast<int>(kMaxNameBytes);
  c.push_back(name);
  for (const EditorPlace& e : kEditorPlaces) {
    const SettingInfo& info = Info(e.setting);
    c.push_back({K::Label, e.labelName, kOptions, info.label, {}, LabelPlace(e.layout1), LabelPlace(e.layout2),
                 Align::Right});
    if (info.kind == SettingKind::List) {
      c.push_back({K::DropDownList, info.control, kOptions, {}, {}, At(kListSize, e.layout1.controlLeft, e.layout1.top),
                   At(kListSize, e.layout2.controlLeft, e.layout2.top)});
      continue;
    }
    c.push_back({K::HScroll, info.control, kOptions, {}, {}, At(kBarSize, e.layout1.controlLeft, e.layout1.top),
                 At(kBarSize, e.layout2.controlLeft, e.layout2.top)});
    ControlSpec box{K::TextBox, e.boxName, kOptions, "0", {}, At(kLevelBoxSize, e.layout1.boxLeft, e.layout1.top),
                    At(kLevelBoxSize, e.layout2.boxLeft, e.layout2.top), Align::Centre};
    box.maxTyped = 2;
    c.push_back(box);
  }
  c.push_back(Fixed(K::Frame, "Frame_FileOperations", {}, {}, {}, {480, 7440, 10575, 2055}));
  c.push_back(Fixed(K::Panel, "Panel_FileOperations", {}, {}, {}, {720, 7680, 10215, 1575}));
  c.push_back(Fixed(K::Label, "Label18", "Panel_FileOperations", "File Operations", {}, {120, 0, 10095, 255},
                    Align::Centre));
  c.push_back(Fixed(K::Label, "Label19", "Panel_FileOperations",
                    "Description: Optional information to be stored on file", {}, {600, 360, 5055, 255}));
  ControlSpec description =
      Fixed(K::TextBox, names::kDescription, "Panel_FileOperations", {}, {}, {600, 720, 8895, 375});
  description.maxTyped = 100;
  c.push_back(description);
  c.push_back(Fixed(K::Button, names::kLoadFromFile, "Panel_FileOperations", "Load from File",
                    "Load settings from file", {1920, 1200, 1815, 375}));
  c.push_back(Fixed(K::Button, names::kSaveToFile, "Panel_FileOperations", "Save to File",
                    "Save shown settings to file", {4200, 1200, 1815, 375}));
  c.push_back(Fixed(K::Button, names::kExit, "Panel_FileOperations", "Exit", "Exit !", {6480, 1200, 1815, 375}));
  return c;
}

// The panel's focus order in a layout, between the camera operations and the
// file operations.
std::vector<std::string_view> BuildMainFocus(int layout) {
  std::vector<std::string_view> order = {names::kSelector, names::kReadPreset, names::kSetPreset,
                                         names::kClearPreset, names::kLock, names::kLayout, names::kDefaults,
                                         names::kPresetName};
  using S = Setting;
  const std::array<S, kSettingCount> layout1 = {S::Gamma,      S::ColorMatrix, S::Knee,      S::Black,  S::NR,
                                                S::VDetail,    S::ColorGain,   S::ColorPhase, S::Red,    S::Green,
                                                S::Blue,       S::Sharpness,   S::Coring,    S::SetupLevel, S::MasterPed};
  const std::array<S, kSettingCount> layout2 = {S::Gamma,  S::Knee,      S::Black,  S::ColorMatrix, S::ColorGain,
                                                S::ColorPhase, S::Red,   S::Green,  S::Blue,        S::VDetail,
                                                S::Sharpness,  S::Coring, S::SetupLevel, S::MasterPed, S::NR};
  for (S s : layout == 2 ? layout2 : layout1) {
    order.push_back(Info(s).control);
    for (const EditorPlace& e : kEditorPlaces)
      if (e.setting == s && !e.boxName.empty()) order.push_back(e.boxName);
  }
  for (std::string_view n : {names::kDescription, names::kLoadFromFile, names::kSaveToFile, names::kExit,
                             names::kInfo})
    order.push_back(n);
  return order;
}

constexpr std::array<ControlSpec, 11> kBrowserControls{{
    Fixed(K::DriveList, "Drive1", {}, {}, {}, {120, 120, 3000, 315}),
    Fixed(K::DirList, "Dir1", {}, {}, {}, {120, 540, 3000, 2430}),
    Fixed(K::FileList, "File1", {}, "*.DQX", {}, {3240, 120, 3375, 2850}),
    Fixed(K::Label, "Label_FileName", {}, "Filename", {}, {120, 3150, 1000, 255}),
    Fixed(K::TextBox, "Text_FileName", {}, {}, {}, {1200, 3120, 5415, 315}),
    Fixed(K::Label, "Label_Description", {}, "Description in existing file", {}, {120, 3570, 2200, 255}),
    Fixed(K::TextBox, "Text_Description", {}, {}, {}, {2400, 3540, 4215, 315}),
    {K::TextBox, "Text_RtnVal", {}, {}, {}, {120, 4080, 375, 315}, {120, 4080, 375, 315}, Align::Left, 0, false,
     false},
    Fixed(K::Button, "btnLoad", {}, "Load", {}, {1560, 4080, 1095, 375}),
    Fixed(K::Button, "btnSave", {}, "Save", {}, {2880, 4080, 1095, 375}),
    Fixed(K::Button, "btnCancel", {}, "Cancel", {}, {4200, 4080, 1095, 375}),
}};
constexpr std::array<std::string_view, 8> kBrowserFocus = {"Drive1",        "Dir1",    "File1",   "Text_FileName",
                                                           "Text_Description", "btnLoad", "btnSave", "btnCancel"};

constexpr std::array<ControlSpec, 3> kWarningControls{{
    {K::Label, "frmWarning", {}, {}, {}, {240, 240, 4200, 735}, {240, 240, 4200, 735}, Align::Left, 0, true},
    Fixed(K::Button, "Command1", {}, "Yes", {}, {960, 1200, 1095, 375}),
    Fixed(K::Button, "Command2", {}, "No", {}, {2640, 1200, 1095, 375}),
}};
constexpr std::array<std::string_view, 2> kWarningFocus = {"Command1", "Command2"};

constexpr std::array<ControlSpec, 6> kDeleteControls{{
    Fixed(K::Label, "Label1", {}, "Filename:", {}, {240, 240, 900, 255}),
    Fixed(K::Label, "Label2", {}, {}, {}, {1200, 240, 3255, 255}),
    Fixed(K::Label, "Label3", {}, "Are you sure you want to delete  this file?", {}, {240, 600, 4215, 255}),
    Fixed(K::TextBox, "Text1", {}, {}, {}, {240, 960, 4215, 285}),
    Fixed(K::Button, "Command1", {}, "Delete File", {}, {720, 1440, 1455, 375}),
    Fixed(K::Button, "Command2", {}, "Cancel", {}, {2520, 1440, 1455, 375}),
}};
constexpr std::array<std::string_view, 3> kDeleteFocus = {"Text1", "Command1", "Command2"};

constexpr std::array<ControlSpec, 3> kReminderControls{{
    Fixed(K::Picture, "Image1", {}, {}, {}, {0, 0, 3150, 1245}),
    {K::Label, "Label1", {}, {}, {}, {240, 1440, 3975, 975}, {240, 1440, 3975, 975}, Align::Left, 0, true},
    Fixed(K::Button, "Continue", {}, "Continue", {}, {1080, 2520, 2055, 495}),
}};
constexpr std::array<std::string_view, 1> kReminderFocus = {"Continue"};

constexpr std::array<ControlSpec, 6> kAboutControls{{
    Fixed(K::Picture, "picIcon", {}, {}, {}, {240, 240, 540, 540}),
    {K::Label, "lblTitle", {}, {}, {}, {1050, 240, 4485, 480}, {1050, 240, 4485, 480}, Align::Left, 0, true},
    Fixed(K::Label, "lblVersion", {}, {}, {}, {1050, 780, 4485, 225}),
    {K::Label, "lblDisclaimer", {}, {}, {}, {1050, 1125, 4485, 615}, {1050, 1125, 4485, 615}, Align::Left, 0, true},
    Fixed(K::LinkLabel, "Label1", {}, kPublisherAddress, {}, {1050, 1860, 4485, 255}),
    Fixed(K::Button, "cmdOK", {}, "OK", {}, {4245, 2520, 1260, 375}),
}};
constexpr std::array<std::string_view, 2> kAboutFocus = {"cmdOK", "Label1"};

}  // namespace

const FormSpec& MainForm() {
  static const std::vector<ControlSpec> controls = BuildMainControls();
  static const std::vector<std::string_view> focus1 = BuildMainFocus(1);
  static const std::vector<std::string_view> focus2 = BuildMainFocus(2);
  static const FormSpec form{"Form1", kApplicationTitle, 11445, 9750, controls, focus1, focus2};
  return form;
}

const FormSpec& BrowserForm() {
  static const FormSpec form{"Form2", kApplicationTitle, 6735, 4620, kBrowserControls, kBrowserFocus, kBrowserFocus};
  return form;
}

const FormSpec& WarningForm() {
  static const FormSpec form{"Form3", kApplicationTitle, 4680, 1800, kWarningControls, kWarningFocus, kWarningFocus};
  return form;
}

const FormSpec& DeleteForm() {
  static const FormSpec form{"deletion", "Delete File", 4695, 2040, kDeleteControls, kDeleteFocus, kDeleteFocus};
  return form;
}

const FormSpec& ReminderForm() {
  static const FormSpec form{"Reminder", "Reminder", 4680, 3210, kReminderControls, kReminderFocus, kReminderFocus};
  return form;
}

const FormSpec& AboutForm() {
  static const FormSpec form{"frmAbout", {}, 5730, 3075, kAboutControls, kAboutFocus, kAboutFocus};
  return form;
}

std::span<const FormSpec* const> AllForms() {
  static const std::array<const FormSpec*, 6> forms = {&MainForm(),   &BrowserForm(),  &WarningForm(),
                                                       &DeleteForm(), &ReminderForm(), &AboutForm()};
  return forms;
}

const ControlSpec* FindControl(const FormSpec& form, std::string_view name) {
  for (const ControlSpec& control : form.controls)
    if (control.name == name) return &control;
  return nullptr;
}

}  // namespace presets::ui
