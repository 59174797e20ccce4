// A second process for the camera mutex tests. It opens the named mutex in the
// namespace it inherits and:
//   hold NAME READY RELEASE  takes it, creates READY, keeps it until RELEASE
//                            exists (at most 30 s), releases it, exits 0
//   die NAME READY           takes it, creates READY and ends without releasing
//   count NAME FILE N        N times: under the mutex, reads the number in FILE,
//                            adds one and writes it back
// Exit codes: 0 done, 2 usage, 3 open failed, 4 lock failed, 5 release never came.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/named_mutex.h"

namespace {

void Touch(const std::string& path) { std::ofstream(path) << "x\n"; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string mode = argv[1];
  auto mutex = platform::OpenNamedMutex(argv[2]);
  if (!mutex) return 3;

  if (mode == "hold" && argc == 5) {
    if (!platform::Owns(mutex->Lock(platform::kWaitForever))) return 4;
    Touch(argv[3]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!std::filesystem::exists(argv[4])) {
      if (std::chrono::steady_clock::now() >= deadline) {
        mutex->Unlock();
        return 5;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    mutex->Unlock();
    return 0;
  }
  if (mode == "die" && argc == 4) {
    if (!platform::Owns(mutex->Lock(platform::kWaitForever))) return 4;
    Touch(argv[3]);
    std::_Exit(0);  // no unlock, no destructors: the owner simply dies
  }
  if (mode == "count" && argc == 5) {
    const int rounds = std::atoi(argv[4]);
    for (int i = 0; i < rounds; ++i) {
      if (!platform::Owns(mutex->Lock(platform::kWaitForever))) return 4;
      int64_t value = 0;
      {
        std::ifstream in(argv[3]);
        in >> value;
      }
      std::ofstream(argv[3], std::ios::trunc) << value + 1 << "\n";
      mutex->Unlock();
    }
    return 0;
  }
  return 2;
}
