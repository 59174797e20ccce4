// The busy retry policy, the status map and the status polls against a
// scripted driver with a fake clock: results, frames sent and pauses taken.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "storage/microdriver/core.h"
#include "storage/microdriver/testing/memory_driver.h"

namespace torwen::testing {
namespace {

constexpr uint8_t kListMedia = 0x02;
constexpr int32_t kErrorBusy = 170;

// A run of identical scripted answers.
struct Run {
  int status = -1;
  int32_t error = 0;
  int count = 1;
};

struct RetryCase {
  const char* name;
  std::vector<Run> script;
  bool fastBusy;
  bool fastMedia;
  HRESULT result;
  size_t sends;
  uint64_t sleptMs;
};

// Opened, or the test stops.
class Context : public OpenedContext {
 public:
  explicit Context(MemoryCamera& camera) : OpenedContext(camera) { EXPECT_EQ(opened(), S_OK); }
};

void Script(MemoryCamera& camera, const std::vector<Run>& runs, int opcode) {
  for (const Run& run : runs)
    for (int i = 0; i < run.count; ++i) camera.script.push_back({run.error, run.status, nullptr, opcode});
}

uint64_t Slept(const MemoryCamera& camera) {
  return std::accumulate(camera.sleeps.begin(), camera.sleeps.end(), uint64_t{0});
}

class RetryTable : public ::testing::TestWithParam<RetryCase> {};

TEST_P(RetryTable, ListMediaExchange) {
  const RetryCase& c = GetParam();
  MemoryCamera camera;
  Context context(camera);
  context.get()->fastBusy = c.fastBusy ? 1 : 0;
  context.get()->fastMedia = c.fastMedia ? 1 : 0;
  Script(camera, c.script, kListMedia);
  MicroDrvItem* root = nullptr;
  const HRESULT hr = GetDeviceInfo(context.get(), &root);
  EXPECT_EQ(static_cast<uint32_t>(hr), static_cast<uint32_t>(c.result));
  EXPECT_EQ(camera.CountSent(kListMedia), c.sends);
  EXPECT_EQ(Slept(camera), c.sleptMs);
  ASSERT_NE(root, nullptr);  // the root is handed out whatever happens next
}

const HRESULT kBusy = static_cast<HRESULT>(0x800700AA);
const HRESULT kNoMedium = static_cast<HRESULT>(0x800710D4);
const HRESULT kRetry = static_cast<HRESULT>(0x800704D5);

INSTANTIATE_TEST_SUITE_P(
    Policy, RetryTable,
    ::testing::Values(
        RetryCase{"answer", {}, false, false, S_OK, 1, 0},
        RetryCase{"busy_once", {{0x80}}, false, false, S_OK, 2, 1000},
        RetryCase{"busy_180_then_answer", {{0x80, 0, 180}}, false, false, S_OK, 181, 180000},
        RetryCase{"busy_181_gives_up", {{0x80, 0, 181}}, false, false, kBusy, 181, 180000},
        RetryCase{"fast_busy_21", {{0x80, 0, 21}}, true, false, kBusy, 21, 4000},
        RetryCase{"media_busy_31", {{0x84, 0, 31}}, false, false, kNoMedium, 31, 30000},
        RetryCase{"fast_media_21", {{0x84, 0, 21}}, false, true, kNoMedium, 21, 4000},
        RetryCase{"retry_status_21", {{0x82, 0, 21}}, false, false, kRetry, 21, 4000},
        RetryCase{"status_b1_21", {{0xB1, 0, 21}}, false, false, E_FAIL, 21, 4000},
        RetryCase{"status_fe_20_then_answer", {{0xFE, 0, 20}}, false, false, S_OK, 21, 4000},
        RetryCase{"change_restarts_count", {{0x80, 0, 10}, {0x82, 0, 20}}, false, false, S_OK, 31, 10000 + 4000},
        RetryCase{"unlisted_status", {{0xA5}}, false, false, E_FAIL, 1, 0},
        RetryCase{"disk_full", {{0xA3}}, false, false, static_cast<HRESULT>(0x80070070), 1, 0},
        RetryCase{"transport_failure", {{-1, 1617}}, false, false, static_cast<HRESULT>(0x80070651), 1, 0},
        RetryCase{"transport_busy_twice", {{-1, kErrorBusy, 2}}, false, false, S_OK, 3, 100}),
    [](const ::testing::TestParamInfo<RetryCase>& row) { return std::string(row.param.name); });

// Two busy statuses taking turns restart the count at every change; the
// exchange still ends, a little after the longest single-status wait.
TEST(RetryBounds, AlternatingBusyStatusesEnd) {
  MemoryCamera camera;
  Context context(camera);
  for (int i = 0; i < 5000; ++i) camera.script.push_back({0, i % 2 == 0 ? 0x80 : 0x82, nullptr, kListMedia});
  MicroDrvItem* root = nullptr;
  const HRESULT hr = GetDeviceInfo(context.get(), &root);
  EXPECT_TRUE(hr == kBusy || hr == kRetry) << std::hex << hr;
  EXPECT_GE(camera.clockMs, kExchangeDeadlineMs);
  EXPECT_LE(camera.clockMs, kExchangeDeadlineMs + kBusyDelayMs);
  EXPECT_LT(camera.CountSent(kListMedia), 400u);
}

TEST(RetryBounds, EndlessTransportBusyEnds) {
  MemoryCamera camera;
  Context context(camera);
  for (int i = 0; i < 10000; ++i) camera.script.push_back({kErrorBusy, -1, nullptr, kListMedia});
  MicroDrvItem* root = nullptr;
  EXPECT_EQ(GetDeviceInfo(context.get(), &root), kBusy);
  EXPECT_LE(camera.clockMs, kExchangeDeadlineMs + kTransportBusyPauseMs);
  EXPECT_LE(camera.CountSent(kListMedia), kExchangeDeadlineMs / kTransportBusyPauseMs + 1);
}

// A busy answer that scribbles over the frame: the retry sends the command again.
TEST(RetryBounds, RetryResendsTheCommand) {
  MemoryCamera camera;
  Context context(camera);
  camera.script.push_back({0, 0x80, [](uint8_t* frame) { std::memset(frame + 2, 0xEE, 21); }, 0x03});  // the rest of the 23 bytes
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  std::vector<std::vector<uint8_t>> statusFrames;
  for (const SentFrame& f : camera.sent)
    if (f.bytes[0] == 0x03) statusFrames.push_back(f.bytes);
  ASSERT_EQ(statusFrames.size(), 2u);
  EXPECT_EQ(statusFrames[0], statusFrames[1]);
}

TEST(StatusMap, EveryListedStatus) {
  const std::pair<uint8_t, uint32_t> rows[] = {
      {0x00, 0},          {0x80, 0x800700AA}, {0x81, 0x800704D3}, {0x82, 0x800704D5}, {0x90, 0x80070456},
      {0x91, 0x80070495}, {0x93, 0x80070057}, {0xA0, 0x800710D4}, {0xA1, 0x80070002}, {0xA2, 0x8007010B},
      {0xA3, 0x80070070}, {0xA4, 0x80070050}, {0xA8, 0x80071779}, {0xAA, 0x80070010}, {0xAB, 0x80070091},
      {0xAC, 0x80070052}, {0xB2, 0x800739D1}, {0xB3, 0x800739D2}, {0xA5, 0x80004005}, {0x01, 0x80004005}};
  for (const auto& [status, result] : rows)
    EXPECT_EQ(static_cast<uint32_t>(storage::MapStatus(status)), result) << std::hex << int{status};
}

// The status polls: one attempt, no retry; a changed identity is reported once.
struct StatusCase {
  const char* name;
  std::vector<Scripted> script;
  HRESULT first;
  HRESULT second;
};

class StatusPoll : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusPoll, MediumZero) {
  const StatusCase& c = GetParam();
  MemoryCamera camera;
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  for (const Scripted& s : c.script) camera.script.push_back(s);
  const size_t before = camera.CountSent(0x03);
  EXPECT_EQ(static_cast<uint32_t>(GetStatus(context.get(), true)), static_cast<uint32_t>(c.first));
  EXPECT_EQ(camera.CountSent(0x03), before + 1);
  EXPECT_EQ(static_cast<uint32_t>(GetStatus(context.get(), false)), static_cast<uint32_t>(c.second));
  EXPECT_TRUE(camera.sleeps.empty());
}

auto Identity(uint8_t value) {
  return [value](uint8_t* frame) { frame[4] = value; };
}

INSTANTIATE_TEST_SUITE_P(
    Polls, StatusPoll,
    ::testing::Values(StatusCase{"unchanged", {}, S_OK, S_OK},
                      StatusCase{"exchanged_once", {{0, 0, Identity(9)}, {0, 0, Identity(9)}}, kResultMediaChanged, S_OK},
                      StatusCase{"busy_not_retried", {{0, 0x80}}, kBusy, S_OK},
                      StatusCase{"media_busy_is_no_medium", {{0, 0x84}}, kNoMedium, S_OK},
                      StatusCase{"not_found", {{0, 0xA1}}, static_cast<HRESULT>(0x80070002), S_OK},
                      StatusCase{"transport", {{1617}}, static_cast<HRESULT>(0x80070651), S_OK}),
    [](const ::testing::TestParamInfo<StatusCase>& row) { return std::string(row.param.name); });

TEST(StatusPoll, RefreshReplacesAvailableOnly) {
  MemoryCamera camera;
  camera.media.resize(2);
  camera.media[1].available = 0xF0000000u;  // above 2 GiB: stays positive
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  EXPECT_EQ(context.get()->storageAvailable, int64_t{32 << 20} + int64_t{0xF0000000u});
  camera.media[0].available = 1234;
  camera.media[0].flags = 0x02;
  ASSERT_EQ(GetStatus(context.get(), false), S_OK);
  EXPECT_EQ(context.get()->storageAvailable, int64_t{32 << 20} + int64_t{0xF0000000u});
  ASSERT_EQ(GetStatus(context.get(), true), S_OK);
  EXPECT_EQ(context.get()->storageAvailable, 1234);
  EXPECT_EQ(context.get()->protectionWord, 0x100u);
}

}  // namespace
}  // namespace torwen::testing
