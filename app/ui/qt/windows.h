// The Qt 6 windows of the preset manager, built from the form tables; they
// only wire widgets to the portable handlers.
#pragma once

#include <QDialog>
#include <QWidget>
#include <memory>

#include "app/ui/browser_presenter.h"
#include "app/ui/main_presenter.h"
#include "app/ui/qt/form_widgets.h"

namespace presets::ui::qt {

// A dialog built from its form table.
class FormDialog : public QDialog {
 public:
  FormDialog(QWidget* parent, const FormSpec& spec) : QDialog(parent), form_(*this, spec) {}
  FormWidgets& Form() { return form_; }

 protected:
  FormWidgets form_;
};

// Form3: "Yes" answers "Y", "No" answers "N".
class WarningWindow final : public FormDialog {
 public:
  explicit WarningWindow(QWidget* parent);
  // Shows the question modally; "Y", "N", or empty when closed otherwise.
  std::string Ask(const QString& question);

 private:
  std::string answer_;
};

// The delete confirmation ("deletion").
class DeleteWindow final : public FormDialog {
 public:
  explicit DeleteWindow(QWidget* parent);
  bool Confirm(const QString& name, const QString& path);
};

class ReminderWindow final : public FormDialog {
 public:
  explicit ReminderWindow(QWidget* parent);
};

class AboutWindow final : public FormDialog {
 public:
  explicit AboutWindow(QWidget* parent);
};

// Form2, the preset file browser.
class BrowserWindow final : public FormDialog, public BrowserView {
 public:
  BrowserWindow(QWidget* parent, EditorStore& editors, const std::filesystem::path& startFolder);
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

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  WarningWindow warning_;
  DeleteWindow deletion_;
  std::unique_ptr<BrowserPresenter> presenter_;
};

// Form1, the main window.
class MainWindow final : public QWidget, public MainView {
 public:
  explicit MainWindow(CameraAccess& access);
  ~MainWindow() override;
  MainPresenter& Presenter() { return presenter_; }
  FormWidgets& Form() { return form_; }
  // The file browser, made on first use.
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

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void Wire();

  FormWidgets form_;
  MainPresenter presenter_;
  std::unique_ptr<BrowserWindow> browser_;
  std::unique_ptr<AboutWindow> about_;
  std::unique_ptr<ReminderWindow> reminder_;
  bool selectorChosen_ = false;
  bool busy_ = false;
};

// Shows a message box with an OK button and the application title.
void ShowApplicationMessage(QWidget* parent, std::string_view text);

}  // namespace presets::ui::qt
