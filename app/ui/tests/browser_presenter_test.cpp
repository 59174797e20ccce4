// The file browser's handlers on a real temporary folder: listing, the
// description of a clicked file, load/save/cancel, the overwrite answer, and
// deletion of regular files only.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
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
  view.fileName = "typed";
  browser.OnFileHighlighted();  // nothing highlighted: nothing follows
  EXPECT_EQ(view.fileName, "typed");
  view.selected = 1;
  browser.OnFileHighlighted();  // moved by the arrow keys
  EXPECT_EQ(view.fileName, "plain.dqx");
  view.selected = -1;
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
  ASSERT_EQ(view.messages.size(), 1u);  // the folder cannot be listed
  view.fileName = "x";
  browser.OnSave();
  EXPECT_TRUE(view.shown);
  ASSERT_EQ(view.messages.size(), 2u);  // nor written: one message for it, no repeat of the listing's
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

#ifndef _WIN32  // FIFOs, and a child process without root's rights
// A listed file replaced before it is clicked: its description is read
// through the guarded read, so a FIFO answers at once and a huge file or a
// folder shows no description.
TEST_F(BrowserTest, DescriptionOfAFileReplacedAfterListing) {
  enum class Put : uint8_t { Fifo, Huge, Folder };
  const fs::path path = dir / "EVENING.DQX";
  for (const Put put : {Put::Fifo, Put::Huge, Put::Folder}) {
    BrowserPresenter browser(view, editors, dir);
    fs::remove_all(path);
    if (put == Put::Fifo) {
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    }
    if (put == Put::Huge) Write("EVENING.DQX", "Description = big\r\n" + std::string(kMaxPresetFileBytes, ' '));
    if (put == Put::Folder) fs::create_directory(path);
    view.selected = 0;
    auto click = std::async(std::launch::async, [&browser] { browser.OnFileClicked(); });
    if (click.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << "the click blocks on the FIFO";
      ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK));  // lets the blocked open go on
    }
    click.get();
    EXPECT_EQ(view.fileName, "EVENING.DQX");
    EXPECT_EQ(view.description, COM_TEXT(""));
    fs::remove_all(path);
    Write("EVENING.DQX", "x");
  }
}

// Saving into a folder that may be written but not listed (mode 0333): the
// target itself is looked for, so the overwrite question still comes, and the
// folder is said to be unlistable rather than shown empty. In a child process
// without root's rights, which would list the folder anyway.
TEST_F(BrowserTest, SaveIntoAFolderThatCannotBeListed) {
  struct Case {
    fs::perms mode;
    const char* typed;
    bool asked;
    bool saidUnlisted;
  };
  constexpr auto kUnlistable = fs::perms::owner_write | fs::perms::owner_exec | fs::perms::group_write |
                               fs::perms::group_exec | fs::perms::others_write | fs::perms::others_exec;
  constexpr auto kListable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec;
  for (const Case& c : {Case{kUnlistable, "EVENING.DQX", true, true}, Case{kUnlistable, "fresh", false, true},
                        Case{kListable, "evening", true, false}}) {
    fs::permissions(dir, c.mode);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(100);
      BrowserPresenter browser(view, editors, dir);
      view.answer = "N";
      browser.Open(BrowserMode::Save);
      const bool said = view.messages.size() == 1 && view.messages[0].find("cannot be listed") != std::string::npos;
      view.fileName = c.typed;
      browser.OnSave();
      ::_exit((view.questions.size() == (c.asked ? 1u : 0u) ? 0 : 1) | (said == c.saidUnlisted ? 0 : 2));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    fs::permissions(dir, kListable);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << c.typed << " (1: overwrite question, 2: listing message, 100: no user)";
    EXPECT_NE(Read("EVENING.DQX").find("golden hour"), std::string::npos) << c.typed;  // "No" wrote nothing
  }
}

#endif

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
