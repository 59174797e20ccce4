// The preset file browser (load or save a .DQX file, delete one), its
// overwrite warning and delete confirmation, as portable handlers over a view.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/ui/main_presenter.h"

namespace presets::ui {

// The files of a folder that match "*.DQX" in any letter case: regular files
// only (links to regular files included), sorted by name in any letter case.
// `error` says when the folder, or part of it, could not be read.
std::vector<std::string> ListPresetFiles(const std::filesystem::path& folder, std::error_code& error);
// The same, empty when the folder cannot be read.
std::vector<std::string> ListPresetFiles(const std::filesystem::path& folder);

// The message for a folder whose files cannot be listed.
std::string FolderNotListed(const std::filesystem::path& folder, const std::error_code& error);

// The value of a file's last "Description " line, surrounding spaces removed;
// empty when there is none or the file cannot be read.
platform::ComString ReadDescription(const std::filesystem::path& file);

// The name as saved or loaded: ".dqx" appended unless it ends in ".DQX" in
// any letter case.
std::string WithPresetExtension(std::string_view name);

// The documents folder: XDG_DOCUMENTS_DIR from the environment or from
// `userDirs` (the text of user-dirs.dirs, "$HOME" expanded), when it names
// an existing folder; otherwise `home`.
std::filesystem::path DocumentsFolder(const std::filesystem::path& home, std::string_view userDirs,
                                      const char* environmentValue);

inline constexpr std::string_view kOverwriteBefore = "This will overwrite the file ";
inline constexpr std::string_view kOverwriteAfter = ". Do you want to continue?";

class BrowserView {
 public:
  virtual ~BrowserView() = default;
  virtual void SetLoadMode(bool load) = 0;  // btnLoad or btnSave enabled and default
  virtual void DisableLoadAndSave() = 0;
  virtual void ShowFolder(const std::filesystem::path& folder) = 0;  // drive and folder lists
  virtual void ShowFiles(const std::vector<std::string>& files) = 0;
  virtual std::optional<std::string> SelectedFile() = 0;
  virtual void SelectFile(size_t index) = 0;
  virtual std::string FileName() = 0;
  virtual void SetFileName(std::string_view name) = 0;
  virtual void SetDescription(platform::ComStringView description) = 0;
  virtual void ShowMessage(std::string_view text) = 0;
  // The overwrite warning, modal: "Y", "N", or empty when closed without an answer.
  virtual std::string AskOverwrite(std::string_view question) = 0;
  // The delete confirmation, modal: true for "Delete File".
  virtual bool ConfirmDelete(std::string_view name, const std::filesystem::path& path) = 0;
  virtual void ShowModal() = 0;
  virtual void Hide() = 0;
};

class BrowserPresenter {
 public:
  BrowserPresenter(BrowserView& view, EditorStore& editors, std::filesystem::path startFolder);

  // Prepares the mode, empties the fields, refreshes the list and shows the
  // browser modally.
  void Open(BrowserMode mode);
  void OnFolderChosen(const std::filesystem::path& folder);
  void OnFileClicked();
  // The highlighted entry moved without a click (arrow keys, or the program
  // selecting one): the file name and description follow it as for a click,
  // so that they and the Delete key always mean the same file.
  void OnFileHighlighted();
  void OnFileDoubleClicked();
  void OnDeleteKey();
  void OnLoad();
  void OnSave();
  void OnCancel();

  const std::filesystem::path& Folder() const { return folder_; }
  BrowserMode Mode() const { return mode_; }

 private:
  // Lists the folder again; `report`: a folder that cannot be listed is said.
  void Refresh(bool report = true);
  std::filesystem::path PathOf(std::string_view name) const { return folder_ / name; }

  BrowserView& view_;
  EditorStore& editors_;
  std::filesystem::path folder_;
  std::vector<std::string> files_;
  BrowserMode mode_ = BrowserMode::Load;
};

}  // namespace presets::ui
