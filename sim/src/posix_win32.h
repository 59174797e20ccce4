// The subset of POSIX the virtual camcorder uses, on Windows. Folders are
// opened as C runtime descriptors like files, so an `int` folder descriptor
// and the *at() calls work as on Linux: a name is opened below the folder's
// own path, links (reparse points) are never followed where the POSIX call
// would not follow them, and every file is opened shareable for reading,
// writing and deletion, so that renaming over or removing a file another
// process holds open works as it does on Linux.
//
// The names the C runtime lacks or gives another meaning (struct stat,
// fstat, flock, mmap, ...) are renamed to vcam_* by macros: include this
// header after every other one.
#pragma once

#ifndef _WIN32
#error "posix_win32.h is the Windows implementation only"
#endif

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utime.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

// Open flags the C runtime does not know; bits it does not use.
#ifndef O_DIRECTORY
#define O_DIRECTORY 0x10000
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0x20000
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0x40000
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0x80000
#endif

#define AT_SYMLINK_NOFOLLOW 0x100
#define AT_REMOVEDIR 0x200
#define RENAME_NOREPLACE 1u

#ifndef S_IFLNK
#define S_IFLNK 0xA000
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) (((m) & S_IFMT) == S_IFLNK)
#endif
#ifndef S_ISREG
#define S_ISREG(m) (((m) & S_IFMT) == S_IFREG)
#endif

#define LOCK_SH 1
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8

#define PROT_READ 1
#define PROT_WRITE 2
#define MAP_SHARED 1
#define MAP_FAILED (reinterpret_cast<void*>(-1))

// The thread library's clock_gettime; its coarse clock is the plain one.
#undef CLOCK_REALTIME_COARSE
#define CLOCK_REALTIME_COARSE CLOCK_REALTIME

// What the camcorder reads of a file's status. st_dev is the volume's
// serial number and st_ino the file's index on it.
struct vcam_stat {
  uint64_t st_dev = 0;
  uint64_t st_ino = 0;
  unsigned st_mode = 0;
  int64_t st_size = 0;
  timespec st_mtim{};
  timespec st_ctim{};
};

struct vcam_dirent {
  char d_name[1024];
};
struct vcam_DIR;

// Opens a path (UTF-16, as std::filesystem holds it on Windows).
int open(const wchar_t* path, int flags, int mode = 0);

int vcam_openat(int dirFd, const char* name, int flags, int mode = 0);
int vcam_fstat(int fd, vcam_stat* st);
int vcam_fstatat(int dirFd, const char* name, vcam_stat* st, int flags);
int vcam_mkdirat(int dirFd, const char* name, int mode);
int vcam_unlinkat(int dirFd, const char* name, int flags);
int vcam_renameat(int fromDirFd, const char* from, int toDirFd, const char* to);
int vcam_renameat2(int fromDirFd, const char* from, int toDirFd, const char* to, unsigned flags);
vcam_DIR* vcam_fdopendir(int fd);
vcam_dirent* vcam_readdir(vcam_DIR* dir);
int vcam_closedir(vcam_DIR* dir);
int vcam_flock(int fd, int operation);
void* vcam_mmap(void* address, size_t length, int protection, int flags, int fd, int64_t offset);
int vcam_munmap(void* address, size_t length);
// Unlike POSIX, both move the descriptor's position (ReadFile/WriteFile at an
// offset on a synchronous handle do): callers must not rely on it.
ptrdiff_t vcam_pread(int fd, void* buffer, size_t count, int64_t offset);
ptrdiff_t vcam_pwrite(int fd, const void* buffer, size_t count, int64_t offset);
int vcam_kill(int pid, int signal);
ptrdiff_t vcam_getrandom(void* buffer, size_t length, unsigned flags);
tm* vcam_gmtime_r(const time_t* time, tm* result);

#undef stat
#undef fstat
#define stat vcam_stat
#define fstat vcam_fstat
#define dirent vcam_dirent
#define DIR vcam_DIR
#define openat vcam_openat
#define fstatat vcam_fstatat
#define mkdirat vcam_mkdirat
#define unlinkat vcam_unlinkat
#define renameat vcam_renameat
#define renameat2 vcam_renameat2
#define fdopendir vcam_fdopendir
#define readdir vcam_readdir
#define closedir vcam_closedir
#define flock vcam_flock
#define mmap vcam_mmap
#define munmap vcam_munmap
#define pread vcam_pread
#define pwrite vcam_pwrite
#define kill vcam_kill
#define getrandom vcam_getrandom
#define gmtime_r vcam_gmtime_r
