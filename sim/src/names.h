// Host folders presented as camera folders: 8.3 names, safe path resolution.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"

namespace vcam::detail {

struct HostEntry {
  std::string host;       // the name on disk
  std::string presented;  // the name the camera shows (8.3 on media)
  bool folder = false;
  bool readOnly = false;
  uint32_t size = 0;
  int64_t mtime = 0;  // seconds since the epoch
};

// How a base folder presents its names: media show upper-case 8.3 names
// (other host names get "~n" aliases); the device namespace shows host names.
enum class Presentation { Media, Namespace };

// True for a valid 8.3 name (1-8 characters, optional dot and 1-3 characters
// of extension, no characters FAT refuses).
bool IsValid83(std::string_view name);

// Lists an open host folder as the camera presents it, sorted by presented
// name. Skips hidden names (leading '.'), symbolic links and anything that is
// neither a regular file nor a folder. False when the folder cannot be read.
bool ListHostFolder(int folderFd, Presentation presentation, std::vector<HostEntry>& entries);

// A frame path resolved inside a base folder. Every folder on the way was
// opened without following links, so `parent` is inside the base whatever
// is renamed or linked meanwhile.
struct Resolved {
  UniqueFd parent;        // the containing folder; for "\" the base itself
  std::string leaf;       // host name in `parent` (new files: as given); empty for "\"
  std::string presented;  // the path as the camera writes it back, "\A\B.C"
  bool exists = false;
  bool folder = false;
  bool readOnly = false;
  uint32_t size = 0;
};

// Opens the folder a resolved path names (the base itself for "\").
UniqueFd OpenResolvedFolder(const Resolved& resolved);

// Resolves a frame path ("\DCIM\IMG_0001.JPG", "A.TXT", "\") inside the open base folder.
// Refuses (returns a failure status byte) "..", ".", empty components, '/',
// ':' (drive letters), wildcards and control characters, components that are
// not 8.3 names on media, and paths through files. A missing last component
// is allowed when `allowMissingLeaf` (the parent must exist). Returns 0 on success.
uint8_t ResolvePath(int baseFd, std::string_view path, Presentation presentation, bool allowMissingLeaf,
                    Resolved& out);

}  // namespace vcam::detail
