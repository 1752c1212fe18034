#pragma once
// The four samples of a snapshot in test memory, read from a text or written to one; the process buffers that
// reading gives them are released with the object.
#include <memory>
#include <string>

#include "sampling/snap.h"

namespace snap_pair {

struct Pair {
  std::unique_ptr<collect::Sample> sample[2] = {std::make_unique<collect::Sample>(),
                                                std::make_unique<collect::Sample>()};
  std::unique_ptr<collect::ProcSample> procs[2] = {std::make_unique<collect::ProcSample>(),
                                                   std::make_unique<collect::ProcSample>()};
  Pair() = default;
  Pair(const Pair&) = delete;
  Pair& operator=(const Pair&) = delete;
  ~Pair() {
    for (auto& p : procs) collect::buffer_fit(&p->buffer, 0);
  }

  bool read(mem::Bytes text) {
    return snap::read(text, sample[0].get(), sample[1].get(), procs[0].get(), procs[1].get());
  }
  bool read(const std::string& text) { return read(mem::Bytes(reinterpret_cast<const u8*>(text.data()), text.size())); }

  // The five lines; empty when they do not fit the format's bound.
  std::string text() const {
    std::string out(snap::file_bound(collect::procs_used(procs[0].get()), collect::procs_used(procs[1].get())), '\0');
    u64 n = snap::write(sample[0].get(), sample[1].get(), procs[0].get(), procs[1].get(),
                        mem::Slice{reinterpret_cast<u8*>(out.data()), out.size()});
    out.resize(n);
    return out;
  }
};

}  // namespace snap_pair
