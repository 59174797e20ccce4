// The smallest Qt Widgets program: one empty window, measured like presets.
#include <QApplication>
#include <QWidget>

#include "app/ui/qt/startup_probe.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.resize(763, 650);
  presets::ui::qt::StartupProbe::Install(window);
  window.show();
  return app.exec();
}
