#pragma once
// The texts of a resource page outside its charts: view titles, rail values, captions, axis and end labels,
// temperatures and the detail panel, and the ellipsizing that fits a text to a width.
#include "views/views.h"

namespace views {

mem::Bytes engine_name(u32 kind);
mem::Bytes range_name(u32 i);
mem::Bytes range_words(bool longer);
mem::Bytes stored_words(u32 range);
mem::Bytes shown_words(const ViewState& s);
mem::Bytes layer_name(u32 view, u32 layer);
mem::Bytes caption_of(u32 view);
mem::Bytes board_name();
mem::Bytes board_value(bool remote);
mem::Bytes ellipsis();
void title_of(const machine::Machine& m, u32 view, words::Text* out);
// The rail value; true when the ring is empty and the placeholder stands instead.
bool value_of(const machine::Machine& m, u32 view, words::Text* out);
bool blank_if(words::Text* text, bool empty);
void watts(words::Text* out, u32 tenths, bool always_tenths);
mem::Bytes gpu_name(const machine::Machine& m, u32 gpu);
bool unified(const machine::Machine& m, u32 gpu);
void gpu_total(words::Text* out, const machine::Machine& m, u32 gpu);
void disk_heading(words::Text* out, const machine::Machine& m, u32 disk);
void axis_text(const machine::Machine& m, u32 view, u32 top, u32 i, words::Text* out);
void now_text(const machine::Machine& m, u32 view, u32 layer, words::Text* out);
u32 heat_color(u32 kind, i32 tenths);
void heat_text(words::Text* out, i32 tenths);
// The heading's temperature and its sensor kind (255 none).
u32 heading_heat(const machine::Machine& m, u32 view, i32* tenths);
void power_source(words::Text* out, const machine::Machine& m);
void part_watts(words::Text* out, const machine::Machine& m, u32 part);
void committed(words::Text* out, u32 used, u32 limit, bool empty);
void first_ipv4(words::Text* out, const machine::Machine& m, u32 adapter);
void first_ipv6(words::Text* out, const machine::Machine& m, u32 adapter);
// True while the machine's sample ring holds no row.
bool ring_empty(const machine::Machine& m);

// ---- Detail panel
u32 detail_count(u32 view);
u32 details_shown(const ViewState& s);
mem::Bytes detail_label(u32 view, u32 row);
void detail_value(const machine::Machine& m, u32 view, u32 row, words::Text* out);
bool detail_live(u32 view, u32 row);
draw::Rect detail_rect(const ViewState& s, u32 row);
void details(const ViewState& s, draw::Surface* surface, const machine::Machine& m);

// Text width in a font role; ellipsizing measures through it so that it can be tried without a window.
struct Measure {
  i32 (*width)(void* context, u32 role, mem::Bytes text);
  void* context;
};
Measure surface_measure(draw::Surface* surface);
// Shortens the text to the width: whole UTF-8 characters are dropped from the end until the rest and "..." fit.
void ellipsize(const Measure& measure, u32 role, words::Text* text, i32 width);
void ellipsize(draw::Surface* surface, u32 role, words::Text* text, i32 width);

}  // namespace views
