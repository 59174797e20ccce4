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

// A literal with its NUL bytes.
template <size_t N>
std::string Raw(const char (&text)[N]) {
  return std::string(text, N - 1);
}

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
      {"name with a control character", [](EditorValues& v) { v.presetName = COM_TEXT("A\x1B[0m"); },
       "\"A\\x1B[0m\" holds the control character 0x1B"},
      {"name with a NUL", [](EditorValues& v) { v.presetName = platform::ComString(COM_TEXT("A\0B"), 3); },
       "control character 0x00"},
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
      // Bytes without a single known key are not a settings file.
      {"only the section", "[Presets]\r\n", {}, false},
      {"empty file", "", {}, false},
      {"random bytes", Raw("\x7F" "ELF\x02\x01\x00=\xFF\xFE\r\n\x00\x00"), {}, false},
      {"UTF-16 text", Raw("\xFF\xFE[\0P\0]\0\r\0\n\0G\0a\0m\0m\0a\0 \0=\0 \0" "1\0"), {}, false},
      {"unknown keys only", "Zoom = 9\r\ngamma = 1\r\n", {}, false},
      {"a description alone is a settings file", "Description = x\r\n",
       [](EditorValues& v) { v.description = COM_TEXT("x"); }},
      {"control character in the name", "Gamma = 1\r\nPreset Name = A\x01Z\r\n", {}, false},
      {"NUL in the name", Raw("Preset Name = AB\0CD\r\n"), {}, false},
      {"leading-number rule on a list", "Knee = 2 and more\r\n", [](EditorValues& v) { v[Setting::Knee] = 2; }},
      {"strict rule refuses trailing text", "Gamma =  1\r\nRed = 2 and more\r\n", {}, false},
      {"green follows the leading-number rule", "Green = 2x\r\n", [](EditorValues& v) { v[Setting::Green] = 2; }},
      {"strict rule with blanks and a half", "Blue =  2.5 \r\nCoring = -0.5\r\n",
       [](EditorValues& v) {
         v[Setting::Blue] = 2;
         v[Setting::Coring] = 0;
       }},
      {"no blank before = is another key", "Gamma=1\r\nCoring = 2\r\n",
       [](EditorValues& v) { v[Setting::Coring] = 2; }},
      {"keys are case-sensitive", "gamma = 1\r\nNR  = 3\r\nCoring = 2\r\n",
       [](EditorValues& v) { v[Setting::Coring] = 2; }},
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

// A settings file is under 1 KB: anything over 64 KB is refused from its
// size alone, before a byte is read (a 1 GB file costs no memory), and bytes
// with no known key are refused as not a settings file. The description
// preview reads through the same door.
TEST_F(PresetFileOnDisk, OnlySettingsFilesOfASaneSizeAreRead) {
  const std::string padding(kMaxPresetFileBytes - 13, ' ');
  const struct {
    const char* name;
    std::function<void(const fs::path&)> make;
    const char* says;  // nullptr: loaded
  } cases[] = {
      {"exactly 64 KB", [&](const fs::path& p) { std::ofstream(p, std::ios::binary) << "Gamma = 1\r\n" << padding << "\r\n"; },
       nullptr},
      {"one byte more", [&](const fs::path& p) { std::ofstream(p, std::ios::binary) << "Gamma = 1\r\n" << padding << " \r\n"; },
       "is larger than 64 KB"},
      {"1 GB", [](const fs::path& p) { std::ofstream(p, std::ios::binary) << "Gamma = 1\r\n"; fs::resize_file(p, 1ull << 30); },
       "is larger than 64 KB"},
      {"empty", [](const fs::path& p) { std::ofstream(p, std::ios::binary).flush(); }, "not a preset settings file"},
      {"a program", [](const fs::path& p) { fs::copy_file("/bin/ls", p); }, "is larger than 64 KB"},
      {"a program's first 8 KB",
       [](const fs::path& p) {
         std::ifstream in("/bin/ls", std::ios::binary);
         std::string head(8192, '\0');
         in.read(head.data(), static_cast<std::streamsize>(head.size()));
         std::ofstream(p, std::ios::binary) << head;
       },
       "not a preset settings file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = dir_ / (std::string(c.name) + ".DQX");
    c.make(file);
    EditorValues values = DefaultValues();
    std::string error;
    EXPECT_EQ(LoadPresetFromFile(file, values, error), c.says == nullptr) << error;
    EXPECT_EQ(values[Setting::Gamma], c.says ? 0 : 1);
    if (c.says) {
      EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
    platform::ComString description = COM_TEXT("before");
    std::string previewError;
    const bool tooLarge = c.says && std::string(c.says).find("larger") != std::string::npos;
    EXPECT_EQ(ReadPresetFileDescription(file, description, previewError), !tooLarge);
    EXPECT_EQ(description, tooLarge ? COM_TEXT("before") : COM_TEXT(""));
    fs::remove(file);
  }
  std::ofstream(dir_ / "d.DQX", std::ios::binary) << "Description = one\r\nDescription =  two = 2 \r\n";
  platform::ComString description;
  std::string error;
  ASSERT_TRUE(ReadPresetFileDescription(dir_ / "d.DQX", description, error)) << error;
  EXPECT_EQ(description, COM_TEXT("two = 2"));
  EXPECT_FALSE(ReadPresetFileDescription(dir_ / "missing.DQX", description, error));
  EXPECT_EQ(error, "File Not Found");
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
