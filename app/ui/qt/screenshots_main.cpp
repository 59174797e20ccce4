// Renders every window of the preset manager into PNG files: the main window
// in both layouts, the file browser (over a sample folder), the overwrite
// warning, the delete confirmation, the reminder and the about window.
// Usage: presets_screenshots OUTPUT_FOLDER [SAMPLE_FOLDER]
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <cstdio>

#include "app/ui/qt/windows.h"

namespace {

using presets::ui::qt::FormWidgets;

bool Save(QWidget& window, const QDir& folder, const QString& name) {
  window.show();
  QApplication::processEvents();
  const QString path = folder.filePath(name + QStringLiteral(".png"));
  const bool saved = window.grab().save(path);
  std::printf("%s %s\n", saved ? "wrote" : "FAILED", path.toUtf8().constData());
  window.hide();
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  presets::ui::qt::ApplyApplicationLook(app);
  if (argc < 2) {
    std::fprintf(stderr, "usage: presets_screenshots OUTPUT_FOLDER [SAMPLE_FOLDER]\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  if (!QDir().mkpath(out.path())) return 1;
  const std::filesystem::path samples = argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::current_path();

  // No camera is contacted: the windows are only drawn.
  presets::CameraAccess access([](IUnknown**) { return E_FAIL; });
  presets::ui::qt::MainWindow main(access);
  main.Presenter().Start();
  presets::EditorValues values = main.Editors();
  values.presetName = COM_TEXT("SUNSET");
  values.description = COM_TEXT("Warm evening light, lifted blacks");
  values[presets::Setting::Red] = 2;
  values[presets::Setting::Blue] = -3;
  main.SetEditors(values);
  bool ok = Save(main, out, QStringLiteral("main-layout1"));
  main.Presenter().OnLayout();
  ok = Save(main, out, QStringLiteral("main-layout2")) && ok;
  main.Presenter().OnLayout();

  presets::ui::qt::BrowserWindow browser(&main, main, samples);
  browser.SetLoadMode(true);
  if (browser.Form().As<QListWidget>("File1")->count() > 0) {
    browser.SelectFile(0);
  }
  ok = Save(browser, out, QStringLiteral("browser")) && ok;
  browser.Warning().Form().As<QLabel>("frmWarning")->setText(
      QStringLiteral("This will overwrite the file evening.dqx. Do you want to continue?"));
  ok = Save(browser.Warning(), out, QStringLiteral("warning")) && ok;
  browser.Deletion().Form().As<QLabel>("Label2")->setText(QStringLiteral("evening.dqx"));
  browser.Deletion().Form().As<QLineEdit>("Text1")->setText(
      QString::fromStdString((samples / "evening.dqx").string()));
  ok = Save(browser.Deletion(), out, QStringLiteral("delete")) && ok;
  ok = Save(main.Reminder(), out, QStringLiteral("reminder")) && ok;
  ok = Save(main.About(), out, QStringLiteral("about")) && ok;
  return ok ? 0 : 1;
}
