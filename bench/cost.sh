#!/usr/bin/env bash
# What sampling this machine costs against top, side by side: the collector child asked once a second for 30 s
# beside `top -b -d 1`, and `vimbrel --print` against `top -b -n 2 -d 2`, at the machine's own process count and
# with 1,000 extra sleeping processes (started and ended by this run, by pid); three runs, min / median / max.
# Extra arguments go to the driver (--runs N, --seconds S, --extra N, --pairs N, --only collector|print).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps
command -v top >/dev/null || { echo "cost: top is missing (Debian package procps)" >&2; exit 1; }
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVIMBREL_BENCH=ON >/dev/null
cmake --build build/bench -j "${JOBS:-4}" --target vimbrel vimbrel_cost
# The highest ratios also go to the figures folder, where the table of aims at the end of `make bench` reads them.
exec build/bench/bench/vimbrel_cost --figures "${VIMBREL_FIGURES:-build/bench/figures}" "$@" build/bench/vimbrel
