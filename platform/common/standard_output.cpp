#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "platform/files.h"

namespace platform {

int FinishStandardOutput(std::string_view program, int status) noexcept {
  // Both ways in: the C++ stream, then the C stream it writes through. The
  // close itself can report a delayed write error.
  // The first failure's errno says why; a later call may clear it.
  errno = 0;
  std::cout.flush();
  bool lost = std::cout.fail();
  int error = errno;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    lost = true;
    if (error == 0) error = errno;
  }
  if (std::fclose(stdout) != 0) {
    lost = true;
    if (error == 0) error = errno;
  }
  if (!lost || status != 0) return status;
  std::fprintf(stderr, "%.*s: cannot write to standard output%s%s\n", static_cast<int>(program.size()),
               program.data(), error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
  return 1;
}

}  // namespace platform
