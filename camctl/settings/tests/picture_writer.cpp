// A second process for the interleaving test: selects the only camera of
// $VCAM_HOME through its own CameraControl object and writes one picture
// setting again and again. Prints how many writes succeeded; exit 0 when at
// least one did and every other one only missed the camera mutex.
#include <cstdio>
#include <cstdlib>

#include "camctl/common/results.h"
#include "camctl/object/camera_control.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: picture_writer FUNCTION VALUE COUNT\n", stderr);
    return 2;
  }
  const LONG function = std::atoi(argv[1]);
  const LONG value = std::atoi(argv[2]);
  const int count = std::atoi(argv[3]);

  ICDVEnumDevice* devices = nullptr;
  if (camctl::CameraControl::Create(nullptr, IID_ICDVEnumDevice, reinterpret_cast<void**>(&devices)) != S_OK)
    return 1;
  int status = 1;
  SAFEARRAY* list = nullptr;
  LONG found = 0;
  ICDVCameraControl* control = nullptr;
  if (devices->EnumerateDevice(&list, &found) == S_OK && found == 1 &&
      devices->QueryInterface(IID_ICDVCameraControl, reinterpret_cast<void**>(&control)) == S_OK) {
    LONG index = 0;
    BSTR id = nullptr;
    SafeArrayGetElement(list, &index, &id);
    if (devices->SelectDevice(id) == S_OK) {
      int written = 0, missed = 0, failed = 0;
      for (int i = 0; i < count; ++i) {
        const HRESULT hr = control->SetStatus(function, value);
        if (hr == S_OK)
          ++written;
        else if (hr == camctl::CAM_E_LOCK_TIMEOUT)
          ++missed;
        else
          ++failed;
      }
      std::printf("written %d missed %d failed %d\n", written, missed, failed);
      status = written > 0 && failed == 0 ? 0 : 1;
    }
    SysFreeString(id);
  }
  if (list) SafeArrayDestroy(list);
  if (control) control->Release();
  devices->Release();
  return status;
}
