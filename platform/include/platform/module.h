// Facts about the loaded library module and its files.
#pragma once

#include <filesystem>

#include "platform/com.h"

namespace platform {

// Full path of the library file that contains the calling code.
ComString ModuleFilePath();

// The diagnostic log file every new camera control object deletes:
// "C:\ORVANELogFile.txt" on Windows; on Linux "ORVANELogFile.txt" in
// $VELQUIN_LOG_DIR, else $XDG_STATE_HOME/velquin, else ~/.local/state/velquin
// (the account's home directory when HOME is unset); empty when there is no
// home directory at all.
std::filesystem::path DiagnosticLogPath();

// Deletes the diagnostic log when it is a file; a folder of that name is left
// alone. Whether anything was deleted is not reported.
void DeleteDiagnosticLog() noexcept;

}  // namespace platform
