#include "shell/banner.h"

#include "views/proclist.h"
#include "shell/settings_page.h"
#include "shell/support_page.h"
#include "widgets/texts.h"
#include "shell/title.h"
#include "widgets/widgets.h"
#include "views/sensors.h"

namespace app {
namespace {

constexpr u32 colour_banner_text = 0x4DD3FC, colour_track = 0x303030, colour_thumb = 0x808080;

mem::Bytes version_text(const u16 v[3], u8* out, u32 capacity) {
  updstate::Buf b = updstate::buf_of(mem::Slice{out, capacity});
  updstate::append_version(&b, v);
  return updstate::text_of(&b);
}

}  // namespace

bool banner_narrow(AppState* s) {
  draw::Surface* d = &s->surface;
  const i32 need = text_width(d, role_body, title_text()) + text_width(d, role_body, s->version) + 44 + 108;
  return s->width - 474 < need;
}

i32 banner_limit(AppState* s, bool offers, bool updated) {
  if (updated && !slot_empty(s->map, slot_notice)) return s->map.left[slot_notice] - 12;
  if (!offers || slot_empty(s->map, slot_banner0)) return s->width - 154;
  u8 vbytes[24];
  const mem::Bytes version = version_text(s->model->updater.settings.last_version, vbytes, sizeof vbytes);
  return s->map.left[slot_banner0] - 8 - (text_width(&s->surface, role_small, version) + 8);
}

void update_banner(AppState* s, i32 x) {
  const Canvas c = canvas_of(s);
  draw::Surface* d = &s->surface;
  const updstate::Settings& u = s->model->updater.settings;
  u8 vbytes[24];
  const mem::Bytes version = version_text(u.last_version, vbytes, sizeof vbytes);
  const mem::Bytes first = updstate::first_item(release_notes(*s));
  words::Text line{};
  words::put(&line, mem::lit("Version "));
  words::put(&line, version);
  words::put(&line, mem::lit(" is available"));
  if (first.len) {
    words::put(&line, mem::lit(": "));
    words::put(&line, first);
  }
  const i32 right = s->map.left[slot_banner0] - 8, room = right - x;
  mem::Bytes text(line.bytes, line.len);
  if (text_width(d, role_small, text) > room) {
    line.len = 0;
    words::put(&line, mem::lit("Version "));
    words::put(&line, version);
    text = mem::Bytes(line.bytes, line.len);
    if (text_width(d, role_small, text) > room) text = version;
    if (text_width(d, role_small, text) > room) text = mem::Bytes();
  }
  if (text.len) text_in(d, role_small, text, draw::Rect{x, 0, right, title_height}, colour_banner_text, 0);
  const bool narrow = banner_narrow(s);
  slot_button(c, slot_banner0, narrow ? mem::lit("Update") : mem::lit("Update now"), true);
  slot_button(c, slot_banner0 + 1, mem::lit("Later"), false);
  slot_button(c, slot_banner0 + 2, narrow ? mem::lit("Skip") : mem::lit("Skip this version"), false);
}

void updated_banner(AppState* s) {
  if (slot_empty(s->map, slot_notice)) return;
  const draw::Rect r = slot_rect(s->map, slot_notice);
  draw::fill(&s->surface, r, colour_badge);
  if ((s->map.hover_a >> slot_notice) & 1) outline(&s->surface, r, colour_banner_text);
  words::Text line{};
  words::put(&line, mem::lit("updated to "));
  words::put(&line, s->version);
  text_in(&s->surface, role_small, mem::Bytes(line.bytes, line.len), draw::Rect{r.left + 8, r.top, r.right, r.bottom},
          colour_banner_text, 0);
}

void page_scroll(AppState* s) {
  i32 content = 0;
  if (s->page == page_support) {
    Facts f{};
    f.width = s->width;
    support_facts(*s, &f);
    content = support_content_height(f.blocks, s->width, s->page);
  } else if (s->page == page_settings) {
    content = settings_content_height(s);
  } else if (s->page == page_sensors) {
    content = sensors::extra_height(s->page, shown(*s));
  }
  s->content_height = static_cast<u32>(content > 0 ? content : 0);
  const i32 range = content - s->height > 0 ? content - s->height : 0;
  s->page_scroll = s->page_scroll < 0 ? 0 : s->page_scroll > range ? range : s->page_scroll;
}

void page_scrollbar(AppState* s) {
  const i64 content = s->content_height;
  if (content <= s->height) return;
  const i32 w = s->width, bottom = s->height - 1;
  fill_xy(&s->surface, w - 5, title_height, w - 2, bottom, colour_track);
  const u64 visible = static_cast<u64>(s->height - title_height > 0 ? s->height - title_height : 0);
  const u64 total = static_cast<u64>(content - title_height);
  const u64 track = static_cast<u64>(bottom - title_height > 0 ? bottom - title_height : 0);
  const u64 thumb = proclist::thumb_h(visible, total, track, 16);
  const u64 y = proclist::thumb_y(static_cast<u64>(s->page_scroll), total, visible, track, thumb);
  fill_xy(&s->surface, w - 5, title_height + static_cast<i32>(y), w - 2, title_height + static_cast<i32>(y + thumb),
          colour_thumb);
}

void scroll_page(AppState* s, i32 offset) {
  s->page_scroll = offset;
  page_scroll(s);
  relayout(s);
}

}  // namespace app
