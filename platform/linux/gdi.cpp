#include "platform/gdi.h"

#include <string.h>

#include <vector>

#include "platform/fs.h"

// Windows here are in-memory bitmaps that presents land in; icons are their pixels. Nothing is drawn here.
namespace gdi {
namespace {

constexpr i32 most_side = 16384;

const char* const system_folder = "/usr/share/fonts/truetype";
const char* const text_font = "lato/Lato-Regular.ttf";
const char* const fixed_font = "dejavu/DejaVuSansMono.ttf";

struct Bitmap {
  i32 width, height;
  std::vector<u32> pixels;  // empty while a hook shows the window
  u64 sends, sent;
  u64 id;
  PresentHook hook;
  void* hook_context;
  // The shared memory presents may come from: its view, size and descriptor, and a number that changes with each
  // new share, so the display never takes a new one for the last.
  const u8* share_view;
  u64 share_bytes;
  i32 share_fd;
  u64 share, shares_made;
  i32 screen_width, screen_height;
  u8 in_frame, held;  // inside begin_frame / end_frame, and a block the hook keeps to send at the end
};


struct Icon {
  i32 width, height;
  std::vector<u32> pixels;
};

template <typename T>
T* of(Handle h) {
  return reinterpret_cast<T*>(static_cast<uintptr_t>(h));
}
template <typename T>
Handle handle(T* p) {
  return static_cast<Handle>(reinterpret_cast<uintptr_t>(p));
}

bool usable_size(i32 width, i32 height) {
  return width >= 1 && height >= 1 && width <= most_side && height <= most_side;
}

}  // namespace

// ---- Windows

Handle open_headless(i32 width, i32 height) {
  if (!usable_size(width, height)) return 0;
  Bitmap* b = new Bitmap{};
  b->width = width;
  b->height = height;
  b->pixels.assign(u64(width) * height, 0xFF000000u);
  b->share_fd = -1;
  return handle(b);
}

Handle open_window(i32, i32) { return 0; }

void close_window(Handle window) { delete of<Bitmap>(window); }

u32 resize_window(Handle window, i32 width, i32 height) {
  Bitmap* b = of<Bitmap>(window);
  if (!b || !usable_size(width, height)) return 0;
  b->width = width;
  b->height = height;
  if (!b->hook) b->pixels.assign(u64(width) * height, 0xFF000000u);
  return 1;
}

u64 window_id(Handle window) {
  Bitmap* b = of<Bitmap>(window);
  return b && b->id ? b->id : window;
}

void set_window_id(Handle window, u64 id) {
  if (Bitmap* b = of<Bitmap>(window)) b->id = id;
}

const u32* window_pixels(Handle window, i32* width, i32* height) {
  Bitmap* b = of<Bitmap>(window);
  if (!b) return nullptr;
  *width = b->width;
  *height = b->height;
  return b->pixels.empty() ? nullptr : b->pixels.data();
}

u64 window_sends(Handle window, u64* pixels_sent) {
  Bitmap* b = of<Bitmap>(window);
  *pixels_sent = b ? b->sent : 0;
  return b ? b->sends : 0;
}

u32 present(Handle window, i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride) {
  Bitmap* b = of<Bitmap>(window);
  if (!b || !pixels || w < 0 || h < 0) return 0;
  Block block{};
  if (!clip_block(x, y, w, h, pixels, stride, b->width, b->height, &block)) {
    // Nothing of it lies inside the window.
  } else if (b->hook) {
    // Pixels inside the shared memory, their last row included, go from there.
    const u8* at = reinterpret_cast<const u8*>(block.pixels);
    const u64 end = (u64(block.height - 1) * stride + u64(block.width)) * 4;
    if (b->share && at >= b->share_view && u64(at - b->share_view) + end <= b->share_bytes) {
      block.share = b->share;
      block.share_fd = b->share_fd;
      block.share_bytes = b->share_bytes;
      block.share_offset = u64(at - b->share_view);
    }
    block.held = b->in_frame;
    if (!b->hook(b->hook_context, window, block)) return 0;
    b->held |= b->in_frame;
  } else {
    for (i32 row = 0; row < block.height; ++row)
      memcpy(&b->pixels[u64(block.y + row) * b->width + block.x], block.pixels + u64(row) * stride,
             u64(block.width) * 4);
  }
  b->sends += 1;
  b->sent += u64(w) * u64(h);
  return 1;
}

void begin_frame(Handle window) {
  if (Bitmap* b = of<Bitmap>(window)) b->in_frame = 1;
}

u32 end_frame(Handle window) {
  Bitmap* b = of<Bitmap>(window);
  if (!b) return 0;
  const bool send = b->held && b->hook;
  b->in_frame = b->held = 0;
  return send ? b->hook(b->hook_context, window, Block{}) : 1;
}

void set_present_hook(Handle window, PresentHook hook, void* context) {
  if (Bitmap* b = of<Bitmap>(window)) {
    b->hook = hook;
    b->hook_context = context;
    // The hook's owner keeps what is shown; an in-memory copy would only cost memory and a copy per present.
    if (hook) std::vector<u32>().swap(b->pixels);
    else b->pixels.assign(u64(b->width) * b->height, 0xFF000000u);
  }
}

void share_memory(Handle window, const section::Section& memory) {
  Bitmap* b = of<Bitmap>(window);
  if (!b) return;
  b->share_view = memory.view;
  b->share_bytes = memory.view ? memory.size : 0;
  // The section's handle is its descriptor + 1 (platform/linux/section.cpp).
  b->share_fd = memory.view && memory.handle ? static_cast<i32>(memory.handle - 1) : -1;
  b->share = memory.view ? ++b->shares_made : 0;
}

void set_screen(Handle window, i32 width, i32 height) {
  if (Bitmap* b = of<Bitmap>(window)) {
    b->screen_width = width;
    b->screen_height = height;
  }
}

i32 virtual_width(Handle window) {
  Bitmap* b = of<Bitmap>(window);
  return b ? b->screen_width : 0;
}
i32 virtual_height(Handle window) {
  Bitmap* b = of<Bitmap>(window);
  return b ? b->screen_height : 0;
}

// ---- System fonts

u32 system_fonts(u8* buffer, u32 capacity) {
  u32 n = static_cast<u32>(strlen(system_folder));
  if (n >= capacity) return 0;
  memcpy(buffer, system_folder, n);
  return n;
}

mem::Bytes system_font_file(u32 role) {
  const char* name = role == 1 ? fixed_font : text_font;
  return mem::Bytes(reinterpret_cast<const u8*>(name), strlen(name));
}

u32 local_drive(mem::Bytes folder) {
  u32 type = fs::drive_type(folder);
  return type != fs::drive_remote && type != fs::drive_no_root ? 1 : 0;
}

// ---- Icons

Handle icon_create(const u32* pixels, i32 width, i32 height) {
  if (!pixels || width < 1 || height < 1 || width > 256 || height > 256) return 0;
  return handle(new Icon{width, height, std::vector<u32>(pixels, pixels + u64(width) * height)});
}

void icon_delete(Handle icon) { delete of<Icon>(icon); }

u32 icon_pixels(Handle icon, u32* out, u64 capacity, i32* width, i32* height) {
  Icon* ic = of<Icon>(icon);
  if (!ic) return 0;
  *width = ic->width;
  *height = ic->height;
  if (out && capacity >= ic->pixels.size()) memcpy(out, ic->pixels.data(), ic->pixels.size() * 4);
  return 1;
}

// No GDI of the system's here: the drawing layer draws its GDI road in software.
Handle road_open(Handle) { return 0; }
void road_close(Handle) {}
void road_font(Handle, u32, const char*, i32, u32) {}
void road_back(Handle, i32, i32) {}
void road_fill(Handle, i32, i32, i32, i32, u32) {}
void road_text(Handle, u32, i32, i32, i32, i32, i32, i32, u32, const u16*, u32, const i32*) {}
void road_extent(Handle, u32, const u16*, u32, i32* width, i32* height) { *width = *height = 0; }
void road_icon(Handle, Handle, i32, i32, i32) {}
void road_image(Handle, i32, i32, i32, i32, const u32*, u32) {}
u32 road_present(Handle, Handle) { return 0; }

}  // namespace gdi
