// The windows' contents as data: for every form, each control's kind, name,
// caption, tool tip and place (twips) in both screen layouts, and the focus
// orders. The Qt windows are built from these tables; a Win32 front end can be
// built from the same ones.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace presets::ui {

enum class ControlKind : uint8_t {
  Frame,          // a plain frame without caption
  Panel,          // a borderless container; its controls are placed inside it
  Picture,
  Label,
  LinkLabel,      // a label that opens an address when clicked
  Button,
  EditableCombo,  // drop-down list the user may also type into
  DropDownList,   // drop-down list with a choice only
  TextBox,
  HScroll,
  DriveList,
  DirList,
  FileList,
};

enum class Align : uint8_t { Left, Centre, Right };

struct Twips {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool operator==(const Twips&) const = default;
};

struct ControlSpec {
  ControlKind kind;
  std::string_view name;
  std::string_view parent;   // the panel it is placed in; empty: the client area
  std::string_view caption;  // caption, initial text or first choice list entry
  std::string_view tooltip;
  Twips layout1;
  Twips layout2;             // the same as layout1 outside the "Preset Options" panel
  Align align = Align::Left;
  int maxTyped = 0;          // typing limit in characters; 0: none
  bool wordWrap = false;
  bool visible = true;
};

struct FormSpec {
  std::string_view name;
  std::string_view caption;
  int clientWidth;   // twips
  int clientHeight;
  std::span<const ControlSpec> controls;
  std::span<const std::string_view> focusOrder1;  // tab order, layout 1
  std::span<const std::string_view> focusOrder2;  // tab order, layout 2
};

const FormSpec& MainForm();      // Form1
const FormSpec& BrowserForm();   // Form2
const FormSpec& WarningForm();   // Form3
const FormSpec& DeleteForm();    // deletion
const FormSpec& ReminderForm();  // Reminder
const FormSpec& AboutForm();     // frmAbout
std::span<const FormSpec* const> AllForms();

const ControlSpec* FindControl(const FormSpec& form, std::string_view name);
inline const Twips& Place(const ControlSpec& control, int layout) {
  return layout == 2 ? control.layout2 : control.layout1;
}

// Twips to pixels at 96 dpi (15 twips a pixel), rounded to nearest.
constexpr int TwipsToPixels(int twips) { return (twips * 2 + 15) / 30; }

// Control names the presenters and the windows share.
namespace names {
inline constexpr std::string_view kSelector = "Combo_Settings";
inline constexpr std::string_view kSetPreset = "Command1";
inline constexpr std::string_view kReadPreset = "Command2";
inline constexpr std::string_view kClearPreset = "Command3";
inline constexpr std::string_view kLoadFromFile = "Command4";
inline constexpr std::string_view kSaveToFile = "Command5";
inline constexpr std::string_view kExit = "Command6";
inline constexpr std::string_view kDefaults = "Command7";
inline constexpr std::string_view kInfo = "Command8";
inline constexpr std::string_view kLock = "Command9";
inline constexpr std::string_view kLayout = "Command10";
inline constexpr std::string_view kPresetName = "Text_PresetName";
inline constexpr std::string_view kDescription = "Text_Description";
inline constexpr std::string_view kBanner = "Image1";
inline constexpr std::string_view kOptionsPanel = "Panel_PresetOptions";
}  // namespace names

inline constexpr std::string_view kLockCaption = "Lock Preset";
inline constexpr std::string_view kUnlockCaption = "Unlock Preset";
inline constexpr std::string_view kLayout1Caption = "Layout 1";
inline constexpr std::string_view kLayout2Caption = "Layout 2";

// About window texts.
// The release version comes from the build (the project version).
#if !defined(VELQUIN_VERSION_MAJOR) || !defined(VELQUIN_VERSION_MINOR) || !defined(VELQUIN_VERSION_REVISION)
#error "the build defines VELQUIN_VERSION_MAJOR, _MINOR and _REVISION"
#endif
inline constexpr int kVersionMajor = VELQUIN_VERSION_MAJOR;
inline constexpr int kVersionMinor = VELQUIN_VERSION_MINOR;
inline constexpr int kVersionRevision = VELQUIN_VERSION_REVISION;
inline constexpr std::string_view kPublisherAddress = "https://marrowfield.example/kv7-presets";
inline constexpr std::string_view kAboutTitleSuffix = " For Windows XP SP1 and above";
inline constexpr std::string_view kDisclaimer =
    "For further information regards the use and functionality of this program please visit us at:";
inline constexpr std::string_view kReminderText =
    "Please ensure you have connected your camera to your PC with the IEEE1394 cable, and you have your camera dial "
    "set to the EXT.CONT. position";
inline constexpr std::string_view kDeleteCaption = "Delete File";

}  // namespace presets::ui
