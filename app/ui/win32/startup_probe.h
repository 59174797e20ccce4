// Start-up measurement for scripts/startup-bench-wine.sh: with
// PRESETS_STARTUP_PROBE set to the launch time (nanoseconds since the Unix
// epoch), the program prints how long it took until its window was first
// painted, and ends at once.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace presets::ui::win32 {

inline long long StartupProbeLaunch() {
  const char* launched = std::getenv("PRESETS_STARTUP_PROBE");
  return launched == nullptr || *launched == '\0' ? 0 : std::strtoll(launched, nullptr, 10);
}

inline void ReportFirstPaint() {
  const long long launched = StartupProbeLaunch();
  if (launched == 0) return;
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  const long long ticks = static_cast<long long>((static_cast<unsigned long long>(now.dwHighDateTime) << 32) |
                                                 now.dwLowDateTime);
  constexpr long long kEpochTicks = 116444736000000000LL;  // 1970-01-01 in 100 ns since 1601
  const long long nanoseconds = (ticks - kEpochTicks) * 100;
  char line[64];
  const int length = std::snprintf(line, sizeof line, "shown_ms=%.2f\n",
                                   static_cast<double>(nanoseconds - launched) / 1e6);
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
  ::ExitProcess(0);
}

}  // namespace presets::ui::win32
