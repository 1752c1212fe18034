#pragma once
// The agent: a headless publisher of this machine. This part holds what every cluster mode needs before it starts:
// the machine id, made once and kept in publish.txt.
#include "base/mem.h"
#include "cluster/cluster.h"

namespace agent {

// Results of ensure_machine_id.
enum : u32 {
  id_kept = 0,       // the settings already carried an id
  id_made = 1,       // a new id, saved in publish.txt
  id_unsaved = 2,    // a new id that could not be saved: it lasts for this run only
  id_no_random = 3,  // the random source failed: no id
  id_damaged = 4,    // publish.txt is there but damaged: it is left as it is and no id is made
};

// When the settings carry no machine id, 16 bytes from the random source become one and publish.txt is written
// back with the file's own settings. read_state is cluster::read_publish_state's answer for the same file: a
// damaged file is never written over, since that would lose the user's settings and the id it may still hold.
u32 ensure_machine_id(cluster::PublishSettings* settings, u32 read_state, mem::Bytes publish_path,
                      cluster::RandomSource random);

}  // namespace agent
