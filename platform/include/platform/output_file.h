// A new file filled through memory: a temporary file created exclusively
// beside the target (an unpredictable name, never through a link), mapped,
// renamed onto the target by Commit. A file never committed is removed, and
// only while it is still the one created, so a failed copy leaves nothing
// behind and never deletes anyone else's file. Leftovers of our processes that
// were killed are removed from the target's folder when the next file is made
// there: our own name pattern, regular files of this user whose creating
// process is gone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace platform {

class MappedOutputFile {
 public:
  virtual ~MappedOutputFile() = default;
  // The file's bytes (null for an empty file).
  virtual uint8_t* data() = 0;
  // Writes the file out and puts it in place; false and a message when that fails.
  virtual bool Commit(std::string& error) = 0;
};

// Creates the temporary file with `size` bytes; null and a message when it cannot.
std::unique_ptr<MappedOutputFile> CreateMappedOutputFile(const std::filesystem::path& target, uint64_t size,
                                                         std::string& error);

}  // namespace platform
