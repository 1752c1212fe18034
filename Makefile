# The two commands of the README, and the benchmarks.
#   make run    install what is missing, build a release build, start vimbrel
#   make test   install what is missing, build the sanitized test build, run every test; then the Windows part
#               (tests/windows/run: vimbrel.exe and its tests under wine, mixed clusters with the Linux build)
#   make bench  build the optimised benchmarks and run them
#   make windows  cross-build build/windows/vimbrel.exe and the Windows test programs (mingw-w64; run under wine)
#   make cost   the collector and --print against top, side by side (bench/cost.sh; about 7 minutes)
#   make fuzz   build the libFuzzer targets into build/fuzz (run one: build/fuzz/font_fuzz -max_total_time=60 <corpus>)
JOBS ?= $(shell nproc)
# With a display the window; without one there is no window to start: one report of this machine instead.
ARGS ?= $(if $(DISPLAY),,--print)

.PHONY: run test bench cost fuzz deps release clean windows

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

bench: deps
	@cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVIMBREL_BENCH=ON >/dev/null
	@cmake --build build/bench -j $(JOBS)
	build/bench/bench/vimbrel_bench

windows: deps
	@cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=tools/mingw-w64.cmake \
	  -DVIMBREL_TESTS=ON >/dev/null
	@cmake --build build/windows -j $(JOBS)

cost: deps
	bench/cost.sh

fuzz: deps
	@cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-16 -DVIMBREL_FUZZ=ON >/dev/null
	@cmake --build build/fuzz --target fuzz -j $(JOBS)

clean:
	rm -rf build
