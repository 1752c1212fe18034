#pragma once
// The update banner of the title strip (the offered version, the first line of its notes, and its three buttons),
// the "updated to" badge, and the shared vertical scroll of the tall pages (Settings, Support, Sensors) with its
// thin scroll bar.
#include "base/mem.h"
#include "shell/app.h"

namespace app {

// The short button labels are used: the window is too narrow for the long ones.
bool banner_narrow(AppState* s);
// Where the title strip's badges must end: before the "updated to" badge, before the banner's room for at least its
// version, or 154 px before the right edge.
i32 banner_limit(AppState* s, bool offers, bool updated);
// The banner from x to 8 px before slot 55, and its buttons.
void update_banner(AppState* s, i32 x);
void updated_banner(AppState* s);
// The content height of the open tall page, and the page scroll kept within 0 .. content - client height.
void page_scroll(AppState* s);
// The bar at the right edge, only when the content is taller than the window.
void page_scrollbar(AppState* s);
// Sets the scroll (clamped) and lays the page out again.
void scroll_page(AppState* s, i32 offset);

}  // namespace app
