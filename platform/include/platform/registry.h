// The registry as the core sees it: the real registry on Windows, the host
// registry store elsewhere. Key paths use '\' separators and are case-insensitive.
#pragma once

#include <functional>

#include "platform/com.h"

namespace platform::registry {

enum class Root { ClassesRoot, LocalMachine };

// Creates the key (and its parents) if needed and sets a string value; an
// empty value name sets the key's default value.
HRESULT SetString(Root root, ComStringView keyPath, ComStringView valueName, ComStringView value);
// Creates the key (and its parents) if needed.
HRESULT CreateKey(Root root, ComStringView keyPath);
// Deletes the key with all its subkeys and values; S_OK when it did not exist.
HRESULT DeleteTree(Root root, ComStringView keyPath);
// Reads a string value; HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when the key or value is missing.
HRESULT GetString(Root root, ComStringView keyPath, ComStringView valueName, ComString& value);
bool KeyExists(Root root, ComStringView keyPath);

// Runs `body` as one change: on the host every registry call of this thread
// inside `body` works on one locked copy that is written once at the end, and
// nothing is written when `body` fails (its result is returned). On Windows
// the calls go straight to the registry.
HRESULT RunBatch(const std::function<HRESULT()>& body);

}  // namespace platform::registry
