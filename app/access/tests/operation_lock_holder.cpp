// The other program of the operation lock tests: takes the operation lock of
// the camera identifier given, creates READY, waits for RELEASE (at most 30 s)
// and lets go. Exit codes: 0 done, 1 lock not taken, 2 bad usage, 3 no release in time.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/access/operation_lock.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s IDENTIFIER READY RELEASE\n", argv[0]);
    return 2;
  }
  presets::OperationLocks locks(std::chrono::seconds(10));
  if (locks.Acquire(argv[1]) != presets::LockOutcome::Held) return 1;
  std::ofstream(argv[2]) << "held\n";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!std::filesystem::exists(argv[3])) {
    if (std::chrono::steady_clock::now() >= deadline) return 3;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return 0;
}
