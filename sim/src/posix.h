// The POSIX calls the virtual camcorder makes: the system's own on Linux,
// a small Windows implementation of the same subset elsewhere. Include it
// after every other header (on Windows it renames a few POSIX names).
#pragma once

#ifdef _WIN32
#include "posix_win32.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#endif
