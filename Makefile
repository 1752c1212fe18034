# The two commands of the README, and the benchmarks.
#   make run    install what is missing, build a release build, start vimbrel
#   make test   install what is missing, build the sanitized test build, run every test; then the Windows part
#               (tests/windows/run: vimbrel.exe and its tests under wine, mixed clusters with the Linux build)
#   make bench  build the optimised benchmarks and run them, ending with the table of cost aims
#   make windows  cross-build build/windows/vimbrel.exe and the Windows test programs (mingw-w64; run under wine)
#   make cost   the collector, --print and the window against top, side by side (bench/cost.sh; about 14
#               minutes), then the dashboard's browser tab against top (bench/web-cost; about 2 minutes, when
#               chromium is there)
#   make fuzz   build the libFuzzer targets into build/fuzz (run one: build/fuzz/font_fuzz -max_total_time=60 <corpus>)
#   make fuzz-run  build them and run each for FUZZ_SECONDS (180), three at a time, from its seeds in tests/fuzz/corpus
#   make soak   a host with 64 agents, restarts, a viewer and the MCP server for SOAK_SECONDS (600); prints the figures
#               and the machine's load; a failing run on a machine loaded past its processors is "not judged"
JOBS ?= $(shell nproc)
# With a display the window; without one there is no window to start: one report of this machine instead.
ARGS ?= $(if $(DISPLAY),,--print)

.PHONY: run test bench cost fuzz fuzz-run soak deps release clean windows

deps:
	@tools/deps

release: deps
	@cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build/release -j $(JOBS)

run: release
	build/release/vimbrel $(ARGS)

test: deps
	@cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIMBREL_SANITIZE=ON -DVIMBREL_TESTS=ON >/dev/null
	@cmake --build build/test -j $(JOBS)
	cd build/test && ctest --output-on-failure -j $(JOBS)
	@tests/windows/run build/test/vimbrel $(JOBS)

# The MCP latency run writes its figures first; the benchmarks then end with the table of aims, which also reads
# the figures of the last `make cost`.
FIGURES = $(CURDIR)/build/bench/figures
bench: deps
	@cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVIMBREL_BENCH=ON >/dev/null
	@cmake --build build/bench -j $(JOBS)
	@mkdir -p $(FIGURES) && rm -f $(FIGURES)/mcp.txt
	-VIMBREL_FIGURES=$(FIGURES) node bench/mcp-latency.mjs build/bench/vimbrel 1
	VIMBREL_FIGURES=$(FIGURES) build/bench/bench/vimbrel_bench

windows: deps
	@cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=tools/mingw-w64.cmake \
	  -DVIMBREL_TESTS=ON >/dev/null
	@cmake --build build/windows -j $(JOBS)

cost: deps
	bench/cost.sh
	-bench/web-cost

fuzz: deps
	@cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-16 -DVIMBREL_FUZZ=ON >/dev/null
	@cmake --build build/fuzz --target fuzz -j $(JOBS)

# Each target's corpus starts from its seeds (and the fixtures the font and snapshot targets read); what it finds
# stays in build/fuzz/corpus, a failing input in build/fuzz/artifacts/<target>/.
FUZZ_SECONDS ?= 180
fuzz-run: fuzz
	@for t in build/fuzz/*_fuzz; do \
	  n=$$(basename $$t); mkdir -p build/fuzz/corpus/$$n build/fuzz/artifacts/$$n; \
	  [ ! -d tests/fuzz/corpus/$$n ] || cp -n tests/fuzz/corpus/$$n/* build/fuzz/corpus/$$n/; \
	done
	@cp -n tests/fixtures/drawing/seed.ttf build/fuzz/corpus/font_fuzz/
	@cp -n tests/fixtures/sampling/snap/pair.snap build/fuzz/corpus/snap_fuzz/
	@ls build/fuzz/*_fuzz | xargs -P 3 -I{} sh -c 'n=$$(basename {}); \
	  {} -max_total_time=$(FUZZ_SECONDS) -max_len=70000 -timeout=10 -rss_limit_mb=4096 \
	     -artifact_prefix=build/fuzz/artifacts/$$n/ build/fuzz/corpus/$$n >build/fuzz/$$n.log 2>&1; \
	  echo "$$n: exit $$? $$(grep -E "^#[0-9]+.*DONE|^Done" build/fuzz/$$n.log | tail -1)"'

# The soak driver of the test build runs the release build's program, as users run it.
SOAK_SECONDS ?= 600
soak: release
	@cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIMBREL_SANITIZE=ON -DVIMBREL_TESTS=ON >/dev/null
	@cmake --build build/test -j $(JOBS) --target soak
	@build/test/tests/soak build/release/vimbrel $(SOAK_SECONDS) --check; code=$$?; \
	  if [ $$code -eq 77 ]; then echo "soak: not judged (the machine was loaded past its processors)"; exit 0; fi; \
	  exit $$code

clean:
	rm -rf build
