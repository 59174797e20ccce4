// presetctl's commands against the scripted fake of the library's object:
// the camera-side file commands (export, import), usage errors, exit codes
// and the JSON text.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/access/tests/fake_camera.h"
#include "app/file/preset_file.h"
#include "camctl/common/results.h"
#include "tools/presetctl/presetctl_commands.h"

namespace presets::cli {
namespace {

struct Outcome {
  int exit;
  std::string out, err;
};

Outcome RunWith(const std::shared_ptr<testing::FakeScript>& script, const std::vector<std::string>& args) {
  std::ostringstream out, err;
  PresetStateWait wait;
  wait.sleep = [](std::chrono::milliseconds) {};
  const int exit = Run(args, testing::FakeFactory(script), out, err, wait);
  return {exit, out.str(), err.str()};
}

bool Logged(const testing::FakeScript& script, const std::string& call) {
  return std::find(script.log.begin(), script.log.end(), call) != script.log.end();
}

TEST(PresetctlCommands, ExportAndImportCallTheLibraryAndReportItsResult) {
  const std::string here = std::filesystem::current_path().string();
  struct Case {
    std::vector<std::string> args;
    std::map<std::string, HRESULT> failures;
    int exit;
    std::string call;  // logged
    std::string err;   // in the message, when failing
  };
  const Case cases[] = {
      {{"export", "2", "/tmp/slot2.pst"}, {}, 0, "#1 ExportPreset(2,/tmp/slot2.pst,0)", ""},
      {{"export", "2", "/tmp/slot2.pst", "--force"}, {}, 0, "#1 ExportPreset(2,/tmp/slot2.pst,1)", ""},
      {{"export", "1", "relative.pst"}, {}, 0, "#1 ExportPreset(1," + here + "/relative.pst,0)", ""},
      {{"import", "3", "/tmp/in.pst"}, {}, 0, "#1 ImportPreset(3,/tmp/in.pst)", ""},
      {{"export", "1", "/tmp/a.pst"}, {{"ExportPreset(1)", E_NOTIMPL}}, 1, "#1 ExportPreset(1,/tmp/a.pst,0)",
       "presetctl: Export Preset failed: ExportPreset(1) returned E_NOTIMPL (0x80004001): not implemented\n"},
      {{"export", "1", "/tmp/a.pst"}, {{"ExportPreset(1)", camctl::CAM_E_FILE_EXISTS}}, 1,
       "#1 ExportPreset(1,/tmp/a.pst,0)", "CAM_E_FILE_EXISTS"},
      {{"import", "2", "/tmp/b.pst"}, {{"ImportPreset(2)", camctl::CAM_E_BAD_PRESET_FILE}}, 1,
       "#1 ImportPreset(2,/tmp/b.pst)", "Import Preset failed: ImportPreset(2) returned CAM_E_BAD_PRESET_FILE"},
      // A Win32 code says what it means.
      {{"export", "1", "/tmp/a.pst", "--force"}, {{"ExportPreset(1)", camctl::HResultFromWin32(5)}}, 1,
       "#1 ExportPreset(1,/tmp/a.pst,1)", "returned WIN32(5) (0x80070005): access denied\n"},
      {{"export", "1", "/tmp/a.pst"}, {{"ExportPreset(1)", camctl::HResultFromWin32(112)}}, 1,
       "#1 ExportPreset(1,/tmp/a.pst,0)", "returned WIN32(112) (0x80070070): disk full\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[2]);
    auto script = std::make_shared<testing::FakeScript>();
    script->failures = c.failures;
    const Outcome outcome = RunWith(script, c.args);
    EXPECT_EQ(outcome.exit, c.exit) << outcome.err;
    EXPECT_TRUE(Logged(*script, c.call));
    EXPECT_EQ(Logged(*script, "#1 RemoveDevice"), c.exit == 0);
    if (c.exit == 0)
      EXPECT_TRUE(outcome.err.empty()) << outcome.err;
    else
      EXPECT_NE(outcome.err.find(c.err), std::string::npos) << outcome.err;
  }
}

TEST(PresetctlCommands, WriteAsksForTheSlotsPermissionBeforeAnySetting) {
  const std::filesystem::path file = std::filesystem::temp_directory_path() / "presetctl-write-test.DQX";
  std::string error;
  ASSERT_TRUE(presets::SavePresetToFile(file, presets::DefaultValues(), error)) << error;
  const struct {
    LONG permission;
    int exit;
    bool written;
  } cases[] = {{0, 0, true}, {1, 1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.permission);
    auto script = std::make_shared<testing::FakeScript>();
    script->permission[2] = c.permission;
    const Outcome outcome = RunWith(script, {"write", "2", file.string()});
    EXPECT_EQ(outcome.exit, c.exit) << outcome.err;
    EXPECT_TRUE(Logged(*script, "#1 GetAccessPermission(2)"));
    const bool anySetting = std::any_of(script->log.begin(), script->log.end(), [](const std::string& call) {
      return call.find("SetStatus(") != std::string::npos || call.find("SelectPreset(") != std::string::npos;
    });
    EXPECT_EQ(anySetting, c.written);
    if (!c.written) {
      EXPECT_EQ(outcome.err, "presetctl: Set Preset: slot 2 is locked; unlock it first (presetctl unlock 2)\n");
    }
  }
  std::filesystem::remove(file);
}

TEST(PresetctlCommands, UsageErrorsAndHelp) {
  struct Case {
    std::vector<std::string> args;
    int exit;
    std::string says;  // on standard error for 2, standard output for 0
  };
  const Case cases[] = {
      {{}, 2, "usage: presetctl COMMAND"},
      {{"frobnicate"}, 2, "unknown command \"frobnicate\""},
      {{"read"}, 2, "a slot is needed"},
      {{"read", "4"}, 2, "the slot must be 1, 2 or 3, not \"4\""},
      {{"read", "0"}, 2, "the slot must be 1, 2 or 3"},
      {{"read", "1", "-o"}, 2, "-o needs a file"},
      {{"write", "1"}, 2, "a slot and a file are needed"},
      {{"export", "1"}, 2, "a slot and a file are needed"},
      {{"import", "2", "f", "--force"}, 2, "unknown option \"--force\""},
      {{"cameras", "--bogus"}, 2, "unknown option"},
      {{"slots", "extra"}, 2, "unexpected argument"},
      {{"lock", "1", "2"}, 2, "a slot is needed"},
      {{"--help"}, 0, "export N FILE [--force]"},
      {{"write", "--help"}, 0, "usage: presetctl write N FILE"},
      {{"clear", "x", "--help"}, 0, "usage: presetctl clear N"},
      // Bad input is echoed up to its first line break, and not much of it.
      {{"frob\nSECOND"}, 2, "unknown command \"frob...\"\n"},
      {{"read", "1\r\nSECOND"}, 2, "not \"1...\"\n"},
      {{"slots", "--x\nSECOND"}, 2, "unknown option \"--x...\"\n"},
      {{"cameras", std::string(300, 'A') + "SECOND"}, 2,
       "unexpected argument \"" + std::string(80, 'A') + "...\"\n"},
      {{"write", "1", "/no/such\nSECOND.dqx"}, 1, "presetctl: /no/such...: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    auto script = std::make_shared<testing::FakeScript>();
    const Outcome outcome = RunWith(script, c.args);
    EXPECT_EQ(outcome.exit, c.exit);
    EXPECT_NE((c.exit == 0 ? outcome.out : outcome.err).find(c.says), std::string::npos)
        << outcome.out << outcome.err;
    EXPECT_EQ(script->created, 0) << "the camera is not contacted";
    EXPECT_EQ(outcome.err.find("SECOND"), std::string::npos) << outcome.err;
  }
}

TEST(PresetctlCommands, SlotsAndCamerasAsJson) {
  auto script = std::make_shared<testing::FakeScript>();
  script->names[1] = u"SUN\"SET";
  script->names[2] = u"A\\B";
  script->permission[2] = 1;
  script->permission[3] = 7;
  Outcome outcome = RunWith(script, {"slots", "--json"});
  ASSERT_EQ(outcome.exit, 0) << outcome.err;
  EXPECT_EQ(outcome.out,
            "[\n"
            "  {\"slot\": 1, \"name\": \"SUN\\\"SET\", \"locked\": false, \"permission\": 0},\n"
            "  {\"slot\": 2, \"name\": \"A\\\\B\", \"locked\": true, \"permission\": 1},\n"
            "  {\"slot\": 3, \"name\": \"\", \"locked\": false, \"permission\": 7}\n"
            "]\n");
  script = std::make_shared<testing::FakeScript>();
  script->devices = {};
  script->enumerateResult = S_FALSE;
  outcome = RunWith(script, {"cameras", "--json"});
  EXPECT_EQ(outcome.exit, 0);
  EXPECT_EQ(outcome.out, "[]\n");
  outcome = RunWith(script, {"slots"});
  EXPECT_EQ(outcome.exit, 1);
  EXPECT_EQ(outcome.err, "presetctl: Camera not found.\n");
}

}  // namespace
}  // namespace presets::cli
