// Renders every window of the preset manager into BMP files, as the screen
// shows them: the main window in both layouts, the file browser (over a
// sample folder), the overwrite warning, the delete confirmation, the
// reminder and the about window.
// Usage: presets_screenshots.exe OUTPUT_FOLDER [SAMPLE_FOLDER]
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "app/ui/win32/windows.h"

namespace {

namespace fs = std::filesystem;
using presets::ui::win32::Dialog;

void Pump(DWORD milliseconds) {
  const ULONGLONG until = ::GetTickCount64() + milliseconds;
  while (::GetTickCount64() < until) {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
    ::Sleep(10);
  }
}

// The window with its frame, read back from what was drawn.
bool WriteBitmap(HWND window, const fs::path& file) {
  RECT place{};
  ::GetWindowRect(window, &place);
  const int width = place.right - place.left;
  const int height = place.bottom - place.top;
  HDC source = ::GetWindowDC(window);
  HDC memory = ::CreateCompatibleDC(source);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(source, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = ::SelectObject(memory, bitmap);
  const bool copied = ::BitBlt(memory, 0, 0, width, height, source, 0, 0, SRCCOPY) != 0;
  ::GdiFlush();
  const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  const DWORD size = stride * static_cast<DWORD>(height);
  BITMAPFILEHEADER header{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + size), 0,
                          0, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER))};
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(&header), sizeof header);
  out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
  out.write(static_cast<const char*>(bits), size);
  const bool written = copied && out.good();
  ::SelectObject(memory, previous);
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(window, source);
  return written;
}

bool Save(Dialog& dialog, const fs::path& folder, const char* name) {
  HWND window = dialog.Handle();
  ::ShowWindow(window, SW_SHOW);
  ::SetForegroundWindow(window);
  ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  Pump(400);
  const fs::path path = folder / (std::string(name) + ".bmp");
  const bool saved = WriteBitmap(window, path);
  std::printf("%s %s\n", saved ? "wrote" : "FAILED", path.string().c_str());
  std::fflush(stdout);
  ::ShowWindow(window, SW_HIDE);
  return saved;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: presets_screenshots OUTPUT_FOLDER [SAMPLE_FOLDER]\n");
    return 2;
  }
  const INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_LINK_CLASS};
  ::InitCommonControlsEx(&controls);
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const fs::path out(argv[1]);
  std::error_code error;
  fs::create_directories(out, error);
  const fs::path samples = argc > 2 ? fs::path(argv[2]) : fs::current_path();
  bool ok = true;
  {
    // No camera is contacted: the windows are only drawn.
    presets::CameraAccess access([](IUnknown**) { return E_FAIL; });
    presets::ui::win32::MainWindow main(access);
    main.Presenter().Start();
    presets::EditorValues values = main.Editors();
    values.presetName = L"SUNSET";
    values.description = L"Warm evening light, lifted blacks";
    values[presets::Setting::Red] = 2;
    values[presets::Setting::Blue] = -3;
    main.SetEditors(values);
    ::ShowWindow(main.Handle(), SW_SHOW);
    ok = Save(main, out, "main-layout1") && ok;
    main.Presenter().OnLayout();
    ok = Save(main, out, "main-layout2") && ok;
    main.Presenter().OnLayout();

    presets::ui::win32::BrowserWindow browser(main.Handle(), main, samples);
    browser.SetLoadMode(true);
    browser.SelectFile(0);
    ok = Save(browser, out, "browser") && ok;
    ::SetWindowTextW(browser.Warning().Control("frmWarning"),
                     L"This will overwrite the file evening.dqx. Do you want to continue?");
    ok = Save(browser.Warning(), out, "warning") && ok;
    ::SetWindowTextW(browser.Deletion().Control("Label2"), L"evening.dqx");
    ::SetWindowTextW(browser.Deletion().Control("Text1"), (samples / "evening.dqx").wstring().c_str());
    ok = Save(browser.Deletion(), out, "delete") && ok;
    ok = Save(main.Reminder(), out, "reminder") && ok;
    ok = Save(main.About(), out, "about") && ok;
  }
  ::CoUninitialize();
  return ok ? 0 : 1;
}
