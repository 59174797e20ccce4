#include "app/ui/win32/windows.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cwctype>

#include "app/file/preset_file.h"
#include "app/ui/win32/resources.h"
#include "app/ui/win32/startup_probe.h"

namespace presets::ui::win32 {

namespace fs = std::filesystem;

namespace {

constexpr UINT kAfterShown = WM_APP + 1;
constexpr UINT kAddToolTips = WM_APP + 2;

// An empty dialog: its controls come from the form table.
struct alignas(4) EmptyDialogTemplate {
  DLGTEMPLATE header;
  WORD menu = 0;
  WORD windowClass = 0;
  WORD title = 0;
};

DWORD DialogStyle(HWND owner) {
  return owner == nullptr ? WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX
                          : WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
}

void AdjustForDpi(RECT& rect, DWORD style, DWORD extended, UINT dpi) {
  using AdjustFunction = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
  static const auto adjustForDpi = reinterpret_cast<AdjustFunction>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
  if (adjustForDpi != nullptr) {
    adjustForDpi(&rect, style, FALSE, extended, dpi);
  } else {
    ::AdjustWindowRectEx(&rect, style, FALSE, extended);
  }
}

// Centred on `over` (or on its monitor's work area), kept on that work area.
void Centre(HWND window, HWND over) {
  RECT own{};
  ::GetWindowRect(window, &own);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  ::GetMonitorInfoW(::MonitorFromWindow(over != nullptr ? over : window, MONITOR_DEFAULTTOPRIMARY), &monitor);
  RECT area = monitor.rcWork;
  if (over != nullptr && ::IsWindowVisible(over)) ::GetWindowRect(over, &area);
  const int width = own.right - own.left;
  const int height = own.bottom - own.top;
  int left = area.left + (area.right - area.left - width) / 2;
  int top = area.top + (area.bottom - area.top - height) / 2;
  const int workLeft = monitor.rcWork.left;
  const int workTop = monitor.rcWork.top;
  left = std::clamp(left, workLeft, std::max(workLeft, static_cast<int>(monitor.rcWork.right) - width));
  top = std::clamp(top, workTop, std::max(workTop, static_cast<int>(monitor.rcWork.bottom) - height));
  ::SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SetPicture(HWND control, HBITMAP picture) {
  ::SendMessageW(control, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture));
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

std::string BoxName(const SettingInfo& info) { return "Text_" + std::string(info.name); }

// The shell's library is loaded on first use, from the system folder: loading
// it at start-up costs a noticeable part of the time to the first window.
template <class Function>
Function ShellFunction(const char* name) {
  static const HMODULE shell = [] {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return HMODULE{};
    return ::LoadLibraryW((std::wstring(folder, length) + L"\\shell32.dll").c_str());
  }();
  return shell == nullptr ? nullptr : reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(shell, name)));
}

}  // namespace

void ShowApplicationMessage(HWND owner, std::string_view text) {
  ::MessageBoxW(owner, Wide(text).c_str(), Wide(kApplicationTitle).c_str(), MB_OK);
}

// ---- Dialog ------------------------------------------------------------------

bool Dialog::busy_ = false;

Dialog::Dialog(const FormSpec& spec, HWND owner) : spec_(spec) {
  EmptyDialogTemplate dialog{};
  dialog.header.style = DialogStyle(owner);
  dialog.header.dwExtendedStyle = owner == nullptr ? WS_EX_APPWINDOW : 0;
  ::CreateDialogIndirectParamW(::GetModuleHandleW(nullptr), &dialog.header, owner, Procedure,
                               reinterpret_cast<LPARAM>(this));
}

Dialog::~Dialog() {
  if (window_ == nullptr) return;
  // No message reaches this object while it is taken apart.
  ::SetWindowLongPtrW(window_, DWLP_USER, 0);
  ::DestroyWindow(window_);
}

void Dialog::SetBusyPointer(bool busy) {
  busy_ = busy;
  ::SetCursor(::LoadCursorW(nullptr, busy ? IDC_WAIT : IDC_ARROW));
}

INT_PTR CALLBACK Dialog::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<Dialog*>(lParam);
    ::SetWindowLongPtrW(window, DWLP_USER, lParam);
    self->window_ = window;
    self->form_ = std::make_unique<FormWindow>(window, self->spec_);
    self->FitWindowToForm();
    return FALSE;  // the focus is set when the dialog shows
  }
  auto* self = reinterpret_cast<Dialog*>(::GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr) return FALSE;
  if (message == WM_NCDESTROY) {
    self->window_ = nullptr;
    return FALSE;
  }
  return self->Handle(message, wParam, lParam);
}

INT_PTR Dialog::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (lParam == 0 && id == IDCANCEL) {
        OnEscape();
        return TRUE;
      }
      if (const ControlSpec* control = form_ ? form_->SpecOf(id) : nullptr) {
        OnCommand(control->name, HIWORD(wParam), reinterpret_cast<HWND>(lParam));
        return TRUE;
      }
      return TRUE;  // Enter with no default button
    }
    case WM_CLOSE: OnClose(); return TRUE;
    case WM_PAINT:
      if (!toolTipsPosted_) {
        toolTipsPosted_ = true;
        ::PostMessageW(window_, kAddToolTips, 0, 0);
      }
      break;
    case kAddToolTips:
      if (form_) form_->AddToolTips();
      return TRUE;
    case WM_SETCURSOR:
      if (!busy_) break;
      ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
      ::SetWindowLongPtrW(window_, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_MEASUREITEM: {
      // Owner-drawn lists: a line for a 16-pixel picture at this dpi.
      auto* item = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
      item->itemHeight = static_cast<UINT>(::MulDiv(17, static_cast<int>(WindowDpi(window_)), 96));
      return TRUE;
    }
    case 0x02E0: {  // WM_DPICHANGED: moved to a monitor of another dpi
      if (form_) form_->Rescale(HIWORD(wParam));
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      ::SetWindowPos(window_, nullptr, suggested->left, suggested->top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      FitWindowToForm();
      return TRUE;
    }
    default: break;
  }
  bool handled = false;
  const INT_PTR result = OnMessage(message, wParam, lParam, handled);
  return handled ? result : FALSE;
}

void Dialog::OnCommand(std::string_view, int, HWND) {}

INT_PTR Dialog::OnMessage(UINT, WPARAM, LPARAM, bool& handled) {
  handled = false;
  return FALSE;
}

void Dialog::FitWindowToForm() {
  const SIZE client = form_->ClientSize();
  RECT rect{0, 0, client.cx, client.cy};
  AdjustForDpi(rect, static_cast<DWORD>(::GetWindowLongPtrW(window_, GWL_STYLE)),
               static_cast<DWORD>(::GetWindowLongPtrW(window_, GWL_EXSTYLE)), WindowDpi(window_));
  ::SetWindowPos(window_, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Dialog::SetText(std::string_view control, std::string_view utf8) {
  ::SetWindowTextW(Control(control), Wide(utf8).c_str());
}

std::string Dialog::Text(std::string_view control) const { return Narrow(WindowText(Control(control))); }

void Dialog::RunModal() {
  HWND owner = ::GetWindow(window_, GW_OWNER);
  const bool ownerEnabled = owner != nullptr && ::IsWindowEnabled(owner);
  Centre(window_, owner);
  if (ownerEnabled) ::EnableWindow(owner, FALSE);
  ::ShowWindow(window_, SW_SHOW);
  const auto order = spec_.focusOrder1;
  if (!order.empty()) ::SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Control(order.front())), TRUE);
  modal_ = true;
  MSG message;
  while (modal_) {
    const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      ::PostQuitMessage(static_cast<int>(message.wParam));  // for the loop that ends the program
      break;
    }
    if (got < 0) break;
    if (!::IsDialogMessageW(window_, &message)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
  modal_ = false;
  // The owner is enabled before this window hides, so it becomes the active one again.
  if (ownerEnabled) ::EnableWindow(owner, TRUE);
  ::ShowWindow(window_, SW_HIDE);
}

void Dialog::EndModal() {
  modal_ = false;
  if (window_ != nullptr) {
    ::ShowWindow(window_, SW_HIDE);
    // The modal loop looks at modal_ only when GetMessage returns: an end
    // that came with a sent message (another program's BM_CLICK) wakes it.
    ::PostMessageW(window_, WM_NULL, 0, 0);
  }
}

// ---- Form3 and the delete confirmation ---------------------------------------

WarningWindow::WarningWindow(HWND owner) : Dialog(WarningForm(), owner) {}

std::string WarningWindow::Ask(std::string_view question) {
  answer_.clear();
  SetText("frmWarning", question);
  RunModal();
  return answer_;
}

void WarningWindow::OnCommand(std::string_view control, int code, HWND) {
  if (code != BN_CLICKED) return;
  answer_ = control == "Command1" ? "Y" : "N";
  EndModal();
}

DeleteWindow::DeleteWindow(HWND owner) : Dialog(DeleteForm(), owner) {
  ::SendMessageW(Control("Text1"), EM_SETREADONLY, TRUE, 0);
}

bool DeleteWindow::Confirm(std::string_view name, const fs::path& path) {
  confirmed_ = false;
  SetText("Label2", name);
  ::SetWindowTextW(Control("Text1"), path.wstring().c_str());
  RunModal();
  return confirmed_;
}

void DeleteWindow::OnCommand(std::string_view control, int code, HWND) {
  if (code != BN_CLICKED) return;
  confirmed_ = control == "Command1";
  EndModal();
}

// ---- Reminder and about -------------------------------------------------------

ReminderWindow::ReminderWindow(HWND owner, HBITMAP banner) : Dialog(ReminderForm(), owner) {
  SetPicture(Control("Image1"), banner);
  SetText("Label1", kReminderText);
}

void ReminderWindow::OnCommand(std::string_view control, int code, HWND) {
  if (control == "Continue" && code == BN_CLICKED) EndModal();
}

AboutWindow::AboutWindow(HWND owner) : Dialog(AboutForm(), owner), picture_(LoadPicture(PRESETS_ABOUT_PICTURE)) {
  ::SetWindowTextW(Handle(), (L"About " + Wide(kApplicationTitle)).c_str());
  SetPicture(Control("picIcon"), picture_.get());
  SetText("lblTitle", std::string(kApplicationTitle) + std::string(kAboutTitleSuffix));
  SetText("lblVersion", "Version " + std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
                            std::to_string(kVersionRevision));
  SetText("lblDisclaimer", kDisclaimer);
}

void AboutWindow::OnCommand(std::string_view control, int code, HWND) {
  if (control == "cmdOK" && code == BN_CLICKED) EndModal();
}

INT_PTR AboutWindow::OnMessage(UINT message, WPARAM, LPARAM lParam, bool& handled) {
  handled = false;
  if (message != WM_NOTIFY) return FALSE;
  const auto* link = reinterpret_cast<const NMLINK*>(lParam);
  if (link->hdr.hwndFrom != Control("Label1") || (link->hdr.code != NM_CLICK && link->hdr.code != NM_RETURN))
    return FALSE;
  // Whether the desktop could open the page is not examined.
  if (const auto execute = ShellFunction<decltype(&::ShellExecuteW)>("ShellExecuteW"))
    execute(Handle(), L"open", link->item.szUrl, nullptr, nullptr, SW_SHOWNORMAL);
  handled = true;
  return TRUE;
}

// ---- Form2 ---------------------------------------------------------------------

BrowserWindow::BrowserWindow(HWND owner, EditorStore& editors, const fs::path& startFolder)
    : Dialog(BrowserForm(), owner),
      folderOpen_(LoadPicture(PRESETS_FOLDER_OPEN)),
      folderClosed_(LoadPicture(PRESETS_FOLDER_CLOSED)),
      warning_(Handle()),
      deletion_(Handle()) {
  ::SendMessageW(Control("Text_Description"), EM_SETREADONLY, TRUE, 0);
  HWND drives = Control("Drive1");
  wchar_t roots[512] = {};
  const DWORD length = ::GetLogicalDriveStringsW(static_cast<DWORD>(std::size(roots) - 1), roots);
  for (const wchar_t* root = roots; length > 0 && length < std::size(roots) && *root != L'\0';
       root += wcslen(root) + 1) {
    // A drive list shows "c: [label]"; removable drives are not asked for
    // their label, which could wait for a medium.
    std::wstring text = Lower(std::wstring(root, 2));
    const UINT type = ::GetDriveTypeW(root);
    wchar_t label[MAX_PATH + 1] = {};
    if ((type == DRIVE_FIXED || type == DRIVE_RAMDISK) &&
        ::GetVolumeInformationW(root, label, MAX_PATH + 1, nullptr, nullptr, nullptr, nullptr, 0) &&
        label[0] != L'\0')
      text += std::wstring(L" [") + label + L"]";
    ::SendMessageW(drives, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    driveRoots_.emplace_back(root);
  }
  presenter_ = std::make_unique<BrowserPresenter>(*this, editors, startFolder);
}

BrowserWindow::~BrowserWindow() = default;

void BrowserWindow::OnCommand(std::string_view control, int code, HWND handle) {
  if (control == "Drive1" && code == CBN_SELCHANGE) {
    const LRESULT chosen = ::SendMessageW(handle, CB_GETCURSEL, 0, 0);
    if (chosen >= 0 && static_cast<size_t>(chosen) < driveRoots_.size()) {
      const fs::path root(driveRoots_[static_cast<size_t>(chosen)]);
      if (root != presenter_->Folder()) presenter_->OnFolderChosen(root);
    }
  } else if (control == "Dir1" && code == LBN_DBLCLK) {
    const LRESULT chosen = ::SendMessageW(handle, LB_GETCURSEL, 0, 0);
    if (chosen >= 0 && static_cast<size_t>(chosen) < folders_.size()) {
      const fs::path target = folders_[static_cast<size_t>(chosen)].target;
      if (target != presenter_->Folder()) presenter_->OnFolderChosen(target);
    }
  } else if (control == "File1") {
    // A click or an arrow key: the name and description follow the highlight.
    if (code == LBN_SELCHANGE) presenter_->OnFileHighlighted();
    if (code == LBN_DBLCLK) presenter_->OnFileDoubleClicked();
  } else if (code == BN_CLICKED) {
    if (control == "btnLoad") presenter_->OnLoad();
    if (control == "btnSave") presenter_->OnSave();
    if (control == "btnCancel") presenter_->OnCancel();
  }
}

void BrowserWindow::OnClose() { presenter_->OnCancel(); }

INT_PTR BrowserWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
  handled = false;
  if (message == WM_VKEYTOITEM && reinterpret_cast<HWND>(lParam) == Control("File1")) {
    handled = true;
    if (LOWORD(wParam) != VK_DELETE) return -1;  // the list's own handling
    presenter_->OnDeleteKey();
    return -2;
  }
  if (message == WM_DRAWITEM) {
    const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
    if (item->hwndItem != Control("Dir1")) return FALSE;
    DrawFolderEntry(*item);
    handled = true;
    return TRUE;
  }
  return FALSE;
}

void BrowserWindow::DrawFolderEntry(const DRAWITEMSTRUCT& item) {
  const bool selected = (item.itemState & ODS_SELECTED) != 0;
  ::FillRect(item.hDC, &item.rcItem, ::GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
  if (item.itemID == static_cast<UINT>(-1) || item.itemID >= folders_.size()) return;
  const FolderEntry& entry = folders_[item.itemID];
  const int dpi = static_cast<int>(WindowDpi(Handle()));
  const int picture = ::MulDiv(16, dpi, 96);
  int left = item.rcItem.left + ::MulDiv(2 + 12 * entry.indent, dpi, 96);
  const int top = item.rcItem.top + (item.rcItem.bottom - item.rcItem.top - picture) / 2;
  if (HBITMAP bitmap = (entry.open ? folderOpen_ : folderClosed_).get(); bitmap != nullptr) {
    HDC memory = ::CreateCompatibleDC(item.hDC);
    HGDIOBJ previous = ::SelectObject(memory, bitmap);
    // Magenta is the pictures' background.
    ::GdiTransparentBlt(item.hDC, left, top, picture, picture, memory, 0, 0, 16, 16, RGB(255, 0, 255));
    ::SelectObject(memory, previous);
    ::DeleteDC(memory);
  }
  left += picture + ::MulDiv(4, dpi, 96);
  RECT textRect = item.rcItem;
  textRect.left = left;
  ::SetBkMode(item.hDC, TRANSPARENT);
  ::SetTextColor(item.hDC, ::GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
  ::DrawTextW(item.hDC, entry.text.c_str(), static_cast<int>(entry.text.size()), &textRect,
              DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
  if ((item.itemState & ODS_FOCUS) != 0) ::DrawFocusRect(item.hDC, &item.rcItem);
}

void BrowserWindow::SetLoadMode(bool load) {
  ::EnableWindow(Control("btnLoad"), load);
  ::EnableWindow(Control("btnSave"), !load);
  ::EnableWindow(Control("btnCancel"), TRUE);
  ::SendMessageW(Handle(), DM_SETDEFID, static_cast<WPARAM>(Form().IdOf(load ? "btnLoad" : "btnSave")), 0);
  SetText("Text_RtnVal", {});
}

void BrowserWindow::DisableLoadAndSave() {
  ::EnableWindow(Control("btnLoad"), FALSE);
  ::EnableWindow(Control("btnSave"), FALSE);
  ::EnableWindow(Control("btnCancel"), TRUE);
}

void BrowserWindow::ShowFolder(const fs::path& folder) {
  const std::wstring path = Lower(folder.wstring());
  int best = -1;
  size_t bestLength = 0;
  for (size_t i = 0; i < driveRoots_.size(); ++i) {
    const std::wstring root = Lower(driveRoots_[i]);
    if (path.rfind(root, 0) == 0 && root.size() > bestLength) {
      best = static_cast<int>(i);
      bestLength = root.size();
    }
  }
  ::SendMessageW(Control("Drive1"), CB_SETCURSEL, static_cast<WPARAM>(best), 0);

  // The folder and those that hold it, open, then its own folders, closed.
  HWND list = Control("Dir1");
  ::SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  ::SendMessageW(list, LB_RESETCONTENT, 0, 0);
  folders_.clear();
  auto add = [&](const std::wstring& text, const fs::path& target, int indent, bool open) {
    folders_.push_back({text, target, indent, open});
    ::SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  };
  std::vector<fs::path> chain;
  for (fs::path at = folder; !at.empty(); at = at.parent_path()) {
    chain.push_back(at);
    if (at == at.parent_path() || at == at.root_path()) break;
  }
  std::reverse(chain.begin(), chain.end());
  int depth = 0;
  for (const fs::path& at : chain) {
    add(depth == 0 ? at.wstring() : at.filename().wstring(), at, depth, true);
    ++depth;
  }
  std::vector<std::wstring> subfolders;
  std::error_code error;
  for (fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error), end;
       !error && it != end; it.increment(error)) {
    std::error_code statusError;
    if (it->is_directory(statusError)) subfolders.push_back(it->path().filename().wstring());
  }
  std::sort(subfolders.begin(), subfolders.end(),
            [](const std::wstring& a, const std::wstring& b) { return Lower(a) < Lower(b); });
  for (const std::wstring& name : subfolders) add(name, folder / name, depth, false);
  ::SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(depth - 1), 0);
  ::SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  ::InvalidateRect(list, nullptr, TRUE);
}

void BrowserWindow::ShowFiles(const std::vector<std::string>& files) {
  HWND list = Control("File1");
  ::SendMessageW(list, LB_RESETCONTENT, 0, 0);
  for (const std::string& file : files)
    ::SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(file).c_str()));
  ::SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
}

std::optional<std::string> BrowserWindow::SelectedFile() {
  HWND list = Control("File1");
  const LRESULT selected = ::SendMessageW(list, LB_GETCURSEL, 0, 0);
  if (selected < 0) return std::nullopt;
  const LRESULT length = ::SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(selected), 0);
  if (length < 0) return std::nullopt;
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  ::SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(selected), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(length));
  return Narrow(text);
}

void BrowserWindow::SelectFile(size_t index) {
  ::SendMessageW(Control("File1"), LB_SETCURSEL, index, 0);
  // The list does not tell of a selection the program made.
  presenter_->OnFileHighlighted();
}

std::string BrowserWindow::FileName() { return Text("Text_FileName"); }
void BrowserWindow::SetFileName(std::string_view name) { SetText("Text_FileName", name); }

void BrowserWindow::SetDescription(platform::ComStringView description) {
  ::SetWindowTextW(Control("Text_Description"), std::wstring(description.begin(), description.end()).c_str());
}

void BrowserWindow::ShowMessage(std::string_view text) { ShowApplicationMessage(Handle(), text); }

std::string BrowserWindow::AskOverwrite(std::string_view question) {
  const std::string answer = warning_.Ask(question);
  SetText("Text_RtnVal", answer);
  return answer;
}

bool BrowserWindow::ConfirmDelete(std::string_view name, const fs::path& path) {
  return deletion_.Confirm(name, path);
}

void BrowserWindow::ShowModal() { RunModal(); }
void BrowserWindow::Hide() { EndModal(); }

// ---- Form1 ---------------------------------------------------------------------

MainWindow::MainWindow(CameraAccess& access)
    : Dialog(MainForm(), nullptr), presenter_(*this, access), banner_(LoadPicture(PRESETS_BANNER)) {
  SetPicture(Control(names::kBanner), banner_.get());
  const int small = ::GetSystemMetrics(SM_CXSMICON);
  // Shared icons: the system keeps them.
  HICON icon = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(PRESETS_ICON), IMAGE_ICON,
                                          0, 0, LR_DEFAULTSIZE | LR_SHARED));
  HICON smallIcon = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(PRESETS_ICON),
                                                    IMAGE_ICON, small, small, LR_SHARED));
  ::SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  ::SendMessageW(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
  HWND selector = Control(names::kSelector);
  for (int slot = kFirstSlot; slot <= kLastSlot; ++slot)
    ::SendMessageW(selector, CB_ADDSTRING, 0,
                   reinterpret_cast<LPARAM>((L"Preset " + std::to_wstring(slot)).c_str()));
  for (const SettingInfo& info : Settings()) {
    if (info.kind != SettingKind::List) continue;
    HWND list = Control(info.control);
    for (int i = 0; i < info.choiceCount; ++i)
      ::SendMessageW(list, CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(Wide(info.choices[static_cast<size_t>(i)]).c_str()));
  }
}

MainWindow::~MainWindow() = default;

void MainWindow::Show(bool probing) {
  probing_ = probing;
  Centre(Handle(), nullptr);
  ::ShowWindow(Handle(), SW_SHOW);
  // The window opens with the focus on the first control of its tab order.
  ::SendMessageW(Handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Control(MainForm().focusOrder1.front())), TRUE);
  if (!probing) ::PostMessageW(Handle(), kAfterShown, 0, 0);
}

void MainWindow::OnCommand(std::string_view control, int code, HWND handle) {
  if (control == names::kSelector) {
    switch (code) {
      case CBN_SELCHANGE:
        // A choice in the dropped list counts when the list closes.
        if (::SendMessageW(handle, CB_GETDROPPEDSTATE, 0, 0) != 0) {
          choicePending_ = true;
          return;
        }
        break;
      case CBN_SELENDCANCEL: choicePending_ = false; return;
      case CBN_CLOSEUP:
        if (!choicePending_) return;
        break;
      case CBN_EDITCHANGE: selectorChosen_ = false; return;  // typing leaves it without a selection
      default: return;
    }
    choicePending_ = false;
    selectorChosen_ = true;
    presenter_.OnSelectorChosen(static_cast<int>(::SendMessageW(handle, CB_GETCURSEL, 0, 0)));
    return;
  }
  if (code == EN_KILLFOCUS) {
    for (const SettingInfo& info : Settings()) {
      if (info.kind == SettingKind::Level && control == BoxName(info)) {
        presenter_.OnLevelTextLeft(info.setting, Text(control));
        return;
      }
    }
    return;
  }
  if (code != BN_CLICKED) return;
  if (control == names::kReadPreset) presenter_.OnReadPreset();
  if (control == names::kSetPreset) presenter_.OnSetPreset();
  if (control == names::kClearPreset) presenter_.OnClearPreset();
  if (control == names::kLock) presenter_.OnLock();
  if (control == names::kLayout) presenter_.OnLayout();
  if (control == names::kDefaults) presenter_.OnDefaults();
  if (control == names::kLoadFromFile) presenter_.OnLoadFromFile();
  if (control == names::kSaveToFile) presenter_.OnSaveToFile();
  if (control == names::kInfo) presenter_.OnInfo();
  if (control == names::kExit) presenter_.OnExit();
}

void MainWindow::OnClose() { CloseAll(); }

INT_PTR MainWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
  handled = true;
  switch (message) {
    case WM_HSCROLL:
      OnScroll(reinterpret_cast<HWND>(lParam), LOWORD(wParam), static_cast<short>(HIWORD(wParam)));
      return TRUE;
    case kAfterShown: presenter_.AfterShown(); return TRUE;
    case WM_PAINT:
      if (probing_) ReportFirstPaint();
      break;
    case WM_DESTROY: ::PostQuitMessage(0); return TRUE;
    default: break;
  }
  handled = false;
  return FALSE;
}

void MainWindow::OnScroll(HWND bar, int code, int thumb) {
  const ControlSpec* control = Form().SpecOf(::GetDlgCtrlID(bar));
  if (control == nullptr) return;
  for (const SettingInfo& info : Settings()) {
    if (info.kind != SettingKind::Level || info.control != control->name) continue;
    const int current = ::GetScrollPos(bar, SB_CTL);
    int position = current;
    switch (code) {
      case SB_LINELEFT:
      case SB_PAGELEFT: position = current - 1; break;
      case SB_LINERIGHT:
      case SB_PAGERIGHT: position = current + 1; break;
      case SB_LEFT: position = kLevelMin; break;
      case SB_RIGHT: position = kLevelMax; break;
      // The text box follows when the thumb is released.
      case SB_THUMBPOSITION: position = thumb; break;
      default: return;
    }
    SetLevelPosition(info.setting, std::clamp(position, kLevelMin, kLevelMax));
    return;
  }
}

void MainWindow::SetLevelPosition(Setting setting, int position) {
  HWND bar = Control(Info(setting).control);
  if (::GetScrollPos(bar, SB_CTL) == position) return;
  ::SetScrollPos(bar, SB_CTL, position, TRUE);
  presenter_.OnLevelPositionChanged(setting, position);
}

EditorValues MainWindow::Editors() {
  EditorValues values;
  values.presetName = WindowText(Control(names::kPresetName));
  values.description = WindowText(Control(names::kDescription));
  for (const SettingInfo& info : Settings()) {
    HWND control = Control(info.control);
    values[info.setting] = info.kind == SettingKind::List
                               ? static_cast<int>(::SendMessageW(control, CB_GETCURSEL, 0, 0))
                               : ::GetScrollPos(control, SB_CTL);
  }
  return values;
}

void MainWindow::SetEditors(const EditorValues& values) {
  auto setText = [this](std::string_view control, const platform::ComString& text) {
    HWND edit = Control(control);
    if (WindowText(edit) != text) ::SetWindowTextW(edit, text.c_str());
  };
  setText(names::kPresetName, values.presetName);
  for (const SettingInfo& info : Settings()) {
    if (info.kind == SettingKind::List) {
      ::SendMessageW(Control(info.control), CB_SETCURSEL, static_cast<WPARAM>(values[info.setting]), 0);
    } else {
      SetLevelPosition(info.setting, values[info.setting]);
    }
  }
  setText(names::kDescription, values.description);
}

void MainWindow::ShowMessage(std::string_view text) {
  // The box needs the normal pointer, and the busy one comes back after it.
  const bool wasBusy = busy_;
  if (wasBusy) SetBusy(false);
  HWND active = ::GetActiveWindow();
  ShowApplicationMessage(active != nullptr ? active : Handle(), text);
  if (wasBusy) SetBusy(true);
}

void MainWindow::SetBusy(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  SetBusyPointer(busy);
}

void MainWindow::SetEnabled(std::string_view control, bool enabled) { ::EnableWindow(Control(control), enabled); }

void MainWindow::SetCaption(std::string_view control, std::string_view caption) {
  if (control == MainForm().name) {
    ::SetWindowTextW(Handle(), Wide(caption).c_str());
    return;
  }
  SetText(control, caption);
}

int MainWindow::SelectorPosition() {
  return selectorChosen_ ? static_cast<int>(::SendMessageW(Control(names::kSelector), CB_GETCURSEL, 0, 0)) : -1;
}

void MainWindow::SetSelectorPosition(int position) {
  selectorChosen_ = position >= 0;
  ::SendMessageW(Control(names::kSelector), CB_SETCURSEL, static_cast<WPARAM>(position), 0);
}

int MainWindow::LevelPosition(Setting setting) { return ::GetScrollPos(Control(Info(setting).control), SB_CTL); }

void MainWindow::SetLevelText(Setting setting, std::string_view text) { SetText(BoxName(Info(setting)), text); }

void MainWindow::ArrangeLayout(int layout) { Form().Arrange(layout); }

BrowserWindow& MainWindow::Browser() {
  if (!browser_) browser_ = std::make_unique<BrowserWindow>(Handle(), *this, DocumentsFolder());
  return *browser_;
}

void MainWindow::ShowBrowser(BrowserMode mode) { Browser().Presenter().Open(mode); }

AboutWindow& MainWindow::About() {
  if (!about_) about_ = std::make_unique<AboutWindow>(Handle());
  return *about_;
}

ReminderWindow& MainWindow::Reminder() {
  if (!reminder_) reminder_ = std::make_unique<ReminderWindow>(Handle(), banner_.get());
  return *reminder_;
}

void MainWindow::ShowAbout() { About().RunModal(); }

void MainWindow::ShowReminder() {
  Reminder().RunModal();
  reminder_.reset();  // shown once a run
}

void MainWindow::CloseAll() {
  for (Dialog* dialog : {static_cast<Dialog*>(browser_.get()), static_cast<Dialog*>(about_.get()),
                         static_cast<Dialog*>(reminder_.get())})
    if (dialog != nullptr) dialog->EndModal();
  ::DestroyWindow(Handle());
}

fs::path DocumentsFolder() {
  PWSTR path = nullptr;
  fs::path folder;
  const auto knownFolder = ShellFunction<decltype(&::SHGetKnownFolderPath)>("SHGetKnownFolderPath");
  if (knownFolder != nullptr && SUCCEEDED(knownFolder(FOLDERID_Documents, 0, nullptr, &path)) && path != nullptr)
    folder = fs::path(path);
  ::CoTaskMemFree(path);
  std::error_code error;
  if (folder.empty() || !fs::is_directory(folder, error)) folder = fs::current_path(error);
  return folder;
}

}  // namespace presets::ui::win32
