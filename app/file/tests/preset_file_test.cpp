// The .DQX preset settings file: bytes written, lines loaded, all or nothing,
// and saving that never destroys the old file.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "app/file/preset_file.h"

namespace presets {
namespace {

namespace fs = std::filesystem;

const std::string kDefaultsFile =
    "[Presets]\r\n"
    "Preset Name = \r\n"
    "Gamma =  0\r\n"
    "Knee =  1\r\n"
    "Black =  1\r\n"
    "NR =  0\r\n"
    "VDetail =  0\r\n"
    "Color Matrix =  0\r\n"
    "Color Gain =  0\r\n"
    "Color Phase =  0\r\n"
    "Red =  0\r\n"
    "Green =  0\r\n"
    "Blue =  0\r\n"
    "SetupLevel =  0\r\n"
    "Sharpness =  0\r\n"
    "Coring =  0\r\n"
    "MasterPed =  0\r\n"
    "Description = \r\n";

std::string Format(const EditorValues& values) {
  std::string bytes, error;
  EXPECT_TRUE(FormatPresetFile(values, bytes, error)) << error;
  return bytes;
}

TEST(PresetFile, WritesTheEighteenLinesByteForByte) {
  EXPECT_EQ(Format(DefaultValues()), kDefaultsFile);

  EditorValues values = DefaultValues();
  values.presetName = platform::Utf8ToCom(" Café€ ");  // kept with its blanks; é 0xE9, € 0x80
  values.description = platform::Utf8ToCom("a = b; ÿ");
  values[Setting::Gamma] = kNoSelection;
  values[Setting::NR] = 3;
  values[Setting::ColorGain] = -5;
  values[Setting::SetupLevel] = 6;
  values[Setting::Sharpness] = -6;
  values[Setting::MasterPed] = 2;
  const std::string expected =
      "[Presets]\r\n"
      "Preset Name =  Caf\xE9\x80 \r\n"
      "Gamma = -1\r\n"
      "Knee =  1\r\n"
      "Black =  1\r\n"
      "NR =  3\r\n"
      "VDetail =  0\r\n"
      "Color Matrix =  0\r\n"
      "Color Gain = -5\r\n"
      "Color Phase =  0\r\n"
      "Red =  0\r\n"
      "Green =  0\r\n"
      "Blue =  0\r\n"
      "SetupLevel =  6\r\n"
      "Sharpness = -6\r\n"
      "Coring =  0\r\n"
      "MasterPed =  2\r\n"
      "Description = a = b; \xFF\r\n";
  EXPECT_EQ(Format(values), expected);
}

TEST(PresetFile, RefusesWhatCannotBeWrittenOnOneLine) {
  struct Case {
    const char* name;
    std::function<void(EditorValues&)> change;
    const char* says;
  };
  const Case cases[] = {
      {"name with LF", [](EditorValues& v) { v.presetName = COM_TEXT("A\nGamma = 1"); }, "preset name holds a line"},
      {"description with CR", [](EditorValues& v) { v.description = COM_TEXT("x\rRed = 6"); }, "description holds a"},
      {"character outside the code page", [](EditorValues& v) { v.presetName = platform::Utf8ToCom("Ω"); },
       "code page"},
      {"list beyond its choices", [](EditorValues& v) { v[Setting::Black] = 3; }, "Black holds 3"},
      {"level beyond 6", [](EditorValues& v) { v[Setting::Blue] = 9; }, "Blue Gain holds 9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EditorValues values = DefaultValues();
    c.change(values);
    std::string bytes = "untouched", error;
    EXPECT_FALSE(FormatPresetFile(values, bytes, error));
    EXPECT_EQ(bytes, "untouched");
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

TEST(PresetFile, LoadCases) {
  struct Case {
    const char* name;
    std::string text;
    std::function<void(EditorValues&)> expect;  // applied to the start values
    bool ok = true;
  };
  const Case cases[] = {
      {"only the section", "[Presets]\r\n", [](EditorValues&) {}},
      {"empty file", "", [](EditorValues&) {}},
      {"leading-number rule on a list", "Knee = 2 and more\r\n", [](EditorValues& v) { v[Setting::Knee] = 2; }},
      {"strict rule refuses trailing text", "Gamma =  1\r\nRed = 2 and more\r\n", {}, false},
      {"green follows the leading-number rule", "Green = 2x\r\n", [](EditorValues& v) { v[Setting::Green] = 2; }},
      {"strict rule with blanks and a half", "Blue =  2.5 \r\nCoring = -0.5\r\n",
       [](EditorValues& v) {
         v[Setting::Blue] = 2;
         v[Setting::Coring] = 0;
       }},
      {"no blank before = is another key", "Gamma=1\r\n", [](EditorValues&) {}},
      {"keys are case-sensitive", "gamma = 1\r\nNR  = 3\r\n", [](EditorValues&) {}},
      {"last one wins", "NR = 1\r\nNR = 3\r\n", [](EditorValues& v) { v[Setting::NR] = 3; }},
      {"texts trimmed of blanks", "Preset Name =   DUSK  \r\nDescription =  a = b \r\n",
       [](EditorValues& v) {
         v.presetName = COM_TEXT("DUSK");
         v.description = COM_TEXT("a = b");
       }},
      {"code page bytes", "Preset Name = Caf\xE9\r\n",
       [](EditorValues& v) { v.presetName = platform::Utf8ToCom("Café"); }},
      {"no selection", "Gamma = -1\r\n", [](EditorValues& v) { v[Setting::Gamma] = kNoSelection; }},
      {"list beyond its choices", "Gamma = 2\r\n", {}, false},
      {"level beyond 6", "Sharpness = 7\r\n", {}, false},
      {"beyond 16 bits", "Knee = 70000\r\n", {}, false},
      {"hexadecimal", "Color Phase = &H3\r\nBlack = &O2\r\n",
       [](EditorValues& v) {
         v[Setting::ColorPhase] = 3;
         v[Setting::Black] = 2;
       }},
      {"any order, missing keys kept", "MasterPed = -6\r\n[Presets]\r\nVDetail = 1\r\n",
       [](EditorValues& v) {
         v[Setting::MasterPed] = -6;
         v[Setting::VDetail] = 1;
       }},
      {"unknown keys and lines skipped", "Zoom = 9\r\nnot a setting\r\n\r\nSetupLevel = 4\r\n",
       [](EditorValues& v) { v[Setting::SetupLevel] = 4; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EditorValues start = DefaultValues();
    start.presetName = COM_TEXT("START");
    start.description = COM_TEXT("before");
    start[Setting::Red] = 3;
    EditorValues values = start;
    std::string error;
    EXPECT_EQ(ParsePresetFile(c.text, values, error), c.ok) << error;
    EditorValues expected = start;
    if (c.ok) {
      c.expect(expected);
      EXPECT_TRUE(error.empty());
    } else {
      EXPECT_NE(error.find("nothing was loaded"), std::string::npos) << error;
    }
    // A refused file changes nothing, even the lines before the bad one.
    EXPECT_EQ(values, expected);
  }
}

TEST(PresetFile, RoundTripsWithAnyLineEnds) {
  std::mt19937 random(8);
  for (int round = 0; round < 50; ++round) {
    EditorValues values;
    for (const auto& info : Settings()) {
      const int low = info.kind == SettingKind::List ? kNoSelection : kLevelMin;
      const int high = info.kind == SettingKind::List ? info.choiceCount - 1 : kLevelMax;
      values[info.setting] = std::uniform_int_distribution<int>(low, high)(random);
    }
    values.presetName = platform::Utf8ToCom(round % 2 ? "ÆØÅ 12" : "");
    values.description = platform::Utf8ToCom("Round " + std::to_string(round) + " = ok");
    const std::string crlf = Format(values);
    std::string lf, cr;
    for (char ch : crlf) {
      if (ch != '\r') lf += ch;
      if (ch != '\n') cr += ch;
    }
    for (const std::string* text : {&crlf, static_cast<const std::string*>(&lf), static_cast<const std::string*>(&cr)}) {
      EditorValues loaded = DefaultValues();
      std::string error;
      ASSERT_TRUE(ParsePresetFile(*text, loaded, error)) << error;
      EXPECT_EQ(loaded, values);
    }
  }
}

class PresetFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("presets-file-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  size_t Entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {})); }
  fs::path dir_;
};

TEST_F(PresetFileOnDisk, SaveReplacesAndLoadReads) {
  const fs::path file = dir_ / "Sunset.DQX";
  std::ofstream(file, std::ios::binary) << "old content that is longer than nothing";
  EditorValues values = DefaultValues();
  values.presetName = COM_TEXT("SUNSET");
  values[Setting::Knee] = 2;
  std::string error;
  ASSERT_TRUE(SavePresetToFile(file, values, error)) << error;
  EXPECT_EQ(Read(file), Format(values));
  EXPECT_EQ(Entries(), 1u) << "no temporary file is left";
  EditorValues loaded = DefaultValues();
  ASSERT_TRUE(LoadPresetFromFile(file, loaded, error)) << error;
  EXPECT_EQ(loaded, values);

  EditorValues untouched = values;
  EXPECT_FALSE(LoadPresetFromFile(dir_ / "missing.DQX", untouched, error));
  EXPECT_EQ(error, "File Not Found");
  EXPECT_EQ(untouched, values);
}

// A FIFO or a folder named like a settings file is refused at once and
// changes nothing (a blocking open would hang the program on the FIFO).
TEST_F(PresetFileOnDisk, SpecialFilesAreRefusedWithoutWaiting) {
  const fs::path fifo = dir_ / "Pipe.DQX";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_directories(dir_ / "Folder.DQX");
  for (const fs::path& path : {fifo, dir_ / "Folder.DQX"}) {
    SCOPED_TRACE(path.filename().string());
    EditorValues values = DefaultValues();
    const EditorValues before = values;
    std::string error;
    EXPECT_FALSE(LoadPresetFromFile(path, values, error));
    EXPECT_NE(error.find("Cannot read"), std::string::npos) << error;
    EXPECT_EQ(values, before);
  }
}

TEST_F(PresetFileOnDisk, FailedSaveLeavesTheOldFile) {
  const fs::path file = dir_ / "Keep.DQX";
  const std::string old = kDefaultsFile;
  std::ofstream(file, std::ios::binary) << old;

  // Refused values: nothing is written.
  EditorValues values = DefaultValues();
  values.description = COM_TEXT("two\r\nlines");
  std::string error;
  EXPECT_FALSE(SavePresetToFile(file, values, error));
  EXPECT_EQ(Read(file), old);

  // A write that fails half-way (the file size limit stands in for a full
  // disk), in a child process so the limit stays there.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{16, 16};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    EditorValues big = DefaultValues();
    big.description = COM_TEXT("a description long enough to pass the limit");
    std::string message;
    const bool saved = SavePresetToFile(file, big, message);
    ::_exit(!saved && message.find("left as it was") != std::string::npos ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Read(file), old);
  EXPECT_EQ(Entries(), 1u) << "the temporary file is removed";
}

}  // namespace
}  // namespace presets
