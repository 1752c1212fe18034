// The glue between input and the Settings page's text fields, on the shell's own state: what a masked key field
// refuses, how the pointer selects, how Escape takes a pending key replacement before the edit, and how the page
// scrolls to the edited row.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "pages/clusterui.h"
#include "shell/fields.h"
#include "widgets/hitmap.h"
#include "shell/loop.h"
#include "shell/pages.h"
#include "shell/title.h"
#include "tests/shell/shell_window.h"

namespace {

constexpr u64 shift = 0x10000, mark = u64{0x5642} << 32;

// The Settings page of a --test window with the cluster settings started from the test's own folder.
struct SettingsWindow : shelltest::ShellWindow {
  std::string settings = dir.path + "/set/settings.txt";
  clusterui::ClusterState* c = nullptr;
  SettingsWindow() {
    if (!made) return;
    std::filesystem::create_directories(dir.path + "/set");
    app::start_pages(&s, harness::bytes(settings), mem::Bytes());
    c = &s.model->cluster_ui;
    s.page = app::page_settings;
    app::relayout(&s);
  }
  draw::Rect box(u32 slot) { return app::slot_rect_b(s.map, slot); }
  // A marked input message through the dispatcher, as the driver posts it.
  void send(u32 message, u64 wparam, i32 x = 0, i32 y = 0) {
    win::Msg m{};
    m.window = s.window;
    m.message = message;
    m.wparam = wparam | mark;
    m.lparam = static_cast<i64>(u32(u16(x)) | (u32(u16(y)) << 16));
    app::pre_dispatch(&s, m);
  }
  void press(u32 slot, i32 x) { send(win::wm_lbuttondown, 1, x, box(slot).top + 10); }
  void type(const std::string& text) {
    for (char ch : text) send(win::wm_char, static_cast<u8>(ch));
  }
  std::string field() {
    const app::ActiveField a = app::active_field(&s);
    return a.field ? std::string(reinterpret_cast<char*>(a.field->text), a.field->length) : "";
  }
  std::string clipboard() { return testutil::read_file(dir.path + "/set/clipboard.txt"); }
};

// Shift+Delete over the whole text cuts the target but leaves the masked key whole (nothing can be copied from it);
// Delete alone deletes the selection in both.
TEST(Fields, ShiftDeleteCutsOnlyWhatCanBeCopied) {
  const struct {
    u32 slot;
    std::string after_shift_delete, clipboard;
  } cases[] = {{app::slot_target_field, "", "abcd"}, {app::slot_key_field, "abcd", ""}};
  for (const auto& k : cases) {
    SettingsWindow w;
    ASSERT_TRUE(w.made);
    w.press(k.slot, w.box(k.slot).left + 20);
    w.send(win::wm_lbuttonup, 0, w.box(k.slot).left + 20, w.box(k.slot).top + 10);
    w.type("abcd\x01");
    w.send(win::wm_keydown, app::vk_delete | shift);
    EXPECT_EQ(w.field(), k.after_shift_delete) << k.slot;
    EXPECT_EQ(w.clipboard(), k.clipboard) << k.slot;
    w.type("\x01");
    w.send(win::wm_keydown, app::vk_delete);
    EXPECT_EQ(w.field(), "") << k.slot;
  }
}

// A press puts the caret, a move with the button held selects, a move after the release does not; a double-click
// selects the word under the pointer.
TEST(Fields, ThePointerPlacesTheCaretAndSelects) {
  SettingsWindow w;
  ASSERT_TRUE(w.made);
  const draw::Rect r = w.box(app::slot_target_field);
  const i32 y = r.top + 10;
  w.press(app::slot_target_field, r.left + 20);
  w.send(win::wm_lbuttonup, 0, r.left + 20, y);
  w.type("hello world");
  textedit::Field* f = app::active_field(&w.s).field;
  ASSERT_NE(f, nullptr);

  w.press(app::slot_target_field, r.left + 1);
  EXPECT_EQ(f->caret, 0);
  w.send(win::wm_mousemove, 1, r.right - 2, y);
  EXPECT_EQ(textedit::sel_start(*f), 0);
  EXPECT_EQ(textedit::sel_end(*f), 11) << "dragged to the end";
  w.send(win::wm_lbuttonup, 0, r.right - 2, y);
  w.send(win::wm_mousemove, 0, r.left + 1, y);
  EXPECT_EQ(textedit::sel_end(*f) - textedit::sel_start(*f), 11) << "no selection after the release";

  // "world" starts past the middle of the text's width: a double-click there selects it.
  const u16 units[] = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o'};
  const i32 at = r.left + 8 + textedit::width_of(&w.s.surface, 0, units, 8) - f->scroll;
  w.send(win::wm_lbuttondblclk, 1, at, y);
  w.send(win::wm_lbuttonup, 0, at, y);
  EXPECT_EQ(textedit::sel_start(*f), 6);
  EXPECT_EQ(textedit::sel_end(*f), 11);
  EXPECT_FALSE(f->flags & textedit::dragging) << "a double-click does not drag";
}

// With a key in place, "Generate key" asks first; Escape then takes back only the question, a second Escape the
// edit.
TEST(Fields, EscapeCancelsAPendingReplacementBeforeTheEdit) {
  SettingsWindow w;
  ASSERT_TRUE(w.made);
  app::settings_click(&w.s, app::bit_b(app::slot_generate));  // no key yet: generated at once
  ASSERT_EQ(w.c->key_result, clusterui::key_loaded);
  app::settings_click(&w.s, app::bit_b(app::slot_generate));
  ASSERT_TRUE(w.c->generate_armed);
  const draw::Rect r = w.box(app::slot_target_field);
  w.press(app::slot_target_field, r.left + 20);
  EXPECT_TRUE(w.c->generate_armed) << "a press on a field does not answer the question";
  w.send(win::wm_keydown, app::vk_escape);
  EXPECT_FALSE(w.c->generate_armed);
  EXPECT_EQ(w.c->editing, clusterui::edit_target);
  w.send(win::wm_keydown, app::vk_escape);
  EXPECT_EQ(w.c->editing, clusterui::edit_none);
  EXPECT_TRUE(w.s.window) << "the window stays open";
}

// In a short window the page scrolls so that the edited key row and 20 px below it show.
TEST(Fields, TypingScrollsTheEditedRowIntoView) {
  SettingsWindow w;
  ASSERT_TRUE(w.made);
  w.s.height = 400;
  w.s.page_scroll = 0;
  app::relayout(&w.s);
  ASSERT_GT(app::scroll_range(w.s), 200);
  ASSERT_TRUE(app::field_click(&w.s, app::bit_b(app::slot_key_field), w.box(app::slot_key_field).left + 20, false));
  app::field_char(&w.s, 'a');
  EXPECT_EQ(w.s.page_scroll, app::key_row + 32 + 20 - 400);
}

}  // namespace
