// Builds a window's controls from its form table with the system's own
// controls, placed at the window's dpi (twips * dpi / 1440; 15 twips a pixel
// at 96 dpi). Every control's identifier is kFirstControlId plus its index in
// the table, so a control is found the same way by the program and by a test
// that drives it from outside.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <string_view>
#include <vector>

#include "app/ui/form_tables.h"

namespace presets::ui::win32 {

inline constexpr int kFirstControlId = 1000;

std::wstring Wide(std::string_view utf8);
std::string Narrow(std::wstring_view wide);
int ScaleTwips(int twips, UINT dpi);
UINT WindowDpi(HWND window);
// The window's text; WM_GETTEXT, so it also works across processes.
std::wstring WindowText(HWND window);

// The system class a kind of control is made of.
const wchar_t* ControlClass(ControlKind kind);

// A font or picture, deleted with its owner.
struct GdiObjectDeleter {
  void operator()(HGDIOBJ object) const { ::DeleteObject(object); }
};
template <class Handle>
using UniqueGdiObject = std::unique_ptr<std::remove_pointer_t<Handle>, GdiObjectDeleter>;

// The drawn pictures, loaded from the program's resources.
UniqueGdiObject<HBITMAP> LoadPicture(int resource);

class FormWindow {
 public:
  // Creates the controls on `window` and arranges them in layout 1.
  FormWindow(HWND window, const FormSpec& spec);
  ~FormWindow();
  FormWindow(const FormWindow&) = delete;
  FormWindow& operator=(const FormWindow&) = delete;

  // The tool tips of the table: made once the window has first been drawn,
  // as nobody sees them before.
  void AddToolTips();

  HWND Control(std::string_view name) const;
  // The table entry of a control identifier, or null.
  const ControlSpec* SpecOf(int id) const;
  int IdOf(std::string_view name) const;
  const FormSpec& Spec() const { return spec_; }
  int Layout() const { return layout_; }

  // Moves the controls to their places in the layout at the window's dpi and
  // sets the tab order (nothing when they are there).
  void Arrange(int layout);
  // The window and its controls at a new dpi (a move to another monitor).
  void Rescale(UINT dpi);
  // The client area's size in pixels at the current dpi.
  SIZE ClientSize() const;

 private:
  HWND Create(const ControlSpec& control, int id);
  RECT TablePlace(const ControlSpec& control, int layout) const;
  static bool NeedsFontToPlace(const ControlSpec& control);
  void Place(HWND handle, const ControlSpec& control, int layout);
  // The controls in stacking order (per container, the first on top), which
  // is also the order Tab moves the focus in.
  std::vector<size_t> StackOrder(int layout) const;
  void SetTabOrder(int layout);

  HWND window_;
  const FormSpec& spec_;
  UINT dpi_;
  int layout_ = 1;
  bool rescaled_ = false;  // every control to be placed again
  UniqueGdiObject<HFONT> font_;
  HWND tooltips_ = nullptr;
  std::vector<HWND> controls_;  // in table order
  std::map<std::string, size_t, std::less<>> index_;
};

}  // namespace presets::ui::win32
