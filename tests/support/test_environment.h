// Environment variables of the test process, on both platforms.
#pragma once

#include <cstdlib>
#include <string>

namespace velquin_testing {

// Sets a variable of this process's environment (child processes inherit it);
// an empty value removes it.
inline void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  (void)_putenv_s(name, value.c_str());
#else
  if (value.empty()) {
    ::unsetenv(name);
  } else {
    ::setenv(name, value.c_str(), 1);
  }
#endif
}

}  // namespace velquin_testing
