#pragma once
// The desktop's file chooser, for opening one existing file. On Windows the system's open-file dialog, owned by the
// window and modal to it. On Linux, asked in this order: the XDG desktop portal's FileChooser over the session bus
// when a portal answers (sd-bus of libsystemd, loaded with dlopen), else zenity, else kdialog when one is on PATH;
// the caller's thread waits for the answer and the idle call comes every 30 ms or so meanwhile, so that a window can
// keep itself drawn.
#include "base/mem.h"

namespace chooser {

// Answers of open_file.
enum : u32 {
  picked = 0,       // a path is in out
  cancelled = 1,    // the user closed the chooser without a file
  unavailable = 2,  // no chooser on this desktop: no portal answers and neither program is on PATH
  failed = 3,       // a chooser started but gave no usable answer (or the path does not fit)
};

struct Ask {
  mem::Bytes title;        // the chooser's title
  mem::Bytes folder;       // the folder it starts in; empty for the chooser's own choice
  mem::Bytes filter_name;  // the first filter's name, as "Cluster key (*.key)"; "All files" follows it
  mem::Bytes pattern;      // its glob, as "*.key"
  void (*idle)(void* context);
  void* context;
  u64 owner;  // the window that owns the dialog (Windows); 0 none
};

// Which road answered the last open_file: 0 none, 1 the portal, 2 zenity, 3 kdialog, 4 the system's dialog.
enum : u32 { road_none = 0, road_portal = 1, road_zenity = 2, road_kdialog = 3, road_system = 4 };

// The chosen file's path (UTF-8, no terminating zero) into out and its length into *length.
u32 open_file(const Ask& ask, mem::Slice out, u32* length, u32* road = nullptr);

}  // namespace chooser
