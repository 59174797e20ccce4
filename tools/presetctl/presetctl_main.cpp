// presetctl: the preset manager's camera operations and settings file from
// the command line (see presetctl --help).
#include <iostream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tools/presetctl/presetctl_commands.h"

int main(int argc, char** argv) {
  platform::SetStandardOutputBinary();
  const std::vector<std::string> args(argv + 1, argv + argc);
  const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) {
    std::cerr << "presetctl: CoInitializeEx failed\n";
    return presets::cli::kExitFailure;
  }
  const int status = presets::cli::Run(args, presets::ComCameraObjectFactory(), std::cout, std::cerr);
  ::CoUninitialize();
  return platform::FinishStandardOutput("presetctl", status);
}
