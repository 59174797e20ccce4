// presets.exe driven from outside, the way clicks and keys reach it: its
// windows are found by caption and owner, its controls by the identifiers the
// form tables give them (1000 + index, inside their panel), and it is driven
// by the controls' own messages. Every form is checked against its table
// (class, style, caption, place, tab order); the main window's editors, the
// file browser and the camera operations are checked by what they show, what
// they write to the documents folder and what reaches the virtual camera.
//
// Needs PRESETS_EXE (the program) and PRESETS_TEST_CAMERA (the folder of the
// one plugged-in virtual KV7 of VCAM_HOME, registered with the virtual DV
// camera filter, the storage driver service running), and a display.
#include <gtest/gtest.h>

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/access/camera_operations.h"
#include "app/model/preset_model.h"
#include "app/ui/browser_presenter.h"
#include "app/ui/form_tables.h"
#include "vcam/vcam.h"

namespace {

namespace fs = std::filesystem;
using namespace presets;
using namespace presets::ui;

constexpr DWORD kWaitMs = 10000;   // any reaction of the program
constexpr DWORD kStartMs = 30000;  // its first windows (COM and the camera library start with it)
constexpr int kFirstId = 1000;
constexpr int kMessageTextId = 0xFFFF;

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::string Narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size, nullptr, nullptr);
  return text;
}

std::wstring Variable(const wchar_t* name) {
  const wchar_t* value = _wgetenv(name);
  return value != nullptr ? value : L"";
}

// Waits until `done` holds, handling this thread's messages meanwhile (the
// answers to asynchronous sends arrive as messages).
template <class Condition>
bool WaitFor(Condition done, DWORD ms = kWaitMs) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    if (done()) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(20);
  }
}

// Messages that may open a modal window go asynchronously: the answer comes
// once the program's handler has returned. Each program run is a generation,
// so a late answer to an earlier run is not counted.
ULONG_PTR g_generation = 0;
std::vector<char> g_answered;  // per message sent in this generation

void CALLBACK Answered(HWND, UINT, ULONG_PTR tag, LRESULT) {
  const ULONG_PTR index = tag & 0xFFFFF;
  if ((tag >> 20) == g_generation && index < g_answered.size()) g_answered[index] = 1;
}

// Sent, not posted, so that the answer tells when the handler has returned;
// a posted message follows, as the mouse and key messages of a real click or
// key press do. Returns the message's number for IsAnswered.
size_t SendAsync(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  g_answered.push_back(0);
  const size_t index = g_answered.size() - 1;
  if (!SendMessageCallbackW(window, message, wParam, lParam, Answered, (g_generation << 20) | index)) {
    ADD_FAILURE() << "SendMessageCallback of message " << message << " failed: " << GetLastError();
    g_answered[index] = 1;
  }
  PostMessageW(window, WM_NULL, 0, 0);
  return index;
}
bool IsAnswered(size_t index) { return g_answered[index] != 0; }

// Every asynchronous message answered: the program is idle again.
[[nodiscard]] bool Settled(DWORD ms = kWaitMs) {
  return WaitFor([] { return std::all_of(g_answered.begin(), g_answered.end(), [](char a) { return a != 0; }); }, ms);
}

// A message whose handler opens no window, answered within the bound.
LRESULT Call(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL | SMTO_ABORTIFHUNG, kWaitMs, &result))
    ADD_FAILURE() << "message " << message << " not answered within " << kWaitMs << " ms";
  return static_cast<LRESULT>(result);
}

std::wstring Text(HWND window) {
  std::wstring text(static_cast<size_t>(Call(window, WM_GETTEXTLENGTH)) + 1, L'\0');
  text.resize(static_cast<size_t>(
      Call(window, WM_GETTEXT, static_cast<WPARAM>(text.size()), reinterpret_cast<LPARAM>(text.data()))));
  return text;
}
std::string TextOf(HWND window) { return window ? Narrow(Text(window)) : std::string("(no window)"); }

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

std::vector<std::string> ListEntries(HWND list, bool combo) {
  std::vector<std::string> entries;
  const LRESULT count = Call(list, combo ? CB_GETCOUNT : LB_GETCOUNT);
  for (LRESULT i = 0; i < count; ++i) {
    std::wstring entry(static_cast<size_t>(Call(list, combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, i)) + 1, L'\0');
    const LRESULT length =
        Call(list, combo ? CB_GETLBTEXT : LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry.data()));
    entry.resize(static_cast<size_t>(std::max<LRESULT>(length, 0)));
    entries.push_back(Narrow(entry));
  }
  return entries;
}

// The control `name` of a form's window: a child of its panel, or of the window.
HWND Find(HWND form, const FormSpec& spec, std::string_view name) {
  const ControlSpec* control = FindControl(spec, name);
  if (form == nullptr || control == nullptr) return nullptr;
  HWND parent = control->parent.empty() ? form : Find(form, spec, control->parent);
  const int id = kFirstId + static_cast<int>(control - spec.controls.data());
  return parent != nullptr ? GetDlgItem(parent, id) : nullptr;
}

std::string NameOf(HWND control, const FormSpec& spec) {
  const int index = GetDlgCtrlID(control) - kFirstId;
  if (index < 0 || static_cast<size_t>(index) >= spec.controls.size())
    return "#" + std::to_string(GetDlgCtrlID(control));
  return std::string(spec.controls[static_cast<size_t>(index)].name);
}

// The visible dialogs of a process owned by `owner` with this caption;
// `messageBox`: only message boxes (those with the message text control).
HWND FindDialog(DWORD process, HWND owner, std::wstring_view caption, bool messageBox) {
  struct Search {
    DWORD process;
    HWND owner;
    std::wstring_view caption;
    bool messageBox;
    HWND found;
  } search{process, owner, caption, messageBox, nullptr};
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(context);
        DWORD owningProcess = 0;
        GetWindowThreadProcessId(window, &owningProcess);
        if (owningProcess != s.process || !IsWindowVisible(window) || ClassOf(window) != L"#32770" ||
            GetWindow(window, GW_OWNER) != s.owner || (GetDlgItem(window, kMessageTextId) != nullptr) != s.messageBox)
          return TRUE;
        wchar_t text[256] = {};
        GetWindowTextW(window, text, 256);
        if (s.caption != text) return TRUE;
        s.found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitDialog(DWORD process, HWND owner, std::wstring_view caption, bool messageBox = false, DWORD ms = kWaitMs) {
  HWND found = nullptr;
  WaitFor([&] { return (found = FindDialog(process, owner, caption, messageBox)) != nullptr; }, ms);
  return found;
}

const std::wstring kTitle = Wide(kApplicationTitle);

fs::path DocumentsFolder() {
  PWSTR path = nullptr;
  fs::path folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &path))) folder = path;
  CoTaskMemFree(path);
  return folder;
}

void WriteFile(const fs::path& path, std::string_view bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(file.good()) << path.string();
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "(no file " + path.string() + ")";
  return {std::istreambuf_iterator<char>(file), {}};
}

// What the main window's editors show: name, description and, per setting,
// a list's position or a level bar's position.
struct Shown {
  std::string name;
  std::array<int, kSettingCount> values{};
  std::string description;
};

std::string Describe(const Shown& shown) {
  std::ostringstream text;
  text << "name \"" << shown.name << "\"";
  for (const SettingInfo& info : Settings()) text << ", " << info.name << " " << shown.values[size_t(info.setting)];
  text << ", description \"" << shown.description << "\"";
  return text.str();
}

// The values of the Linux tests' settings file: all fifteen differ from the defaults.
constexpr std::array<int, kSettingCount> kAll15Values = {1, 2, 0, 3, 1, 1, -6, 5, -1, 3, -4, 6, -2, 1, -5};
const Shown kAll15{"WINE", kAll15Values, ""};
constexpr std::string_view kAll15File =
    "[Presets]\r\nPreset Name = WINE\r\nGamma =  1\r\nKnee =  2\r\nBlack =  0\r\nNR =  3\r\nVDetail =  1\r\n"
    "Color Matrix =  1\r\nColor Gain = -6\r\nColor Phase =  5\r\nRed = -1\r\nGreen =  3\r\nBlue = -4\r\n"
    "SetupLevel = -2\r\nSharpness =  6\r\nCoring =  1\r\nMasterPed = -5\r\nDescription = \r\n";

Shown Defaults() {
  Shown shown;
  for (const SettingInfo& info : Settings()) shown.values[size_t(info.setting)] = info.defaultValue;
  return shown;
}

std::string_view LevelBoxName(const SettingInfo& info) {
  for (const ControlSpec& control : MainForm().controls)
    if (control.kind == ControlKind::TextBox && control.name == "Text_" + std::string(info.name)) return control.name;
  return {};
}

// ---- The form walk ----------------------------------------------------------

struct KindRule {
  ControlKind kind;
  const wchar_t* windowClass;
  LONG styleMask;  // the style bits that tell the kind, and their value
  LONG style;
};
constexpr KindRule kKindRules[] = {
    {ControlKind::Frame, L"Button", BS_TYPEMASK, BS_GROUPBOX},
    {ControlKind::Panel, L"PresetsPanel", 0, 0},
    {ControlKind::Picture, L"Static", SS_TYPEMASK, SS_BITMAP},
    {ControlKind::Label, L"Static", SS_TYPEMASK, SS_LEFT},  // the alignment's, below
    {ControlKind::LinkLabel, L"SysLink", 0, 0},
    {ControlKind::Button, L"Button", BS_TYPEMASK & ~BS_DEFPUSHBUTTON, BS_PUSHBUTTON},  // push or default push
    {ControlKind::EditableCombo, L"ComboBox", 3, CBS_DROPDOWN},
    {ControlKind::DropDownList, L"ComboBox", 3, CBS_DROPDOWNLIST},
    {ControlKind::TextBox, L"Edit", ES_MULTILINE, 0},
    {ControlKind::HScroll, L"ScrollBar", SBS_VERT, SBS_HORZ},
    {ControlKind::DriveList, L"ComboBox", 3, CBS_DROPDOWNLIST},
    {ControlKind::DirList, L"ListBox", 0, 0},
    {ControlKind::FileList, L"ListBox", 0, 0},
};

const KindRule& RuleOf(ControlKind kind) {
  for (const KindRule& rule : kKindRules)
    if (rule.kind == kind) return rule;
  return kKindRules[0];
}

// The names of the visible tab stops in Z order, panels entered where they lie.
void TabStops(HWND container, const FormSpec& spec, std::vector<std::string>& stops) {
  for (HWND child = GetWindow(container, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    if ((style & WS_VISIBLE) == 0) continue;
    if ((style & WS_TABSTOP) != 0) stops.push_back(NameOf(child, spec));
    if ((GetWindowLongW(child, GWL_EXSTYLE) & WS_EX_CONTROLPARENT) != 0) TabStops(child, spec, stops);
  }
}

// Every control of a shown form against its table entry, then the tab order.
// `captions` overrides the table's caption of controls whose text changes.
void CheckForm(HWND window, const FormSpec& spec, int layout, std::wstring_view caption,
               const std::vector<std::pair<std::string_view, std::string_view>>& captions = {}) {
  SCOPED_TRACE(std::string(spec.name) + " in layout " + std::to_string(layout));
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(ClassOf(window), L"#32770");
  EXPECT_EQ(Text(window), caption);
  for (const ControlSpec& control : spec.controls) {
    SCOPED_TRACE(std::string(control.name));
    HWND handle = Find(window, spec, control.name);
    if (handle == nullptr) {
      ADD_FAILURE() << "no control with its identifier";
      continue;
    }
    const KindRule& rule = RuleOf(control.kind);
    const LONG style = GetWindowLongW(handle, GWL_STYLE);
    EXPECT_EQ(ClassOf(handle), rule.windowClass);
    const LONG kindStyle = control.kind != ControlKind::Label ? rule.style
                           : control.align == Align::Right    ? SS_RIGHT
                           : control.align == Align::Centre   ? SS_CENTER
                                                              : SS_LEFT;
    EXPECT_EQ(style & rule.styleMask, kindStyle) << "style " << std::hex << style;
    EXPECT_EQ((style & WS_VISIBLE) != 0, control.visible);
    if (control.kind == ControlKind::Panel) {
      EXPECT_NE(GetWindowLongW(handle, GWL_EXSTYLE) & WS_EX_CONTROLPARENT, 0);
    }
    if (control.kind == ControlKind::TextBox && control.maxTyped > 0) {
      EXPECT_EQ(Call(handle, EM_GETLIMITTEXT), control.maxTyped);
    }
    if (control.kind == ControlKind::HScroll) {
      SCROLLINFO info{sizeof info, SIF_RANGE, 0, 0, 0, 0, 0};
      Call(handle, SBM_GETSCROLLINFO, 0, reinterpret_cast<LPARAM>(&info));
      EXPECT_EQ(info.nMin, kLevelMin);
      EXPECT_EQ(info.nMax, kLevelMax);
    }
    std::string_view expected = control.caption;
    for (const auto& [name, text] : captions)
      if (name == control.name) expected = text;
    const bool captioned = control.kind == ControlKind::Label || control.kind == ControlKind::Button ||
                           control.kind == ControlKind::TextBox;
    if (captioned && !expected.empty()) {
      EXPECT_EQ(TextOf(handle), expected);
    }
    // The place in the container's client area.
    RECT rect{};
    GetWindowRect(handle, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(handle), reinterpret_cast<POINT*>(&rect), 2);
    const Twips& place = Place(control, layout);
    int got[4] = {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
    const int want[4] = {TwipsToPixels(place.left), TwipsToPixels(place.top), TwipsToPixels(place.width),
                         TwipsToPixels(place.height)};
    // A right-aligned label keeps its right edge and may grow to the left
    // when the font needs more room than the table gives; never narrower.
    if (control.kind == ControlKind::Label && control.align == Align::Right && !control.wordWrap &&
        got[0] < want[0] && got[2] > want[2]) {
      EXPECT_LE(std::abs((got[0] + got[2]) - (want[0] + want[2])), 1) << control.name << ": the right edge moved";
      got[2] -= want[0] - got[0];
      got[0] = want[0];
    }
    const bool withinOnePixel = std::equal(got, got + 4, want, [](int a, int b) { return std::abs(a - b) <= 1; });
    EXPECT_TRUE(withinOnePixel) << spec.name << " layout " << layout << " " << control.name << " at (" << got[0] << ", " << got[1] << ", "
        << got[2] << " x " << got[3] << "), table (" << want[0] << ", " << want[1] << ", " << want[2] << " x "
        << want[3] << ")";
  }
  std::vector<std::string> stops;
  TabStops(window, spec, stops);
  const auto order = layout == 2 ? spec.focusOrder2 : spec.focusOrder1;
  EXPECT_EQ(stops, std::vector<std::string>(order.begin(), order.end())) << "tab order";
}

// ---- A running presets.exe ---------------------------------------------------

class PresetsWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    documents_ = DocumentsFolder();
    ASSERT_FALSE(documents_.empty()) << "no documents folder";
    fs::create_directories(documents_);
    const fs::path camera = Variable(L"PRESETS_TEST_CAMERA");
    ASSERT_FALSE(camera.empty()) << "PRESETS_TEST_CAMERA names the virtual KV7's folder";
    camera_ = vcam::Camera::Open(camera);
    camera_->SetPlugged(true);
    camera_->ClearFaults();
  }

  void TearDown() override {
    if (process_.hProcess != nullptr) {
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 1);
      WaitForSingleObject(process_.hProcess, kWaitMs);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
    if (camera_) camera_->SetPlugged(true);
    std::error_code ignored;
    for (const fs::path& file : made_) fs::remove_all(file, ignored);
  }

  // Starts the program and waits for its main window and the reminder over it;
  // `dismiss`: presses the reminder's Continue and waits for the main window to take input.
  void Start(bool dismiss = true) {
    const std::wstring program = Variable(L"PRESETS_EXE");
    ASSERT_FALSE(program.empty()) << "PRESETS_EXE names presets.exe";
    ++g_generation;
    g_answered.clear();
    std::wstring command = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process_))
        << "cannot start " << Narrow(program) << ": " << GetLastError();
    main_ = WaitDialog(process_.dwProcessId, nullptr, kTitle, false, kStartMs);
    ASSERT_NE(main_, nullptr) << "no main window within " << kStartMs << " ms";
    reminder_ = WaitDialog(process_.dwProcessId, main_, L"Reminder", false, kStartMs);
    ASSERT_NE(reminder_, nullptr) << "no reminder over the main window";
    EXPECT_FALSE(IsWindowEnabled(main_)) << "the reminder is modal";
    if (!dismiss) return;
    SendAsync(Find(reminder_, ReminderForm(), "Continue"), BM_CLICK);
    ASSERT_TRUE(WaitFor([&] { return !IsWindowVisible(reminder_) && IsWindowEnabled(main_); }))
        << "the reminder stays after Continue";
    ASSERT_TRUE(Settled());
  }

  DWORD Process() const { return process_.dwProcessId; }
  HWND Main(std::string_view name) const { return Find(main_, MainForm(), name); }
  HWND Editor(Setting setting) const { return Main(Info(setting).control); }
  HWND LevelBox(Setting setting) const { return Main(LevelBoxName(Info(setting))); }

  // Clicks a button; `settle`: waits for its handler to return (it opens no modal window).
  void Click(HWND button, bool settle = true) {
    ASSERT_NE(button, nullptr);
    SendAsync(button, BM_CLICK);
    if (settle) {
      ASSERT_TRUE(Settled()) << "the click's handler did not return within " << kWaitMs << " ms";
      ASSERT_EQ(FindDialog(Process(), main_, kTitle, true), nullptr)
          << "unexpected message: " << TextOf(GetDlgItem(FindDialog(Process(), main_, kTitle, true), kMessageTextId));
    }
  }
  void Click(std::string_view name, bool settle = true) { Click(Main(name), settle); }

  // A list's choice, told to the window as the list tells it.
  void Choose(HWND list, int position) {
    Call(list, CB_SETCURSEL, static_cast<WPARAM>(position));
    SendAsync(main_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(list), CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
  }

  void Scroll(Setting setting, int code, int thumb = 0) {
    SendAsync(main_, WM_HSCROLL, MAKEWPARAM(code, static_cast<WORD>(static_cast<short>(thumb))),
              reinterpret_cast<LPARAM>(Editor(setting)));
  }

  // Types characters into an edit box, replacing its text.
  void Type(HWND box, std::wstring_view typed) {
    Call(box, EM_SETSEL, 0, -1);
    for (wchar_t c : typed) SendAsync(box, WM_CHAR, c, 1);
    ASSERT_TRUE(Settled());
  }
  // The box loses the focus.
  void Leave(HWND box) {
    SendAsync(main_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(box), EN_KILLFOCUS), reinterpret_cast<LPARAM>(box));
    ASSERT_TRUE(Settled());
  }

  Shown ReadEditors() {
    Shown shown;
    shown.name = TextOf(Main(names::kPresetName));
    shown.description = TextOf(Main(names::kDescription));
    for (const SettingInfo& info : Settings()) {
      const bool list = info.kind == SettingKind::List;
      shown.values[size_t(info.setting)] =
          static_cast<int>(Call(Editor(info.setting), list ? CB_GETCURSEL : SBM_GETPOS));
      if (!list) {
        EXPECT_EQ(TextOf(LevelBox(info.setting)), LevelText(shown.values[size_t(info.setting)])) << info.name;
      }
    }
    return shown;
  }

  void SetEditors(const Shown& shown) {
    Type(Main(names::kPresetName), Wide(shown.name));
    Call(Main(names::kDescription), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Wide(shown.description).c_str()));
    for (const SettingInfo& info : Settings()) {
      const int value = shown.values[size_t(info.setting)];
      if (info.kind == SettingKind::List)
        Choose(Editor(info.setting), value);
      else
        Scroll(info.setting, SB_THUMBPOSITION, value);
    }
    ASSERT_TRUE(Settled());
    ASSERT_EQ(Describe(ReadEditors()), Describe(shown)) << "the editors did not take the values";
  }

  // The message box over `owner` (the main window when null): its text,
  // after which it is closed with its button.
  std::string TakeMessage(HWND owner = nullptr) {
    HWND box = WaitDialog(Process(), owner ? owner : main_, kTitle, true);
    if (box == nullptr) return "(no message box)";
    const std::string text = TextOf(GetDlgItem(box, kMessageTextId));
    HWND button = GetDlgItem(box, IDOK) ? GetDlgItem(box, IDOK) : GetDlgItem(box, IDCANCEL);
    SendAsync(button, BM_CLICK);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); })) << "the message box stays";
    return text;
  }

  // Chooses a slot with the selector and waits for the camera's answer.
  void ChooseSlot(int slot) {
    Choose(Main(names::kSelector), slot - kFirstSlot);
    ASSERT_TRUE(Settled()) << "the selector's handler did not return";
  }

  // Opens the browser with Load from File or Save to File.
  HWND OpenBrowser(std::string_view button) {
    Click(button, false);
    HWND browser = WaitDialog(Process(), main_, kTitle);
    EXPECT_NE(browser, nullptr) << "no file browser after " << button;
    return browser;
  }
  HWND Browse(HWND browser, std::string_view name) const { return Find(browser, BrowserForm(), name); }
  // Types a file name and presses Load or Save.
  void BrowserPress(HWND browser, std::string_view fileName, std::string_view button) {
    Call(Browse(browser, "Text_FileName"), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Wide(fileName).c_str()));
    SendAsync(Browse(browser, button), BM_CLICK);
  }
  // The browser closed and every handler returned.
  void ExpectBrowserClosed(HWND browser) {
    EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(browser); })) << "the browser stays open";
    EXPECT_TRUE(Settled());
  }

  fs::path Made(const fs::path& name) {
    made_.push_back(documents_ / name);
    return made_.back();
  }

  fs::path documents_;
  std::unique_ptr<vcam::Camera> camera_;
  PROCESS_INFORMATION process_{};
  HWND main_ = nullptr;
  HWND reminder_ = nullptr;
  std::vector<fs::path> made_;
};

// ---- The forms ---------------------------------------------------------------

TEST_F(PresetsWindowTest, EveryFormMatchesItsTable) {
  WriteFile(Made("UIFORMS.DQX"), kAll15File);
  ASSERT_NO_FATAL_FAILURE(Start(false));
  CheckForm(reminder_, ReminderForm(), 1, L"Reminder", {{"Label1", kReminderText}});
  SendAsync(Find(reminder_, ReminderForm(), "Continue"), BM_CLICK);
  ASSERT_TRUE(WaitFor([&] { return IsWindowEnabled(main_); }));
  ASSERT_TRUE(Settled());

  CheckForm(main_, MainForm(), 1, kTitle);
  ASSERT_NO_FATAL_FAILURE(Click(names::kLayout));
  CheckForm(main_, MainForm(), 2, kTitle, {{names::kLayout, kLayout2Caption}});
  ASSERT_NO_FATAL_FAILURE(Click(names::kLayout));
  CheckForm(main_, MainForm(), 1, kTitle, {{names::kLayout, kLayout1Caption}});

  ASSERT_NO_FATAL_FAILURE(Click(names::kInfo, false));
  HWND about = WaitDialog(Process(), main_, L"About " + kTitle);
  EXPECT_FALSE(IsWindowEnabled(main_)) << "the about window is modal";
  CheckForm(about, AboutForm(), 1, L"About " + kTitle, {{"lblDisclaimer", kDisclaimer}});
  SendAsync(Find(about, AboutForm(), "cmdOK"), BM_CLICK);
  ASSERT_TRUE(WaitFor([&] { return IsWindowEnabled(main_); })) << "the about window stays";

  HWND browser = OpenBrowser(names::kSaveToFile);
  EXPECT_FALSE(IsWindowEnabled(main_)) << "the browser is modal";
  CheckForm(browser, BrowserForm(), 1, kTitle);
  // The overwrite warning and the delete confirmation are the browser's.
  BrowserPress(browser, "UIFORMS", "btnSave");
  HWND warning = WaitDialog(Process(), browser, kTitle);
  EXPECT_FALSE(IsWindowEnabled(browser)) << "the warning is modal";
  CheckForm(warning, WarningForm(), 1, kTitle,
            {{"frmWarning", "This will overwrite the file UIFORMS.dqx. Do you want to continue?"}});
  SendAsync(Find(warning, WarningForm(), "Command2"), BM_CLICK);
  ASSERT_TRUE(WaitFor([&] { return IsWindowEnabled(browser); })) << "the warning stays after No";

  HWND files = Browse(browser, "File1");
  const std::vector<std::string> listed = ListEntries(files, false);
  const auto at = std::find(listed.begin(), listed.end(), "UIFORMS.DQX");
  ASSERT_NE(at, listed.end()) << "UIFORMS.DQX is not listed";
  Call(files, LB_SETCURSEL, static_cast<WPARAM>(at - listed.begin()));
  SendAsync(files, WM_KEYDOWN, VK_DELETE, 1);
  HWND deletion = WaitDialog(Process(), browser, Wide(kDeleteCaption));
  EXPECT_FALSE(IsWindowEnabled(browser)) << "the confirmation is modal";
  CheckForm(deletion, DeleteForm(), 1, Wide(kDeleteCaption));
  SendAsync(Find(deletion, DeleteForm(), "Command2"), BM_CLICK);
  ASSERT_TRUE(WaitFor([&] { return IsWindowEnabled(browser); })) << "the confirmation stays after Cancel";
  EXPECT_TRUE(fs::exists(documents_ / "UIFORMS.DQX")) << "Cancel deleted the file";
  SendAsync(Browse(browser, "btnCancel"), BM_CLICK);
  ExpectBrowserClosed(browser);
}

// ---- The main window's editors -----------------------------------------------

TEST_F(PresetsWindowTest, StartsWithTheDefaultsAndTheChoicesOfEveryList) {
  ASSERT_NO_FATAL_FAILURE(Start());
  std::vector<std::string> slots;
  for (int slot = kFirstSlot; slot <= kLastSlot; ++slot) slots.push_back("Preset " + std::to_string(slot));
  EXPECT_EQ(ListEntries(Main(names::kSelector), true), slots);
  EXPECT_EQ(Call(Main(names::kSelector), CB_GETCURSEL), CB_ERR) << "no slot chosen at the start";
  for (const SettingInfo& info : Settings()) {
    if (info.kind != SettingKind::List) continue;
    EXPECT_EQ(ListEntries(Editor(info.setting), true),
              std::vector<std::string>(info.choices.begin(), info.choices.begin() + info.choiceCount))
        << info.name;
  }
  EXPECT_EQ(Describe(ReadEditors()), Describe(Defaults()));
  // Writing waits for a slot whose permission is known.
  for (std::string_view button : {names::kSetPreset, names::kClearPreset, names::kLock})
    EXPECT_FALSE(IsWindowEnabled(Main(button))) << button;
  EXPECT_EQ(TextOf(Main(names::kLock)), kLockCaption);
}

TEST_F(PresetsWindowTest, ScrollBarsMoveAndTheirLevelTextFollows) {
  ASSERT_NO_FATAL_FAILURE(Start());
  struct Step {
    int code;
    int thumb;
    int position;  // afterwards
  };
  constexpr Step kSteps[] = {{SB_LINERIGHT, 0, 1},     {SB_LINERIGHT, 0, 2},      {SB_LINELEFT, 0, 1},
                             {SB_THUMBPOSITION, -6, -6}, {SB_LINELEFT, 0, -6},     {SB_THUMBPOSITION, 6, 6},
                             {SB_LINERIGHT, 0, 6},     {SB_THUMBPOSITION, -1, -1}, {SB_THUMBPOSITION, 0, 0}};
  for (const SettingInfo& info : Settings()) {
    if (info.kind != SettingKind::Level) continue;
    for (const Step& step : kSteps) {
      Scroll(info.setting, step.code, step.thumb);
      ASSERT_TRUE(Settled());
      EXPECT_EQ(Call(Editor(info.setting), SBM_GETPOS), step.position) << info.name << " code " << step.code;
      EXPECT_EQ(TextOf(LevelBox(info.setting)), LevelText(step.position)) << info.name << " code " << step.code;
    }
  }
  EXPECT_EQ(Describe(ReadEditors()), Describe(Defaults()));
}

TEST_F(PresetsWindowTest, TypingKeepsTheLimitsAndALevelIsTakenWhenLeft) {
  ASSERT_NO_FATAL_FAILURE(Start());
  Type(Main(names::kPresetName), L"ABCDEFGHIJ");
  EXPECT_EQ(TextOf(Main(names::kPresetName)), "ABCDEFGH") << "the name box takes 8";
  struct Case {
    const wchar_t* typed;
    const char* shown;  // after typing: at most 2 characters
    int position;       // after leaving the box
    const char* text;
  };
  constexpr Case kCases[] = {
      {L"-34", "-3", -3, "-3"},  {L"9", "9", 0, "0"},  {L"+2", "+2", 2, "2"}, {L"2.5", "2.", 2, "2"},
      {L"-7", "-7", 0, "0"},     {L"ab", "ab", 0, "0"}, {L"6", "6", 6, "6"},   {L"5x", "5x", 5, "5"},
  };
  for (const SettingInfo& info : Settings()) {
    if (info.kind != SettingKind::Level) continue;
    HWND box = LevelBox(info.setting);
    for (const Case& c : kCases) {
      SCOPED_TRACE(std::string(info.name) + " typed " + Narrow(c.typed));
      ASSERT_NO_FATAL_FAILURE(Type(box, c.typed));
      EXPECT_EQ(TextOf(box), c.shown);
      ASSERT_NO_FATAL_FAILURE(Leave(box));
      EXPECT_EQ(Call(Editor(info.setting), SBM_GETPOS), c.position);
      EXPECT_EQ(TextOf(box), c.text);
    }
  }
}

TEST_F(PresetsWindowTest, LayoutButtonSwitchesLayoutsAndKeepsTheEditors) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(SetEditors(kAll15));
  for (int layout : {2, 1, 2}) {
    ASSERT_NO_FATAL_FAILURE(Click(names::kLayout));
    EXPECT_EQ(TextOf(Main(names::kLayout)), layout == 2 ? kLayout2Caption : kLayout1Caption);
    const ControlSpec& gain = *FindControl(MainForm(), Info(Setting::ColorGain).control);
    RECT rect{};
    GetWindowRect(Editor(Setting::ColorGain), &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(Editor(Setting::ColorGain)), reinterpret_cast<POINT*>(&rect), 1);
    EXPECT_LE(std::abs(rect.left - TwipsToPixels(Place(gain, layout).left)), 1) << "layout " << layout;
    EXPECT_EQ(Describe(ReadEditors()), Describe(kAll15)) << "layout " << layout;
  }
}

// ---- The camera operations on the virtual KV7 ------------------------------------

bool TraceHas(const vcam::Camera& camera, std::string_view prefix) {
  for (const vcam::TraceEntry& entry : camera.ReadTrace())
    if (entry.frame.compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

TEST_F(PresetsWindowTest, SetPresetThenDefaultsThenReadPresetGoThroughTheCamera) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(ChooseSlot(2));
  EXPECT_TRUE(IsWindowEnabled(Main(names::kSetPreset)));
  EXPECT_TRUE(IsWindowEnabled(Main(names::kClearPreset)));
  EXPECT_TRUE(IsWindowEnabled(Main(names::kLock)));
  EXPECT_EQ(TextOf(Main(names::kLock)), kLockCaption);
  Shown written = kAll15;
  written.name = "UITEST";
  ASSERT_NO_FATAL_FAILURE(SetEditors(written));
  camera_->ClearTrace();
  ASSERT_NO_FATAL_FAILURE(Click(names::kSetPreset));
  // Slot 2 registered under the name, after the fifteen values.
  EXPECT_TRUE(TraceHas(*camera_, "00200000008500017102" "554954455354")) << "no registration of slot 2 as UITEST";

  ASSERT_NO_FATAL_FAILURE(Click(names::kDefaults));
  Shown defaults = Defaults();
  defaults.description = written.description;  // the description belongs to the file only
  EXPECT_EQ(Describe(ReadEditors()), Describe(defaults));

  ASSERT_NO_FATAL_FAILURE(Click(names::kReadPreset));
  EXPECT_EQ(Describe(ReadEditors()), Describe(written)) << "Read Preset shows what Set Preset wrote";
}

TEST_F(PresetsWindowTest, LockTurnsIntoUnlockAndStopsWriting) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(ChooseSlot(3));
  ASSERT_EQ(TextOf(Main(names::kLock)), kLockCaption);
  struct Step {
    std::string_view caption;  // afterwards
    bool writable;
    uint8_t permission;  // the camera's for slot 3
  };
  for (const Step& step : {Step{kUnlockCaption, false, 1}, Step{kLockCaption, true, 0}}) {
    SCOPED_TRACE(std::string(step.caption));
    ASSERT_NO_FATAL_FAILURE(Click(names::kLock));
    EXPECT_EQ(TextOf(Main(names::kLock)), step.caption);
    EXPECT_EQ(IsWindowEnabled(Main(names::kSetPreset)) != 0, step.writable);
    EXPECT_EQ(IsWindowEnabled(Main(names::kClearPreset)) != 0, step.writable);
    EXPECT_EQ(camera_->ReadState().permission[3], step.permission);
  }
  // A locked slot chosen again shows as locked.
  ASSERT_NO_FATAL_FAILURE(Click(names::kLock));
  ASSERT_NO_FATAL_FAILURE(ChooseSlot(1));
  EXPECT_EQ(TextOf(Main(names::kLock)), kLockCaption);
  ASSERT_NO_FATAL_FAILURE(ChooseSlot(3));
  EXPECT_EQ(TextOf(Main(names::kLock)), kUnlockCaption);
  EXPECT_FALSE(IsWindowEnabled(Main(names::kSetPreset)));
  ASSERT_NO_FATAL_FAILURE(Click(names::kLock));
  EXPECT_EQ(camera_->ReadState().permission[3], 0);
}

TEST_F(PresetsWindowTest, WithoutACameraTheOperationsSayCameraNotFound) {
  camera_->SetPlugged(false);
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(SetEditors(kAll15));
  Click(names::kReadPreset, false);
  EXPECT_EQ(TakeMessage(), kCameraNotFound);
  EXPECT_TRUE(Settled());
  Choose(Main(names::kSelector), 1);
  EXPECT_EQ(TakeMessage(), kCameraNotFound);
  EXPECT_TRUE(Settled());
  EXPECT_FALSE(IsWindowEnabled(Main(names::kSetPreset))) << "no permission known";
  EXPECT_FALSE(IsWindowEnabled(Main(names::kLock)));
  EXPECT_EQ(Describe(ReadEditors()), Describe(kAll15)) << "the editors are left as they were";
}

// ---- The file browser ---------------------------------------------------------

TEST_F(PresetsWindowTest, SaveToFileWritesTheEditorsAndAsksBeforeOverwriting) {
  std::error_code ignored;
  fs::remove(documents_ / "ALL15.dqx", ignored);
  Made("ALL15.dqx");
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(SetEditors(kAll15));
  HWND browser = OpenBrowser(names::kSaveToFile);
  ASSERT_NE(browser, nullptr);
  BrowserPress(browser, "ALL15", "btnSave");
  ExpectBrowserClosed(browser);
  EXPECT_EQ(ReadFile(documents_ / "ALL15.dqx"), kAll15File);

  // The same name in other letters: the warning names the typed one, the file keeps its name.
  ASSERT_NO_FATAL_FAILURE(Choose(Editor(Setting::Gamma), 0));
  ASSERT_TRUE(Settled());
  std::string changed(kAll15File);
  changed.replace(changed.find("Gamma =  1"), 10, "Gamma =  0");
  struct Answer {
    const char* button;
    const std::string& file;  // afterwards
  };
  const std::string original(kAll15File);
  for (const Answer& answer : {Answer{"Command2", original}, Answer{"Command1", changed}}) {
    SCOPED_TRACE(answer.button);
    browser = OpenBrowser(names::kSaveToFile);
    ASSERT_NE(browser, nullptr);
    BrowserPress(browser, "all15", "btnSave");
    HWND warning = WaitDialog(Process(), browser, kTitle);
    ASSERT_NE(warning, nullptr) << "no overwrite warning";
    EXPECT_EQ(TextOf(Find(warning, WarningForm(), "frmWarning")),
              "This will overwrite the file all15.dqx. Do you want to continue?");
    SendAsync(Find(warning, WarningForm(), answer.button), BM_CLICK);
    ASSERT_TRUE(WaitFor([&] { return !IsWindowVisible(warning); })) << "the warning stays";
    if (answer.file == original) {
      EXPECT_TRUE(IsWindowVisible(browser)) << "No leaves the browser open";
      SendAsync(Browse(browser, "btnCancel"), BM_CLICK);
    }
    ExpectBrowserClosed(browser);
    EXPECT_EQ(ReadFile(documents_ / "ALL15.dqx"), answer.file);
    std::vector<std::string> saved;
    for (const fs::directory_entry& entry : fs::directory_iterator(documents_))
      if (_wcsicmp(entry.path().filename().c_str(), L"all15.dqx") == 0) saved.push_back(entry.path().filename().string());
    EXPECT_EQ(saved, std::vector<std::string>{"ALL15.dqx"}) << "the replaced file keeps its name";
  }
}

TEST_F(PresetsWindowTest, LoadFromFileShowsTheFileOrRefusesABrokenOne) {
  WriteFile(Made("UILOAD.DQX"), kAll15File);
  ASSERT_NO_FATAL_FAILURE(Start());
  HWND browser = OpenBrowser(names::kLoadFromFile);
  ASSERT_NE(browser, nullptr);
  BrowserPress(browser, "UILOAD", "btnLoad");
  ExpectBrowserClosed(browser);
  EXPECT_EQ(Describe(ReadEditors()), Describe(kAll15));

  // Broken files: the program's message, the editors as they were.
  Shown kept = kAll15;
  kept.name = "KEPT";
  kept.values[size_t(Setting::Gamma)] = 0;
  kept.values[size_t(Setting::Red)] = 4;
  ASSERT_NO_FATAL_FAILURE(SetEditors(kept));
  const std::string huge(70000, 'x');
  const std::string huge_path = Narrow((documents_ / "UIHUGE.DQX").wstring());
  struct Broken {
    const char* name;
    std::string bytes;
    std::string message;
  };
  const Broken kBroken[] = {
      {"UIBAD1.DQX", "[Presets]\r\nPreset Name = HALF\r\nGamma = 7\r\nKnee =  0\r\n",
       "Line 3: \"Gamma\" has the value \"7\", which is not one of its 2 choices; nothing was loaded"},
      {"UIBAD2.DQX", "[Presets]\r\nRed = 2.5x\r\n",
       "Line 2: \"Red\" has the value \"2.5x\", which is not a level from -6 to 6; nothing was loaded"},
      {"UIBAD3.DQX", "Gamma =  1\nPreset Name = A\x01" "B\n",
       "Line 2: the preset name \"A\\x01B\" holds the control character 0x01; a name may hold only printable "
       "characters; nothing was loaded"},
      {"UIBAD4.DQX", std::string("\x7F" "ELF\x02\x01\x01\0\0=\xFF\xFE", 14),
       "This is not a preset settings file: no line holds one of its settings (such as \"Gamma = 0\"); nothing was "
       "loaded"},
      {"UIHUGE.DQX", "[Presets]\r\nGamma =  1\r\n" + huge,
       "\"" + huge_path + "\" is larger than 64 KB, far more than a preset settings file holds; it was not read"},
  };
  for (const Broken& file : kBroken) {
    SCOPED_TRACE(file.name);
    WriteFile(Made(file.name), file.bytes);
    browser = OpenBrowser(names::kLoadFromFile);
    ASSERT_NE(browser, nullptr);
    BrowserPress(browser, file.name, "btnLoad");
    // The message may come from the browser or, once it is hidden, from the main window.
    HWND box = nullptr;
    WaitFor([&] {
      box = FindDialog(Process(), browser, kTitle, true);
      if (box == nullptr) box = FindDialog(Process(), main_, kTitle, true);
      return box != nullptr;
    });
    ASSERT_NE(box, nullptr) << "no message";
    EXPECT_EQ(TakeMessage(GetWindow(box, GW_OWNER)), file.message);
    ExpectBrowserClosed(browser);
    EXPECT_EQ(Describe(ReadEditors()), Describe(kept));
  }
}

TEST_F(PresetsWindowTest, BrowserListsPresetFilesAndDeletesAfterConfirmation) {
  for (const char* name : {"uilist_a.dqx", "UILIST_B.DQX", "UiList_C.Dqx", "UILIST_D.DQX.txt", "UILIST_E.TXT"})
    WriteFile(Made(name), "[Presets]\r\nGamma =  1\r\n");
  fs::create_directories(Made("UILIST_F.DQX"));  // a folder is no file
  // What any folder holds: its regular files ending in .DQX in any case, sorted without case.
  std::vector<std::string> expected;
  for (const fs::directory_entry& entry : fs::directory_iterator(documents_)) {
    std::string name = entry.path().filename().string();
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (entry.is_regular_file() && upper.size() > 4 && upper.compare(upper.size() - 4, 4, ".DQX") == 0)
      expected.push_back(name);
  }
  const auto noCase = [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return std::toupper(static_cast<unsigned char>(x)) < std::toupper(static_cast<unsigned char>(y));
    });
  };
  std::sort(expected.begin(), expected.end(), noCase);
  ASSERT_NO_FATAL_FAILURE(Start());
  HWND browser = OpenBrowser(names::kLoadFromFile);
  ASSERT_NE(browser, nullptr);
  HWND files = Browse(browser, "File1");
  std::vector<std::string> listed = ListEntries(files, false);
  EXPECT_EQ(listed, expected);
  for (const char* name : {"uilist_a.dqx", "UILIST_B.DQX", "UiList_C.Dqx"})
    EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end()) << name;

  struct Step {
    const char* button;  // of the confirmation
    bool deleted;
  };
  for (const Step& step : {Step{"Command2", false}, Step{"Command1", true}}) {
    SCOPED_TRACE(step.button);
    listed = ListEntries(files, false);
    const auto at = std::find(listed.begin(), listed.end(), "UILIST_B.DQX");
    ASSERT_NE(at, listed.end());
    Call(files, LB_SETCURSEL, static_cast<WPARAM>(at - listed.begin()));
    const size_t key = SendAsync(files, WM_KEYDOWN, VK_DELETE, 1);
    HWND deletion = WaitDialog(Process(), browser, Wide(kDeleteCaption));
    ASSERT_NE(deletion, nullptr) << "no delete confirmation";
    SendAsync(Find(deletion, DeleteForm(), step.button), BM_CLICK);
    ASSERT_TRUE(WaitFor([&] { return IsWindowEnabled(browser) && !IsWindowVisible(deletion); }));
    ASSERT_TRUE(WaitFor([&] { return IsAnswered(key); })) << "the Delete key's handler did not return";
    EXPECT_EQ(fs::exists(documents_ / "UILIST_B.DQX"), !step.deleted);
    listed = ListEntries(files, false);
    EXPECT_EQ(std::find(listed.begin(), listed.end(), "UILIST_B.DQX") != listed.end(), !step.deleted);
  }
  SendAsync(Browse(browser, "btnCancel"), BM_CLICK);
  ExpectBrowserClosed(browser);
}

TEST_F(PresetsWindowTest, EscapeKeepsTheMainWindowAndExitEndsTheProgram) {
  ASSERT_NO_FATAL_FAILURE(Start());
  // Escape in the main window (what IsDialogMessage makes of the key) would lose the editors.
  DWORD_PTR result = 0;
  ASSERT_NE(SendMessageTimeoutW(main_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0, SMTO_ABORTIFHUNG, kWaitMs,
                                &result),
            0);
  EXPECT_EQ(WaitForSingleObject(process_.hProcess, 500), static_cast<DWORD>(WAIT_TIMEOUT)) << "ended by Escape";
  EXPECT_TRUE(IsWindowVisible(main_));
  SendAsync(Main(names::kExit), BM_CLICK);
  ASSERT_EQ(WaitForSingleObject(process_.hProcess, kWaitMs), WAIT_OBJECT_0) << "still running after Exit";
  DWORD code = 1;
  GetExitCodeProcess(process_.hProcess, &code);
  EXPECT_EQ(code, 0u);
}

}  // namespace
