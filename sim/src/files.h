// The camera's files, opened so that nothing outside its folder is ever
// reached and nothing can make a process wait: every path is walked from an
// open folder one component at a time without following links, and every
// file is opened non-blocking, close-on-exec, and must be a regular file.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"

namespace vcam::detail {

// Opens the folder `relative` ("media/0/1"; "" is the folder itself) below
// `dirFd`. Fails (invalid fd, errno set) on a link, a non-folder, an empty,
// "." or ".." component.
UniqueFd OpenFolderAt(int dirFd, std::string_view relative) noexcept;

// Opens the regular file `relative` below `dirFd` with `flags` (O_RDONLY,
// O_WRONLY | O_CREAT | O_APPEND, ...). A link, FIFO, device, socket or
// folder in its place fails: errno ELOOP for a link, EINVAL for anything
// else that is not a regular file.
UniqueFd OpenFileAt(int dirFd, std::string_view relative, int flags, mode_t mode = 0644) noexcept;

// The names in an open folder, "." and ".." left out; false when it cannot
// be read. The listing has its own descriptor: `dirFd` is not moved.
bool FolderNamesAt(int dirFd, std::vector<std::string>& names) noexcept;

// Writes all of `size` bytes, resuming after short writes; false on failure.
bool WriteAll(int fd, const void* data, size_t size) noexcept;

// Reads at most `capacity` bytes of a regular file; -1 when it cannot be
// opened or read.
long ReadSmallFileAt(int dirFd, std::string_view relative, uint8_t* buffer, size_t capacity) noexcept;

// Reads a whole regular file of at most `max` bytes (false, errno EFBIG,
// when it is longer).
bool ReadTextFileAt(int dirFd, std::string_view relative, std::string& text, size_t max) noexcept;

// Creates a new, empty temporary file in the folder with an unpredictable
// name (".vcam-tmp-PID-RANDOM"), exclusively: a name that exists, link or
// not, is never opened. Its name is left in `name`.
UniqueFd CreateTemporaryAt(int dirFd, std::string& name) noexcept;

// Writes a file atomically: a temporary file beside it, then rename. The
// folder's stale temporaries of dead processes are removed afterwards.
bool WriteFileAtomicAt(int dirFd, std::string_view relative, const uint8_t* data, size_t size) noexcept;

// Creates the folders of `relative` below `dirFd` (existing ones are
// kept; links are never followed). False on failure.
bool MakeFoldersAt(int dirFd, std::string_view relative, mode_t mode = 0755) noexcept;

// Removes `name` in `dirFd` and, for a folder, everything in it; links are
// removed, never followed. False when something could not be removed.
bool RemoveTreeAt(int dirFd, const std::string& name) noexcept;

// True for a name this code gives its temporaries; `pid` is the creator.
bool IsTemporaryName(std::string_view name, pid_t& pid) noexcept;
// True when the process `pid` no longer runs.
bool ProcessGone(pid_t pid) noexcept;
// Removes the temporaries in the folder whose creating process is gone
// (regular files and links only, never followed).
void RemoveStaleTemporariesAt(int dirFd) noexcept;

// 16 random hexadecimal digits.
std::string RandomToken();

}  // namespace vcam::detail
