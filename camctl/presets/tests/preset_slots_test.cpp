// The preset slot methods against a scripted camera and an in-memory storage
// driver: frames byte for byte, slot ranges, state checks, the settle window,
// protected slots, names and preset files.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "camctl/presets/preset_file.h"
#include "preset_test_support.h"

namespace camctl::presets_testing {
namespace {

using namespace std::chrono_literals;

// ---- Slot ranges -------------------------------------------------------------

struct RangeCase {
  const char* method;
  std::function<HRESULT(CameraState&, LONG)> call;
  LONG lowest;  // 0 or 1; the highest is the slot count
};

class SlotRangeTest : public PresetFixture, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(SlotRangeTest, RefusesSlotsOutsideTheRangeWithoutTraffic) {
  const RangeCase& c = GetParam();
  for (LONG slot : {LONG{-1}, LONG{0}, LONG{1}, LONG{3}, LONG{4}, LONG{256}, LONG{0x7FFFFFFF}}) {
    ClearRecords();
    StopSettleTimer();
    const bool inRange = slot >= c.lowest && slot <= 3;
    const HRESULT hr = c.call(*state_, slot);
    if (inRange) {
      EXPECT_EQ(hr, S_OK) << c.method << " slot " << slot;
      EXPECT_FALSE(camera_->frames.empty() && storage_->frames.empty()) << c.method << " slot " << slot;
    } else {
      EXPECT_EQ(hr, E_INVALIDARG) << c.method << " slot " << slot;
      EXPECT_TRUE(camera_->frames.empty()) << c.method << " slot " << slot;
      EXPECT_TRUE(storage_->frames.empty()) << c.method << " slot " << slot;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryMethod, SlotRangeTest,
    ::testing::Values(
        RangeCase{"SelectPreset", [](CameraState& s, LONG n) { return SelectPreset(s, n); }, 1},
        RangeCase{"RegisterPreset",
                  [](CameraState& s, LONG n) {
                    Bstr name(COM_TEXT("NAME"));
                    return RegisterPreset(s, n, name.get());
                  },
                  1},
        RangeCase{"ResetPreset", [](CameraState& s, LONG n) { return ResetPreset(s, n); }, 0},
        RangeCase{"GetAccessPermission",
                  [](CameraState& s, LONG n) {
                    LONG p = -1;
                    return GetAccessPermission(s, n, &p);
                  },
                  0},
        RangeCase{"SetAccessPermission", [](CameraState& s, LONG n) { return SetAccessPermission(s, n, 0); }, 1},
        RangeCase{"GetPresetName",
                  [](CameraState& s, LONG n) {
                    Bstr name;
                    return GetPresetName(s, n, name.out());
                  },
                  1},
        RangeCase{"SetPresetName",
                  [](CameraState& s, LONG n) {
                    Bstr name(COM_TEXT("X"));
                    return SetPresetName(s, n, name.get());
                  },
                  1}),
    [](const ::testing::TestParamInfo<RangeCase>& p) { return std::string(p.param.method); });

// ---- State checks --------------------------------------------------------------

struct StateCase {
  const char* method;
  std::function<HRESULT(CameraState&)> call;
  bool needsStorage;
};

const StateCase kStateCases[] = {
    {"GetPresetCount", [](CameraState& s) { LONG n = 0; return GetPresetCount(s, &n); }, false},
    {"GetPresetState", [](CameraState& s) { LONG n = 0; return GetPresetState(s, &n); }, false},
    {"SelectPreset", [](CameraState& s) { return SelectPreset(s, 1); }, false},
    {"RegisterPreset", [](CameraState& s) { Bstr b(COM_TEXT("A")); return RegisterPreset(s, 1, b.get()); }, false},
    {"ResetPreset", [](CameraState& s) { return ResetPreset(s, 1); }, false},
    {"GetAccessPermission", [](CameraState& s) { LONG n = 0; return GetAccessPermission(s, 1, &n); }, false},
    {"SetAccessPermission", [](CameraState& s) { return SetAccessPermission(s, 1, 1); }, false},
    {"GetPresetName", [](CameraState& s) { Bstr b; return GetPresetName(s, 1, b.out()); }, true},
    {"SetPresetName", [](CameraState& s) { Bstr b(COM_TEXT("A")); return SetPresetName(s, 1, b.get()); }, true},
};

TEST_F(PresetFixture, RemovedCameraAnswersRemovedAndSendsNothing) {
  state_->connection = ConnectionState::Removed;
  for (const auto& c : kStateCases) {
    ClearRecords();
    EXPECT_EQ(c.call(*state_), CAM_E_REMOVED) << c.method;
    EXPECT_TRUE(camera_->frames.empty() && storage_->frames.empty()) << c.method;
  }
}

TEST_F(PresetFixture, NoCameraAnswersNotConnected) {
  state_->connection = ConnectionState::NoCamera;
  for (const auto& c : kStateCases) {
    ClearRecords();
    EXPECT_EQ(c.call(*state_), CAM_E_NOT_CONNECTED) << c.method;
    EXPECT_TRUE(camera_->frames.empty() && storage_->frames.empty()) << c.method;
  }
}

TEST_F(PresetFixture, MissingStorageChannelRefusesOnlyTheNameMethods) {
  state_->storageChannel.reset();
  for (const auto& c : kStateCases) {
    ClearRecords();
    StopSettleTimer();
    const HRESULT hr = c.call(*state_);
    if (c.needsStorage) {
      EXPECT_EQ(hr, CAM_E_NOT_CONNECTED) << c.method;
      EXPECT_TRUE(camera_->frames.empty()) << c.method;
    } else {
      EXPECT_EQ(hr, S_OK) << c.method;
    }
  }
}

TEST_F(PresetFixture, MissingCommandChannelRefusesTheCameraCommands) {
  DetachTransport(*state_);  // the connection state stays "attached"
  for (const auto& c : kStateCases) {
    ClearRecords();
    const HRESULT hr = c.call(*state_);
    if (std::string_view(c.method) == "GetPresetCount") {
      EXPECT_EQ(hr, S_OK);  // needs no channel
    } else if (std::string_view(c.method) == "GetPresetName") {
      EXPECT_EQ(hr, S_OK);  // needs the storage channel only
    } else {
      EXPECT_EQ(hr, CAM_E_NOT_CONNECTED) << c.method;
    }
  }
  // SetPresetName reads the permission over AV/C before touching the file.
  EXPECT_EQ(storage_->Count(storage::Opcode::WriteFile), 0u);
}

TEST_F(PresetFixture, ArgumentChecksComeBeforeTheStateChecks) {
  state_->connection = ConnectionState::Removed;
  Bstr nineChars(COM_TEXT("ABCDEFGHI"));
  EXPECT_EQ(GetPresetCount(*state_, nullptr), E_POINTER);
  EXPECT_EQ(GetPresetState(*state_, nullptr), E_POINTER);
  EXPECT_EQ(GetAccessPermission(*state_, 1, nullptr), E_POINTER);
  EXPECT_EQ(GetPresetName(*state_, 1, nullptr), E_POINTER);
  EXPECT_EQ(SetAccessPermission(*state_, 1, 2), E_INVALIDARG);
  EXPECT_EQ(SetAccessPermission(*state_, 1, -1), E_INVALIDARG);
  EXPECT_EQ(RegisterPreset(*state_, 1, nineChars.get()), E_INVALIDARG);
  EXPECT_EQ(SetPresetName(*state_, 1, nineChars.get()), E_INVALIDARG);
  // The slot range comes after them.
  EXPECT_EQ(SelectPreset(*state_, 99), CAM_E_REMOVED);
  EXPECT_TRUE(camera_->frames.empty());
}

TEST_F(PresetFixture, CameraMutexHeldElsewhereGivesLockTimeoutAndNoTraffic) {
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread other([&] {
    auto mutex = platform::OpenNamedMutex(kCameraMutexName);
    ASSERT_TRUE(mutex);
    ASSERT_TRUE(platform::Owns(mutex->Lock(platform::kWaitForever)));
    held = true;
    while (!release) std::this_thread::sleep_for(1ms);
    mutex->Unlock();
  });
  while (!held) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(SelectPreset(*state_, 1), CAM_E_LOCK_TIMEOUT);
  Bstr name;
  EXPECT_EQ(GetPresetName(*state_, 1, name.out()), CAM_E_LOCK_TIMEOUT);
  release = true;
  other.join();
  EXPECT_TRUE(camera_->frames.empty());
  EXPECT_TRUE(storage_->frames.empty());
  EXPECT_FALSE(SettleTimerRunning());
  EXPECT_EQ(SelectPreset(*state_, 1), S_OK);
}

// ---- Count and state -----------------------------------------------------------

TEST_F(PresetFixture, PresetCountComesFromTheStateWithoutTraffic) {
  state_->presetCount = 42;
  LONG count = -1;
  EXPECT_EQ(GetPresetCount(*state_, &count), S_OK);
  EXPECT_EQ(count, 42);
  EXPECT_TRUE(camera_->frames.empty());
}

TEST_F(PresetFixture, FixedPresetStatesAreAnsweredWithoutTraffic) {
  for (int32_t fixed : {-1, -2}) {
    state_->presetState = fixed;
    ArmSettleTimer();
    LONG value = 7;
    EXPECT_EQ(GetPresetState(*state_, &value), S_OK);
    EXPECT_EQ(value, fixed);
  }
  EXPECT_TRUE(camera_->frames.empty());
}

TEST_F(PresetFixture, LivePresetStateReadsTheBusyFlagOnceWithoutSettleCheck) {
  ArmSettleTimer();  // the settle check would send a second query
  const std::pair<uint8_t, LONG> answers[] = {{0, 0}, {1, 1}, {2, 1}, {0xFF, 1}};
  for (const auto& [flag, expected] : answers) {
    ClearRecords();
    camera_->busyAnswers = {flag};
    LONG value = 7;
    EXPECT_EQ(GetPresetState(*state_, &value), S_OK);
    EXPECT_EQ(value, expected) << "flag " << int(flag);
    ASSERT_EQ(camera_->frames.size(), 1u);
    EXPECT_EQ(camera_->frames[0], kBusyQuery);
  }
}

TEST_F(PresetFixture, FailedStateReadGivesMinusOneExceptWhenRemoved) {
  camera_->results[0x75] = {71};
  LONG value = 7;
  EXPECT_EQ(GetPresetState(*state_, &value), CAM_E_REJECTED);
  EXPECT_EQ(value, -1);
  camera_->results[0x75] = {1617};
  value = 7;
  EXPECT_EQ(GetPresetState(*state_, &value), CAM_E_REMOVED);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(state_->presetState, 0) << "the object's state is never changed";
}

// ---- Frames ---------------------------------------------------------------------

TEST_F(PresetFixture, SelectPresetSendsTheSelectFrameAndArmsTheSettleWindow) {
  EXPECT_EQ(SelectPreset(*state_, 2), S_OK);
  ASSERT_EQ(camera_->frames.size(), 1u);
  EXPECT_EQ(camera_->frames[0], Vendor(0x00, 0x70, {0x02}));
  EXPECT_TRUE(SettleTimerRunning());
}

TEST_F(PresetFixture, OnlyTheLowByteOfTheSlotTravels) {
  state_->presetCount = 99;
  EXPECT_EQ(SelectPreset(*state_, 99), S_OK);
  EXPECT_EQ(camera_->frames.back(), Vendor(0x00, 0x70, {0x63}));
}

TEST_F(PresetFixture, RegisterPresetReadsThePermissionThenSendsSlotAndEightNameBytes) {
  Bstr name(COM_TEXT("ABC"));
  EXPECT_EQ(RegisterPreset(*state_, 1, name.get()), S_OK);
  ASSERT_EQ(camera_->frames.size(), 2u);
  EXPECT_EQ(camera_->frames[0], Vendor(0x01, 0x74, {0x01, 0xFF}));
  EXPECT_EQ(camera_->frames[1], Vendor(0x00, 0x71, {0x01, 'A', 'B', 'C', 0, 0, 0, 0, 0}));
  EXPECT_TRUE(SettleTimerRunning());
  EXPECT_TRUE(storage_->frames.empty());
}

TEST_F(PresetFixture, RegisterPresetNameLengthLimits) {
  Bstr eight(COM_TEXT("ABCDEFGH"));
  EXPECT_EQ(RegisterPreset(*state_, 3, eight.get()), S_OK);
  EXPECT_EQ(camera_->frames.back(), Vendor(0x00, 0x71, {0x03, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}));
  ClearRecords();
  StopSettleTimer();
  Bstr nine(COM_TEXT("ABCDEFGHI"));
  EXPECT_EQ(RegisterPreset(*state_, 3, nine.get()), E_INVALIDARG);
  EXPECT_TRUE(camera_->frames.empty());
  EXPECT_FALSE(SettleTimerRunning());
  Bstr empty(COM_TEXT(""));
  EXPECT_EQ(RegisterPreset(*state_, 3, empty.get()), S_OK);
  EXPECT_EQ(camera_->frames.back(), Vendor(0x00, 0x71, {0x03, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(PresetFixture, RegisterPresetWithoutNameKeepsTheStoredName) {
  storage_->files[SlotPath(1)] = PresetFile("KEEPME");
  EXPECT_EQ(RegisterPreset(*state_, 1, nullptr), S_OK);
  ASSERT_EQ(storage_->frames.size(), 1u);
  EXPECT_EQ(storage_->frames[0][0], 0x09);
  std::string_view path;
  ASSERT_TRUE(storage::GetPath(storage_->frames[0].data() + storage::read_file::kPath, path));
  EXPECT_EQ(path, "\\dev\\campset\\Preset01.pst");
  EXPECT_EQ(storage::GetBe32(storage_->frames[0].data() + storage::read_file::kRequested), 256u);
  ASSERT_EQ(camera_->frames.size(), 2u);
  EXPECT_EQ(camera_->frames[1], Vendor(0x00, 0x71, {0x01, 'K', 'E', 'E', 'P', 'M', 'E', 0, 0}));
}

TEST_F(PresetFixture, RegisterPresetWithoutNameStopsOnABadPresetFile) {
  Bytes file = PresetFile("KEEPME");
  file[0] = 26;
  storage_->files[SlotPath(1)] = file;
  EXPECT_EQ(RegisterPreset(*state_, 1, nullptr), CAM_E_BAD_PRESET_FILE);
  EXPECT_EQ(camera_->Count(0x71), 0u);
  EXPECT_EQ(camera_->Count(0x74), 0u);
  EXPECT_FALSE(SettleTimerRunning());
}

TEST_F(PresetFixture, ResetPresetOfSlotZeroSkipsThePermission) {
  EXPECT_EQ(ResetPreset(*state_, 0), S_OK);
  ASSERT_EQ(camera_->frames.size(), 1u);
  EXPECT_EQ(camera_->frames[0], Vendor(0x00, 0x72, {0x00}));
  EXPECT_TRUE(SettleTimerRunning());
}

TEST_F(PresetFixture, ResetPresetReadsThePermissionFirst) {
  EXPECT_EQ(ResetPreset(*state_, 2), S_OK);
  ASSERT_EQ(camera_->frames.size(), 2u);
  EXPECT_EQ(camera_->frames[0], Vendor(0x01, 0x74, {0x02, 0xFF}));
  EXPECT_EQ(camera_->frames[1], Vendor(0x00, 0x72, {0x02}));
}

TEST_F(PresetFixture, GetAccessPermissionAnswersTheSecondOperand) {
  camera_->permissions[0] = 0xC3;
  camera_->permissions[2] = 1;
  LONG permission = -1;
  EXPECT_EQ(GetAccessPermission(*state_, 0, &permission), S_OK);
  EXPECT_EQ(permission, 0xC3);
  EXPECT_EQ(camera_->frames.back(), Vendor(0x01, 0x74, {0x00, 0xFF}));
  EXPECT_EQ(GetAccessPermission(*state_, 2, &permission), S_OK);
  EXPECT_EQ(permission, 1);
  EXPECT_FALSE(SettleTimerRunning()) << "reading is not a change";
}

TEST_F(PresetFixture, GetAccessPermissionFailureLeavesTheOutValue) {
  camera_->results[0x74] = {50};
  LONG permission = -7;
  EXPECT_EQ(GetAccessPermission(*state_, 1, &permission), CAM_E_NOT_SUPPORTED);
  EXPECT_EQ(permission, -7);
}

TEST_F(PresetFixture, SetAccessPermissionSendsTheValuePausesAndArms) {
  EXPECT_EQ(SetAccessPermission(*state_, 3, 1), S_OK);
  ASSERT_EQ(camera_->frames.size(), 1u);
  EXPECT_EQ(camera_->frames[0], Vendor(0x00, 0x74, {0x03, 0x01}));
  EXPECT_EQ(Pauses(), std::vector<std::chrono::milliseconds>{16ms});
  EXPECT_TRUE(SettleTimerRunning());
}

TEST_F(PresetFixture, FailedCommandsLeaveTheSettleWindowAsItWas) {
  const std::pair<const char*, std::function<HRESULT()>> commands[] = {
      {"select", [&] { return SelectPreset(*state_, 1); }},
      {"register", [&] { Bstr b(COM_TEXT("N")); return RegisterPreset(*state_, 1, b.get()); }},
      {"reset", [&] { return ResetPreset(*state_, 0); }},
      {"permission", [&] { return SetAccessPermission(*state_, 1, 0); }},
  };
  for (const auto& [what, call] : commands) {
    StopSettleTimer();
    Pauses().clear();
    for (uint8_t code : {0x70, 0x71, 0x72}) camera_->results[code] = {71};
    camera_->results[0x74] = {0};  // the permission read passes
    if (std::string_view(what) == "permission") camera_->results[0x74] = {71};
    EXPECT_EQ(call(), CAM_E_REJECTED) << what;
    EXPECT_FALSE(SettleTimerRunning()) << what;
    EXPECT_TRUE(Pauses().empty()) << what;
  }
}

// ---- Settle window --------------------------------------------------------------

TEST_F(PresetFixture, SettleWindowStopsTheNextCommandWhileTheCameraIsBusy) {
  ASSERT_EQ(SelectPreset(*state_, 2), S_OK);
  ClearRecords();
  camera_->busyFallback = 1;
  LONG permission = -1;
  EXPECT_EQ(GetAccessPermission(*state_, 2, &permission), CAM_E_BUSY);
  EXPECT_EQ(permission, -1);
  ASSERT_EQ(camera_->frames.size(), 1u);
  EXPECT_EQ(camera_->frames[0], kBusyQuery);

  // Each command of this module asks first while the window is open.
  ClearRecords();
  EXPECT_EQ(SelectPreset(*state_, 1), CAM_E_BUSY);
  EXPECT_EQ(ResetPreset(*state_, 0), CAM_E_BUSY);
  EXPECT_EQ(SetAccessPermission(*state_, 1, 0), CAM_E_BUSY);
  Bstr name;
  EXPECT_EQ(GetPresetName(*state_, 1, name.out()), CAM_E_BUSY);
  Bstr newName(COM_TEXT("N"));
  EXPECT_EQ(SetPresetName(*state_, 1, newName.get()), CAM_E_BUSY);
  EXPECT_EQ(RegisterPreset(*state_, 1, newName.get()), CAM_E_BUSY);
  EXPECT_EQ(camera_->frames.size(), 6u);
  for (const auto& f : camera_->frames) EXPECT_EQ(f, kBusyQuery);
  EXPECT_TRUE(storage_->frames.empty());
}

TEST_F(PresetFixture, SettleWindowPassesAnIdleCameraAndClosesAfterTwoSeconds) {
  ASSERT_EQ(SelectPreset(*state_, 2), S_OK);
  ClearRecords();
  camera_->busyFallback = 0;
  LONG permission = -1;
  EXPECT_EQ(GetAccessPermission(*state_, 2, &permission), S_OK);
  ASSERT_EQ(camera_->frames.size(), 2u);
  EXPECT_EQ(camera_->frames[0], kBusyQuery);
  EXPECT_EQ(camera_->frames[1], Vendor(0x01, 0x74, {0x02, 0xFF}));

  Advance(2001ms);
  ClearRecords();
  camera_->busyFallback = 1;  // no longer asked
  EXPECT_EQ(GetAccessPermission(*state_, 2, &permission), S_OK);
  ASSERT_EQ(camera_->frames.size(), 1u);
  EXPECT_EQ(camera_->frames[0], Vendor(0x01, 0x74, {0x02, 0xFF}));
}

TEST_F(PresetFixture, RegisterWithoutNameLetsTheNameReadDecide) {
  // The first busy query (the register's own) says busy, the name read's says
  // idle: the stored name is read and the slot registered.
  ArmSettleTimer();
  camera_->busyAnswers = {1, 0, 0};
  EXPECT_EQ(RegisterPreset(*state_, 2, nullptr), S_OK);
  EXPECT_EQ(camera_->Count(0x75), 3u);  // register, name read, permission read
  EXPECT_EQ(camera_->frames.back(), Vendor(0x00, 0x71, {0x02, 'S', 'L', 'O', 'T', '2', 0, 0, 0}));
}

// ---- Protected slots ------------------------------------------------------------

TEST_F(PresetFixture, ProtectedSlotRefusesChangesAndSendsNoChange) {
  ASSERT_EQ(SetAccessPermission(*state_, 1, 1), S_OK);
  Advance(3s);
  const Bytes before = storage_->files[SlotPath(1)];
  ClearRecords();

  EXPECT_EQ(ResetPreset(*state_, 1), CAM_E_PROTECTED);
  Bstr name(COM_TEXT("NEW"));
  EXPECT_EQ(RegisterPreset(*state_, 1, name.get()), CAM_E_PROTECTED);
  EXPECT_EQ(SetPresetName(*state_, 1, name.get()), CAM_E_PROTECTED);
  EXPECT_EQ(camera_->Count(0x72), 0u);
  EXPECT_EQ(camera_->Count(0x71), 0u);
  EXPECT_EQ(camera_->Count(0x74), 3u);
  EXPECT_TRUE(storage_->frames.empty());
  EXPECT_EQ(storage_->files[SlotPath(1)], before);
  EXPECT_FALSE(SettleTimerRunning());

  // Selecting and reading stay allowed; other slots are not protected.
  EXPECT_EQ(SelectPreset(*state_, 1), S_OK);
  Advance(3s);
  EXPECT_EQ(ResetPreset(*state_, 2), S_OK);
  Advance(3s);
  ASSERT_EQ(SetAccessPermission(*state_, 1, 0), S_OK);
  Advance(3s);
  EXPECT_EQ(ResetPreset(*state_, 1), S_OK);
}

TEST_F(PresetFixture, StorageReadOnlyStatusIsProtected) {
  storage_->statuses = {0x00, 0xA8};  // read passes, write refused
  Bstr name(COM_TEXT("NEW"));
  EXPECT_EQ(SetPresetName(*state_, 2, name.get()), CAM_E_PROTECTED);
  EXPECT_FALSE(SettleTimerRunning());
}

// ---- Names ----------------------------------------------------------------------

TEST_F(PresetFixture, GetPresetNameOfAFortyByteFile) {
  Bytes file = PresetFile("SUNSET", 40);
  storage_->files[SlotPath(2)] = file;
  Bstr name;
  EXPECT_EQ(GetPresetName(*state_, 2, name.out()), S_OK);
  EXPECT_EQ(name.text(), COM_TEXT("SUNSET"));
  file[0] = 41;
  storage_->files[SlotPath(2)] = file;
  Bstr bad;
  EXPECT_EQ(GetPresetName(*state_, 2, bad.out()), CAM_E_BAD_PRESET_FILE);
  EXPECT_EQ(bad.get(), nullptr);
}

TEST_F(PresetFixture, GetPresetNameTakesAtMostEightBytes) {
  Bytes file = PresetFile("", 12);
  for (size_t i = 2; i < 12; ++i) file[i] = static_cast<uint8_t>('a' + i);  // no terminator in the field
  storage_->files[SlotPath(1)] = file;
  Bstr name;
  EXPECT_EQ(GetPresetName(*state_, 1, name.out()), S_OK);
  EXPECT_EQ(name.text(), COM_TEXT("cdefghij"));
}

TEST_F(PresetFixture, BadPresetFilesAreRefused) {
  struct Case {
    const char* what;
    Bytes file;
  };
  Bytes tooLong(256, 0);
  tooLong[0] = 0;  // a length byte can never state 256
  Bytes exactTen = PresetFile("ABCDEFGH", 10);
  const Case cases[] = {
      {"empty", {}},
      {"one byte", {1}},
      {"nine bytes", PresetFile("ABCDEFG", 9)},
      {"length byte too small", [] { Bytes f = PresetFile("X", 30); f[0] = 29; return f; }()},
      {"length byte too large", [] { Bytes f = PresetFile("X", 30); f[0] = 200; return f; }()},
      {"length byte zero", [] { Bytes f = PresetFile("X", 30); f[0] = 0; return f; }()},
      {"256 bytes", tooLong},
  };
  for (const auto& c : cases) {
    storage_->files[SlotPath(3)] = c.file;
    ClearRecords();
    Bstr name;
    EXPECT_EQ(GetPresetName(*state_, 3, name.out()), CAM_E_BAD_PRESET_FILE) << c.what;
    Bstr newName(COM_TEXT("NEW"));
    EXPECT_EQ(SetPresetName(*state_, 3, newName.get()), CAM_E_BAD_PRESET_FILE) << c.what;
    EXPECT_EQ(storage_->Count(storage::Opcode::WriteFile), 0u) << c.what;
    EXPECT_EQ(storage_->files[SlotPath(3)], c.file) << c.what;
    EXPECT_FALSE(SettleTimerRunning()) << c.what;
  }
  storage_->files[SlotPath(3)] = exactTen;
  Bstr name;
  EXPECT_EQ(GetPresetName(*state_, 3, name.out()), S_OK);
  EXPECT_EQ(name.text(), COM_TEXT("ABCDEFGH"));
}

TEST_F(PresetFixture, AnOverDeliveringDriverIsNotBelieved) {
  storage_->reportDelivered = 300;  // more than the 256 bytes asked for
  Bstr name;
  EXPECT_EQ(GetPresetName(*state_, 1, name.out()), E_FAIL);
  Bstr newName(COM_TEXT("NEW"));
  EXPECT_EQ(SetPresetName(*state_, 1, newName.get()), E_FAIL);
  EXPECT_EQ(storage_->Count(storage::Opcode::WriteFile), 0u);
}

TEST_F(PresetFixture, MissingPresetFileFailsWithTheStorageResult) {
  storage_->files.erase(SlotPath(2));
  Bstr name;
  EXPECT_EQ(GetPresetName(*state_, 2, name.out()), E_FAIL);
}

TEST_F(PresetFixture, SetPresetNameKeepsEveryByteButTheName) {
  Bytes file = PresetFile("OLDNAME", 40, 0xE7);
  file[9] = 'X';  // a full eight-byte name
  storage_->files[SlotPath(2)] = file;
  Bstr name(COM_TEXT("NEW"));
  EXPECT_EQ(SetPresetName(*state_, 2, name.get()), S_OK);
  const Bytes& after = storage_->files[SlotPath(2)];
  ASSERT_EQ(after.size(), 40u);
  for (size_t i = 0; i < 40; ++i) {
    if (i >= 2 && i <= 9) continue;
    EXPECT_EQ(after[i], file[i]) << "byte " << i;
  }
  EXPECT_EQ(Bytes(after.begin() + 2, after.begin() + 10), (Bytes{'N', 'E', 'W', 0, 0, 0, 0, 0}));
  EXPECT_TRUE(SettleTimerRunning());

  // The write frame: both lengths 40, flags 1 and FF, the path and its length.
  ASSERT_EQ(storage_->Count(storage::Opcode::WriteFile), 1u);
  const Bytes& frame = storage_->frames.back();
  ASSERT_EQ(frame.size(), 280u);
  EXPECT_EQ(frame[0], 0x0A);
  EXPECT_EQ(frame[2], 0xFF);
  EXPECT_EQ(frame[3], 0xFF);
  EXPECT_EQ(frame[5], 25);
  EXPECT_EQ(storage::GetBe32(frame.data() + storage::write_file::kFirstLength), 40u);
  EXPECT_EQ(storage::GetBe32(frame.data() + storage::write_file::kSecondLength), 40u);
  EXPECT_EQ(frame[storage::write_file::kFirstFlag], 1);
  EXPECT_EQ(frame[storage::write_file::kSecondFlag], 0xFF);

  // Order on the camera: permission read, then the state query before the write.
  ASSERT_EQ(camera_->frames.size(), 2u);
  EXPECT_EQ(camera_->frames[0], Vendor(0x01, 0x74, {0x02, 0xFF}));
  EXPECT_EQ(camera_->frames[1], kBusyQuery);
}

TEST_F(PresetFixture, SetPresetNameLengthLimitsAndNullName) {
  Bstr nine(COM_TEXT("123456789"));
  EXPECT_EQ(SetPresetName(*state_, 1, nine.get()), E_INVALIDARG);
  EXPECT_TRUE(camera_->frames.empty() && storage_->frames.empty());

  Bstr eight(COM_TEXT("12345678"));
  EXPECT_EQ(SetPresetName(*state_, 1, eight.get()), S_OK);
  EXPECT_EQ(Bytes(storage_->files[SlotPath(1)].begin() + 2, storage_->files[SlotPath(1)].begin() + 10),
            (Bytes{'1', '2', '3', '4', '5', '6', '7', '8'}));
  Advance(3s);
  EXPECT_EQ(SetPresetName(*state_, 1, nullptr), S_OK);
  EXPECT_EQ(Bytes(storage_->files[SlotPath(1)].begin() + 2, storage_->files[SlotPath(1)].begin() + 10), Bytes(8, 0));
  Advance(3s);
  Bstr read;
  EXPECT_EQ(GetPresetName(*state_, 1, read.out()), S_OK);
  EXPECT_EQ(read.text(), COM_TEXT(""));
}

TEST_F(PresetFixture, NamesRoundTripThroughTheAnsiCodePage) {
  // Characters of Windows-1252 above ASCII, among them the 0x80-0x9F range.
  const platform::ComString western = COM_TEXT("\u00C4\u20AC\u00E9\u0178\u2122\u00FF");
  Bstr name(western);
  ASSERT_EQ(SetPresetName(*state_, 3, name.get()), S_OK);
  EXPECT_EQ(Bytes(storage_->files[SlotPath(3)].begin() + 2, storage_->files[SlotPath(3)].begin() + 10),
            (Bytes{0xC4, 0x80, 0xE9, 0x9F, 0x99, 0xFF, 0, 0}));
  Advance(3s);
  Bstr back;
  ASSERT_EQ(GetPresetName(*state_, 3, back.out()), S_OK);
  EXPECT_EQ(back.text(), western);

  // Registering keeps the same bytes.
  Advance(3s);
  ClearRecords();
  EXPECT_EQ(RegisterPreset(*state_, 3, name.get()), S_OK);
  EXPECT_EQ(camera_->frames.back(), Vendor(0x00, 0x71, {0x03, 0xC4, 0x80, 0xE9, 0x9F, 0x99, 0xFF, 0, 0}));
}

// On Windows, characters outside the code page are the system converter's
// (best fit: an omega becomes 'O'); this is the host converter's rule.
#ifndef _WIN32
TEST_F(PresetFixture, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  // Greek omega, a CJK ideograph and an emoji (a surrogate pair: one character).
  Bstr name(COM_TEXT("\u03A9x\u4E2D\U0001F600y"));
  ASSERT_EQ(SetPresetName(*state_, 1, name.get()), S_OK);
  EXPECT_EQ(Bytes(storage_->files[SlotPath(1)].begin() + 2, storage_->files[SlotPath(1)].begin() + 10),
            (Bytes{'?', 'x', '?', '?', 'y', 0, 0, 0}));
  // Nine UTF-16 units are too long for SetPresetName even when they convert to
  // fewer bytes; RegisterPreset counts the converted bytes.
  Bstr nineUnits(COM_TEXT("ABCDEFG\U0001F600"));
  EXPECT_EQ(SetPresetName(*state_, 1, nineUnits.get()), E_INVALIDARG);
  Advance(3s);
  EXPECT_EQ(RegisterPreset(*state_, 1, nineUnits.get()), S_OK);
  EXPECT_EQ(camera_->frames.back(), Vendor(0x00, 0x71, {0x01, 'A', 'B', 'C', 'D', 'E', 'F', 'G', '?'}));
}
#endif

TEST_F(PresetFixture, NameEndsAtAnEmbeddedTerminator) {
  Bstr name(platform::ComString(COM_TEXT("AB\0CDEFGHIJK"), 12));
  EXPECT_EQ(SetPresetName(*state_, 1, name.get()), S_OK);
  EXPECT_EQ(Bytes(storage_->files[SlotPath(1)].begin() + 2, storage_->files[SlotPath(1)].begin() + 10),
            (Bytes{'A', 'B', 0, 0, 0, 0, 0, 0}));
}

// ---- The wait for an idle camera before the name is written ----------------------

TEST_F(PresetFixture, SetPresetNameWaitsForTheCameraToFinish) {
  camera_->busyAnswers = {1, 1, 1, 0};
  Bstr name(COM_TEXT("LATER"));
  EXPECT_EQ(SetPresetName(*state_, 2, name.get()), S_OK);
  EXPECT_EQ(camera_->Count(0x75), 4u);
  EXPECT_EQ(Pauses(), std::vector<std::chrono::milliseconds>(3, kNamePollPause));
  EXPECT_EQ(storage_->Count(storage::Opcode::WriteFile), 1u);
  EXPECT_EQ(storage_->files[SlotPath(2)][2], 'L');
}

TEST_F(PresetFixture, SetPresetNameGivesUpOnACameraThatStaysBusy) {
  camera_->busyFallback = 1;
  const Bytes before = storage_->files[SlotPath(2)];
  Bstr name(COM_TEXT("NEVER"));
  EXPECT_EQ(SetPresetName(*state_, 2, name.get()), CAM_E_BUSY);
  EXPECT_EQ(camera_->Count(0x75), static_cast<size_t>(kNamePollLimit));
  EXPECT_EQ(Pauses(), std::vector<std::chrono::milliseconds>(kNamePollLimit - 1, kNamePollPause));
  EXPECT_EQ(storage_->Count(storage::Opcode::WriteFile), 0u);
  EXPECT_EQ(storage_->files[SlotPath(2)], before);
  EXPECT_FALSE(SettleTimerRunning());
}

TEST_F(PresetFixture, SetPresetNameStopsWhenTheStateCannotBeRead) {
  camera_->busyAnswers = {1};
  camera_->results[0x75] = {0, 71};
  Bstr name(COM_TEXT("NEVER"));
  EXPECT_EQ(SetPresetName(*state_, 2, name.get()), CAM_E_REJECTED);
  EXPECT_EQ(storage_->Count(storage::Opcode::WriteFile), 0u);
}

TEST_F(PresetFixture, SetPresetNameWithAFixedStateDoesNotWait) {
  state_->presetState = -2;
  Bstr name(COM_TEXT("NOW"));
  EXPECT_EQ(SetPresetName(*state_, 2, name.get()), S_OK);
  EXPECT_EQ(camera_->Count(0x75), 0u);
  EXPECT_EQ(storage_->Count(storage::Opcode::WriteFile), 1u);
}

}  // namespace
}  // namespace camctl::presets_testing
