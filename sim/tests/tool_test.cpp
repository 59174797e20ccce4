// The vcam command-line tool: every command, its help, exit codes and
// one-line errors; and holding the camera mutex from another process.
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <string>

#include "platform/named_mutex.h"
#include "test_support.h"

namespace vcam::testing {
namespace {

struct ToolRun {
  int code = -1;
  std::string out;
};

class ToolTest : public RootFixture {
 protected:
  // Runs the tool with the test's root; captures stdout and stderr together.
  ToolRun Tool(const std::string& args, int killAfterSeconds = 0) {
    const std::string limit = killAfterSeconds > 0 ? "timeout -s KILL " + std::to_string(killAfterSeconds) + " " : "";
    const std::string command = limit + std::string(VCAM_TOOL_PATH) + " " + args + " 2>&1";
    ToolRun r;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) r.out.append(buf.data(), n);
    const int status = ::pclose(pipe);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
  }
};

TEST_F(ToolTest, CreateListShowPlugUnplug) {
  ToolRun r = Tool("create cam1 --model kv9 --slots 5 --media 2,1:1000000 --unique-id 0800460102AB00C1");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("avc#marrowfield&kv9&camcorder&dv#0800460102ab00c1#"), std::string::npos) << r.out;
  r = Tool("list");
  ASSERT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("cam1\tplugged\tKV9\t"), std::string::npos) << r.out;
  ASSERT_EQ(Tool("unplug cam1").code, 0);
  EXPECT_NE(Tool("list").out.find("cam1\tunplugged"), std::string::npos);
  auto camera = Camera::Open(root_ / "cam1");
  EXPECT_EQ(camera->ReadState().plugged, 0);
  ASSERT_EQ(Tool("plug cam1").code, 0);
  const State s = camera->ReadState();
  EXPECT_EQ(s.plugged, 1);
  EXPECT_EQ(s.slotCount, 5);
  EXPECT_EQ(s.mediaCount, 2);
  EXPECT_EQ(s.media[0].volumes, 2);
  EXPECT_EQ(s.media[1].totalBytes, 1000000u);
  r = Tool("show cam1");
  ASSERT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("unique id: 0800460102ab00c1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("slots: 5"), std::string::npos) << r.out;
  EXPECT_TRUE(std::filesystem::exists(camera->PresetFile(5)));
  EXPECT_FALSE(std::filesystem::exists(camera->PresetFile(6)));
}

TEST_F(ToolTest, SetChangesTheCamera) {
  ASSERT_EQ(Tool("create cam --empty").code, 0);
  auto camera = Camera::Open(root_ / "cam");
  ASSERT_EQ(Tool("set cam register 0x41 9").code, 0);
  ASSERT_EQ(Tool("set cam mode vcr").code, 0);
  ASSERT_EQ(Tool("set cam permission 2 1").code, 0);
  ASSERT_EQ(Tool("set cam busy-ms 50").code, 0);
  ASSERT_EQ(Tool("set cam implemented 0x47 off").code, 0);
  ASSERT_EQ(Tool("set cam supported off").code, 0);
  ASSERT_EQ(Tool("set cam medium 0 exchange").code, 0);
  ASSERT_EQ(Tool("set cam medium 0 protect").code, 0);
  ASSERT_EQ(Tool("set cam range 0x44 0 3 2").code, 0);
  ASSERT_EQ(Tool("set cam slot-count-answer 120").code, 0);
  EXPECT_EQ(Tool("set cam range 0x44 3 1 2").code, 2);
  const State s = camera->ReadState();
  EXPECT_TRUE(s.HasRange(0x44));
  EXPECT_EQ(s.maximum[0x44], 3);
  EXPECT_EQ(s.fallback[0x44], 2);
  EXPECT_EQ(s.slotCountAnswer, 120);
  EXPECT_EQ(s.value[0x41][0], 9);
  EXPECT_EQ(s.mode, kModeVcr);
  EXPECT_EQ(s.permission[2], 1);
  EXPECT_EQ(s.busyMs, 50u);
  EXPECT_FALSE(s.Implemented(0x47));
  EXPECT_EQ(s.supported, 0);
  EXPECT_EQ(s.media[0].identity, 2);
  EXPECT_EQ(s.media[0].flags, 1);
  ASSERT_EQ(Tool("reset cam").code, 0);
  EXPECT_EQ(camera->ReadState().mode, kModeCamera);
}

TEST_F(ToolTest, FaultsFromTheCommandLine) {
  ASSERT_EQ(Tool("create cam --empty").code, 0);
  auto camera = Camera::Open(root_ / "cam");
  ASSERT_EQ(Tool("fault cam add avc-result 1460 --set 1 --code 0x75 --times 3").code, 0);
  ASSERT_EQ(Tool("fault cam add storage-status 0x80 --opcode 6 --times 2").code, 0);
  ASSERT_EQ(Tool("fault cam add transport-busy --channel storage --times 1").code, 0);
  ASSERT_EQ(Tool("fault cam add over-deliver 100").code, 0);
  ASSERT_EQ(Tool("fault cam add thumb-overlength 1").code, 0);
  ASSERT_EQ(Tool("fault cam add unplug-after 40").code, 0);
  const State s = camera->ReadState();
  EXPECT_EQ(s.faults[0].kind, FaultKind::AvcResult);
  EXPECT_EQ(s.faults[0].value, 1460);
  EXPECT_EQ(s.faults[0].code, 0x75);
  EXPECT_EQ(s.faults[0].times, 3u);
  EXPECT_EQ(s.faults[1].kind, FaultKind::StorageStatus);
  EXPECT_EQ(s.faults[1].value, 0x80);
  EXPECT_EQ(s.faults[2].channel, 2);
  EXPECT_EQ(s.faults[3].code, 0x09);
  EXPECT_EQ(s.faults[4].code, 0x08);
  EXPECT_EQ(s.faults[5].kind, FaultKind::UnplugAfter);
  EXPECT_EQ(s.faults[5].times, 40u);
  ToolRun r = Tool("fault cam list");
  EXPECT_NE(r.out.find("avc-result 1460"), std::string::npos) << r.out;
  AvcFrame q = Vendor(0x01, 0x0001, 0x75, {0xFF});
  EXPECT_EQ(camera->AvcExchange(q.bytes, q.length), kAvcTimeout);
  ASSERT_EQ(Tool("fault cam clear").code, 0);
  EXPECT_EQ(camera->AvcExchange(q.bytes, q.length), kAvcOk);
}

TEST_F(ToolTest, TracePrintAndClear) {
  ASSERT_EQ(Tool("create cam --empty").code, 0);
  auto camera = Camera::Open(root_ / "cam");
  for (int i = 0; i < 3; ++i) {
    AvcFrame q = Vendor(0x01, 0x0001, 0x75, {0xFF});
    camera->AvcExchange(q.bytes, q.length);
  }
  ToolRun r = Tool("trace cam print --tail 2");
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2);
  EXPECT_NE(r.out.find(" cam avc 0120000000850001" "75FF 0C2000000085000175" "00 0"), std::string::npos) << r.out;
  ASSERT_EQ(Tool("trace cam clear").code, 0);
  EXPECT_EQ(Tool("trace cam print").out, "");
}

TEST_F(ToolTest, HelpOnEveryCommand) {
  for (const char* command : {"create", "list", "show", "delete", "plug", "unplug", "set", "fault", "trace", "reset",
                              "hold-mutex"}) {
    ToolRun r = Tool(std::string(command) + " --help");
    EXPECT_EQ(r.code, 0) << command;
    EXPECT_EQ(r.out.rfind(std::string("usage: vcam ") + command, 0), 0u) << r.out;
  }
  EXPECT_EQ(Tool("--help").code, 0);
}

TEST_F(ToolTest, ExitCodesAndOneLineErrors) {
  struct Case {
    const char* args;
    int code;
  };
  ASSERT_EQ(Tool("create cam --empty").code, 0);
  const Case cases[] = {
      {"", 2},
      {"frobnicate", 2},
      {"create", 2},
      {"create x --slots 100", 2},
      {"create cam", 1},  // exists
      {"create ../evil", 1},
      {"show nosuch", 1},
      {"set cam register 0x41", 2},
      {"set cam register 0x141 1", 2},
      {"set cam mode sideways", 2},
      {"set cam colour", 2},
      {"set cam permission 9 1", 1},  // no such slot
      {"fault cam add avc-result", 2},
      {"fault cam add nonsense", 2},
      {"fault cam add storage-status 0x80 --times 0", 2},
      {"trace cam", 2},
      {"hold-mutex", 2},
      {"list extra", 2},
  };
  for (const Case& c : cases) {
    ToolRun r = Tool(c.args);
    EXPECT_EQ(r.code, c.code) << c.args << ": " << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << c.args << ": " << r.out;
    EXPECT_EQ(r.out.rfind("vcam: ", 0), 0u) << r.out;
  }
  EXPECT_FALSE(std::filesystem::exists(root_.parent_path() / "evil"));
}

// A FIFO in place of a camera file, or a broken state: the command answers
// at once (killed after 10 s otherwise) with a one-line error.
TEST_F(ToolTest, SpecialFilesAndBrokenStatesGiveAPromptError) {
  ASSERT_EQ(Tool("create cam --empty").code, 0);
  const auto dir = root_ / "cam";
  ASSERT_EQ(::unlink((dir / "trace.log").c_str()) == 0 || errno == ENOENT, true);
  ASSERT_EQ(::mkfifo((dir / "trace.log").c_str(), 0644), 0);
  ASSERT_EQ(::unlink((dir / "ns" / "dev" / "campset" / "Preset01.pst").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "ns" / "dev" / "campset" / "Preset01.pst").c_str(), 0644), 0);
  ToolRun r = Tool("trace cam print", 10);
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("trace.log: not a regular file"), std::string::npos) << r.out;
  r = Tool("show cam", 10);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("01 permission=0 name=\"?\""), std::string::npos) << r.out;
  // A slot count no array holds.
  std::vector<uint8_t> state = ReadAll(dir / "state");
  const size_t header = state.size() - 2 * sizeof(State);
  state[header + offsetof(State, slotCount)] = 250;
  state[header + sizeof(State) + offsetof(State, slotCount)] = 250;
  WriteAll(dir / "state", state);
  for (const char* args : {"show cam", "reset cam", "plug cam"}) {
    r = Tool(args, 10);
    EXPECT_EQ(r.code, 1) << args << ": " << r.out;
    EXPECT_EQ(r.out.rfind("vcam: camera state broken: ", 0), 0u) << args << ": " << r.out;
  }
  EXPECT_NE(Tool("list", 10).out.find("cam\tbroken"), std::string::npos);
}

TEST_F(ToolTest, FirstListOfTheDefaultRootCreatesTheDefaultCamera) {
  ::unsetenv("VCAM_HOME");
  ::setenv("XDG_STATE_HOME", root_.c_str(), 1);
  ToolRun r = Tool("list");
  ::unsetenv("XDG_STATE_HOME");
  ::setenv("VCAM_HOME", root_.c_str(), 1);
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out.rfind("default\tplugged\tKV7\t", 0), 0u) << r.out;
  EXPECT_TRUE(std::filesystem::exists(root_ / "vcam" / "default" / "identity"));
  // A root named explicitly never gets one.
  EXPECT_EQ(Tool("list").out, "");
}

TEST_F(ToolTest, DeleteRemovesTheCamera) {
  ASSERT_EQ(Tool("create gone --empty").code, 0);
  ASSERT_EQ(Tool("delete gone").code, 0);
  EXPECT_FALSE(std::filesystem::exists(root_ / "gone"));
  EXPECT_EQ(Tool("delete gone").code, 1);
}

TEST_F(ToolTest, HoldMutexKeepsOthersOutForItsTime) {
  const std::string ns = "vcam-test-" + std::to_string(::getpid());
  ::setenv("VELQUIN_MUTEX_NAMESPACE", ns.c_str(), 1);
  const std::string command = std::string(VCAM_TOOL_PATH) + " hold-mutex --ms 600";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[32] = {};
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
  EXPECT_STREQ(line, "held\n");
  auto mutex = platform::OpenNamedMutex("08D77B9B-8328-4afe-8D64-4B69E5FFFA17");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(mutex->Lock(100), platform::LockResult::TimedOut);
  const int status = ::pclose(pipe);  // waits for the holder to finish
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(platform::Owns(mutex->Lock(100)));
  mutex->Unlock();
  ::unsetenv("VELQUIN_MUTEX_NAMESPACE");
}

}  // namespace
}  // namespace vcam::testing
