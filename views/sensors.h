#pragma once
// The Sensors page: every temperature the shown machine reports, one row each (the CPU, each GPU, each disk and up
// to eight further sensors), coloured by how hot it is. The shell draws the rail entry, the section heading and the
// wrapped note through its own widgets; this module gives the rows, the page's height and the texts.
#include "base/mem.h"
#include "base/words.h"
#include "drawing/draw.h"
#include "sampling/machine.h"

namespace sensors {

constexpr u32 sensors_most = 8;

mem::Bytes title_text();
mem::Bytes missing_text();
// The note shown when the machine reports no CPU temperature, and its short form for narrow windows.
mem::Bytes driver_note();
mem::Bytes driver_short();
mem::Bytes fixed_remark();

struct Row {
  words::Text name;
  bool present;
  u32 kind;  // heat kinds: 0 CPU, 1 GPU, 2 disk, 3 further sensor
  i32 value;
  bool fixed;
};

u32 row_count(const machine::Machine& m);
// Row r of the page (r < row_count); false past the last row.
bool row_at(const machine::Machine& m, u32 r, Row* out);
// The page's content height on the Sensors page (page 7), 0 on any other page.
i32 extra_height(u8 page, const machine::Machine& m);
// The name of further sensor i: its 24 bytes up to the first NUL, cut back to a whole UTF-8 character.
mem::Bytes sensor_name(const machine::Machine& m, u32 i);
// The note is shown when the CPU has no temperature source.
bool note_shown(const machine::Machine& m);
// The label column's width.
i32 label_width(i32 width);
// The value text of a row and its colour.
u32 value_text(const Row& row, words::Text* out);
// Draws row r: its name in the label column, its value text beside it.
void sensor_rows(draw::Surface* surface, const Row& row, u32 r, i32 width, i32 scroll);

// Draws the page's title and rows for the client width, every y less the scroll.
void render(draw::Surface* surface, const machine::Machine& m, i32 width, i32 scroll);

}  // namespace sensors
