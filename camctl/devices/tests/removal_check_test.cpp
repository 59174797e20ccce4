// The removal check of the device watcher on its own: which notices release
// the camera and mark the object removed.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "camctl/devices/device_watcher.h"
#include "tests/support/test_environment.h"

namespace camctl::testing {
namespace {

TEST(RemovalCheck, OnlyTheSelectedPathInAnyLetterCaseReleasesTheCamera) {
  velquin_testing::SetEnvironment("VELQUIN_MUTEX_NAMESPACE", "removal-check-" + std::to_string(std::random_device{}()));
  const platform::ComString selected = platform::Utf8ToCom("\\\\?\\avc#maker&kv7&camcorder#0800460102ab0001#{65e8773d-8f56-11d0-a3b9-00a0c9223196}");
  const struct {
    const char* name;
    platform::ComString selectedPath;
    platform::ComString noticePath;
    bool released;
  } cases[] = {
      {"same path", selected, selected, true},
      {"other letter case", selected,
       platform::Utf8ToCom("\\\\?\\AVC#MAKER&KV7&CAMCORDER#0800460102AB0001#{65E8773D-8F56-11D0-A3B9-00A0C9223196}"), true},
      {"another camera", selected,
       platform::Utf8ToCom("\\\\?\\avc#maker&kv7&camcorder#0800460102ab0002#{65e8773d-8f56-11d0-a3b9-00a0c9223196}"), false},
      {"a longer path", selected, selected + platform::Utf8ToCom("x"), false},
      {"nothing selected", platform::ComString(), selected, false},
      {"empty notice, nothing selected", platform::ComString(), platform::ComString(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CameraState state;
    state.connection = ConnectionState::Attached;
    state.selectedDevicePath = c.selectedPath;
    int removals = 0;
    state.removeDevice = [&] {
      ++removals;
      state.connection = ConnectionState::NoCamera;
      return S_OK;
    };
    CheckRemoval(state, c.noticePath);
    EXPECT_EQ(removals, c.released ? 1 : 0);
    EXPECT_EQ(state.connection, c.released ? ConnectionState::Removed : ConnectionState::Attached);
  }
  velquin_testing::SetEnvironment("VELQUIN_MUTEX_NAMESPACE", "");
}

}  // namespace
}  // namespace camctl::testing
