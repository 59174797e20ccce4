// The Win32 windows of the preset manager: dialogs built from the form
// tables whose controls only pass what the user did to the portable handlers.
#pragma once

#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/ui/browser_presenter.h"
#include "app/ui/main_presenter.h"
#include "app/ui/win32/form_window.h"

namespace presets::ui::win32 {

// A dialog made from its form table: hidden until shown; a secondary one
// runs modally over its owner.
class Dialog {
 public:
  Dialog(const FormSpec& spec, HWND owner);
  virtual ~Dialog();
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  HWND Handle() const { return window_; }
  FormWindow& Form() { return *form_; }
  HWND Control(std::string_view name) const { return form_->Control(name); }

  // Shows the dialog centred on its owner with the owner disabled, until
  // EndModal(); the focus goes to the first control of the focus order.
  void RunModal();
  // Ends a modal run (or only hides the dialog when none runs).
  void EndModal();

  // The busy pointer of every window of the program.
  static void SetBusyPointer(bool busy);

 protected:
  // A command of one of the form's controls.
  virtual void OnCommand(std::string_view control, int code, HWND handle);
  // The close box.
  virtual void OnClose() { EndModal(); }
  // Escape: a secondary window closes as with its close box.
  virtual void OnEscape() { OnClose(); }
  // Any other message; `handled` false passes it on to the dialog's default handling.
  virtual INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled);
  void SetText(std::string_view control, std::string_view utf8);
  std::string Text(std::string_view control) const;
  void FitWindowToForm();

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);

  const FormSpec& spec_;
  HWND window_ = nullptr;
  std::unique_ptr<FormWindow> form_;
  bool modal_ = false;
  bool toolTipsPosted_ = false;
  static bool busy_;
};

// Shows a message box with an OK button and the application title over `owner`.
void ShowApplicationMessage(HWND owner, std::string_view text);

// Form3: "Yes" answers "Y", "No" answers "N".
class WarningWindow final : public Dialog {
 public:
  explicit WarningWindow(HWND owner);
  // Shows the question modally; "Y", "N", or empty when closed otherwise.
  std::string Ask(std::string_view question);

 private:
  void OnCommand(std::string_view control, int code, HWND handle) override;
  std::string answer_;
};

// The delete confirmation ("deletion").
class DeleteWindow final : public Dialog {
 public:
  explicit DeleteWindow(HWND owner);
  bool Confirm(std::string_view name, const std::filesystem::path& path);

 private:
  void OnCommand(std::string_view control, int code, HWND handle) override;
  bool confirmed_ = false;
};

class ReminderWindow final : public Dialog {
 public:
  // `banner` is the owner's and outlives this window.
  ReminderWindow(HWND owner, HBITMAP banner);

 private:
  void OnCommand(std::string_view control, int code, HWND handle) override;
};

class AboutWindow final : public Dialog {
 public:
  explicit AboutWindow(HWND owner);

 private:
  UniqueGdiObject<HBITMAP> picture_;
  void OnCommand(std::string_view control, int code, HWND handle) override;
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override;
};

// Form2, the preset file browser.
class BrowserWindow final : public Dialog, public BrowserView {
 public:
  BrowserWindow(HWND owner, EditorStore& editors, const std::filesystem::path& startFolder);
  ~BrowserWindow() override;
  BrowserPresenter& Presenter() { return *presenter_; }
  WarningWindow& Warning() { return warning_; }
  DeleteWindow& Deletion() { return deletion_; }

  void SetLoadMode(bool load) override;
  void DisableLoadAndSave() override;
  void ShowFolder(const std::filesystem::path& folder) override;
  void ShowFiles(const std::vector<std::string>& files) override;
  std::optional<std::string> SelectedFile() override;
  void SelectFile(size_t index) override;
  std::string FileName() override;
  void SetFileName(std::string_view name) override;
  void SetDescription(platform::ComStringView description) override;
  void ShowMessage(std::string_view text) override;
  std::string AskOverwrite(std::string_view question) override;
  bool ConfirmDelete(std::string_view name, const std::filesystem::path& path) override;
  void ShowModal() override;
  void Hide() override;

 private:
  void OnCommand(std::string_view control, int code, HWND handle) override;
  void OnClose() override;
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override;
  void DrawFolderEntry(const DRAWITEMSTRUCT& item);

  struct FolderEntry {
    std::wstring text;
    std::filesystem::path target;
    int indent;
    bool open;  // the folder shown or one that holds it
  };
  std::vector<std::wstring> driveRoots_;
  std::vector<FolderEntry> folders_;
  UniqueGdiObject<HBITMAP> folderOpen_;
  UniqueGdiObject<HBITMAP> folderClosed_;
  WarningWindow warning_;
  DeleteWindow deletion_;
  std::unique_ptr<BrowserPresenter> presenter_;
};

// Form1, the main window.
class MainWindow final : public Dialog, public MainView {
 public:
  explicit MainWindow(CameraAccess& access);
  ~MainWindow() override;
  MainPresenter& Presenter() { return presenter_; }
  // Shows the window; the reminder follows once it is on screen, unless the
  // start-up probe ends the program at its first paint.
  void Show(bool probing);
  // The secondary windows, made on first use.
  BrowserWindow& Browser();
  AboutWindow& About();
  ReminderWindow& Reminder();

  EditorValues Editors() override;
  void SetEditors(const EditorValues& values) override;
  void ShowMessage(std::string_view text) override;
  void SetBusy(bool busy) override;
  void SetEnabled(std::string_view control, bool enabled) override;
  void SetCaption(std::string_view control, std::string_view caption) override;
  int SelectorPosition() override;
  void SetSelectorPosition(int position) override;
  int LevelPosition(Setting setting) override;
  void SetLevelText(Setting setting, std::string_view text) override;
  void ArrangeLayout(int layout) override;
  void ShowBrowser(BrowserMode mode) override;
  void ShowAbout() override;
  void ShowReminder() override;
  void CloseAll() override;

 private:
  void OnCommand(std::string_view control, int code, HWND handle) override;
  void OnClose() override;
  void OnEscape() override {}  // the main window stays; Exit or its close box ends it
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override;
  void OnScroll(HWND bar, int code, int thumb);
  void SetLevelPosition(Setting setting, int position);

  MainPresenter presenter_;
  UniqueGdiObject<HBITMAP> banner_;  // before the windows that show it
  std::unique_ptr<BrowserWindow> browser_;
  std::unique_ptr<AboutWindow> about_;
  std::unique_ptr<ReminderWindow> reminder_;
  bool selectorChosen_ = false;
  bool choicePending_ = false;  // chosen in the dropped list, counted when it closes
  bool busy_ = false;
  bool probing_ = false;
};

// The documents folder, or the current folder when there is none.
std::filesystem::path DocumentsFolder();

}  // namespace presets::ui::win32
