#pragma once
// What the window layer and the drawing road's system side share inside the Windows backend: a present target
// bound to a window, and the system icon made from an icon's pixels.
#include <windows.h>

#include "platform/gdi.h"

namespace winpaint {

// Binds the target to the window: presents go to the window's client area from then on, and the target keeps no
// pixels of its own (its size is the window's client size).
void bind(gdi::Handle target, HWND window);
// The system icon of the icon (made once, destroyed with the icon): the program's own icon resource at the icon's
// size when the program carries one, else one made from the icon's pixels; null when neither can be made.
HICON icon_handle(gdi::Handle icon);

}  // namespace winpaint
