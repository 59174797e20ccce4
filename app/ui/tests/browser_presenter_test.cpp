// The file browser's handlers on a real temporary folder: listing, the
// description of a clicked file, load/save/cancel, the overwrite answer, and
// deletion of regular files only.
#include <gtest/gtest.h>

#include <algorithm>

#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/file/preset_file.h"
#include "app/ui/browser_presenter.h"

namespace presets::ui {
namespace {

namespace fs = std::filesystem;

class FakeEditors final : public EditorStore {
 public:
  EditorValues Editors() override { return values; }
  void SetEditors(const EditorValues& v) override {
    values = v;
    ++sets;
  }
  EditorValues values = DefaultValues();
  int sets = 0;
};

class FakeBrowserView final : public BrowserView {
 public:
  void SetLoadMode(bool load) override { mode = load ? "load" : "save"; }
  void DisableLoadAndSave() override { mode = "none"; }
  void ShowFolder(const fs::path& f) override { folder = f; }
  void ShowFiles(const std::vector<std::string>& f) override { files = f; }
  std::optional<std::string> SelectedFile() override {
    if (selected < 0) return std::nullopt;
    return files.at(static_cast<size_t>(selected));
  }
  void SelectFile(size_t index) override { selected = static_cast<int>(index); }
  std::string FileName() override { return fileName; }
  void SetFileName(std::string_view name) override { fileName = name; }
  void SetDescription(platform::ComStringView d) override { description = d; }
  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
  std::string AskOverwrite(std::string_view question) override {
    questions.emplace_back(question);
    return answer;
  }
  bool ConfirmDelete(std::string_view name, const fs::path& path) override {
    deleteAsked = std::string(name) + "|" + path.string();
    return confirmDelete;
  }
  void ShowModal() override { shown = true; }
  void Hide() override { shown = false; }

  std::string mode, fileName, answer = "Y", deleteAsked;
  fs::path folder;
  std::vector<std::string> files, messages, questions;
  platform::ComString description = COM_TEXT("stale");
  int selected = -1;
  bool confirmDelete = true, shown = false;
};

class BrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("presets_ui_browser_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                       "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir / "sub");
    Write("EVENING.DQX", "[Presets]\r\nDescription = first \r\nDescription =  golden hour = warm \r\n");
    Write("plain.dqx", "[Presets]\r\nGamma =  1\r\n");
    Write("notes.txt", "x");
    fs::create_directory(dir / "folder.dqx");
  }
  void TearDown() override { fs::remove_all(dir); }
  void Write(const std::string& name, const std::string& text) { std::ofstream(dir / name, std::ios::binary) << text; }
  std::string Read(const std::string& name) {
    std::ifstream in(dir / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  fs::path dir;
  FakeBrowserView view;
  FakeEditors editors;
};

TEST_F(BrowserTest, ListsPresetFilesInAnyCaseAndShowsTheDescription) {
  BrowserPresenter browser(view, editors, dir);
  EXPECT_EQ(view.files, (std::vector<std::string>{"EVENING.DQX", "plain.dqx"}));
  Write("Alpha.DqX", "");
  EXPECT_EQ(ListPresetFiles(dir), (std::vector<std::string>{"Alpha.DqX", "EVENING.DQX", "plain.dqx"}));
  fs::remove(dir / "Alpha.DqX");
  browser.OnFileClicked();  // nothing selected: the first entry is selected
  EXPECT_EQ(view.selected, 0);
  browser.OnFileClicked();
  EXPECT_EQ(view.fileName, "EVENING.DQX");
  EXPECT_EQ(view.description, COM_TEXT("golden hour = warm"));
  view.selected = 1;
  browser.OnFileClicked();
  EXPECT_EQ(view.description, COM_TEXT(""));
  fs::remove(dir / "EVENING.DQX");  // vanished since the list was made
  view.selected = 0;
  browser.OnFileClicked();
  EXPECT_EQ(view.description, COM_TEXT(""));
}

TEST_F(BrowserTest, LoadSetsTheEditorsAndHides) {
  BrowserPresenter browser(view, editors, dir);
  browser.Open(BrowserMode::Load);
  EXPECT_EQ(view.mode, "load");
  EXPECT_TRUE(view.shown);
  view.fileName = "plain";
  browser.OnLoad();
  EXPECT_EQ(editors.values[Setting::Gamma], 1);
  EXPECT_FALSE(view.shown);

  browser.Open(BrowserMode::Load);
  view.fileName = "missing";
  browser.OnLoad();
  EXPECT_EQ(view.messages, std::vector<std::string>{"File Not Found"});
  EXPECT_EQ(editors.sets, 1);
  EXPECT_FALSE(view.shown);
}

TEST_F(BrowserTest, SaveAppendsTheExtensionAndAsksBeforeOverwriting) {
  BrowserPresenter browser(view, editors, dir);
  browser.Open(BrowserMode::Save);
  view.fileName = "";
  browser.OnSave();
  EXPECT_TRUE(view.shown);

  editors.values[Setting::Knee] = 2;
  view.fileName = "new.Dqx";
  browser.OnSave();
  EXPECT_FALSE(view.shown);
  EXPECT_NE(Read("new.Dqx").find("Knee =  2\r\n"), std::string::npos);
  EXPECT_TRUE(view.questions.empty());

  browser.Open(BrowserMode::Save);
  view.fileName = "evening";
  view.answer = "N";
  browser.OnSave();
  EXPECT_EQ(view.questions,
            std::vector<std::string>{"This will overwrite the file evening.dqx. Do you want to continue?"});
  EXPECT_TRUE(view.shown);
  EXPECT_NE(Read("EVENING.DQX").find("golden hour"), std::string::npos);

  view.answer = "";  // closed without an answer
  browser.OnSave();
  EXPECT_TRUE(view.shown);

  view.answer = "Y";
  browser.OnSave();
  EXPECT_FALSE(view.shown);
  EXPECT_NE(Read("EVENING.DQX").find("Knee =  2\r\n"), std::string::npos);
  // By the names on the disk: a file system that ignores case would find either.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  EXPECT_NE(std::find(names.begin(), names.end(), "EVENING.DQX"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "evening.dqx"), names.end());

  // A file that appeared after the list was made is found on the disk.
  browser.Open(BrowserMode::Save);
  Write("late.dqx", "x");
  view.fileName = "late";
  view.answer = "N";
  browser.OnSave();
  EXPECT_EQ(view.questions.size(), 4u);
  EXPECT_EQ(Read("late.dqx"), "x");
}

TEST_F(BrowserTest, FailedSaveKeepsTheBrowserOpenAndSaysWhy) {
  BrowserPresenter browser(view, editors, dir);
  browser.Open(BrowserMode::Save);
  browser.OnFolderChosen(dir / "gone");
  view.fileName = "x";
  browser.OnSave();
  EXPECT_TRUE(view.shown);
  ASSERT_EQ(view.messages.size(), 1u);
}

TEST_F(BrowserTest, CancelAndNavigationAndDoubleClick) {
  BrowserPresenter browser(view, editors, dir);
  browser.Open(BrowserMode::Save);
  browser.OnFolderChosen(dir / "sub");
  EXPECT_TRUE(view.files.empty());
  browser.OnCancel();
  EXPECT_EQ(view.mode, "none");
  EXPECT_FALSE(view.shown);
  browser.Open(BrowserMode::Load);
  EXPECT_EQ(browser.Folder(), dir / "sub");

  browser.OnFolderChosen(dir);
  view.selected = 1;
  browser.OnFileDoubleClicked();  // load mode: loads plain.dqx
  EXPECT_EQ(editors.values[Setting::Gamma], 1);
  EXPECT_FALSE(view.shown);

  browser.Open(BrowserMode::Save);
  view.selected = 1;
  view.answer = "N";
  browser.OnFileDoubleClicked();  // save mode: asks to overwrite it
  EXPECT_EQ(view.questions.size(), 1u);
}

TEST_F(BrowserTest, DeleteRemovesOnlyASelectedRegularFile) {
  BrowserPresenter browser(view, editors, dir);
  browser.OnDeleteKey();  // nothing selected: nothing asked, nothing removed
  EXPECT_TRUE(view.deleteAsked.empty());
  EXPECT_TRUE(fs::exists(dir));

  view.selected = 1;
  view.confirmDelete = false;
  browser.OnDeleteKey();
  EXPECT_EQ(view.deleteAsked, "plain.dqx|" + (dir / "plain.dqx").string());
  EXPECT_TRUE(fs::exists(dir / "plain.dqx"));

  view.confirmDelete = true;
  browser.OnDeleteKey();
  EXPECT_FALSE(fs::exists(dir / "plain.dqx"));
  EXPECT_EQ(view.files, std::vector<std::string>{"EVENING.DQX"});
  EXPECT_EQ(view.fileName, "");

  // Replaced by a folder after listing: refused and said, never removed.
  view.files = {"EVENING.DQX"};
  view.selected = 0;
  fs::remove(dir / "EVENING.DQX");
  fs::create_directory(dir / "EVENING.DQX");
  browser.OnDeleteKey();
  EXPECT_TRUE(fs::is_directory(dir / "EVENING.DQX"));
  EXPECT_EQ(view.messages.size(), 1u);
}

TEST(DocumentsFolder, FromTheEnvironmentTheUserDirsFileOrHome) {
  const fs::path tmp = fs::temp_directory_path();
  const fs::path home = tmp / "presets_home_for_docs";
  fs::create_directories(home / "Docs");
  EXPECT_EQ(DocumentsFolder(home, "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n", nullptr), home / "Docs");
  EXPECT_EQ(DocumentsFolder(home, "# none\n", tmp.string().c_str()), tmp);
  EXPECT_EQ(DocumentsFolder(home, "XDG_DOCUMENTS_DIR=\"$HOME/Missing\"\n", nullptr), home);
  EXPECT_EQ(DocumentsFolder(home, "", ""), home);
  fs::remove_all(home);
  EXPECT_EQ(WithPresetExtension("evening"), "evening.dqx");
  EXPECT_EQ(WithPresetExtension("evening.Dqx"), "evening.Dqx");
}

}  // namespace
}  // namespace presets::ui
