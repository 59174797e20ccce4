// A file to send somewhere, read through memory: opened without blocking
// (a FIFO or a device never stalls the caller), refused unless it is a
// regular file, its size checked before anything is read, and mapped
// read-only so that even a large file is never copied into memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace platform {

class MappedInputFile {
 public:
  virtual ~MappedInputFile() = default;
  // The file's bytes (null for an empty file).
  virtual const uint8_t* data() const = 0;
  virtual uint64_t size() const = 0;
};

enum class InputFileStatus {
  Ok,
  NotRegular,  // a folder, FIFO, device or socket
  TooLarge,    // above the caller's limit; nothing read
  Failed,      // the system's error, in the message
};

// Opens and maps the file; `error` says why when the status is not Ok.
InputFileStatus OpenMappedInputFile(const std::filesystem::path& path, uint64_t maxSize,
                                    std::unique_ptr<MappedInputFile>& file, std::string& error);

}  // namespace platform
