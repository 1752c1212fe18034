#include "platform/linux/window_backend.h"

// The display backend (X11 over XCB, loaded when first needed) is not built yet: a display start says so, and the
// window mode takes its "window cannot be made" road. The other hooks are never reached without a started display.
namespace win {

u32 display_start(Thread*) { return display_not_built; }
void display_finish(Thread*) {}
int display_fd(Thread*) { return -1; }
u32 display_pump(Thread*) { return failed; }
void display_show(Thread*, Window*) {}
u32 display_dpi(const Thread*, i32, i32) { return 96; }
u32 display_work_area(const Thread*, i32, i32, Rect*) { return 0; }

}  // namespace win
