// presets: the preset manager's main window against the camera control
// library, reached through COM.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "app/access/camera_access.h"
#include "app/ui/win32/startup_probe.h"
#include "app/ui/win32/windows.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const INITCOMMONCONTROLSEX controls{sizeof controls,
                                      ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_LINK_CLASS | ICC_WIN95_CLASSES};
  ::InitCommonControlsEx(&controls);
  const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) {
    ::MessageBoxW(nullptr, L"The program could not start COM.", nullptr, MB_OK | MB_ICONERROR);
    return 1;
  }
  int status = 0;
  {
    presets::CameraAccess access(presets::ComCameraObjectFactory());
    presets::ui::win32::MainWindow window(access);
    window.Presenter().Start();
    window.Show(presets::ui::win32::StartupProbeLaunch() != 0);
    MSG message;
    BOOL got;
    while ((got = ::GetMessageW(&message, nullptr, 0, 0)) > 0) {
      if (window.Handle() != nullptr && ::IsDialogMessageW(window.Handle(), &message)) continue;
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
    status = got == 0 ? static_cast<int>(message.wParam) : 1;
  }  // the last library object is released here
  ::CoUninitialize();
  return status;
}
