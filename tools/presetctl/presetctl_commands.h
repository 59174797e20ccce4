// presetctl's commands over the application's camera operations, with the
// camera control object factory and the output streams given by the caller.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "app/access/camera_access.h"

namespace presets::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Runs one command line (without the program name). Messages go to `err`
// as single lines starting with "presetctl: ".
int Run(const std::vector<std::string>& args, CameraObjectFactory factory, std::ostream& out, std::ostream& err,
        PresetStateWait wait = {});

}  // namespace presets::cli
