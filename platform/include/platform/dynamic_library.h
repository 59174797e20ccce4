// Loading a shared library and finding its exports by name: dlopen on Linux,
// LoadLibraryW on Windows.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace platform {

class DynamicLibrary {
 public:
  virtual ~DynamicLibrary() = default;  // unloads the library
  // The address of an export, or null when the library has none of that name.
  virtual void* Symbol(const char* name) const = 0;
};

// Loads a library; null and a message when it cannot be loaded.
std::unique_ptr<DynamicLibrary> LoadDynamicLibrary(const std::filesystem::path& path, std::string& error);

// The file name of a library as the platform names it ("torwen.so", "torwen.dll").
std::string DynamicLibraryFileName(const std::string& stem);

// True when standard output is a terminal (a person is watching).
bool StandardOutputIsTerminal();

}  // namespace platform
