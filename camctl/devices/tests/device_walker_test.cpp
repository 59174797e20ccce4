// The device walk, the unique id and model name rules and the identification
// query, against scripted devices.
#include <gtest/gtest.h>

#include "camctl/devices/device_walker.h"
#include "camctl/devices/tests/fakes.h"

namespace camctl::testing {
namespace {

using platform::ComString;
using platform::ComToUtf8;
using platform::Utf8ToCom;

struct UniqueIdCase {
  const char* path;
  bool found;
  const char* id;
};

TEST(UniqueIdTest, TextBetweenSecondAndThirdHash) {
  const UniqueIdCase cases[] = {
      {"\\\\?\\avc#maker&kv7&camcorder&dv#0800460102ab0001#{guid}\\global", true, "0800460102ab0001"},
      {"a#b#c#d#e", true, "c"},
      // The first search starts at the second character: a leading '#' is not counted.
      {"#a#b#c#", true, "c"},
      {"a#b##", true, ""},
      {"a#b#c", false, ""},  // two '#' only
      {"#a#b", false, ""},
      {"###", false, ""},
      {"", false, ""},
      {"#", false, ""},
  };
  for (const auto& c : cases) {
    ComString id = Utf8ToCom("untouched");
    EXPECT_EQ(ExtractUniqueId(Utf8ToCom(c.path), id), c.found) << c.path;
    if (c.found) {
      EXPECT_EQ(ComToUtf8(id), c.id) << c.path;
    }
  }
}

struct ModelCase {
  const char* path;
  bool found;
  const char* model;
};

TEST(ModelNameTest, SecondWordOfTheSecondField) {
  const ModelCase cases[] = {
      {"\\\\?\\avc#maker&kv7&camcorder&dv#0800460102ab0001#{guid}", true, "KV7"},
      {"x#Maker&Kx9-b&dv#id#cls", true, "KX9-B"},
      {"x#maker&kv7#id#cls", false, ""},  // one '&' only
      {"x#maker#id&kv7&z#cls", true, "KV7"},
      {"x#makerkv7#id#cls", false, ""},  // no '&' after the first '#'
      {"x#maker&kv7#id#cls&", true, "KV7#ID#CLS"},  // the second '&' may stand further on
      {"x#maker&&dv#id", false, ""},  // nothing between
      {"maker&kv7&dv", false, ""},    // no '#'
      {"a&b&c#maker&only#x", false, ""},
  };
  for (const auto& c : cases) {
    ComString model;
    EXPECT_EQ(ModelNameOf(Utf8ToCom(c.path), model), c.found) << c.path;
    if (c.found) {
      EXPECT_EQ(ComToUtf8(model), c.model) << c.path;
    }
  }
}

class WalkerTest : public FakeWorldTest {};

TEST_F(WalkerTest, EmptyCategoryYieldsNothing) {
  DeviceWalker walker;
  EXPECT_EQ(walker.Start(), S_FALSE);
  DeviceRecord record;
  EXPECT_EQ(walker.Next(record), S_FALSE);
}

TEST_F(WalkerTest, EnumeratorFailureIsReported) {
  world_.listResult = static_cast<HRESULT>(0x80040154u);
  DeviceWalker walker;
  EXPECT_EQ(walker.Start(), static_cast<HRESULT>(0x80040154u));
  DeviceRecord record;
  EXPECT_EQ(walker.Next(record), S_FALSE);
}

TEST_F(WalkerTest, RecordsAreCompleteInOrder) {
  world_.AddCamera("0800460102ab0001");
  FakeCamera& second = world_.AddCamera("0800460102ab0002");
  second.friendlyName = "Other Camera";
  second.pnpFriendlyName = "";
  DeviceWalker walker;
  ASSERT_EQ(walker.Start(), S_OK);
  DeviceRecord record;
  ASSERT_EQ(walker.Next(record), S_OK);
  EXPECT_EQ(ComToUtf8(record.deviceIdentifier), "DV Camera#0800460102ab0001");
  EXPECT_EQ(ComToUtf8(record.uniqueId), "0800460102ab0001");
  EXPECT_EQ(ComToUtf8(record.pnpFriendlyName), "Marrowfield DV Camera");
  EXPECT_NE(record.moniker, nullptr);
  ASSERT_EQ(walker.Next(record), S_OK);
  EXPECT_EQ(ComToUtf8(record.deviceIdentifier), "Other Camera#0800460102ab0002");
  EXPECT_TRUE(record.pnpFriendlyName.empty());
  EXPECT_EQ(walker.Next(record), S_FALSE);
  EXPECT_EQ(world_.cameras[0].binds, 0) << "a walk binds nothing";
}

TEST_F(WalkerTest, PathWithTooFewHashesEndsTheWalk) {
  world_.AddCamera("0800460102ab0001");
  FakeCamera& broken = world_.cameras.emplace_back();
  broken.devicePath = "a#maker&kv7&dv#0800460102ab0009";
  world_.AddCamera("0800460102ab0003");
  DeviceWalker walker;
  ASSERT_EQ(walker.Start(), S_OK);
  DeviceRecord record;
  EXPECT_EQ(walker.Next(record), S_OK);
  EXPECT_EQ(walker.Next(record), E_FAIL);
  EXPECT_EQ(walker.Next(record), S_FALSE) << "the camera behind it is not visited";
}

TEST_F(WalkerTest, EmptyFriendlyNameOrUniqueIdEndsTheWalk) {
  for (int variant = 0; variant < 2; ++variant) {
    world_.cameras.clear();
    FakeCamera& c = world_.AddCamera("0800460102ab0001");
    if (variant == 0) c.friendlyName.clear();
    else c.devicePath = "x#maker&kv7##cls";
    world_.AddCamera("0800460102ab0002");
    DeviceWalker walker;
    ASSERT_EQ(walker.Start(), S_OK);
    DeviceRecord record;
    EXPECT_EQ(walker.Next(record), E_FAIL) << variant;
    EXPECT_EQ(walker.Next(record), S_FALSE) << variant;
  }
}

// The identification query: attempts, answers, and the frame sent.
struct QueryCase {
  const char* name;
  std::vector<int32_t> results;
  int32_t fallback;
  uint8_t byte9;
  uint8_t byte10;
  size_t attempts;
  bool supported;
};

class IdentificationTest : public FakeWorldTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(IdentificationTest, AttemptsAndAnswer) {
  const QueryCase& q = GetParam();
  FakeCamera& cam = world_.AddCamera("0800460102ab0001");
  cam.idResults.assign(q.results.begin(), q.results.end());
  cam.idFallback = q.fallback;
  cam.idByte9 = q.byte9;
  cam.idByte10 = q.byte10;
  DeviceWalker walker;
  ASSERT_EQ(walker.Start(), S_OK);
  DeviceRecord record;
  ASSERT_EQ(walker.Next(record), S_OK);
  record.supportedCamera = !q.supported;
  RunIdentificationQuery(record);
  EXPECT_EQ(record.supportedCamera, q.supported);
  ASSERT_EQ(cam.frames.size(), q.attempts);
  const Bytes query = {0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x10, 0x13, 0xFF, 0xFF};
  for (const Bytes& f : cam.frames) EXPECT_EQ(f, query) << "every attempt sends the same 11 bytes";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, IdentificationTest,
    ::testing::Values(QueryCase{"Supported", {}, 0, 0x01, 0x01, 1, true},
                      QueryCase{"AnyNonZeroByte9", {}, 0, 0x7F, 0x01, 1, true},
                      QueryCase{"Byte9Zero", {}, 0, 0x00, 0x01, 1, false},
                      QueryCase{"Byte10Two", {}, 0, 0x01, 0x02, 1, false},
                      QueryCase{"NotSupportedStopsAtOnce", {50}, 0, 0x01, 0x01, 1, false},
                      QueryCase{"TimeoutsFourTimes", {}, 1460, 0x01, 0x01, 4, false},
                      QueryCase{"RefusedFourTimes", {}, 71, 0x01, 0x01, 4, false},
                      QueryCase{"OtherFailuresThenAnswer", {31, 1460, 71}, 0, 0x01, 0x01, 4, true},
                      QueryCase{"FailureThenNotSupported", {1460, 50}, 0, 0x01, 0x01, 2, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(WalkerTest, UnbindableOrTransportlessDeviceIsNotSupported) {
  FakeCamera& a = world_.AddCamera("0800460102ab0001");
  a.bindable = false;
  FakeCamera& b = world_.AddCamera("0800460102ab0002");
  b.hasTransport = false;
  DeviceWalker walker;
  ASSERT_EQ(walker.Start(), S_OK);
  DeviceRecord record;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(walker.Next(record), S_OK);
    RunIdentificationQuery(record);
    EXPECT_FALSE(record.supportedCamera);
  }
  EXPECT_EQ(a.binds, 1);
  EXPECT_EQ(b.binds, 1);
  EXPECT_TRUE(a.frames.empty());
  EXPECT_TRUE(b.frames.empty());
}

}  // namespace
}  // namespace camctl::testing
