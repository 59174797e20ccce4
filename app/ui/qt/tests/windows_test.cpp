// The Qt windows under the offscreen platform: built from the tables (every
// control with its caption, tool tip and geometry in both layouts), clicks and
// choices reaching their handlers, focus orders, level boxes and typing limits.
#include <QAbstractButton>
#include <QClipboard>
#include <QListWidget>
#include <QTimer>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/access/tests/fake_camera.h"
#include "app/ui/qt/windows.h"

using namespace presets;
using namespace presets::ui;
using namespace presets::ui::qt;

class WindowsTest : public QObject {
  Q_OBJECT

 private:
  std::shared_ptr<testing::FakeScript> script_ = std::make_shared<testing::FakeScript>();
  std::unique_ptr<CameraAccess> access_;
  std::unique_ptr<MainWindow> main_;

  QWidget* W(const char* name) { return main_->findChild<QWidget*>(QString::fromUtf8(name)); }

  static void CheckForm(QWidget& window, const FormSpec& spec, int layout) {
    QCOMPARE(window.width(), TwipsToPixels(spec.clientWidth));
    QCOMPARE(window.height(), TwipsToPixels(spec.clientHeight));
    for (const ControlSpec& control : spec.controls) {
      const QString name = ToQ(control.name);
      auto* widget = window.findChild<QWidget*>(name);
      QVERIFY2(widget != nullptr, qPrintable(name));
      const QRect place = PixelRect(Place(control, layout));
      if (control.kind == ControlKind::Label && control.align == Align::Right) {
        QVERIFY2(widget->geometry().right() == place.right() && widget->geometry().top() == place.top() &&
                     widget->geometry().left() <= place.left(),
                 qPrintable(name));
      } else {
        QVERIFY2(widget->geometry() == place, qPrintable(name));
      }
      QCOMPARE(widget->toolTip(), ToQ(control.tooltip));
      if (!control.parent.empty()) QCOMPARE(widget->parentWidget()->objectName(), ToQ(control.parent));
      if (control.caption.empty()) continue;
      if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        if (control.name != "Command9" && control.name != "Command10") QCOMPARE(button->text(), ToQ(control.caption));
      } else if (auto* label = qobject_cast<QLabel*>(widget); label && control.kind == ControlKind::Label) {
        QCOMPARE(label->text(), ToQ(control.caption));
      }
    }
  }

  // The table's widgets in the order Tab reaches them, from the first one.
  static QStringList FocusChain(QWidget& window, const FormSpec& spec, int count) {
    QStringList seen;
    QWidget* first = window.findChild<QWidget*>(ToQ(spec.focusOrder1.front()));
    QWidget* w = first;
    for (int guard = 0; guard < 1000 && seen.size() < count; ++guard) {
      if ((w->focusPolicy() & Qt::TabFocus) && FindControl(spec, w->objectName().toStdString()) != nullptr &&
          !seen.contains(w->objectName()))
        seen << w->objectName();
      w = w->nextInFocusChain();
    }
    return seen;
  }

 private slots:
  void initTestCase() { ApplyApplicationLook(*qApp); }
  void init() {
    script_ = std::make_shared<testing::FakeScript>();
    access_ = std::make_unique<CameraAccess>(testing::FakeFactory(script_),
                                             PresetStateWait{std::chrono::milliseconds(0), 3, [](auto) {}});
    main_ = std::make_unique<MainWindow>(*access_);
    main_->Presenter().Start();
    main_->show();
    QVERIFY(QTest::qWaitForWindowExposed(main_.get()));
  }
  void cleanup() { main_.reset(); }

  void mainWindowBuildsFromTheTableInBothLayouts() {
    QCOMPARE(main_->windowTitle(), QStringLiteral("Marrowfield KV7 Presets Manager"));
    CheckForm(*main_, MainForm(), 1);
    QCOMPARE(qobject_cast<QAbstractButton*>(W("Command10"))->text(), QStringLiteral("Layout 1"));
    QCOMPARE(qobject_cast<QAbstractButton*>(W("Command9"))->text(), QStringLiteral("Lock Preset"));
    QVERIFY(!W("Command1")->isEnabled() && !W("Command3")->isEnabled() && !W("Command9")->isEnabled());
    QTest::mouseClick(W("Command10"), Qt::LeftButton);
    CheckForm(*main_, MainForm(), 2);
    QCOMPARE(qobject_cast<QAbstractButton*>(W("Command10"))->text(), QStringLiteral("Layout 2"));
    QCOMPARE(script_->created, 0);
  }

  void focusOrderFollowsTheLayout() {
    for (int layout : {1, 2}) {
      const auto order = layout == 2 ? MainForm().focusOrder2 : MainForm().focusOrder1;
      QStringList expected;
      for (std::string_view name : order) expected << ToQ(name);
      QCOMPARE(FocusChain(*main_, MainForm(), static_cast<int>(expected.size())), expected);
      QTest::mouseClick(W("Command10"), Qt::LeftButton);
    }
  }

  void otherWindowsBuildFromTheirTables() {
    BrowserWindow& browser = main_->Browser();
    CheckForm(browser, BrowserForm(), 1);
    QCOMPARE(browser.windowTitle(), QStringLiteral("Marrowfield KV7 Presets Manager"));
    CheckForm(browser.Warning(), WarningForm(), 1);
    CheckForm(browser.Deletion(), DeleteForm(), 1);
    QCOMPARE(browser.Deletion().windowTitle(), QStringLiteral("Delete File"));
    CheckForm(main_->Reminder(), ReminderForm(), 1);
    CheckForm(main_->About(), AboutForm(), 1);
    QCOMPARE(main_->About().windowTitle(), QStringLiteral("About Marrowfield KV7 Presets Manager"));
    QCOMPARE(main_->About().findChild<QLabel*>("lblVersion")->text(), QStringLiteral("Version 2.0.34"));
    QCOMPARE(main_->About().findChild<QLabel*>("lblTitle")->text(),
             QStringLiteral("Marrowfield KV7 Presets Manager For Windows XP SP1 and above"));
  }

  void clicksReachTheHandlers() {
    auto* red = qobject_cast<QScrollBar*>(W("HScroll_Red"));
    red->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    QCOMPARE(qobject_cast<QLineEdit*>(W("Text_Red"))->text(), QStringLiteral("1"));
    QTest::mouseClick(W("Command7"), Qt::LeftButton);
    QCOMPARE(red->value(), 0);
    QCOMPARE(qobject_cast<QLineEdit*>(W("Text_Red"))->text(), QStringLiteral("0"));

    script_->permission[2] = 1;
    script_->status[24] = 10;  // Red Gain +4
    auto* selector = qobject_cast<QComboBox*>(W("Combo_Settings"));
    selector->setCurrentIndex(1);
    emit selector->activated(1);
    QCOMPARE(qobject_cast<QAbstractButton*>(W("Command9"))->text(), QStringLiteral("Unlock Preset"));
    QVERIFY(W("Command9")->isEnabled() && !W("Command1")->isEnabled());
    QTest::mouseClick(W("Command2"), Qt::LeftButton);
    QCOMPARE(red->value(), 4);
    QCOMPARE(qobject_cast<QLineEdit*>(W("Text_Red"))->text(), QStringLiteral("4"));
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QVERIFY(script_->log.end() != std::find(script_->log.begin(), script_->log.end(), "#2 SelectPreset(2)"));
  }

  void levelBoxAppliesWhenItLosesTheFocusAndTypingLimits() {
    main_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(main_.get()));
    auto* box = qobject_cast<QLineEdit*>(W("Text_Coring"));
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, "-9x");
    QCOMPARE(box->text(), QStringLiteral("-9"));  // two typed characters at most
    W("Text_PresetName")->setFocus();
    QCOMPARE(box->text(), QStringLiteral("0"));
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, "-5");
    W("Text_PresetName")->setFocus();
    QCOMPARE(qobject_cast<QScrollBar*>(W("HScroll_Coring"))->value(), -5);

    auto* gain = qobject_cast<QScrollBar*>(W("HScroll_ColorGain"));
    gain->setFocus();
    QTest::keyClick(gain, Qt::Key_Right);
    QTest::keyClick(gain, Qt::Key_Right);
    QTest::keyClick(gain, Qt::Key_Left);
    QCOMPARE(gain->value(), 1);
    QCOMPARE(qobject_cast<QLineEdit*>(W("Text_ColorGain"))->text(), QStringLiteral("1"));

    auto* name = qobject_cast<QLineEdit*>(W("Text_PresetName"));
    name->setFocus();
    QTest::keyClicks(name, "ABCDEFGHIJ");
    QCOMPARE(name->text(), QStringLiteral("ABCDEFGH"));
    EditorValues values = main_->Editors();
    values.presetName = COM_TEXT("LONGER NAME");
    main_->SetEditors(values);
    QCOMPARE(name->text(), QStringLiteral("LONGER NAME"));  // not cut
    name->setCursorPosition(11);
    QTest::keyClick(name, Qt::Key_Backspace);
    QCOMPARE(name->text(), QStringLiteral("LONGER NAM"));

    // A level that reads as the bar's position in another form shows it.
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, ".5");
    QCOMPARE(box->text(), QStringLiteral(".5"));
    W("Text_PresetName")->setFocus();
    QCOMPARE(box->text(), QStringLiteral("0"));
  }

  // Pasting (the context menu's Paste calls paste()) obeys the typing limit:
  // what fits is inserted, the rest dropped.
  void pastingObeysTheTypingLimit() {
    struct Case {
      const char* box;
      QString before;
      QString pasted;
      QString after;
    };
    const QString hundred(100, QChar('d'));
    for (const Case& c : {Case{"Text_PresetName", "AB", "123456789", "AB123456"},
                          Case{"Text_PresetName", "", "ABCDEFGHIJ", "ABCDEFGH"},
                          Case{"Text_Red", "", "-12", "-1"}, Case{"Text_Description", "", hundred + "xyz", hundred}}) {
      auto* edit = qobject_cast<QLineEdit*>(W(c.box));
      edit->setText(c.before);
      edit->end(false);
      QApplication::clipboard()->setText(c.pasted);
      edit->paste();
      QCOMPARE(edit->text(), c.after);
    }
  }

  // The browser's Filename and Description follow the highlighted file, as
  // the Delete key does.
  void fileListFollowsTheArrowKeys() {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "presets_qt_browser_keys";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    for (const char* name : {"a.DQX", "b.DQX"})
      std::ofstream(dir / name, std::ios::binary) << "Description = file " << name << "\r\n";
    BrowserWindow& browser = main_->Browser();
    browser.Presenter().OnFolderChosen(dir);
    browser.show();
    auto* files = browser.findChild<QListWidget*>("File1");
    auto* fileName = browser.findChild<QLineEdit*>("Text_FileName");
    QTest::mouseClick(files->viewport(), Qt::LeftButton, {}, files->visualItemRect(files->item(0)).center());
    QCOMPARE(fileName->text(), QStringLiteral("a.DQX"));
    files->setFocus();
    QTest::keyClick(files, Qt::Key_Down);
    QCOMPARE(fileName->text(), QStringLiteral("b.DQX"));
    QCOMPARE(browser.findChild<QLineEdit*>("Text_Description")->text(), QStringLiteral("file b.DQX"));
    QTimer::singleShot(0, &browser.Deletion(), [&browser] { browser.Deletion().reject(); });
    QTest::keyClick(files, Qt::Key_Delete);
    QCOMPARE(browser.Deletion().findChild<QLabel*>("Label2")->text(), QStringLiteral("b.DQX"));
    browser.hide();
    std::filesystem::remove_all(dir);
  }
};

QTEST_MAIN(WindowsTest)
#include "windows_test.moc"
