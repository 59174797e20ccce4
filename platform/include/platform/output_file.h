// A new file filled through memory: a temporary file beside the target,
// mapped, renamed onto the target by Commit. A file never committed is
// removed, so a failed copy leaves nothing behind.
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
