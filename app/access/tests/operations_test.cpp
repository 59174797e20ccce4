// The camera operations against a scripted fake of the library's object:
// the calls in order, refusals before any call, stops at a failing call with
// a message naming it, and bounded waits for the preset state.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/access/camera_operations.h"
#include "app/access/tests/fake_camera.h"
#include "camctl/common/results.h"

namespace presets {
namespace {

using testing::FakeFactory;
using testing::FakeScript;
using Log = std::vector<std::string>;

// Messages and the busy pointer go into the fake's log, between the calls.
class RecordingFeedback final : public OperationFeedback {
 public:
  explicit RecordingFeedback(FakeScript& script) : script_(script) {}
  void ShowMessage(std::string_view text) override { script_.log.push_back("message: " + std::string(text)); }
  void SetBusy(bool busy) override { script_.log.push_back(busy ? "busy on" : "busy off"); }

 private:
  FakeScript& script_;
};

// The fifteen writes of the defaults with Gamma 1 and Color Gain -6, object #1.
Log DefaultWrites(int object) {
  const std::string n = "#" + std::to_string(object) + " ";
  return {n + "SetStatus(31,1)", n + "SetStatus(32,1)", n + "SetStatus(33,1)", n + "SetStatus(34,0)",
          n + "SetStatus(29,0)", n + "SetStatus(30,0)", n + "SetStatus(20,0)", n + "SetStatus(21,6)",
          n + "SetStatus(24,6)", n + "SetStatus(25,6)", n + "SetStatus(26,6)", n + "SetStatus(22,6)",
          n + "SetStatus(23,6)", n + "SetStatus(27,6)", n + "SetStatus(28,12)"};
}
Log Reads(int object, int slot) {
  const std::string n = "#" + std::to_string(object) + " ";
  Log log = {n + "GetStatus(31)", n + "GetPresetName(" + std::to_string(slot) + ")"};
  for (const char* f : {"32", "33", "34", "29", "30", "20", "21", "24", "25", "26", "22", "23", "27", "28"})
    log.push_back(n + "GetStatus(" + f + ")");
  return log;
}
Log Concat(std::initializer_list<Log> parts) {
  Log all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
// A new object (releasing the previous one, if any), enumerated and selected.
Log Connect(int object) {
  const std::string n = "#" + std::to_string(object) + " ";
  Log log = {"new #" + std::to_string(object)};
  if (object > 1) log.push_back("release #" + std::to_string(object - 1));
  log.push_back(n + "EnumerateDevice");
  log.push_back(n + "SelectDevice(DV Camera#0800460102ab0001)");
  return log;
}

EditorValues SampleValues() {
  EditorValues values = DefaultValues();
  values.presetName = COM_TEXT("SUNSET");
  values[Setting::Gamma] = 1;
  values[Setting::ColorGain] = -6;
  values[Setting::MasterPed] = 6;
  return values;
}

struct Fixture {
  std::shared_ptr<FakeScript> script = std::make_shared<FakeScript>();
  std::vector<std::chrono::milliseconds> sleeps;
  RecordingFeedback feedback{*script};
  std::unique_ptr<CameraAccess> access;
  Fixture() {
    PresetStateWait wait;
    wait.maxQueries = 5;
    wait.sleep = [this](std::chrono::milliseconds pause) { sleeps.push_back(pause); };
    access = std::make_unique<CameraAccess>(FakeFactory(script), wait);
  }
};

struct OrderCase {
  const char* name;
  std::function<OperationResult(CameraAccess&, OperationFeedback&, EditorValues&)> run;
  Log expected;
};

TEST(CameraOperations, CallOrder) {
  const OrderCase cases[] = {
      {"read", [](CameraAccess& a, OperationFeedback& f, EditorValues& v) { return ReadPreset(a, f, 2, v); },
       Concat({{"busy on"}, Connect(1), {"#1 SelectPreset(2)", "#1 GetPresetState"}, Reads(1, 2),
               {"new #2", "release #1", "#2 RemoveDevice", "busy off"}})},
      {"set",
       [](CameraAccess& a, OperationFeedback& f, EditorValues&) { return SetPreset(a, f, 3, SampleValues()); },
       Concat({Connect(1), {"#1 SelectPreset(3)", "#1 GetPresetState", "busy on"}, DefaultWrites(1),
               {"#1 RegisterPreset(3,SUNSET)", "new #2", "release #1", "#2 RemoveDevice", "busy off"}})},
      {"clear", [](CameraAccess& a, OperationFeedback& f, EditorValues& v) { return ClearPreset(a, f, 1, v); },
       Concat({{"busy on"}, Connect(1), {"#1 ResetPreset(1)", "#1 RemoveDevice"}, Connect(2),
               {"#2 SelectPreset(1)", "#2 GetPresetState"}, Reads(2, 1),
               {"new #3", "release #2", "#3 RemoveDevice", "busy off"}})},
      {"selector",
       [](CameraAccess& a, OperationFeedback& f, EditorValues&) {
         LONG permission = -1;
         return QueryPermission(a, f, 2, permission);
       },
       Concat({Connect(1), {"#1 GetAccessPermission(2)"}})},
      {"lock", [](CameraAccess& a, OperationFeedback& f, EditorValues&) { return ApplyLock(a, f, 1, true); },
       Concat({Connect(1), {"#1 SetAccessPermission(1,1)"}})},
      {"unlock", [](CameraAccess& a, OperationFeedback& f, EditorValues&) { return ApplyLock(a, f, 3, false); },
       Concat({Connect(1), {"#1 SetAccessPermission(3,0)"}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    EditorValues values = DefaultValues();
    const OperationResult result = c.run(*f.access, f.feedback, values);
    EXPECT_TRUE(result.ok()) << result.message;
    EXPECT_TRUE(result.connected);
    EXPECT_EQ(f.script->log, c.expected);
  }
}

struct RefusalCase {
  const char* name;
  int slot;
  std::function<void(EditorValues&)> change;
  const char* says;
};

TEST(CameraOperations, SetRefusesBeforeContactingTheCamera) {
  const RefusalCase cases[] = {
      {"nine characters", 1, [](EditorValues& v) { v.presetName = COM_TEXT("ABCDEFGHI"); }, "at most 8"},
      {"not in the code page", 1, [](EditorValues& v) { v.presetName = platform::Utf8ToCom("Ĳ"); }, "code page"},
      {"list without choice", 1, [](EditorValues& v) { v[Setting::NR] = kNoSelection; },
       "Noise Reduction has no choice"},
      {"list beyond its choices", 1, [](EditorValues& v) { v[Setting::Knee] = 3; }, "Knee holds 3"},
      {"level above 6", 1, [](EditorValues& v) { v[Setting::Coring] = 7; }, "Coring holds 7"},
      {"level below -6", 1, [](EditorValues& v) { v[Setting::Red] = -7; }, "Red Gain holds -7"},
      {"NUL in the name", 1, [](EditorValues& v) { v.presetName = platform::ComString(COM_TEXT("AB\0CD"), 5); },
       "\"AB\\x00CD\" holds the control character 0x00"},
      {"control character in the name", 1, [](EditorValues& v) { v.presetName = COM_TEXT("A\x1B[2J"); },
       "control character 0x1B"},
      {"slot 0", 0, [](EditorValues&) {}, "no preset slot 0"},
      {"slot 4", 4, [](EditorValues&) {}, "no preset slot 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    EditorValues values = SampleValues();
    c.change(values);
    const OperationResult result = SetPreset(*f.access, f.feedback, c.slot, values);
    EXPECT_EQ(result.status, OperationStatus::Refused);
    EXPECT_EQ(f.script->created, 0) << "no object is created";
    ASSERT_EQ(f.script->log.size(), 1u);
    EXPECT_NE(f.script->log[0].find(c.says), std::string::npos) << f.script->log[0];
  }
  // Eight bytes, above 0x7F included, are accepted.
  Fixture f;
  EditorValues values = SampleValues();
  values.presetName = platform::Utf8ToCom("ÄÖÜßéèàç");
  EXPECT_TRUE(SetPreset(*f.access, f.feedback, 1, values).ok());
}

// Every value of every setting through Set Preset and back through Read
// Preset: thirteen rounds, each setting shifted by its position, so every
// level from -6 to 6 (-1 included) and every choice of every list is written
// and read once at least. The reads answer what the writes sent.
TEST(CameraOperations, EveryValueOfEverySettingRoundTrips) {
  for (int round = 0; round < 13; ++round) {
    SCOPED_TRACE(round);
    Fixture f;
    EditorValues values = DefaultValues();
    values.presetName = platform::Utf8ToCom("R" + std::to_string(round));
    for (size_t i = 0; i < kSettingCount; ++i) {
      const SettingInfo& info = Settings()[i];
      const int shifted = static_cast<int>((static_cast<size_t>(round) + i) % 13);
      values[info.setting] = info.kind == SettingKind::List ? shifted % info.choiceCount : shifted - 6;
    }
    const OperationResult set = SetPreset(*f.access, f.feedback, 2, values);
    ASSERT_TRUE(set.ok()) << set.message;
    size_t writes = 0;
    for (const std::string& line : f.script->log) {
      int function = 0, value = 0;
      if (std::sscanf(line.c_str(), "#1 SetStatus(%d,%d)", &function, &value) != 2) continue;
      const SettingInfo& info = Settings()[writes++];
      EXPECT_EQ(function, info.function);
      EXPECT_EQ(value, info.kind == SettingKind::List ? values[info.setting] : values[info.setting] + 6);
      f.script->status[static_cast<LONG>(function)] = static_cast<LONG>(value);
    }
    EXPECT_EQ(writes, kSettingCount);
    EXPECT_EQ(f.script->log[f.script->log.size() - 5], "#1 RegisterPreset(2,R" + std::to_string(round) + ")");
    f.script->names[2] = u"R" + std::u16string(values.presetName.begin() + 1, values.presetName.end());
    EditorValues read = DefaultValues();
    const OperationResult back = ReadPreset(*f.access, f.feedback, 2, read);
    ASSERT_TRUE(back.ok()) << back.message;
    EXPECT_EQ(read, values);
  }
}

struct StopCase {
  const char* name;
  std::string failingCall;
  HRESULT failure;
  std::string lastCall;  // the last call made
  std::string says;      // in the message
};

TEST(CameraOperations, AFailingCallStopsTheOperationAndSaysWhat) {
  const StopCase set[] = {
      {"select", "SelectPreset(2)", camctl::CAM_E_BUSY, "#1 SelectPreset(2)",
       "Set Preset failed: SelectPreset(2) and the wait returned CAM_E_BUSY"},
      {"fourth write", "SetStatus(34)", camctl::CAM_E_TIMEOUT, "#1 SetStatus(34,0)",
       "SetStatus(34, NR) returned CAM_E_TIMEOUT (0x8004020D)"},
      {"register", "RegisterPreset(2)", camctl::CAM_E_PROTECTED, "#1 RegisterPreset(2,SUNSET)",
       "RegisterPreset(2) returned CAM_E_PROTECTED"},
      {"enumerate", "EnumerateDevice", E_OUTOFMEMORY, "#1 EnumerateDevice", "EnumerateDevice returned E_OUTOFMEMORY"},
      {"select device", "SelectDevice(DV Camera#0800460102ab0001)", E_FAIL,
       "#1 SelectDevice(DV Camera#0800460102ab0001)", "SelectDevice returned E_FAIL"},
      {"state query", "GetPresetState", camctl::CAM_E_REMOVED, "#1 GetPresetState", "CAM_E_REMOVED"},
  };
  for (const auto& c : set) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.script->failures[c.failingCall] = c.failure;
    if (c.failingCall == "EnumerateDevice") f.script->enumerateResult = c.failure;
    const OperationResult result = SetPreset(*f.access, f.feedback, 2, SampleValues());
    EXPECT_EQ(result.status, OperationStatus::Failed);
    EXPECT_EQ(result.result, c.failure);
    Log& log = f.script->log;
    // The message, the busy pointer back to normal when it was on, nothing after.
    if (log.back() == "busy off") log.pop_back();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], c.lastCall);
    EXPECT_NE(log.back().find(c.says), std::string::npos) << log.back();
  }
  // A read stops at a value outside its setting's range; earlier values stay.
  for (const auto& [function, value, setting] : {std::tuple{32, 3, Setting::Knee}, std::tuple{26, 13, Setting::Blue},
                                               std::tuple{21, -1, Setting::ColorPhase}}) {
    SCOPED_TRACE(function);
    Fixture f;
    f.script->status = {{31, 1}, {function, value}};
    EditorValues values = DefaultValues();
    const OperationResult result = ReadPreset(*f.access, f.feedback, 1, values);
    EXPECT_EQ(result.result, camctl::CAM_E_OUT_OF_RANGE);
    EXPECT_EQ(values[Setting::Gamma], 1) << "read before the bad value";
    EXPECT_EQ(values[setting], Info(setting).defaultValue) << "not applied";
    EXPECT_EQ(f.script->log[f.script->log.size() - 3], "#1 GetStatus(" + std::to_string(function) + ")");
    EXPECT_EQ(f.script->log.back(), "busy off");
  }
}

TEST(CameraOperations, ConnectGoesOnOnlyWithExactlyOneCamera) {
  struct Case {
    const char* name;
    std::function<void(FakeScript&)> setup;
    OperationStatus status;
    Log log;
  };
  const Case cases[] = {
      {"no camera", [](FakeScript& s) { s.devices.clear(); s.enumerateResult = S_FALSE; }, OperationStatus::NoCamera,
       {"new #1", "#1 EnumerateDevice", "message: Camera not found. "}},
      {"two cameras", [](FakeScript& s) { s.devices.push_back("DV Camera#2"); }, OperationStatus::SeveralCameras,
       {"new #1", "#1 EnumerateDevice", "#1 SelectDevice(DV Camera#2)",
        "message: 2 cameras found. Connect only the camera to work with. "}},
      {"no object", [](FakeScript& s) { s.createResult = REGDB_E_CLASSNOTREG; }, OperationStatus::Failed,
       {"message: Lock Preset failed: creating the camera control object returned 0x80040154"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    c.setup(*f.script);
    const OperationResult result = ApplyLock(*f.access, f.feedback, 1, true);
    EXPECT_EQ(result.status, c.status);
    EXPECT_FALSE(result.connected);
    EXPECT_EQ(f.script->log, c.log);
  }
}

TEST(CameraOperations, PresetStateWaitIsBoundedAndPaused) {
  struct Case {
    const char* name;
    std::deque<LONG> states;
    HRESULT result;
    size_t queries;
    const char* says;
  };
  const Case cases[] = {
      {"ready at once", {0}, S_OK, 1, nullptr},
      {"busy twice", {1, 1, 0}, S_OK, 3, nullptr},
      {"busy for ever", {1}, camctl::CAM_E_BUSY, 5, "CAM_E_BUSY"},
      {"no answer", {-1}, E_FAIL, 1, "preset state -1"},
      {"no busy flag", {1, -2}, E_FAIL, 2, "preset state -2"},
      {"unknown state", {7}, E_FAIL, 1, "preset state 7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.script->presetStates = c.states;
    EditorValues values = DefaultValues();
    const OperationResult result = ReadPreset(*f.access, f.feedback, 1, values);
    EXPECT_EQ(result.result, c.result);
    EXPECT_EQ(std::count(f.script->log.begin(), f.script->log.end(), "#1 GetPresetState"),
              static_cast<std::ptrdiff_t>(c.queries));
    EXPECT_EQ(f.sleeps, std::vector<std::chrono::milliseconds>(c.queries - 1, std::chrono::milliseconds(10)));
    if (c.says) {
      EXPECT_EQ(std::count(f.script->log.begin(), f.script->log.end(), "#1 GetStatus(31)"), 0);
      EXPECT_NE(result.message.find(c.says), std::string::npos) << result.message;
    }
  }
}

TEST(CameraOperations, StaleCountIsNotTrustedAndAShortListIsRefused) {
  Fixture f;
  // S_FALSE without writing the count: taken as none.
  f.script->enumerateResult = S_FALSE;
  LONG count = 99;
  EXPECT_EQ(f.access->EnumerateCameras(count), S_FALSE);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(f.access->DeviceCount(), 0);
  EXPECT_EQ(f.access->SelectLastCamera(), E_FAIL);
}

}  // namespace
}  // namespace presets
