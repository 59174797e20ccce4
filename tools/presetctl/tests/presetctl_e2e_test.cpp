// The built presetctl program against the virtual camcorder, with a private
// camera folder, registry store and mutex namespace: every camera command,
// exit codes, JSON read back, and a .DQX written to a slot and read again.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "vcam/isolated_environment.h"
#include "vcam/vcam.h"

namespace {

namespace fs = std::filesystem;

// Just enough JSON for presetctl's output: arrays of flat objects whose
// values are strings, integers or booleans.
using JsonValue = std::variant<std::string, long long, bool>;
using JsonObject = std::map<std::string, JsonValue>;

class JsonReader {
 public:
  explicit JsonReader(std::string text) : text_(std::move(text)) {}
  std::optional<std::vector<JsonObject>> Array() {
    std::vector<JsonObject> items;
    if (!Take('[')) return std::nullopt;
    if (Take(']')) return End() ? std::optional(items) : std::nullopt;
    do {
      JsonObject object;
      if (!Take('{')) return std::nullopt;
      do {
        std::string key;
        JsonValue value;
        if (!String(key) || !Take(':') || !Value(value)) return std::nullopt;
        object[key] = value;
      } while (Take(','));
      if (!Take('}')) return std::nullopt;
      items.push_back(object);
    } while (Take(','));
    if (!Take(']') || !End()) return std::nullopt;
    return items;
  }

 private:
  void Blanks() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
  }
  bool Take(char c) {
    Blanks();
    if (at_ < text_.size() && text_[at_] == c) return ++at_, true;
    return false;
  }
  bool End() {
    Blanks();
    return at_ == text_.size();
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (at_ < text_.size() && text_[at_] != '"') {
      char c = text_[at_++];
      if (c == '\\') {
        if (at_ >= text_.size()) return false;
        c = text_[at_++];
        if (c == 'u') {
          if (at_ + 4 > text_.size()) return false;
          c = static_cast<char>(std::stoi(text_.substr(at_, 4), nullptr, 16));
          at_ += 4;
        } else if (c != '"' && c != '\\' && c != '/') {
          return false;
        }
      } else if (static_cast<unsigned char>(c) < 0x20) {
        return false;
      }
      out += c;
    }
    return Take('"');
  }
  bool Value(JsonValue& value) {
    Blanks();
    if (at_ < text_.size() && text_[at_] == '"') {
      std::string s;
      if (!String(s)) return false;
      value = s;
      return true;
    }
    for (const auto& [word, flag] : {std::pair{"true", true}, std::pair{"false", false}}) {
      if (text_.compare(at_, std::strlen(word), word) == 0) {
        at_ += std::strlen(word);
        value = flag;
        return true;
      }
    }
    size_t used = 0;
    try {
      value = std::stoll(text_.substr(at_), &used);
    } catch (...) {
      return false;
    }
    at_ += used;
    return true;
  }

  std::string text_;
  size_t at_ = 0;
};

struct Outcome {
  int exit = -1;
  std::string out, err;
};

class PresetctlProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.emplace("presetctl-e2e");
    const std::string command = std::string(REGSVR_PATH) + " /s " + VELQUIN_SERVER_PATH;
    ASSERT_EQ(std::system(command.c_str()), 0);
    vcam::CameraOptions options;
    options.model = "DV1";
    options.sampleContent = false;
    camera_ = vcam::CreateCamera(env_->Cameras(), "cam", options);
    camera_->Modify([](vcam::State& s) { s.busyMs = 40; });
  }
  void TearDown() override {
    camera_.reset();
    env_.reset();
  }

  static std::string Quote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  Outcome Run(const std::vector<std::string>& args) {
    std::string command = Quote(PRESETCTL_PATH);
    for (const auto& arg : args) command += " " + Quote(arg);
    const fs::path out = env_->Dir() / "out.txt", err = env_->Dir() / "err.txt";
    command += " >" + Quote(out.string()) + " 2>" + Quote(err.string());
    const int status = std::system(command.c_str());
    Outcome outcome;
    outcome.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = Read(out);
    outcome.err = Read(err);
    return outcome;
  }
  fs::path File(const std::string& name) const { return env_->Dir() / name; }

  std::optional<vcam::testing::IsolatedEnvironment> env_;
  std::unique_ptr<vcam::Camera> camera_;
};

TEST_F(PresetctlProgram, CamerasAndSlotsAsJson) {
  Outcome outcome = Run({"cameras", "--json"});
  ASSERT_EQ(outcome.exit, 0) << outcome.err;
  auto cameras = JsonReader(outcome.out).Array();
  ASSERT_TRUE(cameras) << outcome.out;
  ASSERT_EQ(cameras->size(), 1u);
  const std::string uniqueId = camera_->identity().uniqueId;
  EXPECT_EQ(std::get<std::string>((*cameras)[0]["identifier"]), "DV Camera#" + uniqueId);
  EXPECT_EQ(std::get<std::string>((*cameras)[0]["model"]), "DV1");
  EXPECT_NE(std::get<std::string>((*cameras)[0]["devicePath"]).find(uniqueId), std::string::npos);

  outcome = Run({"cameras"});
  EXPECT_EQ(outcome.exit, 0);
  EXPECT_NE(outcome.out.find("DV Camera#" + uniqueId + "\n  model:       DV1\n"), std::string::npos) << outcome.out;

  ASSERT_EQ(Run({"lock", "3"}).exit, 0);
  outcome = Run({"slots", "--json"});
  ASSERT_EQ(outcome.exit, 0) << outcome.err;
  auto slots = JsonReader(outcome.out).Array();
  ASSERT_TRUE(slots) << outcome.out;
  ASSERT_EQ(slots->size(), 3u);
  for (long long slot = 1; slot <= 3; ++slot) {
    JsonObject& entry = (*slots)[static_cast<size_t>(slot - 1)];
    EXPECT_EQ(std::get<long long>(entry["slot"]), slot);
    EXPECT_EQ(std::get<std::string>(entry["name"]), "");
    EXPECT_EQ(std::get<bool>(entry["locked"]), slot == 3);
  }
}

TEST_F(PresetctlProgram, WriteThenReadGivesTheSameFile) {
  // A file as the app saves it, edited: names above 0x7F, negative levels, lists.
  ASSERT_EQ(Run({"defaults", "-o", File("defaults.dqx").string()}).exit, 0);
  std::string text = Read(File("defaults.dqx"));
  ASSERT_EQ(text.substr(0, 11), "[Presets]\r\n");
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"Preset Name = \r\n", "Preset Name = K\xDC" "HL\r\n"},
           {"Gamma =  0", "Gamma =  1"},
           {"NR =  0", "NR =  2"},
           {"Color Gain =  0", "Color Gain = -6"},
           {"Blue =  0", "Blue =  4"},
           {"MasterPed =  0", "MasterPed =  6"}}) {
    ASSERT_NE(text.find(from), std::string::npos) << from;
    text.replace(text.find(from), from.size(), to);
  }
  std::ofstream(File("edited.dqx"), std::ios::binary) << text;

  Outcome outcome = Run({"write", "2", File("edited.dqx").string()});
  ASSERT_EQ(outcome.exit, 0) << outcome.err;
  EXPECT_TRUE(outcome.err.empty());
  outcome = Run({"read", "2"});
  ASSERT_EQ(outcome.exit, 0) << outcome.err;
  EXPECT_EQ(outcome.out, text);
  ASSERT_EQ(Run({"read", "2", "-o", File("read.dqx").string()}).exit, 0);
  EXPECT_EQ(Read(File("read.dqx")), text);
  outcome = Run({"slots"});
  EXPECT_NE(outcome.out.find("2  \"K\xC3\x9CHL\"  unlocked"), std::string::npos) << outcome.out;

  // Locked: the write is refused before any setting reaches the camera and
  // the slot keeps what it held; clear fails too until the slot is unlocked.
  ASSERT_EQ(Run({"lock", "2"}).exit, 0);
  outcome = Run({"write", "2", File("defaults.dqx").string()});
  EXPECT_EQ(outcome.exit, 1);
  EXPECT_EQ(outcome.err, "presetctl: Set Preset: slot 2 is locked; unlock it first (presetctl unlock 2)\n");
  outcome = Run({"read", "2"});
  ASSERT_EQ(outcome.exit, 0) << outcome.err;
  EXPECT_EQ(outcome.out, text);
  EXPECT_EQ(Run({"clear", "2"}).exit, 1);
  ASSERT_EQ(Run({"unlock", "2"}).exit, 0);
  ASSERT_EQ(Run({"clear", "2"}).exit, 0);
  outcome = Run({"read", "2"});
  ASSERT_EQ(outcome.exit, 0);
  EXPECT_NE(outcome.out.find("Preset Name = \r\n"), std::string::npos);
}

// Every value of every setting written with `write` and read back with
// `read`, byte for byte, on a KV7 (the first camera's model, whose library
// re-applies preset 0 before each picture write) and on a KX1: thirteen
// rounds, each setting shifted by its position, so every level -6..6 (-1
// included) and every choice of every list passes once at least, with all
// fifteen settings away from their defaults in most rounds.
TEST_F(PresetctlProgram, EveryValueRoundTripsOnAKv7AndAKx1) {
  struct Line {
    const char* key;
    int count;  // choices of a list; 0 for a level
  };
  const Line lines[] = {{"Gamma", 2},       {"Knee", 3},      {"Black", 3},        {"NR", 4},
                        {"VDetail", 2},     {"Color Matrix", 2}, {"Color Gain", 0}, {"Color Phase", 0},
                        {"Red", 0},         {"Green", 0},     {"Blue", 0},         {"SetupLevel", 0},
                        {"Sharpness", 0},   {"Coring", 0},    {"MasterPed", 0}};
  for (const char* model : {"KV7", "KX1"}) {
    SCOPED_TRACE(model);
    camera_.reset();
    vcam::DeleteCamera(env_->Cameras(), "cam");
    vcam::CameraOptions options;
    options.model = model;
    options.sampleContent = false;
    camera_ = vcam::CreateCamera(env_->Cameras(), "cam", options);
    camera_->Modify([](vcam::State& s) { s.busyMs = 0; });
    for (int round = 0; round < 13; ++round) {
      SCOPED_TRACE(round);
      std::string text = "[Presets]\r\nPreset Name = R" + std::to_string(round) + "\r\n";
      for (size_t i = 0; i < 15; ++i) {
        const int shifted = static_cast<int>((static_cast<size_t>(round) + i) % 13);
        const int value = lines[i].count ? shifted % lines[i].count : shifted - 6;
        text += std::string(lines[i].key) + " = " + (value < 0 ? "" : " ") + std::to_string(value) + "\r\n";
      }
      text += "Description = \r\n";
      std::ofstream(File("round.dqx"), std::ios::binary) << text;
      Outcome outcome = Run({"write", "2", File("round.dqx").string()});
      ASSERT_EQ(outcome.exit, 0) << outcome.err;
      outcome = Run({"read", "2"});
      ASSERT_EQ(outcome.exit, 0) << outcome.err;
      EXPECT_EQ(outcome.out, text);
    }
  }
}

// What is not a settings file, or holds a name with a control character, is
// refused with one line before anything reaches the camera; a name with a
// control character read from the camera is never printed raw.
TEST_F(PresetctlProgram, RefusedFilesAndNamesSendNothing) {
  const std::string big = File("big.dqx").string();
  std::ofstream(big, std::ios::binary) << "Gamma = 1\r\n";
  fs::resize_file(big, 1ull << 30);
  const struct {
    const char* name;
    std::string bytes;  // empty: the file is made above
    std::string says;
  } cases[] = {
      {"empty.dqx", "", "not a preset settings file"},
      {"utf16.dqx", std::string("\xFF\xFE" "G\0a\0m\0m\0a\0 \0=\0 \0" "1\0", 20), "not a preset settings file"},
      {"nul.dqx", std::string("Preset Name = AB\0CD\r\n", 21), "\"AB\\x00CD\" holds the control character 0x00"},
      {"escape.dqx", "Preset Name = \x1B[2J\r\n", "\"\\x1B[2J\" holds the control character 0x1B"},
      {"big.dqx", "", "is larger than 64 KB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) != "big.dqx") std::ofstream(File(c.name), std::ios::binary) << c.bytes;
    camera_->ClearTrace();
    const Outcome outcome = Run({"write", "1", File(c.name).string()});
    EXPECT_EQ(outcome.exit, 1);
    EXPECT_NE(outcome.err.find(c.says), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find('\x1B'), std::string::npos);
    EXPECT_TRUE(camera_->ReadTrace().empty()) << "nothing reaches the camera";
  }

  uint8_t file[vcam::kPresetFileSize] = {vcam::kPresetFileSize, 1, 'A', 0x1B, '[', '2', 'J', 0, 0, 0,
                                         6, 6, 6, 6, 6, 6, 6, 0, 0, 0, 0, 1, 1, 6, 6};
  std::ofstream(camera_->PresetFile(3), std::ios::binary).write(reinterpret_cast<const char*>(file), sizeof file);
  const Outcome outcome = Run({"read", "3"});
  EXPECT_EQ(outcome.exit, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_NE(outcome.err.find("\"A\\x1B[2J\" holds the control character 0x1B"), std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.err.find('\x1B'), std::string::npos);
}

TEST_F(PresetctlProgram, FailuresExitOneWithOneLine) {
  std::ofstream(File("bad.dqx"), std::ios::binary) << "[Presets]\r\nGamma = 1\r\nRed = 2 and more\r\n";
  struct Case {
    std::vector<std::string> args;
    int exit;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"write", "1", File("missing.dqx").string()}, 1, "presetctl: " + File("missing.dqx").string() + ": File Not Found\n"},
      {{"write", "1", File("bad.dqx").string()}, 1, "\"Red\" has the value \"2 and more\""},
      {{"read", "1", "-o", (File("no-such-folder") / "x.dqx").string()}, 1, "the file was left as it was"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    const Outcome outcome = Run(c.args);
    EXPECT_EQ(outcome.exit, c.exit);
    EXPECT_NE(outcome.err.find(c.err), std::string::npos) << outcome.err;
  }
  camera_->SetPlugged(false);
  const Outcome outcome = Run({"read", "1"});
  EXPECT_EQ(outcome.exit, 1);
  EXPECT_EQ(outcome.err, "presetctl: Camera not found.\n");
  EXPECT_EQ(Run({"slots"}).exit, 1);
  EXPECT_EQ(Run({"cameras"}).out, "No camera found.\n");
}

TEST_F(PresetctlProgram, TwoWritersOfOneSlotNeverMix) {
  // Two files that differ in the name and in every level the camera keeps.
  ASSERT_EQ(Run({"defaults", "-o", File("a.dqx").string()}).exit, 0);
  const std::string defaults = Read(File("a.dqx"));
  std::string files[2] = {defaults, defaults};
  const std::vector<std::pair<std::string, std::string>> changes[2] = {
      {{"Preset Name = \r\n", "Preset Name = AAAA\r\n"}, {"Red =  0", "Red =  3"}, {"Blue =  0", "Blue = -2"},
       {"MasterPed =  0", "MasterPed =  5"}},
      {{"Preset Name = \r\n", "Preset Name = BBBB\r\n"}, {"Red =  0", "Red = -4"}, {"Blue =  0", "Blue =  6"},
       {"MasterPed =  0", "MasterPed =  2"}}};
  for (int i = 0; i < 2; ++i) {
    for (const auto& [from, to] : changes[i]) {
      ASSERT_NE(files[i].find(from), std::string::npos) << from;
      files[i].replace(files[i].find(from), from.size(), to);
    }
    std::ofstream(File(i == 0 ? "a.dqx" : "b.dqx"), std::ios::binary) << files[i];
  }
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    std::string both;
    for (const char* which : {"a", "b"}) {
      const std::string w = which;
      both += "(" + Quote(PRESETCTL_PATH) + " write 1 " + Quote(File(w + ".dqx").string()) + " 2>" +
              Quote(File(w + ".err").string()) + "; echo $? >" + Quote(File(w + ".status").string()) + ") & ";
    }
    ASSERT_EQ(std::system((both + "wait").c_str()), 0);
    for (const char* which : {"a", "b"}) {
      const std::string w = which;
      EXPECT_EQ(Read(File(w + ".status")), "0\n") << Read(File(w + ".err"));
    }
    const Outcome read = Run({"read", "1"});
    ASSERT_EQ(read.exit, 0) << read.err;
    EXPECT_TRUE(read.out == files[0] || read.out == files[1]) << read.out;
  }
}

TEST_F(PresetctlProgram, EveryOutputFileFollowsOneRule) {
  // A read-only file is refused and kept; a link is written through and stays
  // a link; the file's permission bits are kept. Checked by the mode bits, so
  // the rule holds for root too.
  enum class Kind { ReadOnly, Link, Plain };
  struct Case {
    const char* name;
    Kind kind;
    fs::perms mode;
  };
  const Case targets[] = {
      {"read-only", Kind::ReadOnly, fs::perms(0444)},
      {"link", Kind::Link, fs::perms(0640)},
      {"plain", Kind::Plain, fs::perms(0604)},
  };
  const std::vector<std::vector<std::string>> commands = {
      {"read", "1", "-o"}, {"defaults", "-o"}, {"export", "1", "--force"}};
  int n = 0;
  for (const auto& command : commands) {
    for (const Case& c : targets) {
      SCOPED_TRACE(command[0] + std::string(" to a ") + c.name + " file");
      const fs::path file = File("target-" + std::to_string(n));
      const fs::path named = c.kind == Kind::Link ? File("link-" + std::to_string(n)) : file;
      ++n;
      std::ofstream(file, std::ios::binary) << "old";
      fs::permissions(file, c.mode);
      if (c.kind == Kind::Link) fs::create_symlink(file, named);
      std::vector<std::string> args = command;
      args.insert(command[0] == "export" ? args.begin() + 2 : args.end(), named.string());
      const Outcome outcome = Run(args);
      if (c.kind == Kind::ReadOnly) {
        EXPECT_EQ(outcome.exit, 1);
        EXPECT_NE(outcome.err.find("access denied"), std::string::npos) << outcome.err;
        EXPECT_EQ(Read(file), "old");
      } else {
        EXPECT_EQ(outcome.exit, 0) << outcome.err;
        EXPECT_NE(Read(file), "old");
      }
      EXPECT_EQ(fs::is_symlink(fs::symlink_status(named)), c.kind == Kind::Link);
      EXPECT_EQ(fs::status(file).permissions(), c.mode);
    }
  }
}

}  // namespace
