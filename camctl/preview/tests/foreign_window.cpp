// Test helper: another X client process. Creates a mapped top-level window on
// $DISPLAY, with _NET_WM_PID set to the number given as the argument (none
// without one), prints its id on a line and keeps it until its standard input
// ends.
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) return 1;
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_window_t w = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 0, 0, 100, 100, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, 0, nullptr);
  if (argc > 1) {
    static constexpr char kName[] = "_NET_WM_PID";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof kName - 1, kName), nullptr);
    if (atom == nullptr) return 1;
    const uint32_t pid = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom->atom, XCB_ATOM_CARDINAL, 32, 1, &pid);
    std::free(atom);
  }
  xcb_map_window(c, w);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // the window exists now
  std::printf("%u\n", static_cast<unsigned>(w));
  std::fflush(stdout);
  char byte = 0;
  while (::read(0, &byte, 1) > 0) {
  }
  xcb_disconnect(c);
  return 0;
}
