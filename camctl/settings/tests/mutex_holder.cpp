// A second process for the setting tests: opens the camera mutex in the
// namespace it inherits, takes it, creates READY and keeps it until RELEASE
// exists (at most 30 s). Exit codes: 0 done, 2 usage, 3 open failed,
// 4 lock failed, 5 release never came.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "camctl/channel/command_channel.h"
#include "platform/named_mutex.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  auto mutex = platform::OpenNamedMutex(camctl::kCameraMutexName);
  if (!mutex) return 3;
  if (!platform::Owns(mutex->Lock(platform::kWaitForever))) return 4;
  std::ofstream(argv[1]) << "held\n";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int code = 0;
  while (!std::filesystem::exists(argv[2])) {
    if (std::chrono::steady_clock::now() >= deadline) {
      code = 5;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  mutex->Unlock();
  return code;
}
