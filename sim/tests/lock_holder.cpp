// The second process of the camera lock tests: opens the camera folder given
// and, under the camera's lock, tells the test so (creates READY), waits for
// RELEASE (at most 30 s) and sets register 0x41 to 11 before letting go.
// Exit codes: 0 done, 1 failure, 2 bad usage, 3 no release in time.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "vcam/vcam.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s CAMERA_DIR READY RELEASE\n", argv[0]);
    return 2;
  }
  try {
    auto camera = vcam::Camera::Open(argv[1]);
    bool released = false;
    camera->Modify([&](vcam::State& s) {
      std::ofstream(argv[2]) << "held\n";
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!(released = std::filesystem::exists(argv[3])) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      s.value[0x41][0] = 11;
    });
    return released ? 0 : 3;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lock holder: %s\n", e.what());
    return 1;
  }
}
