// Builds a window's controls from its form table and places them in a
// layout: twips / 15 = device-independent pixels (96 dpi), which Qt scales on
// high-DPI screens. Every widget's object name is its control's name.
#pragma once

#include <QApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QWidget>
#include <map>
#include <string>
#include <string_view>

#include "app/ui/form_tables.h"

namespace presets::ui::qt {

QString ToQ(std::string_view text);
std::string FromQ(const QString& text);
QRect PixelRect(const Twips& twips);

// A text box that limits what the user types, pastes (keys, context menu,
// middle button) or drops, never what the program puts in it.
class LimitedLineEdit final : public QLineEdit {
 public:
  LimitedLineEdit(int limit, QWidget* parent);
};

// One look on every desktop: the Fusion style and an 8-point sans-serif font,
// the size the form tables were laid out for.
void ApplyApplicationLook(QApplication& app);

// The banner (210 by 83 pixels) and the about window's icon, drawn.
QPixmap BannerPicture();
QPixmap IconPicture();

class FormWidgets {
 public:
  FormWidgets(QWidget& window, const FormSpec& spec);

  QWidget* Widget(std::string_view name) const;
  template <class T>
  T* As(std::string_view name) const {
    return static_cast<T*>(Widget(name));
  }
  // Moves every control to its place in the layout and sets the tab order.
  void Arrange(int layout);
  const FormSpec& Spec() const { return spec_; }

 private:
  QWidget* Create(const ControlSpec& control, QWidget* parent);

  QWidget& window_;
  const FormSpec& spec_;
  std::map<std::string, QWidget*, std::less<>> widgets_;
};

}  // namespace presets::ui::qt
