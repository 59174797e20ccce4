// camfiles run as a person runs it, against a virtual camcorder: commands,
// exit codes, --json output and the files copied either way.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "vcam/isolated_environment.h"
#include "vcam/vcam.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int exit = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class CamfilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vcam::CameraOptions options;
    options.model = "KX1";
    camera_ = vcam::CreateCamera(env_.Cameras(), "cam", options);
    work_ = env_.Dir() / "work";
    fs::create_directories(work_);
  }

  // Runs camfiles in the work folder; arguments are passed as given (quoted for the shell).
  // `shell` runs before it in the same shell (limits). A run that hangs is ended after 60 s.
  Result Run(const std::vector<std::string>& arguments, const std::string& shell = "") {
    std::string command = "cd '" + work_.string() + "' && " + shell + " timeout 60 '" CAMFILES_PATH "'";
    for (const std::string& a : arguments) command += " '" + a + "'";
    command += " 2>'" + (env_.Dir() / "stderr.txt").string() + "'";
    Result r = RunShell(command);
    r.err = ReadText(env_.Dir() / "stderr.txt");
    return r;
  }

  // Standard output and exit status of a shell command (-1: it did not exit).
  static Result RunShell(const std::string& command) {
    Result r;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return r;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
    const int status = ::pclose(pipe);
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
  }

  fs::path Volume() const { return camera_->VolumeDir(0, 0); }

  vcam::testing::IsolatedEnvironment env_{"camfiles"};
  std::unique_ptr<vcam::Camera> camera_;
  fs::path work_;
};

struct ExitCase {
  const char* name;
  std::vector<std::string> arguments;
  int exit;
  const char* output;  // expected within standard output (or standard error when the exit is not 0)
};

class CamfilesExit : public CamfilesTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(CamfilesExit, CodeAndMessage) {
  const ExitCase& c = GetParam();
  const Result r = Run(c.arguments);
  EXPECT_EQ(r.exit, c.exit) << r.out << r.err;
  EXPECT_NE((c.exit == 0 ? r.out : r.err).find(c.output), std::string::npos) << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CamfilesExit,
    ::testing::Values(
        ExitCase{"help", {"--help"}, 0, "usage: camfiles"},
        ExitCase{"tree", {"tree"}, 0, "IMG_0001.JPG"},
        ExitCase{"tree_movies", {"tree"}, 0, "MVI_0005.AVI"},
        ExitCase{"ls", {"ls", "\\DCIM\\100KX1"}, 0, "IMG_0002.JPG"},
        ExitCase{"ls_any_case", {"ls", "\\dcim"}, 0, "MISC\\"},
        ExitCase{"status", {"status"}, 0, "available:"},
        ExitCase{"no_command", {}, 2, "no command"},
        ExitCase{"unknown_command", {"copy"}, 2, "unknown command copy"},
        ExitCase{"unknown_option", {"tree", "--fast"}, 2, "unknown option --fast"},
        ExitCase{"missing_argument", {"get"}, 2, "wrong number of arguments"},
        ExitCase{"json_with_get", {"get", "\\INFO.TXT", "--json"}, 2, "--json goes with tree and ls"},
        ExitCase{"no_such_item", {"get", "\\NOPE.TXT"}, 1, "no such item"},
        ExitCase{"ls_of_a_file", {"ls", "\\INFO.TXT"}, 1, "not a folder"},
        ExitCase{"no_thumbnail", {"thumb", "\\INFO.TXT", "x.jpg"}, 1, "has no thumbnail"},
        ExitCase{"unknown_camera", {"--device", "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\9999", "tree"}, 1,
                 "opening the camera"},
        ExitCase{"bad_library", {"--library", "/nonexistent/torwen.so", "tree"}, 1, "torwen.so"}),
    [](const ::testing::TestParamInfo<ExitCase>& row) { return std::string(row.param.name); });

TEST_F(CamfilesTest, TreeJson) {
  const Result r = Run({"tree", "--json"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out.rfind("{\"name\":\"\",\"path\":\"\\\\\",\"type\":\"root\"", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("{\"name\":\"IMG_0001\",\"path\":\"\\\\DCIM\\\\100KX1\\\\IMG_0001.JPG\",\"type\":\"image\","
                       "\"size\":41000,"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"format\":\"JPEG\",\"thumbnail\":true,\"protected\":false}"), std::string::npos);
  EXPECT_NE(r.out.find("\"type\":\"video\""), std::string::npos);
  EXPECT_NE(r.out.find("\"type\":\"audio\""), std::string::npos);
  EXPECT_EQ(r.out.find("THM"), std::string::npos);  // thumbnails are not items
  int depth = 0;
  for (char c : r.out) {
    depth += c == '{' || c == '[' ? 1 : c == '}' || c == ']' ? -1 : 0;
    ASSERT_GE(depth, 0);
  }
  EXPECT_EQ(depth, 0);
}

// Run by its bare name through PATH, the program loads the microdriver beside
// its own file, never a torwen.so planted in the current folder.
TEST_F(CamfilesTest, FoundThroughPathIgnoresALibraryInTheCurrentFolder) {
  {
    std::ofstream planted(work_ / "torwen.so");
    planted << "not a library";
  }
  const fs::path program = CAMFILES_PATH;
  const std::string command = "cd '" + work_.string() + "' && PATH='" + program.parent_path().string() +
                              "':\"$PATH\" timeout 60 " + program.filename().string() + " ls '\\' 2>&1";
  const Result r = RunShell(command);
  EXPECT_EQ(r.exit, 0) << r.out;
  EXPECT_NE(r.out.find("INFO.TXT"), std::string::npos) << r.out;
}

TEST_F(CamfilesTest, LsJson) {
  const Result r = Run({"ls", "\\", "--json"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out,
            "[{\"name\":\"DCIM\",\"path\":\"\\\\DCIM\",\"type\":\"folder\",\"protected\":false},"
            "{\"name\":\"INFO\",\"path\":\"\\\\INFO.TXT\",\"type\":\"file\",\"size\":34,\"time\":" +
                r.out.substr(r.out.find("\"time\":") + 7, 21) +
                ",\"format\":\"TXT\",\"thumbnail\":false,\"protected\":false}]\n");
}

TEST_F(CamfilesTest, GetPutRemoveThumb) {
  const fs::path image = Volume() / "DCIM" / "100KX1" / "IMG_0002.JPG";
  Result r = Run({"get", "\\DCIM\\100KX1\\IMG_0002.JPG"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(ReadText(work_ / "IMG_0002.JPG"), ReadText(image));
  EXPECT_TRUE(r.out.empty());  // no progress bar when standard output is not a terminal

  fs::create_directories(work_ / "into");
  ASSERT_EQ(Run({"get", "\\DCIM\\101KX1\\MVI_0005.AVI", "into"}).exit, 0);
  EXPECT_EQ(ReadText(work_ / "into" / "MVI_0005.AVI"), ReadText(Volume() / "DCIM" / "101KX1" / "MVI_0005.AVI"));

  ASSERT_EQ(Run({"thumb", "\\DCIM\\100KX1\\IMG_0002.JPG", "t.jpg"}).exit, 0);
  EXPECT_EQ(ReadText(work_ / "t.jpg"), ReadText(Volume() / "DCIM" / "100KX1" / "IMG_0002.THM"));

  std::ofstream(work_ / "clip.txt") << "a new note";
  r = Run({"put", "clip.txt", "\\DCIM\\MISC"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, "stored as \\DCIM\\MISC\\CLIP.TXT\n");
  EXPECT_EQ(ReadText(Volume() / "DCIM" / "MISC" / "CLIP.TXT"), "a new note");
  r = Run({"put", "clip.txt", "\\DCIM\\MISC\\OTHER.TXT"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_TRUE(fs::exists(Volume() / "DCIM" / "MISC" / "OTHER.TXT"));
  EXPECT_EQ(Run({"put", "missing.txt", "\\A.TXT"}).exit, 1);

  ASSERT_EQ(Run({"rm", "\\DCIM\\100KX1\\IMG_0002.JPG"}).exit, 0);
  EXPECT_FALSE(fs::exists(image));
  EXPECT_EQ(Run({"rm", "\\DCIM\\100KX1\\IMG_0002.JPG"}).exit, 1);

  // A refusal by the camera: exit 1, the reason named, nothing left behind.
  camera_->Modify([](vcam::State& s) { s.media[0].flags = 0x01; });
  r = Run({"put", "clip.txt", "\\NEW.TXT"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("read-only"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(Volume() / "NEW.TXT"));
  camera_->AddFault(vcam::Fault{vcam::FaultKind::StorageStatus, 2, 0, 0, vcam::kAny, 0x09, vcam::kAny, 0, 0xA1, 1});
  r = Run({"get", "\\INFO.TXT", "info.txt"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_FALSE(fs::exists(work_ / "info.txt"));
  EXPECT_FALSE(fs::exists(work_ / "info.txt.part"));
}

// On a terminal a transfer shows a bar and ends with a summary line.
TEST_F(CamfilesTest, ProgressOnATerminal) {
  if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1) to make a terminal";
  const std::string inner = "cd '" + work_.string() + "' && '" CAMFILES_PATH "' get '\\DCIM\\101KX1\\MVI_0005.AVI'";
  std::string command = "script -qec \"" + inner + "\" /dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  EXPECT_NE(out.find("MVI_0005.AVI"), std::string::npos) << out;
  EXPECT_NE(out.find("[########################] 0.1 MB in"), std::string::npos) << out;
  EXPECT_TRUE(std::filesystem::exists(work_ / "MVI_0005.AVI"));
}

TEST_F(CamfilesTest, SeveralMediaPaths) {
  vcam::CameraOptions options;
  options.sampleContent = false;
  options.media = {vcam::MediumOptions{1, 1u << 20}, vcam::MediumOptions{2, 1u << 20}};
  camera_ = vcam::CreateCamera(env_.Cameras(), "second", options);
  fs::remove_all(env_.Cameras() / "cam");
  std::ofstream(camera_->VolumeDir(1, 1) / "B.TXT") << "bee";
  Result r = Run({"ls", "\\Media:2\\Volume:2"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find("B.TXT"), std::string::npos);
  ASSERT_EQ(Run({"get", "\\Media:2\\Volume:2\\B.TXT"}).exit, 0);
  EXPECT_EQ(ReadText(work_ / "B.TXT"), "bee");
  std::ofstream(work_ / "c.txt") << "sea";
  r = Run({"put", "c.txt", "\\Media:1"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, "stored as \\Media:1\\C.TXT\n");  // the medium named, as the tree names it
  EXPECT_EQ(ReadText(camera_->VolumeDir(0, 0) / "C.TXT"), "sea");
  r = Run({"put", "c.txt", "\\Media:2\\Volume:2"});
  EXPECT_EQ(r.out, "stored as \\Media:2\\Volume:2\\C.TXT\n");
}

// Local files: what is in the destination's folder beside our own file is
// never written, followed, waited on or deleted; what is sent is never
// waited on or held in memory; a camera file is replaced only on request.
struct LocalCase {
  const char* name;
  std::function<void(const fs::path& work)> setUp;
  std::vector<std::string> arguments;
  std::string shell;  // limits for the run
  int exit;
  const char* message;  // within standard error (exit 1) or output
  std::function<void(const fs::path& work)> check;
};

class CamfilesLocal : public CamfilesTest, public ::testing::WithParamInterface<LocalCase> {};

// Nothing of ours left behind in the folder: no ".NAME.PID-RANDOM.part".
bool NoTemporaryFiles(const fs::path& folder) {
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (name.size() > 6 && name[0] == '.' && name.rfind(".part") == name.size() - 5) return false;
  }
  return true;
}

TEST_P(CamfilesLocal, FilesBesideOurs) {
  const LocalCase& c = GetParam();
#ifdef __SANITIZE_ADDRESS__
  // AddressSanitizer reserves its shadow memory at start, beyond any such limit.
  if (!c.shell.empty()) GTEST_SKIP() << "memory limits and AddressSanitizer do not mix";
#endif
  c.setUp(work_);
  if (std::string(c.name).rfind("get_fails", 0) == 0)
    camera_->AddFault(vcam::Fault{vcam::FaultKind::StorageStatus, 2, 0, 0, vcam::kAny, 0x09, vcam::kAny, 0, 0xA1, 1});
  const Result r = Run(c.arguments, c.shell);
  EXPECT_EQ(r.exit, c.exit) << r.out << r.err;
  EXPECT_NE((c.exit == 0 ? r.out + r.err : r.err).find(c.message), std::string::npos) << r.out << r.err;
  c.check(work_);
  EXPECT_TRUE(NoTemporaryFiles(work_));
}

const char kNotes[] = "Shot list:\r\n1. Harbour at dawn\r\n2. Market\r\n";

// A process id that was in use and is no more.
int GonePid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

INSTANTIATE_TEST_SUITE_P(
    Files, CamfilesLocal,
    ::testing::Values(
        LocalCase{"get_beside_a_planted_link",
                  [](const fs::path& w) {
                    std::ofstream(w / "victim.txt") << "precious";
                    fs::create_symlink("victim.txt", w / "NOTES.TXT.part");
                  },
                  {"get", "\\DCIM\\MISC\\NOTES.TXT"}, "", 0, "",
                  [](const fs::path& w) {
                    EXPECT_EQ(ReadText(w / "victim.txt"), "precious");
                    EXPECT_TRUE(fs::is_symlink(w / "NOTES.TXT.part"));
                    EXPECT_FALSE(fs::is_symlink(w / "NOTES.TXT"));
                    EXPECT_EQ(ReadText(w / "NOTES.TXT"), kNotes);
                  }},
        LocalCase{"get_fails_beside_a_user_file",
                  [](const fs::path& w) { std::ofstream(w / "INFO.TXT.part") << "mine"; },
                  {"get", "\\INFO.TXT"}, "", 1, "no such file",
                  [](const fs::path& w) {
                    EXPECT_EQ(ReadText(w / "INFO.TXT.part"), "mine");
                    EXPECT_FALSE(fs::exists(w / "INFO.TXT"));
                  }},
        LocalCase{"get_beside_a_fifo",
                  [](const fs::path& w) { ASSERT_EQ(::mkfifo((w / "INFO.TXT.part").c_str(), 0600), 0); },
                  {"get", "\\INFO.TXT"}, "", 0, "",
                  [](const fs::path& w) {
                    EXPECT_TRUE(fs::is_fifo(w / "INFO.TXT.part"));
                    EXPECT_EQ(fs::file_size(w / "INFO.TXT"), 34u);
                  }},
        LocalCase{"thumb_beside_a_fifo",
                  [](const fs::path& w) { ASSERT_EQ(::mkfifo((w / "t.jpg.part").c_str(), 0600), 0); },
                  {"thumb", "\\DCIM\\100KX1\\IMG_0002.JPG", "t.jpg"}, "", 0, "",
                  [](const fs::path& w) {
                    EXPECT_TRUE(fs::is_fifo(w / "t.jpg.part"));
                    EXPECT_GT(fs::file_size(w / "t.jpg"), 0u);
                  }},
        LocalCase{"thumb_through_a_planted_link",
                  [](const fs::path& w) {
                    std::ofstream(w / "victim.txt") << "precious";
                    fs::create_symlink("victim.txt", w / "t.jpg.part");
                  },
                  {"thumb", "\\DCIM\\100KX1\\IMG_0002.JPG", "t.jpg"}, "", 0, "",
                  [](const fs::path& w) { EXPECT_EQ(ReadText(w / "victim.txt"), "precious"); }},
        LocalCase{"leftovers_of_killed_runs",
                  [](const fs::path& w) {
                    const std::string gone = std::to_string(GonePid());
                    const std::string alive = std::to_string(::getpid());
                    std::ofstream(w / (".INFO.TXT." + gone + "-abcd1234.part")) << "ours, creator gone";
                    std::ofstream(w / (".X.TXT." + alive + "-abcd1234.part")) << "ours, creator alive";
                    std::ofstream(w / (".INFO.TXT." + gone + "-abc.part")) << "not our pattern";
                    std::ofstream(w / ("INFO.TXT." + gone + "-abcd1234.part")) << "not our pattern";
                    fs::create_directory(w / (".D." + gone + "-abcd1234.part"));
                    fs::create_symlink("victim", w / (".L." + gone + "-abcd1234.part"));
                  },
                  {"get", "\\INFO.TXT"}, "", 0, "",
                  [](const fs::path& w) {
                    size_t kept = 0;
                    for (const auto& e : fs::directory_iterator(w)) {
                      const std::string name = e.path().filename().string();
                      EXPECT_EQ(name.find("-abcd1234.part") != std::string::npos && name.rfind(".INFO", 0) == 0, false)
                          << name;
                      kept += name.find(".part") != std::string::npos ? 1 : 0;
                    }
                    EXPECT_EQ(kept, 5u);
                    for (const auto& e : fs::directory_iterator(w)) fs::remove_all(e.path());  // the check after
                  }},
        LocalCase{"put_of_a_fifo",
                  [](const fs::path& w) { ASSERT_EQ(::mkfifo((w / "p").c_str(), 0600), 0); },
                  {"put", "p", "\\DCIM\\MISC"}, "", 1, "p: not a regular file", [](const fs::path&) {}},
        LocalCase{"put_above_4_GiB",
                  [](const fs::path& w) { std::ofstream(w / "big"); fs::resize_file(w / "big", 5ull << 30); },
                  {"put", "big", "\\DCIM\\MISC"}, "", 1, "too large for the camera",
                  [](const fs::path& w) { fs::remove(w / "big"); }},
        LocalCase{"put_is_not_read_into_memory",  // 1 GB within 256 MB of data: the camera refuses, not memory
                  [](const fs::path& w) { std::ofstream(w / "big"); fs::resize_file(w / "big", 1ull << 30); },
                  {"put", "big", "\\DCIM\\MISC"}, "ulimit -d 262144;", 1, "the medium is full",
                  [](const fs::path& w) { fs::remove(w / "big"); }},
        LocalCase{"put_over_a_camera_file",
                  [](const fs::path& w) { std::ofstream(w / "INFO.TXT") << "new"; },
                  {"put", "INFO.TXT", "\\"}, "", 1, "\\INFO.TXT: exists on the camera (--force replaces it)",
                  [](const fs::path&) {}},
        LocalCase{"put_over_a_camera_file_forced",
                  [](const fs::path& w) { std::ofstream(w / "INFO.TXT") << "new"; },
                  {"put", "--force", "INFO.TXT", "\\"}, "", 0, "stored as \\INFO.TXT",
                  [](const fs::path&) {}}),
    [](const ::testing::TestParamInfo<LocalCase>& row) { return std::string(row.param.name); });

// A folder the camera would not list: tree and ls show the rest and fail.
TEST_F(CamfilesTest, IncompleteListingFails) {
  camera_->AddFault(vcam::Fault{vcam::FaultKind::StorageStatus, 2, 0, 0, vcam::kAny, 0x06, vcam::kAny, 0, 0xA1, 1});
  Result r = Run({"tree"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("the listing is incomplete: 1 folder could not be listed in full"), std::string::npos) << r.err;
  camera_->AddFault(vcam::Fault{vcam::FaultKind::StorageStatus, 2, 0, 0, vcam::kAny, 0x06, vcam::kAny, 0, 0xA1, 1});
  std::ofstream(work_ / "n.txt") << "n";
  r = Run({"put", "n.txt", "\\N.TXT"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("whether it exists is not known"), std::string::npos) << r.err;
  EXPECT_EQ(Run({"tree"}).exit, 0);
}

}  // namespace
