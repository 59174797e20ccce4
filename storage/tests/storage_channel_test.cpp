// The library's storage channel against a scripted driver: frames byte by
// byte, the retry budget, the sleeps of ReadFile, the status mapping, the
// lengths a driver reports, the camera mutex and the open procedure.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "camctl/channel/command_channel.h"
#include "camctl/common/results.h"
#include "storage/frames.h"
#include "storage/storage_channel.h"
#include "tests/support/test_environment.h"

namespace {

using platform::ComString;
using platform::ComStringView;
using Bytes = std::vector<uint8_t>;

constexpr HRESULT kBusy = static_cast<HRESULT>(0x8004020Au);
constexpr HRESULT kProtected = static_cast<HRESULT>(0x8004020Bu);
constexpr HRESULT kLockTimeout = static_cast<HRESULT>(0x80040204u);

// One scripted answer of the fake driver.
struct Answer {
  int32_t error = 0;   // the exchange's Win32 error
  uint8_t status = 0;  // status byte written on success of the transport
  // Bytes written at offsets of the answer frame.
  std::vector<std::pair<size_t, Bytes>> patches;
  Bytes data;  // written into the data area (at most its length)
};

struct DriverLog {
  std::vector<Bytes> frames;  // each frame as the driver received it
  std::vector<uint32_t> dataLengths;
  std::vector<Bytes> dataSeen;  // the data area as received (writes)
  std::deque<Answer> answers;
  Answer fallback;
  int opens = 0;
  int closes = 0;
  ComString openedPath;
  int32_t openError = 0;
};

DriverLog* g_log = nullptr;

class FakeDriver final : public platform::StorageDriverHandle {
 public:
  int32_t Exchange(uint8_t* frame, uint32_t frameLength, uint8_t* data, uint32_t dataLength) noexcept override {
    g_log->frames.emplace_back(frame, frame + frameLength);
    g_log->dataLengths.push_back(dataLength);
    g_log->dataSeen.emplace_back(data, data == nullptr ? data : data + dataLength);
    Answer a = g_log->fallback;
    if (!g_log->answers.empty()) {
      a = g_log->answers.front();
      g_log->answers.pop_front();
    }
    if (a.error != 0) return a.error;
    frame[1] = a.status;
    for (const auto& [offset, bytes] : a.patches) std::memcpy(frame + offset, bytes.data(), bytes.size());
    if (data != nullptr && !a.data.empty())
      std::memcpy(data, a.data.data(), std::min<size_t>(a.data.size(), dataLength));
    return 0;
  }
  int32_t Close() noexcept override {
    ++g_log->closes;
    return 0;
  }
};

HRESULT FakeReadLink(ComStringView key, ComString& link) {
  if (key == platform::Utf8ToCom("{cls}\\0001")) {
    link = platform::Utf8ToCom("\\??\\1394#maker&kv7&camcorder&dv#0800460102ab0001#{guid}");
    return S_OK;
  }
  if (key == platform::Utf8ToCom("short")) {
    link = platform::Utf8ToCom("x");
    return S_OK;
  }
  return static_cast<HRESULT>(0x80070002u);
}

int32_t FakeOpen(ComStringView path, std::unique_ptr<platform::StorageDriverHandle>& handle) {
  ++g_log->opens;
  g_log->openedPath.assign(path);
  if (g_log->openError != 0) return g_log->openError;
  handle = std::make_unique<FakeDriver>();
  return 0;
}

// A camera mutex that can be told to refuse, and counts its use.
struct MutexLog {
  bool refuse = false;
  int locks = 0;
  int unlocks = 0;
  std::vector<uint32_t> timeouts;
};

class FakeMutex final : public platform::NamedMutex {
 public:
  explicit FakeMutex(MutexLog& log) : log_(log) {}
  platform::LockResult Lock(uint32_t timeoutMs) noexcept override {
    log_.timeouts.push_back(timeoutMs);
    if (log_.refuse) return platform::LockResult::TimedOut;
    ++log_.locks;
    return platform::LockResult::Acquired;
  }
  void Unlock() noexcept override { ++log_.unlocks; }

 private:
  MutexLog& log_;
};

class StorageChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log = &log_;
    storage::StorageChannelEnvironment env;
    env.readLink = FakeReadLink;
    env.openDriver = FakeOpen;
    env.sleep = [this](uint32_t ms) { sleeps_.push_back(ms); };
    env.openMutex = [this] { return std::make_unique<FakeMutex>(mutex_); };
    channel_ = std::make_unique<storage::StorageChannel>(env);
  }
  void TearDown() override {
    channel_.reset();
    g_log = nullptr;
  }
  void OpenChannel() { ASSERT_EQ(channel_->Open(platform::Utf8ToCom("{cls}\\0001")), S_OK); }
  static Answer Status(uint8_t status) {
    Answer a;
    a.status = status;
    return a;
  }
  // Every lock was released again.
  void ExpectBalanced() const { EXPECT_EQ(mutex_.locks, mutex_.unlocks); }

  DriverLog log_;
  MutexLog mutex_;
  std::vector<uint32_t> sleeps_;
  std::unique_ptr<storage::StorageChannel> channel_;
};

Bytes Frame(size_t length, std::initializer_list<std::pair<size_t, Bytes>> fields) {
  Bytes f(length, 0);
  for (const auto& [offset, bytes] : fields) std::copy(bytes.begin(), bytes.end(), f.begin() + offset);
  return f;
}

Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(DeviceLinkTest, SecondCharacterBecomesBackslash) {
  ComString path;
  ASSERT_TRUE(storage::DeviceLinkToOpenPath(platform::Utf8ToCom("\\??\\abc#def"), path));
  EXPECT_EQ(platform::ComToUtf8(path), "\\\\?\\abc#def");
  ASSERT_TRUE(storage::DeviceLinkToOpenPath(platform::Utf8ToCom("ab"), path));
  EXPECT_EQ(platform::ComToUtf8(path), "a\\");
  EXPECT_FALSE(storage::DeviceLinkToOpenPath(platform::Utf8ToCom("a"), path));
  EXPECT_FALSE(storage::DeviceLinkToOpenPath(ComStringView(), path));
}

TEST_F(StorageChannelTest, OpenResolvesTheLinkAndOpensOnce) {
  OpenChannel();
  EXPECT_EQ(log_.opens, 1);
  EXPECT_EQ(platform::ComToUtf8(log_.openedPath), "\\\\?\\1394#maker&kv7&camcorder&dv#0800460102ab0001#{guid}");
  EXPECT_TRUE(channel_->IsOpen());
  // A second open fails and keeps the handle.
  EXPECT_EQ(channel_->Open(platform::Utf8ToCom("{cls}\\0001")), E_FAIL);
  EXPECT_EQ(log_.opens, 1);
  EXPECT_TRUE(channel_->IsOpen());
  // Open waits for the mutex without limit.
  ASSERT_FALSE(mutex_.timeouts.empty());
  EXPECT_EQ(mutex_.timeouts.front(), platform::kWaitForever);
  ExpectBalanced();
}

TEST_F(StorageChannelTest, OpenFailures) {
  EXPECT_EQ(channel_->Open(platform::Utf8ToCom("missing")), E_FAIL);
  EXPECT_EQ(channel_->Open(platform::Utf8ToCom("short")), E_FAIL);
  EXPECT_EQ(log_.opens, 0);
  log_.openError = 2;  // ERROR_FILE_NOT_FOUND
  EXPECT_EQ(channel_->Open(platform::Utf8ToCom("{cls}\\0001")), static_cast<HRESULT>(0x80070002u));
  log_.openError = 5;
  EXPECT_EQ(channel_->Open(platform::Utf8ToCom("{cls}\\0001")), static_cast<HRESULT>(0x80070005u));
  EXPECT_FALSE(channel_->IsOpen());
  ExpectBalanced();
}

TEST_F(StorageChannelTest, CloseClosesOnceAndCommandsThenFail) {
  OpenChannel();
  channel_->Close();
  channel_->Close();
  EXPECT_EQ(log_.closes, 1);
  uint32_t count = 7;
  EXPECT_EQ(channel_->CountEntries(storage::kPresetFolder, count), E_FAIL);
  EXPECT_EQ(count, 7u);
  EXPECT_TRUE(log_.frames.empty());
  ExpectBalanced();
}

TEST_F(StorageChannelTest, CommandsOnAClosedChannelFailAfterTheLock) {
  uint32_t count = 0;
  EXPECT_EQ(channel_->CountEntries(storage::kPresetFolder, count), E_FAIL);
  uint8_t buffer[16];
  uint32_t size = 16;
  EXPECT_EQ(channel_->ReadFile("\\dev\\campset\\Preset01.pst", buffer, size), E_FAIL);
  EXPECT_EQ(channel_->WriteFile("\\dev\\campset\\Preset01.pst", buffer, 16), E_FAIL);
  EXPECT_EQ(mutex_.locks, 3);
  ExpectBalanced();
}

TEST_F(StorageChannelTest, CountEntriesFrameAndBigEndianCount) {
  OpenChannel();
  Answer a = Status(0);
  a.patches = {{7, {0x00, 0x03}}};
  log_.answers = {a};
  uint32_t count = 0;
  ASSERT_EQ(channel_->CountEntries(storage::kPresetFolder, count), S_OK);
  EXPECT_EQ(count, 3u);
  ASSERT_EQ(log_.frames.size(), 1u);
  EXPECT_EQ(log_.frames[0], Frame(265, {{0, {0x06, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00, 0x00, 12}},
                                        {10, Text("\\dev\\campset")}}));
  EXPECT_EQ(log_.dataLengths[0], 0u);
  // The whole 16-bit range comes back.
  a.patches = {{7, {0xFF, 0xFE}}};
  log_.answers = {a};
  ASSERT_EQ(channel_->CountEntries(storage::kPresetFolder, count), S_OK);
  EXPECT_EQ(count, 0xFFFEu);
  EXPECT_EQ(mutex_.timeouts.back(), camctl::kCameraMutexWaitMs);
  ExpectBalanced();
}

TEST_F(StorageChannelTest, CountEntriesClearsStatusAndCountBeforeEachAttempt) {
  OpenChannel();
  Answer busy = Status(0x80);
  busy.patches = {{7, {0x12, 0x34}}, {4, {0x55}}};
  Answer done = Status(0);
  done.patches = {{7, {0x00, 0x05}}};
  log_.answers = {busy, done};
  uint32_t count = 0;
  ASSERT_EQ(channel_->CountEntries(storage::kPresetFolder, count), S_OK);
  EXPECT_EQ(count, 5u);
  ASSERT_EQ(log_.frames.size(), 2u);
  EXPECT_EQ(log_.frames[1][1], 0x00);
  EXPECT_EQ(log_.frames[1][7], 0x00);
  EXPECT_EQ(log_.frames[1][8], 0x00);
  EXPECT_EQ(log_.frames[1], log_.frames[0]) << "the retry sends the command as built";
  EXPECT_TRUE(sleeps_.empty());
}

// Each command against a device that stays busy: four exchanges, CAM_E_BUSY,
// and four 100 ms pauses for ReadFile only.
struct BusyCase {
  const char* name;
  int command;  // 0 count, 1 read, 2 write
  size_t expectedSleeps;
};

class StorageBusyTest : public StorageChannelTest, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(StorageBusyTest, FourAttemptsThenBusy) {
  OpenChannel();
  log_.fallback = Status(0x80);
  uint8_t buffer[32] = {};
  uint32_t size = 32;
  uint32_t count = 99;
  HRESULT hr = S_OK;
  switch (GetParam().command) {
    case 0: hr = channel_->CountEntries(storage::kPresetFolder, count); break;
    case 1: hr = channel_->ReadFile("\\dev\\campset\\Preset01.pst", buffer, size); break;
    default: hr = channel_->WriteFile("\\dev\\campset\\Preset01.pst", buffer, 32); break;
  }
  EXPECT_EQ(hr, kBusy);
  EXPECT_EQ(log_.frames.size(), 4u);
  EXPECT_EQ(sleeps_.size(), GetParam().expectedSleeps);
  for (uint32_t ms : sleeps_) EXPECT_EQ(ms, 100u);
  EXPECT_EQ(count, 99u);
  EXPECT_EQ(size, 32u);
  EXPECT_EQ(mutex_.locks, 2) << "open and the one exchange; retries stay inside one hold";
  ExpectBalanced();
}

INSTANTIATE_TEST_SUITE_P(Commands, StorageBusyTest,
                         ::testing::Values(BusyCase{"CountEntries", 0, 0}, BusyCase{"ReadFile", 1, 4},
                                           BusyCase{"WriteFile", 2, 0}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(StorageChannelTest, BusyOnceThenSuccess) {
  OpenChannel();
  Answer ok = Status(0);
  ok.patches = {{266, {0, 0, 0, 4}}};
  ok.data = {1, 2, 3, 4};
  log_.answers = {Status(0x80), ok};
  uint8_t buffer[8] = {};
  uint32_t size = 8;
  ASSERT_EQ(channel_->ReadFile("\\dev\\campset\\Preset01.pst", buffer, size), S_OK);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(log_.frames.size(), 2u);
  EXPECT_EQ(sleeps_, (std::vector<uint32_t>{100}));
}

TEST_F(StorageChannelTest, RetryResendsTheCommandNotWhatABusyAnswerLeft) {
  OpenChannel();
  Answer busy = Status(0x80);
  busy.patches = {{6, {'X', 'Y'}}, {261, {0xEE, 0xEE, 0xEE, 0xEE}}};  // path and capacity overwritten
  log_.answers = {busy, Status(0)};
  uint8_t buffer[8] = {};
  uint32_t size = 8;
  ASSERT_EQ(channel_->ReadFile("\\dev\\campset\\Preset01.pst", buffer, size), S_OK);
  ASSERT_EQ(log_.frames.size(), 2u);
  EXPECT_EQ(log_.frames[1], log_.frames[0]);
}

// The library's status table: one attempt for everything but busy.
struct StatusCase {
  uint8_t status;
  HRESULT result;
};

class StorageStatusTest : public StorageChannelTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StorageStatusTest, MapsAtTheFirstAttempt) {
  OpenChannel();
  log_.fallback = Status(GetParam().status);
  uint8_t data[4] = {};
  EXPECT_EQ(channel_->WriteFile("\\dev\\campset\\Preset02.pst", data, 4), GetParam().result);
  EXPECT_EQ(log_.frames.size(), 1u);
  uint32_t size = 4;
  EXPECT_EQ(channel_->ReadFile("\\dev\\campset\\Preset02.pst", data, size), GetParam().result);
  EXPECT_EQ(log_.frames.size(), 2u);
  EXPECT_TRUE(sleeps_.empty());
}

INSTANTIATE_TEST_SUITE_P(Statuses, StorageStatusTest,
                         ::testing::Values(StatusCase{0xA8, kProtected}, StatusCase{0x82, E_FAIL},
                                           StatusCase{0x84, E_FAIL}, StatusCase{0xA0, E_FAIL},
                                           StatusCase{0xB1, E_FAIL}, StatusCase{0xFE, E_FAIL},
                                           StatusCase{0x01, E_FAIL}, StatusCase{0xA5, E_FAIL}));

TEST_F(StorageChannelTest, TransportFailureIsNotRetriedAndKeepsTheHandle) {
  OpenChannel();
  Answer gone;
  gone.error = 1617;
  log_.answers = {gone};
  uint32_t count = 0;
  EXPECT_EQ(channel_->CountEntries(storage::kPresetFolder, count), static_cast<HRESULT>(0x80070651u));
  Answer busyTransport;
  busyTransport.error = 170;
  log_.answers = {busyTransport};
  EXPECT_EQ(channel_->CountEntries(storage::kPresetFolder, count), static_cast<HRESULT>(0x800700AAu));
  EXPECT_EQ(log_.frames.size(), 2u);
  EXPECT_TRUE(channel_->IsOpen());
  EXPECT_EQ(log_.closes, 0);
  ExpectBalanced();
}

TEST_F(StorageChannelTest, ReadFileFrameAndReceiveArea) {
  OpenChannel();
  Answer ok = Status(0);
  ok.patches = {{266, {0, 0, 0x01, 0x00}}};  // 256 delivered
  ok.data.assign(300, 0xAB);
  log_.answers = {ok};
  std::vector<uint8_t> buffer(300, 0);
  uint32_t size = 300;
  ASSERT_EQ(channel_->ReadFile("\\dev\\campset\\Preset03.pst", buffer.data(), size), S_OK);
  EXPECT_EQ(size, 256u);
  EXPECT_EQ(buffer[255], 0xAB);
  EXPECT_EQ(buffer[256], 0x00) << "bytes past the delivered count are not copied";
  Bytes expected = Frame(276, {{0, {0x09, 0x00, 0xFF, 0xFF, 0x00, 25}},
                               {6, Text("\\dev\\campset\\Preset03.pst")},
                               {262, {0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x01, 0x2C}}});
  if constexpr (sizeof(void*) == 4) {
    std::copy(log_.frames[0].begin() + 272, log_.frames[0].begin() + 276, expected.begin() + 272);
  }
  EXPECT_EQ(log_.frames[0], expected);
  EXPECT_EQ(log_.dataLengths[0], 0x8000u) << "the driver is given the whole receive area";
}

TEST_F(StorageChannelTest, ReadFileRefusesMoreThanRequested) {
  OpenChannel();
  Answer over = Status(0);
  over.patches = {{266, {0, 0, 0x01, 0x2C}}};  // 300 delivered for 200 asked
  over.data.assign(300, 0xCD);
  log_.answers = {over};
  std::vector<uint8_t> buffer(400, 0);
  uint32_t size = 200;
  EXPECT_EQ(channel_->ReadFile("\\dev\\campset\\Preset01.pst", buffer.data(), size), E_FAIL);
  EXPECT_EQ(size, 200u);
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), 400) << "nothing copied";
  ExpectBalanced();
}

TEST_F(StorageChannelTest, ReadFileSizeLimit) {
  OpenChannel();
  std::vector<uint8_t> buffer(0x8001, 0);
  uint32_t size = 0x8001;
  const int locksBefore = mutex_.locks;
  EXPECT_EQ(channel_->ReadFile("\\dev\\campset\\Preset01.pst", buffer.data(), size), E_FAIL);
  EXPECT_EQ(mutex_.locks, locksBefore) << "refused before the lock";
  EXPECT_TRUE(log_.frames.empty());
  Answer ok = Status(0);
  ok.patches = {{266, {0, 0, 0x80, 0x00}}};
  ok.data.assign(0x8000, 0x11);
  log_.answers = {ok};
  size = 0x8000;
  ASSERT_EQ(channel_->ReadFile("\\dev\\campset\\Preset01.pst", buffer.data(), size), S_OK);
  EXPECT_EQ(size, 0x8000u);
  EXPECT_EQ(buffer[0x7FFF], 0x11);
}

TEST_F(StorageChannelTest, WriteFileFramePassesTheCallersData) {
  OpenChannel();
  const Bytes data = {25, 0, 'N', 'A', 'M', 'E', ' ', ' ', ' ', ' ', 9, 8, 7};
  ASSERT_EQ(channel_->WriteFile("\\dev\\campset\\Preset02.pst", data.data(), static_cast<uint32_t>(data.size())),
            S_OK);
  Bytes expected = Frame(280, {{0, {0x0A, 0x00, 0xFF, 0xFF, 0x00, 25}},
                               {6, Text("\\dev\\campset\\Preset02.pst")},
                               {261, {0, 0, 0, 13, 0, 0, 0, 13, 0x01, 0xFF}}});
  if constexpr (sizeof(void*) == 4) {
    std::copy(log_.frames[0].begin() + 272, log_.frames[0].begin() + 276, expected.begin() + 272);
  }
  EXPECT_EQ(log_.frames[0], expected);
  EXPECT_EQ(log_.dataSeen[0], data);
}

TEST_F(StorageChannelTest, PathsTooLongAreRefusedBeforeTheLock) {
  OpenChannel();
  const std::string longPath(255, 'a');
  uint32_t count = 0;
  const int locksBefore = mutex_.locks;
  EXPECT_EQ(channel_->CountEntries(longPath, count), E_INVALIDARG);
  uint8_t b[4];
  uint32_t size = 4;
  EXPECT_EQ(channel_->ReadFile(longPath, b, size), E_INVALIDARG);
  EXPECT_EQ(channel_->WriteFile(longPath, b, 4), E_INVALIDARG);
  EXPECT_EQ(mutex_.locks, locksBefore);
  EXPECT_TRUE(log_.frames.empty());
  // 254 characters still fit.
  log_.fallback = Status(0);
  EXPECT_EQ(channel_->CountEntries(std::string(254, 'a'), count), S_OK);
}

TEST_F(StorageChannelTest, LockNotObtainedSendsNothing) {
  OpenChannel();
  mutex_.refuse = true;
  uint32_t count = 0;
  EXPECT_EQ(channel_->CountEntries(storage::kPresetFolder, count), kLockTimeout);
  uint8_t b[4];
  uint32_t size = 4;
  EXPECT_EQ(channel_->ReadFile("\\dev\\campset\\Preset01.pst", b, size), kLockTimeout);
  EXPECT_EQ(channel_->WriteFile("\\dev\\campset\\Preset01.pst", b, 4), kLockTimeout);
  EXPECT_TRUE(log_.frames.empty());
  EXPECT_EQ(mutex_.timeouts.back(), 300u);
  ExpectBalanced();
}

// The real camera mutex: a holder elsewhere keeps the channel out for 300 ms.
TEST(StorageChannelMutexTest, HeldElsewhereGivesLockTimeout) {
  std::random_device rd;
  const std::string ns = "stchan-" + std::to_string(rd()) + "-" + std::to_string(rd());
  velquin_testing::SetEnvironment("VELQUIN_MUTEX_NAMESPACE", ns);
  DriverLog log;
  g_log = &log;
  storage::StorageChannelEnvironment env;
  env.readLink = FakeReadLink;
  env.openDriver = FakeOpen;
  {
    storage::StorageChannel channel(env);
    ASSERT_EQ(channel.Open(platform::Utf8ToCom("{cls}\\0001")), S_OK);
    std::atomic<int> phase{0};
    std::thread holder([&] {
      auto mutex = platform::OpenNamedMutex(camctl::kCameraMutexName);
      ASSERT_NE(mutex, nullptr);
      ASSERT_TRUE(platform::Owns(mutex->Lock(platform::kWaitForever)));
      phase = 1;
      while (phase.load() != 2) std::this_thread::yield();
      mutex->Unlock();
    });
    while (phase.load() != 1) std::this_thread::yield();
    uint32_t count = 0;
    EXPECT_EQ(channel.CountEntries(storage::kPresetFolder, count), kLockTimeout);
    EXPECT_TRUE(log.frames.empty());
    phase = 2;
    holder.join();
    log.fallback.status = 0;
    EXPECT_EQ(channel.CountEntries(storage::kPresetFolder, count), S_OK);
    EXPECT_EQ(log.frames.size(), 1u);
  }
  EXPECT_EQ(log.closes, 1) << "destruction closes the driver";
  g_log = nullptr;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/dev/shm", ec))
    if (e.path().filename().string().find(ns) != std::string::npos) std::filesystem::remove(e.path(), ec);
  velquin_testing::SetEnvironment("VELQUIN_MUTEX_NAMESPACE", "");
}

}  // namespace
