#!/usr/bin/env bash
# What sampling this machine costs against top, side by side: the collector child asked once a second for 30 s
# beside `top -b -d 1`, and `vimbrel --print` against `top -b -n 2 -d 2`, at the machine's own process count and
# with 1,000 extra sleeping processes (started and ended by this run, by pid); three runs, min / median / max.
# Extra arguments go to the driver (--runs N, --seconds S, --extra N, --pairs N, --only collector|print).
# Then, when Xvfb is installed, the whole window with its collector child the same way (bench/window-cost, three
# runs of 20 s per page and count); WINDOW_COST=0 leaves it out.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps
command -v top >/dev/null || { echo "cost: top is missing (Debian package procps)" >&2; exit 1; }
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVIMBREL_BENCH=ON >/dev/null
cmake --build build/bench -j "${JOBS:-4}" --target vimbrel vimbrel_cost
# The highest ratios also go to the figures folder, where the table of aims at the end of `make bench` reads them.
figures=${VIMBREL_FIGURES:-build/bench/figures}
# The collector's shared sections live in the runtime folder: in memory, as a desktop session's /run/user/<uid>, so
# that the kernel's writeback of a disk folder does not count as the collector's cost.
runtime=$(mktemp -d "$( [ -w /dev/shm ] && echo /dev/shm || echo /tmp )/vimbrel-cost-XXXXXX")
trap 'rm -rf "$runtime"' EXIT
XDG_RUNTIME_DIR=$runtime build/bench/bench/vimbrel_cost --figures "$figures" "$@" build/bench/vimbrel
if [ "${WINDOW_COST:-1}" != 0 ]; then
  if command -v Xvfb >/dev/null; then
    bench/window-cost --runs 3 --seconds 20 --warm 10 --figures "$figures" build/bench/vimbrel
  else
    echo "cost: Xvfb is missing (Debian package xvfb): the window's cost was not measured" >&2
  fi
fi
