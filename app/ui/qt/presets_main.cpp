// presets: the preset manager's main window against the camera control
// library, reached through COM.
#include <QApplication>
#include <QTimer>
#include <cstdio>

#include "app/access/camera_access.h"
#include "app/ui/qt/startup_probe.h"
#include "app/ui/qt/windows.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  presets::ui::qt::ApplyApplicationLook(app);
  const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) {
    std::fprintf(stderr, "presets: CoInitializeEx failed (0x%08X)\n", static_cast<unsigned>(hr));
    return 1;
  }
  int status = 0;
  {
    presets::CameraAccess access(presets::ComCameraObjectFactory());
    presets::ui::qt::MainWindow window(access);
    const bool probing = presets::ui::qt::StartupProbe::Install(window) != nullptr;
    window.Presenter().Start();
    window.show();
    // The reminder comes once the main window is on screen.
    if (!probing) QTimer::singleShot(0, &window, [&window] { window.Presenter().AfterShown(); });
    status = app.exec();
  }  // the last library object is released here
  ::CoUninitialize();
  return status;
}
