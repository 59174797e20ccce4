// Every command of the command-line programs fails when its standard output
// cannot take what it printed (a full device), and succeeds with the same
// words when it can.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vcam/isolated_environment.h"
#include "vcam/vcam.h"

namespace {

namespace fs = std::filesystem;

std::string Quote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

TEST(StandardOutput, AnUnwritableStandardOutputFailsTheCommand) {
  vcam::testing::IsolatedEnvironment env("standard-output");
  ASSERT_EQ(std::system((Quote(REGSVR_PATH) + " /s " + Quote(VELQUIN_SERVER_PATH)).c_str()), 0);
  vcam::CameraOptions options;
  options.model = "KX1";
  const auto camera = vcam::CreateCamera(env.Cameras(), "cam", options);

  const std::vector<std::vector<std::string>> commands = {
      {PRESETCTL_PATH, "slots"},         {PRESETCTL_PATH, "slots", "--json"}, {PRESETCTL_PATH, "cameras"},
      {PRESETCTL_PATH, "read", "1"},     {PRESETCTL_PATH, "defaults"},        {PRESETCTL_PATH, "--help"},
      {CAMFILES_PATH, "tree"},           {CAMFILES_PATH, "ls", "\\"},          {VCAM_PATH, "list"},
  };
  const fs::path err = env.Dir() / "err.txt";
  for (const auto& words : commands) {
    std::string command;
    for (const auto& word : words) command += Quote(word) + " ";
    SCOPED_TRACE(command);
    for (const std::string& to : {std::string("/dev/full"), (env.Dir() / "out.txt").string()}) {
      const int status = std::system((command + ">" + Quote(to) + " 2>" + Quote(err.string())).c_str());
      std::ifstream in(err, std::ios::binary);
      const std::string said(std::istreambuf_iterator<char>(in), {});
      const bool full = to == "/dev/full";
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), full ? 1 : 0) << said;
      EXPECT_EQ(said.find("cannot write to standard output") != std::string::npos, full) << said;
    }
  }
}

}  // namespace
