#include "app/ui/browser_presenter.h"

#include <algorithm>
#include <sstream>

#include "app/file/preset_file.h"
#include "platform/ansi.h"

namespace presets::ui {

namespace fs = std::filesystem;

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return Upper(x) == Upper(y);
         });
}

bool HasPresetExtension(std::string_view name) {
  return name.size() >= 4 && EqualNoCase(name.substr(name.size() - 4), ".DQX");
}

std::string_view Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool IsRegularFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

// The file a save under `name` would replace, looked for on the disk now (the
// list on screen may be stale): a listed file equal to the name in any letter
// case, else whatever stands at the name itself, which is found even in a
// folder that may be searched but not listed. A folder there is left to the
// save, which fails and says so.
std::optional<std::string> ExistingTarget(const fs::path& folder, std::string_view name) {
  std::error_code error;
  for (const std::string& file : ListPresetFiles(folder, error))
    if (EqualNoCase(file, name)) return file;
  const fs::file_status status = fs::symlink_status(folder / name, error);
  if (fs::exists(status) && !fs::is_directory(status)) return std::string(name);
  return std::nullopt;
}

}  // namespace

std::vector<std::string> ListPresetFiles(const fs::path& folder) {
  std::error_code error;
  return ListPresetFiles(folder, error);
}

std::vector<std::string> ListPresetFiles(const fs::path& folder, std::error_code& error) {
  std::vector<std::string> files;
  error.clear();
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (HasPresetExtension(name) && IsRegularFile(it->path())) files.push_back(std::move(name));
  }
  std::sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return Upper(x) < Upper(y); });
  });
  return files;
}

platform::ComString ReadDescription(const fs::path& file) {
  // The same guarded read as loading: a FIFO or device in the file's place
  // must not block the window.
  platform::ComString description;
  std::string error;
  if (!ReadPresetFileDescription(file, description, error)) return {};
  return description;
}

std::string FolderNotListed(const fs::path& folder, const std::error_code& error) {
  return "The folder " + folder.string() + " cannot be listed (" + error.message() + ").";
}

std::string WithPresetExtension(std::string_view name) {
  std::string result(name);
  if (!HasPresetExtension(name)) result += ".dqx";
  return result;
}

fs::path DocumentsFolder(const fs::path& home, std::string_view userDirs, const char* environmentValue) {
  std::string value;
  if (environmentValue != nullptr && *environmentValue != '\0') {
    value = environmentValue;
  } else {
    std::istringstream lines{std::string(userDirs)};
    std::string line;
    constexpr std::string_view kKey = "XDG_DOCUMENTS_DIR=";
    while (std::getline(lines, line)) {
      const std::string_view text = Trim(line);
      if (text.substr(0, kKey.size()) != kKey) continue;
      std::string_view quoted = text.substr(kKey.size());
      if (quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"')
        quoted = quoted.substr(1, quoted.size() - 2);
      value = std::string(quoted);
    }
  }
  if (value.rfind("$HOME", 0) == 0) value = home.string() + value.substr(5);
  std::error_code error;
  // "$HOME/" alone means no documents folder of its own.
  if (!value.empty() && fs::path(value).is_absolute() && fs::is_directory(value, error)) return fs::path(value);
  return home;
}

BrowserPresenter::BrowserPresenter(BrowserView& view, EditorStore& editors, fs::path startFolder)
    : view_(view), editors_(editors), folder_(std::move(startFolder)) {
  view_.SetFileName({});
  view_.ShowFolder(folder_);
  // Quiet: every opening lists the folder again and says what went wrong.
  Refresh(false);
}

void BrowserPresenter::Refresh(bool report) {
  std::error_code error;
  files_ = ListPresetFiles(folder_, error);
  view_.ShowFiles(files_);
  // An empty list would say the folder holds no preset files.
  if (error && report) view_.ShowMessage(FolderNotListed(folder_, error));
}

void BrowserPresenter::Open(BrowserMode mode) {
  mode_ = mode;
  view_.SetLoadMode(mode == BrowserMode::Load);
  view_.SetFileName({});
  view_.SetDescription({});
  Refresh();
  view_.ShowModal();
}

void BrowserPresenter::OnFolderChosen(const fs::path& folder) {
  folder_ = folder;
  view_.ShowFolder(folder_);
  Refresh();
  view_.SetFileName({});
}

void BrowserPresenter::OnFileClicked() {
  const std::optional<std::string> selected = view_.SelectedFile();
  if (!selected) {
    if (!files_.empty()) view_.SelectFile(0);
    return;
  }
  view_.SetDescription({});
  view_.SetFileName(*selected);
  view_.SetDescription(ReadDescription(PathOf(*selected)));
}

void BrowserPresenter::OnFileHighlighted() {
  if (view_.SelectedFile()) OnFileClicked();
}

void BrowserPresenter::OnFileDoubleClicked() {
  const std::optional<std::string> selected = view_.SelectedFile();
  if (!selected) return;
  view_.SetFileName(*selected);
  if (mode_ == BrowserMode::Load) {
    OnLoad();
  } else {
    OnSave();
  }
}

void BrowserPresenter::OnLoad() {
  const std::string name = WithPresetExtension(view_.FileName());
  EditorValues values = editors_.Editors();
  std::string error;
  if (LoadPresetFromFile(PathOf(name), values, error)) {
    editors_.SetEditors(values);
  } else {
    view_.ShowMessage(error);
  }
  view_.Hide();
}

void BrowserPresenter::OnSave() {
  const std::string typed = view_.FileName();
  if (typed.empty()) return;
  const std::string name = WithPresetExtension(typed);
  std::string target = name;
  if (const std::optional<std::string> existing = ExistingTarget(folder_, name)) {
    // Replace the file that is there, whatever the letter case of the name typed.
    const std::string answer =
        view_.AskOverwrite(std::string(kOverwriteBefore) + name + std::string(kOverwriteAfter));
    if (answer != "Y") return;
    target = *existing;
  }
  std::string error;
  if (!SavePresetToFile(PathOf(target), editors_.Editors(), error)) {
    // The browser stays open and the settings stay on screen.
    view_.ShowMessage(error);
    Refresh(false);  // one message is enough
    return;
  }
  view_.Hide();
}

void BrowserPresenter::OnCancel() {
  view_.DisableLoadAndSave();
  view_.Hide();
}

void BrowserPresenter::OnDeleteKey() {
  const std::optional<std::string> selected = view_.SelectedFile();
  if (!selected) return;  // never the folder itself
  view_.SetFileName(*selected);
  const fs::path path = PathOf(*selected);
  if (!view_.ConfirmDelete(*selected, path)) return;
  std::error_code error;
  const fs::file_status status = fs::symlink_status(path, error);
  if (fs::is_regular_file(status)) {
    fs::remove(path, error);
    if (error) view_.ShowMessage("The file " + *selected + " could not be deleted: " + error.message());
  } else if (fs::exists(status)) {
    view_.ShowMessage("The file " + *selected + " is not a regular file and was not deleted.");
  }
  view_.SetFileName({});
  Refresh();
}

}  // namespace presets::ui
