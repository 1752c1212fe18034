#include "cluster/agent.h"

namespace agent {

u32 ensure_machine_id(cluster::PublishSettings* settings, u32 read_state, mem::Bytes publish_path,
                      cluster::RandomSource random) {
  if (read_state == cluster::publish_damaged) return id_damaged;
  if (settings->id_present) return id_kept;
  u8 id[16] = {};
  u8 any = 0;
  bool drawn = random(mem::Slice{id, sizeof id}) != 0;
  for (u8 b : id) any |= b;
  // An all-zero id reads as "none" everywhere, so a source that gives one has failed.
  if (!drawn || any == 0) return id_no_random;
  cluster::set_machine_id(settings, id);
  return cluster::write_publish(publish_path, settings) ? id_made : id_unsaved;
}

}  // namespace agent
