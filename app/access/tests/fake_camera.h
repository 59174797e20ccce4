// Test support: a scripted stand-in for the camera control library's object.
// Every object the factory makes shares one script and one log, in which each
// call appears as "#n Method(arguments)" (n: the object's creation number),
// along with "new #n" and "release #n" when the last reference goes.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/access/camera_access.h"
#include "camctl/object/interfaces.h"

namespace presets::testing {

struct FakeScript {
  std::vector<std::string> devices = {"DV Camera#0800460102ab0001"};
  HRESULT enumerateResult = S_OK;  // S_FALSE: count and list left unwritten
  HRESULT createResult = S_OK;     // the factory's result
  std::deque<LONG> presetStates;   // answered in turn; the last one repeats
  std::map<LONG, LONG> status;     // GetStatus answers by function
  std::map<LONG, LONG> permission;
  std::map<LONG, std::u16string> names;
  // Failing results by call text ("SetStatus(32)", "SelectPreset(2)", "GetPresetState").
  std::map<std::string, HRESULT> failures;
  std::vector<std::string> log;
  int created = 0;
};

// A factory for CameraAccess whose objects follow `script`.
CameraObjectFactory FakeFactory(std::shared_ptr<FakeScript> script);

}  // namespace presets::testing
