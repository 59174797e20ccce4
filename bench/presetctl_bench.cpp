// presetctl as a whole process next to camlist, in one run, against the
// virtual camcorder (a private camera folder, registry and mutex namespace).
// `presetctl read 1` creates the object, enumerates, selects, selects the
// slot, waits for the camera, reads fifteen settings and the name, releases
// the camera and prints the .DQX; camlist creates the object and lists the
// cameras. The camera's busy window after the slot selection is set to 0 so
// the figure is the program's own cost (with the camera's default 300 ms it
// is that much longer).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "vcam/isolated_environment.h"
#include "vcam/vcam.h"

extern char** environ;

namespace {

std::optional<vcam::testing::IsolatedEnvironment> g_env;
std::unique_ptr<vcam::Camera> g_camera;

void SetUpOnce() {
  if (g_env) return;
  g_env.emplace("presetctl-bench");
  const std::string command = std::string(REGSVR_PATH) + " /s " + VELQUIN_SERVER_PATH;
  if (std::system(command.c_str()) != 0) std::abort();
  vcam::CameraOptions options;
  options.model = "DV1";
  options.sampleContent = false;
  g_camera = vcam::CreateCamera(g_env->Cameras(), "cam", options);
  g_camera->Modify([](vcam::State& s) {
    s.busyMs = 0;
    s.traceMaxBytes = 64 * 1024;
  });
}

// Runs a program to its end with its output discarded; false unless it exits 0.
bool RunProcess(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Process(benchmark::State& state, std::vector<std::string> args) {
  SetUpOnce();
  for (auto _ : state) {
    if (!RunProcess(args)) {
      state.SkipWithError("the program failed");
      return;
    }
  }
}

void BM_Camlist(benchmark::State& state) { Process(state, {CAMLIST_PATH}); }
void BM_PresetctlRead1(benchmark::State& state) { Process(state, {PRESETCTL_PATH, "read", "1"}); }

BENCHMARK(BM_Camlist)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PresetctlRead1)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  g_camera.reset();
  g_env.reset();
  return 0;
}
