# The two commands of the README, and the benchmarks.
#   make run    install what is missing, build a release build, start vimbrel
#   make test   install what is missing, build the sanitized test build, run every test
#   make bench  build the optimised benchmarks and run them
JOBS ?= $(shell nproc)
ARGS ?= --version

.PHONY: run test bench deps release clean

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

bench: deps
	@cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVIMBREL_BENCH=ON >/dev/null
	@cmake --build build/bench -j $(JOBS)
	build/bench/bench/vimbrel_bench

clean:
	rm -rf build
