#include "app/ui/win32/form_window.h"

#include <commctrl.h>

#include <algorithm>
#include <limits>

#include "app/model/preset_model.h"

namespace presets::ui::win32 {

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  return wide;
}

std::string Narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size, nullptr, nullptr);
  return utf8;
}

int ScaleTwips(int twips, UINT dpi) { return ::MulDiv(twips, static_cast<int>(dpi), 1440); }

UINT WindowDpi(HWND window) {
  // Windows 10's per-window dpi, looked up so that older systems still start.
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFunction>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpiForWindow != nullptr && window != nullptr) {
    const UINT dpi = getDpiForWindow(window);
    if (dpi != 0) return dpi;
  }
  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSX);
  ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

std::wstring WindowText(HWND window) {
  const LRESULT length = ::SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const LRESULT copied =
      ::SendMessageW(window, WM_GETTEXT, static_cast<WPARAM>(text.size()), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(std::clamp<LRESULT>(copied, 0, length)));
  return text;
}

const wchar_t* ControlClass(ControlKind kind) {
  switch (kind) {
    case ControlKind::Frame:
    case ControlKind::Button: return L"Button";
    case ControlKind::Panel: return L"PresetsPanel";
    case ControlKind::Picture:
    case ControlKind::Label: return L"Static";
    case ControlKind::LinkLabel: return L"SysLink";
    case ControlKind::EditableCombo:
    case ControlKind::DropDownList:
    case ControlKind::DriveList: return L"ComboBox";
    case ControlKind::TextBox: return L"Edit";
    case ControlKind::HScroll: return L"ScrollBar";
    case ControlKind::DirList:
    case ControlKind::FileList: return L"ListBox";
  }
  return L"Static";
}

UniqueGdiObject<HBITMAP> LoadPicture(int resource) {
  return UniqueGdiObject<HBITMAP>(static_cast<HBITMAP>(
      ::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resource), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
}

namespace {

// A panel only holds controls: what they tell their parent goes on to the
// window that handles it.
LRESULT CALLBACK PanelProcedure(HWND panel, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_HSCROLL:
    case WM_VSCROLL:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSCROLLBAR:
    case WM_DRAWITEM:
    case WM_MEASUREITEM:
    case WM_VKEYTOITEM: return ::SendMessageW(::GetParent(panel), message, wParam, lParam);
    default: return ::DefWindowProcW(panel, message, wParam, lParam);
  }
}

void RegisterPanelClass() {
  static const bool registered = [] {
    WNDCLASSEXW panelClass{};
    panelClass.cbSize = sizeof panelClass;
    panelClass.lpfnWndProc = PanelProcedure;
    panelClass.hInstance = ::GetModuleHandleW(nullptr);
    panelClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    panelClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    panelClass.lpszClassName = ControlClass(ControlKind::Panel);
    return ::RegisterClassExW(&panelClass) != 0;
  }();
  (void)registered;
}

UniqueGdiObject<HFONT> MakeFont(UINT dpi) {
  // The 8-point dialog font the tables were laid out for.
  LOGFONTW font{};
  font.lfHeight = -::MulDiv(8, static_cast<int>(dpi), 72);
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  font.lfQuality = DEFAULT_QUALITY;
  wcscpy_s(font.lfFaceName, L"MS Shell Dlg 2");
  return UniqueGdiObject<HFONT>(::CreateFontIndirectW(&font));
}

DWORD StyleOf(const ControlSpec& control) {
  DWORD style = WS_CHILD | WS_CLIPSIBLINGS | (control.visible ? WS_VISIBLE : 0);
  const DWORD textAlign = control.align == Align::Right    ? SS_RIGHT
                          : control.align == Align::Centre ? SS_CENTER
                                                           : SS_LEFT;
  switch (control.kind) {
    case ControlKind::Frame: return style | BS_GROUPBOX;
    case ControlKind::Panel: return style | WS_CLIPCHILDREN;
    case ControlKind::Picture: return style | SS_BITMAP | SS_REALSIZECONTROL;
    case ControlKind::Label:
      return style | SS_NOPREFIX | (control.wordWrap ? SS_LEFT : textAlign | SS_CENTERIMAGE);
    case ControlKind::LinkLabel: return style | WS_TABSTOP;
    case ControlKind::Button: return style | WS_TABSTOP | BS_PUSHBUTTON;
    case ControlKind::EditableCombo: return style | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL;
    case ControlKind::DropDownList:
    case ControlKind::DriveList: return style | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
    case ControlKind::TextBox: {
      const DWORD editAlign = control.align == Align::Right    ? ES_RIGHT
                              : control.align == Align::Centre ? ES_CENTER
                                                               : ES_LEFT;
      return style | WS_TABSTOP | ES_AUTOHSCROLL | editAlign;
    }
    case ControlKind::HScroll: return style | WS_TABSTOP | SBS_HORZ;
    case ControlKind::DirList:
      return style | WS_TABSTOP | WS_VSCROLL | WS_BORDER | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | LBS_OWNERDRAWFIXED |
             LBS_HASSTRINGS;
    case ControlKind::FileList:
      return style | WS_TABSTOP | WS_VSCROLL | WS_BORDER | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | LBS_WANTKEYBOARDINPUT;
  }
  return style;
}

// Where a control lies in its container's stacking order, which is also the
// order Tab moves the focus in: the focus order first, panels where their
// first control comes; then labels, frames and, beneath everything, pictures.
size_t StackRank(const FormSpec& spec, const ControlSpec& control, std::span<const std::string_view> order) {
  const auto position = [&order](std::string_view name) {
    const auto found = std::find(order.begin(), order.end(), name);
    return found == order.end() ? std::numeric_limits<size_t>::max() : static_cast<size_t>(found - order.begin());
  };
  size_t rank = position(control.name);
  if (control.kind == ControlKind::Panel) {
    for (const ControlSpec& inside : spec.controls)
      if (inside.parent == control.name) rank = std::min(rank, position(inside.name));
  }
  if (rank != std::numeric_limits<size_t>::max()) return rank;
  const size_t last = order.size() + 1;
  switch (control.kind) {
    case ControlKind::Frame: return last + 1;
    case ControlKind::Picture: return last + 2;
    default: return last;
  }
}

// The width of a control's text in its font (measured off screen: a window's
// own drawing context costs more to get).
int TextWidth(HWND control) {
  const std::wstring text = WindowText(control);
  HDC context = ::CreateCompatibleDC(nullptr);
  HGDIOBJ previous = ::SelectObject(context, reinterpret_cast<HGDIOBJ>(::SendMessageW(control, WM_GETFONT, 0, 0)));
  SIZE size{};
  ::GetTextExtentPoint32W(context, text.c_str(), static_cast<int>(text.size()), &size);
  ::SelectObject(context, previous);
  ::DeleteDC(context);
  return size.cx;
}

}  // namespace

FormWindow::FormWindow(HWND window, const FormSpec& spec) : window_(window), spec_(spec), dpi_(WindowDpi(window)) {
  RegisterPanelClass();
  font_ = MakeFont(dpi_);
  ::SetWindowTextW(window_, Wide(spec.caption).c_str());
  for (size_t i = 0; i < spec.controls.size(); ++i) index_.emplace(std::string(spec.controls[i].name), i);
  // Each control is made in its place and, as a new child goes beneath its
  // siblings, in its stacking order: containers first, so that starting
  // moves nothing.
  controls_.assign(spec.controls.size(), nullptr);
  const std::vector<size_t> stack = StackOrder(1);
  for (const bool contained : {false, true}) {
    for (size_t i : stack) {
      if (spec.controls[i].parent.empty() == contained) continue;
      controls_[i] = Create(spec.controls[i], kFirstControlId + static_cast<int>(i));
    }
  }
}

// The controls go with their window; the font outlives them.
FormWindow::~FormWindow() = default;

HWND FormWindow::Create(const ControlSpec& control, int id) {
  HWND parent = control.parent.empty() ? window_ : Control(control.parent);
  std::wstring text;
  if (control.kind == ControlKind::LinkLabel) {
    const std::wstring address = Wide(control.caption);
    text = L"<a href=\"" + address + L"\">" + address + L"</a>";
  } else if (control.kind != ControlKind::EditableCombo && control.kind != ControlKind::DropDownList &&
             control.kind != ControlKind::FileList) {
    text = Wide(control.caption);
  }
  // No control's creation needs telling: the window knows what it made.
  const DWORD extended = WS_EX_NOPARENTNOTIFY | (control.kind == ControlKind::TextBox ? WS_EX_CLIENTEDGE
                                                 : control.kind == ControlKind::Panel ? WS_EX_CONTROLPARENT
                                                                                      : 0);
  const RECT place = TablePlace(control, 1);
  HWND created = ::CreateWindowExW(extended, ControlClass(control.kind), text.c_str(), StyleOf(control), place.left,
                                   place.top, place.right - place.left, place.bottom - place.top, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr),
                                   nullptr);
  ::SendMessageW(created, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  // What depends on the font: a combo box's closed height, a right-aligned
  // label's width.
  if (NeedsFontToPlace(control)) Place(created, control, 1);
  if (control.kind == ControlKind::TextBox && control.maxTyped > 0)
    ::SendMessageW(created, EM_LIMITTEXT, static_cast<WPARAM>(control.maxTyped), 0);
  if (control.kind == ControlKind::HScroll) {
    SCROLLINFO info{sizeof info, SIF_RANGE | SIF_POS | SIF_PAGE, kLevelMin, kLevelMax, 0, 0, 0};
    ::SetScrollInfo(created, SB_CTL, &info, FALSE);
  }
  return created;
}

void FormWindow::AddToolTips() {
  if (tooltips_ != nullptr) return;
  tooltips_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr,
                                ::GetModuleHandleW(nullptr), nullptr);
  for (size_t i = 0; i < controls_.size() && tooltips_ != nullptr; ++i) {
    if (spec_.controls[i].tooltip.empty()) continue;
    std::wstring tip = Wide(spec_.controls[i].tooltip);
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(controls_[i]);
    tool.lpszText = tip.data();
    ::SendMessageW(tooltips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

HWND FormWindow::Control(std::string_view name) const {
  const auto found = index_.find(name);
  return found == index_.end() ? nullptr : controls_[found->second];
}

const ControlSpec* FormWindow::SpecOf(int id) const {
  const int index = id - kFirstControlId;
  if (index < 0 || static_cast<size_t>(index) >= spec_.controls.size()) return nullptr;
  return &spec_.controls[static_cast<size_t>(index)];
}

int FormWindow::IdOf(std::string_view name) const {
  const auto found = index_.find(name);
  return found == index_.end() ? 0 : kFirstControlId + static_cast<int>(found->second);
}

SIZE FormWindow::ClientSize() const {
  return {ScaleTwips(spec_.clientWidth, dpi_), ScaleTwips(spec_.clientHeight, dpi_)};
}

RECT FormWindow::TablePlace(const ControlSpec& control, int layout) const {
  const Twips& place = presets::ui::Place(control, layout);
  const int left = ScaleTwips(place.left, dpi_);
  const int top = ScaleTwips(place.top, dpi_);
  return {left, top, left + ScaleTwips(place.width, dpi_), top + ScaleTwips(place.height, dpi_)};
}

bool FormWindow::NeedsFontToPlace(const ControlSpec& control) {
  return control.kind == ControlKind::EditableCombo || control.kind == ControlKind::DropDownList ||
         control.kind == ControlKind::DriveList ||
         (control.kind == ControlKind::Label && control.align == Align::Right && !control.wordWrap);
}

void FormWindow::Place(HWND handle, const ControlSpec& control, int layout) {
  RECT place = TablePlace(control, layout);
  const int width = place.right - place.left;
  const int height = place.bottom - place.top;
  if (control.kind == ControlKind::EditableCombo || control.kind == ControlKind::DropDownList ||
      control.kind == ControlKind::DriveList) {
    // A combo box's window height includes its dropped list; its closed
    // height follows the selection field's item height.
    const LRESULT item = ::SendMessageW(handle, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
    ::MoveWindow(handle, place.left, place.top, width, height + 12 * static_cast<int>(item), FALSE);
    RECT closed{};
    ::GetWindowRect(handle, &closed);
    const LRESULT wanted = item + height - (closed.bottom - closed.top);
    if (wanted > 0 && wanted != item)
      ::SendMessageW(handle, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), static_cast<LPARAM>(wanted));
    return;
  }
  // A right-aligned label keeps its right edge; it grows to the left when
  // this font needs more room than the table gives.
  if (control.kind == ControlKind::Label && control.align == Align::Right && !control.wordWrap)
    place.left = std::min(place.left, place.right - TextWidth(handle));
  ::MoveWindow(handle, place.left, place.top, place.right - place.left, height, FALSE);
}

void FormWindow::Arrange(int layout) {
  // Made in layout 1: only what differs between the layouts moves.
  if (layout == layout_ && !rescaled_) return;
  for (size_t i = 0; i < controls_.size(); ++i) {
    const ControlSpec& control = spec_.controls[i];
    if (rescaled_ || control.layout1 != control.layout2) Place(controls_[i], control, layout);
  }
  layout_ = layout;
  rescaled_ = false;
  SetTabOrder(layout);
  ::InvalidateRect(window_, nullptr, TRUE);
}

std::vector<size_t> FormWindow::StackOrder(int layout) const {
  const auto order = layout == 2 ? spec_.focusOrder2 : spec_.focusOrder1;
  std::vector<size_t> stack(spec_.controls.size());
  for (size_t i = 0; i < stack.size(); ++i) stack[i] = i;
  // Of two controls outside the focus order, the later in the table lies on
  // top (a caption across a panel beneath the label beside it).
  std::sort(stack.begin(), stack.end(), [&](size_t a, size_t b) {
    const size_t rankA = StackRank(spec_, spec_.controls[a], order);
    const size_t rankB = StackRank(spec_, spec_.controls[b], order);
    return rankA != rankB ? rankA < rankB : a > b;
  });
  return stack;
}

void FormWindow::SetTabOrder(int layout) {
  // Each container's children in their order, the first on top.
  std::map<std::string_view, HWND> previous;
  for (size_t i : StackOrder(layout)) {
    const std::string_view parent = spec_.controls[i].parent;
    const auto found = previous.find(parent);
    HWND after = found == previous.end() ? HWND_TOP : found->second;
    ::SetWindowPos(controls_[i], after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    previous[parent] = controls_[i];
  }
}

void FormWindow::Rescale(UINT dpi) {
  if (dpi == dpi_) return;
  dpi_ = dpi;
  // The old font goes once no control uses it.
  UniqueGdiObject<HFONT> font = MakeFont(dpi_);
  for (HWND control : controls_) ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
  font_ = std::move(font);
  rescaled_ = true;
  Arrange(layout_);
}

}  // namespace presets::ui::win32
