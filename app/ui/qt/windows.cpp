#include "app/ui/qt/windows.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStorageInfo>
#include <QUrl>
#include <algorithm>

#include "app/file/preset_file.h"
#include "platform/files.h"

namespace presets::ui::qt {

namespace fs = std::filesystem;

void ShowApplicationMessage(QWidget* parent, std::string_view text) {
  QMessageBox box(QMessageBox::NoIcon, ToQ(kApplicationTitle), ToQ(text), QMessageBox::Ok, parent);
  box.exec();
}

namespace {

QString PathToQ(const fs::path& path) { return QString::fromStdString(path.string()); }

void Connect(const FormWidgets& form, std::string_view button, const std::function<void()>& handler) {
  QObject::connect(form.As<QPushButton>(button), &QPushButton::clicked, form.Widget(button), handler);
}

}  // namespace

// ---- Form3 and the delete confirmation ---------------------------------------

WarningWindow::WarningWindow(QWidget* parent) : FormDialog(parent, WarningForm()) {
  Connect(form_, "Command1", [this] {
    answer_ = "Y";
    hide();
  });
  Connect(form_, "Command2", [this] {
    answer_ = "N";
    hide();
  });
}

std::string WarningWindow::Ask(const QString& question) {
  answer_.clear();
  form_.As<QLabel>("frmWarning")->setText(question);
  exec();
  return answer_;
}

DeleteWindow::DeleteWindow(QWidget* parent) : FormDialog(parent, DeleteForm()) {
  form_.As<QLineEdit>("Text1")->setReadOnly(true);
  Connect(form_, "Command1", [this] { accept(); });
  Connect(form_, "Command2", [this] { reject(); });
}

bool DeleteWindow::Confirm(const QString& name, const QString& path) {
  form_.As<QLabel>("Label2")->setText(name);
  form_.As<QLineEdit>("Text1")->setText(path);
  return exec() == QDialog::Accepted;
}

// ---- Reminder and about -------------------------------------------------------

ReminderWindow::ReminderWindow(QWidget* parent) : FormDialog(parent, ReminderForm()) {
  form_.As<QLabel>("Image1")->setPixmap(BannerPicture());
  form_.As<QLabel>("Label1")->setText(ToQ(kReminderText));
  Connect(form_, "Continue", [this] { accept(); });
}

AboutWindow::AboutWindow(QWidget* parent) : FormDialog(parent, AboutForm()) {
  setWindowTitle(QStringLiteral("About ") + ToQ(kApplicationTitle));
  form_.As<QLabel>("picIcon")->setPixmap(IconPicture());
  form_.As<QLabel>("lblTitle")->setText(ToQ(kApplicationTitle) + ToQ(kAboutTitleSuffix));
  form_.As<QLabel>("lblVersion")
      ->setText(QStringLiteral("Version %1.%2.%3").arg(kVersionMajor).arg(kVersionMinor).arg(kVersionRevision));
  form_.As<QLabel>("lblDisclaimer")->setText(ToQ(kDisclaimer));
  // Whether the desktop could open the page is not examined.
  connect(form_.As<QLabel>("Label1"), &QLabel::linkActivated, this,
          [](const QString& address) { QDesktopServices::openUrl(QUrl(address)); });
  Connect(form_, "cmdOK", [this] { accept(); });
}

// ---- Form2 ---------------------------------------------------------------------

BrowserWindow::BrowserWindow(QWidget* parent, EditorStore& editors, const fs::path& startFolder)
    : FormDialog(parent, BrowserForm()), warning_(this), deletion_(this) {
  form_.As<QLineEdit>("Text_Description")->setReadOnly(true);
  auto* drives = form_.As<QComboBox>("Drive1");
  for (const QStorageInfo& volume : QStorageInfo::mountedVolumes())
    if (volume.isValid() && volume.isReady()) drives->addItem(volume.rootPath());
  connect(drives, &QComboBox::activated, this,
          [this, drives](int index) { presenter_->OnFolderChosen(drives->itemText(index).toStdString()); });
  auto* folders = form_.As<QListWidget>("Dir1");
  connect(folders, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
    const fs::path target = item->data(Qt::UserRole).toString().toStdString();
    if (target != presenter_->Folder()) presenter_->OnFolderChosen(target);
  });
  auto* files = form_.As<QListWidget>("File1");
  files->installEventFilter(this);
  connect(files, &QListWidget::itemClicked, this, [this] { presenter_->OnFileClicked(); });
  // Arrow keys move the highlight without a click.
  connect(files, &QListWidget::itemSelectionChanged, this, [this] { presenter_->OnFileHighlighted(); });
  connect(files, &QListWidget::itemDoubleClicked, this, [this] { presenter_->OnFileDoubleClicked(); });
  Connect(form_, "btnLoad", [this] { presenter_->OnLoad(); });
  Connect(form_, "btnSave", [this] { presenter_->OnSave(); });
  Connect(form_, "btnCancel", [this] { presenter_->OnCancel(); });
  presenter_ = std::make_unique<BrowserPresenter>(*this, editors, startFolder);
}

bool BrowserWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == form_.Widget("File1") && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
    presenter_->OnDeleteKey();
    return true;
  }
  return FormDialog::eventFilter(watched, event);
}

void BrowserWindow::SetLoadMode(bool load) {
  auto* loadButton = form_.As<QPushButton>("btnLoad");
  auto* saveButton = form_.As<QPushButton>("btnSave");
  loadButton->setEnabled(load);
  loadButton->setDefault(load);
  saveButton->setEnabled(!load);
  saveButton->setDefault(!load);
  form_.As<QPushButton>("btnCancel")->setEnabled(true);
  form_.As<QLineEdit>("Text_RtnVal")->clear();
}

void BrowserWindow::DisableLoadAndSave() {
  form_.As<QPushButton>("btnLoad")->setEnabled(false);
  form_.As<QPushButton>("btnSave")->setEnabled(false);
  form_.As<QPushButton>("btnCancel")->setEnabled(true);
}

void BrowserWindow::ShowFolder(const fs::path& folder) {
  const QString path = PathToQ(folder);
  auto* drives = form_.As<QComboBox>("Drive1");
  int best = -1;
  qsizetype bestLength = -1;
  for (int i = 0; i < drives->count(); ++i) {
    const QString root = drives->itemText(i);
    const bool inside = path == root || path.startsWith(root.endsWith('/') ? root : root + '/');
    if (inside && root.size() > bestLength) {
      best = i;
      bestLength = root.size();
    }
  }
  drives->setCurrentIndex(best);

  auto* folders = form_.As<QListWidget>("Dir1");
  folders->clear();
  auto add = [folders](const QString& text, const QString& target) {
    auto* item = new QListWidgetItem(text, folders);
    item->setData(Qt::UserRole, target);
  };
  const QDir dir(path);
  add(QDir::toNativeSeparators(dir.absolutePath()), dir.absolutePath());
  if (!dir.isRoot()) add(QStringLiteral(".."), QDir::cleanPath(dir.absoluteFilePath(QStringLiteral(".."))));
  for (const QString& sub : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase))
    add(QStringLiteral("[") + sub + QStringLiteral("]"), dir.absoluteFilePath(sub));
}

void BrowserWindow::ShowFiles(const std::vector<std::string>& files) {
  auto* list = form_.As<QListWidget>("File1");
  list->clear();
  for (const std::string& file : files) list->addItem(QString::fromStdString(file));
  list->setCurrentRow(-1);
}

std::optional<std::string> BrowserWindow::SelectedFile() {
  auto* list = form_.As<QListWidget>("File1");
  const QList<QListWidgetItem*> selected = list->selectedItems();
  if (selected.isEmpty()) return std::nullopt;
  return selected.front()->text().toStdString();
}

void BrowserWindow::SelectFile(size_t index) {
  auto* list = form_.As<QListWidget>("File1");
  // The selection's change reaches the presenter as a click of its own.
  list->setCurrentRow(static_cast<int>(index));
}

std::string BrowserWindow::FileName() { return form_.As<QLineEdit>("Text_FileName")->text().toStdString(); }
void BrowserWindow::SetFileName(std::string_view name) { form_.As<QLineEdit>("Text_FileName")->setText(ToQ(name)); }
void BrowserWindow::SetDescription(platform::ComStringView description) {
  form_.As<QLineEdit>("Text_Description")->setText(ToQ(platform::ComToUtf8(description)));
}
void BrowserWindow::ShowMessage(std::string_view text) { ShowApplicationMessage(this, text); }

std::string BrowserWindow::AskOverwrite(std::string_view question) {
  const std::string answer = warning_.Ask(ToQ(question));
  form_.As<QLineEdit>("Text_RtnVal")->setText(ToQ(answer));
  return answer;
}

bool BrowserWindow::ConfirmDelete(std::string_view name, const fs::path& path) {
  return deletion_.Confirm(ToQ(name), PathToQ(path));
}

void BrowserWindow::ShowModal() { exec(); }
void BrowserWindow::Hide() { hide(); }

// ---- Form1 ---------------------------------------------------------------------

MainWindow::MainWindow(CameraAccess& access) : form_(*this, MainForm()), presenter_(*this, access) {
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  form_.As<QLabel>(names::kBanner)->setPixmap(BannerPicture());
  auto* selector = form_.As<QComboBox>(names::kSelector);
  for (int slot = kFirstSlot; slot <= kLastSlot; ++slot) selector->addItem(QStringLiteral("Preset %1").arg(slot));
  for (const SettingInfo& info : Settings()) {
    if (info.kind != SettingKind::List) continue;
    auto* list = form_.As<QComboBox>(info.control);
    for (int i = 0; i < info.choiceCount; ++i) list->addItem(ToQ(info.choices[static_cast<size_t>(i)]));
  }
  Wire();
  // The window opens with the focus on the first control of its tab order.
  form_.Widget(MainForm().focusOrder1.front())->setFocus();
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

MainWindow::~MainWindow() = default;

namespace {
std::string BoxName(const SettingInfo& info) { return "Text_" + std::string(info.name); }
}  // namespace

void MainWindow::Wire() {
  Connect(form_, names::kReadPreset, [this] { presenter_.OnReadPreset(); });
  Connect(form_, names::kSetPreset, [this] { presenter_.OnSetPreset(); });
  Connect(form_, names::kClearPreset, [this] { presenter_.OnClearPreset(); });
  Connect(form_, names::kLock, [this] { presenter_.OnLock(); });
  Connect(form_, names::kLayout, [this] { presenter_.OnLayout(); });
  Connect(form_, names::kDefaults, [this] { presenter_.OnDefaults(); });
  Connect(form_, names::kLoadFromFile, [this] { presenter_.OnLoadFromFile(); });
  Connect(form_, names::kSaveToFile, [this] { presenter_.OnSaveToFile(); });
  Connect(form_, names::kInfo, [this] { presenter_.OnInfo(); });
  Connect(form_, names::kExit, [this] { presenter_.OnExit(); });
  auto* selector = form_.As<QComboBox>(names::kSelector);
  connect(selector, &QComboBox::activated, this, [this](int index) {
    selectorChosen_ = true;
    presenter_.OnSelectorChosen(index);
  });
  // Typing into the selector leaves it without a selection.
  connect(selector->lineEdit(), &QLineEdit::textEdited, this, [this] { selectorChosen_ = false; });
  for (const SettingInfo& info : Settings()) {
    if (info.kind != SettingKind::Level) continue;
    const Setting setting = info.setting;
    connect(form_.As<QScrollBar>(info.control), &QScrollBar::valueChanged, this,
            [this, setting](int value) { presenter_.OnLevelPositionChanged(setting, value); });
    form_.Widget(BoxName(info))->installEventFilter(this);
  }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut) {
    for (const SettingInfo& info : Settings()) {
      if (info.kind != SettingKind::Level || watched != form_.Widget(BoxName(info))) continue;
      presenter_.OnLevelTextLeft(info.setting, static_cast<QLineEdit*>(watched)->text().toStdString());
      break;
    }
  }
  return QWidget::eventFilter(watched, event);
}

EditorValues MainWindow::Editors() {
  EditorValues values;
  values.presetName = platform::Utf8ToCom(form_.As<QLineEdit>(names::kPresetName)->text().toStdString());
  values.description = platform::Utf8ToCom(form_.As<QLineEdit>(names::kDescription)->text().toStdString());
  for (const SettingInfo& info : Settings()) {
    values[info.setting] = info.kind == SettingKind::List ? form_.As<QComboBox>(info.control)->currentIndex()
                                                          : form_.As<QScrollBar>(info.control)->value();
  }
  return values;
}

void MainWindow::SetEditors(const EditorValues& values) {
  auto setText = [this](std::string_view control, platform::ComStringView text) {
    auto* edit = form_.As<QLineEdit>(control);
    const QString wanted = ToQ(platform::ComToUtf8(text));
    if (edit->text() != wanted) edit->setText(wanted);
  };
  setText(names::kPresetName, values.presetName);
  for (const SettingInfo& info : Settings()) {
    if (info.kind == SettingKind::List) {
      form_.As<QComboBox>(info.control)->setCurrentIndex(values[info.setting]);
    } else {
      form_.As<QScrollBar>(info.control)->setValue(values[info.setting]);
    }
  }
  setText(names::kDescription, values.description);
}

void MainWindow::ShowMessage(std::string_view text) {
  // The box needs the normal pointer, and the busy one comes back after it.
  const bool wasBusy = busy_;
  if (wasBusy) SetBusy(false);
  ShowApplicationMessage(this, text);
  if (wasBusy) SetBusy(true);
}

void MainWindow::SetBusy(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  if (busy) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

void MainWindow::SetEnabled(std::string_view control, bool enabled) { form_.Widget(control)->setEnabled(enabled); }

void MainWindow::SetCaption(std::string_view control, std::string_view caption) {
  if (control == MainForm().name) {
    setWindowTitle(ToQ(caption));
    return;
  }
  form_.As<QPushButton>(control)->setText(ToQ(caption));
}

int MainWindow::SelectorPosition() {
  return selectorChosen_ ? form_.As<QComboBox>(names::kSelector)->currentIndex() : -1;
}

void MainWindow::SetSelectorPosition(int position) {
  selectorChosen_ = position >= 0;
  form_.As<QComboBox>(names::kSelector)->setCurrentIndex(position);
}

int MainWindow::LevelPosition(Setting setting) { return form_.As<QScrollBar>(Info(setting).control)->value(); }

void MainWindow::SetLevelText(Setting setting, std::string_view text) {
  form_.As<QLineEdit>(BoxName(Info(setting)))->setText(ToQ(text));
}

void MainWindow::ArrangeLayout(int layout) { form_.Arrange(layout); }

BrowserWindow& MainWindow::Browser() {
  if (!browser_) {
    const QByteArray home = qgetenv("HOME");
    const fs::path homePath = home.isEmpty() ? fs::current_path() : fs::path(home.toStdString());
    const QByteArray config = qgetenv("XDG_CONFIG_HOME");
    const fs::path configPath = config.isEmpty() ? homePath / ".config" : fs::path(config.toStdString());
    std::string text;  // stays empty when the file cannot be read
    (void)platform::ReadFileContents(configPath / "user-dirs.dirs", text, presets::kMaxPresetFileBytes);
    const QByteArray environment = qgetenv("XDG_DOCUMENTS_DIR");
    browser_ = std::make_unique<BrowserWindow>(
        this, *this, DocumentsFolder(homePath, text, environment.isEmpty() ? nullptr : environment.constData()));
  }
  return *browser_;
}

AboutWindow& MainWindow::About() {
  if (!about_) about_ = std::make_unique<AboutWindow>(this);
  return *about_;
}

ReminderWindow& MainWindow::Reminder() {
  if (!reminder_) reminder_ = std::make_unique<ReminderWindow>(this);
  return *reminder_;
}

void MainWindow::ShowBrowser(BrowserMode mode) { Browser().Presenter().Open(mode); }
void MainWindow::ShowAbout() { About().exec(); }

void MainWindow::ShowReminder() {
  Reminder().exec();
  reminder_.reset();  // shown once a run
}

void MainWindow::CloseAll() { close(); }

void MainWindow::closeEvent(QCloseEvent* event) {
  if (browser_) {
    browser_->Warning().hide();
    browser_->Deletion().hide();
    browser_->hide();
  }
  if (about_) about_->hide();
  if (reminder_) reminder_->hide();
  event->accept();
}

}  // namespace presets::ui::qt
