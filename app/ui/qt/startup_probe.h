// Start-up measurement for scripts/startup-bench.sh: with PRESETS_STARTUP_PROBE
// set to the launch time (nanoseconds since the epoch), the program prints how
// long it took until its window was first painted, and ends at once.
#pragma once

#include <QApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace presets::ui::qt {

class StartupProbe final : public QObject {
 public:
  // Null when the variable is not set.
  static StartupProbe* Install(QWidget& window) {
    const char* launched = std::getenv("PRESETS_STARTUP_PROBE");
    if (launched == nullptr || *launched == '\0') return nullptr;
    auto* probe = new StartupProbe(std::strtoll(launched, nullptr, 10), &window);
    window.installEventFilter(probe);
    return probe;
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !reported_) {
      reported_ = true;
      const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
      std::printf("shown_ms=%.2f\n", static_cast<double>(now - launched_) / 1e6);
      std::fflush(stdout);
      QTimer::singleShot(0, [] { std::_Exit(0); });
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  StartupProbe(long long launched, QObject* parent) : QObject(parent), launched_(launched) {}
  long long launched_;
  bool reported_ = false;
};

}  // namespace presets::ui::qt
