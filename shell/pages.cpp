#include "shell/pages.h"

#include "platform/fs.h"
#include "shell/quit.h"
#include "shell/support_page.h"
#include "shell/title.h"

namespace app {

void start_pages(AppState* s, mem::Bytes settings, mem::Bytes support) {
  Model* m = s->model;
  m->test_settings = in_test(*s) && settings.len <= 520 ? settings : mem::Bytes();
  support_load(s, support);
  u16 version[3];
  for (u32 i = 0; i < 3; ++i) version[i] = static_cast<u16>(cluster::version_part(s->version, i));
  clusterui::init(&m->cluster_ui, &s->arena, m->test_settings, in_test(*s), version[0], version[1], version[2],
                  ticks(*s));
  background::start_at_launch(&m->background, mem::Bytes(), m->test_settings,
                              in_test(*s) ? background::mode_test : background::mode_normal);
  clusterui::set_background(&m->cluster_ui, background::agent_on(&m->background), ticks(*s));
}

void stop_pages(AppState* s) { clusterui::close(&s->model->cluster_ui); }

void pages_timer(AppState* s) {
  clusterui::ClusterState* c = &s->model->cluster_ui;
  const u32 before = clusterui::link_state(*c);
  clusterui::publisher_step(c, ticks(*s));
  if (clusterui::link_state(*c) != before && s->page == page_settings && s->window)
    invalidate_below_title(s->thread, s->window, &s->surface);
}

void pages_tick(AppState* s) {
  Model* m = s->model;
  clusterui::ClusterState* c = &m->cluster_ui;
  if (clusterui::publish_sample(c, &m->machine, ticks(*s)) && m->procs.count)
    clusterui::publish_procs(c, &m->procs, m->machine.memory_total, ticks(*s));
  if (background::refresh(&m->background, s->page == page_settings)) relayout(s);
}

u32 beside_settings(const AppState& s, mem::Bytes name, u8* out, u32 capacity) {
  u8 path[sibling_most];
  const u32 length = sibling_path(s.model->test_settings, name, path);
  if (length == 0 || length > capacity) return 0;
  mem::copy(mem::Slice{out, length}, mem::Bytes(path, length));
  return length;
}

bool write_beside_settings(const AppState& s, mem::Bytes name, mem::Bytes text) {
  u8 path[560];
  const u32 length = beside_settings(s, name, path, sizeof path);
  return length && fs::save_file(mem::Bytes(path, length), text) == 0;
}

}  // namespace app
