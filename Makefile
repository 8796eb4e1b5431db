# The everyday commands. Each one installs what is missing and builds what changed first.
JOBS ?= $(shell nproc)
CTEST_ARGS ?=

.PHONY: all deps build build-asan build-tsan run test test-default test-asan test-tsan test-slow test-fuzz bench format clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

build-asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)

build-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)

# Starts the deck program against a virtual deck once both exist.
run: build
	@scripts/run-velmora build/default/bin

# All tests on the default build, then under AddressSanitizer, then the threaded ones under
# ThreadSanitizer, then a short run of each fuzz target.
test: test-default test-asan test-tsan test-fuzz

test-default: build
	ctest --preset default -j $(JOBS) -LE slow $(CTEST_ARGS)

test-asan: build-asan
	ctest --preset asan -j $(JOBS) -LE slow $(CTEST_ARGS)

# Tests too long for every run (label `slow`: a recording over 4 GiB, for one), on the default
# build.
test-slow: build
	ctest --preset default -L slow $(CTEST_ARGS)

test-tsan: build-tsan
	ctest --preset tsan -j $(JOBS) -L threads $(CTEST_ARGS)

# The libFuzzer targets (everything that reads input from outside the process: HID
# descriptors and reports, DV packs and audio, AVI files and the file reader, registry value
# files, AV/C answers, FireWire packets, the virtual deck's protocol), built with clang and run
# for a short while each from a seed corpus of real material (made once by fuzz-seeds) and
# the inputs that once failed (tests/fuzz/found).
FUZZ_SECONDS ?= 15
HID_TESTDATA ?= $(abspath ../shared/testdata/hid)
test-fuzz: deps
	cmake -S tests/fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/fuzz -j $(JOBS)
	@[ -d build/fuzz/seeds ] || build/fuzz/bin/fuzz-seeds build/fuzz/seeds $(HID_TESTDATA) build/fuzz/lib/TovikSrcBrdg.so
	@set -e; for f in build/fuzz/*-fuzz; do n=$$(basename $$f); echo "== $$n"; \
	  mkdir -p build/fuzz/corpus/$$n; seeds=; [ -d build/fuzz/seeds/$$n ] && seeds=build/fuzz/seeds/$$n; \
	  [ -d tests/fuzz/found/$$n ] && seeds="$$seeds tests/fuzz/found/$$n"; \
	  $$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build/fuzz/corpus/$$n $$seeds \
	    > build/fuzz/$$n.log 2>&1 || { tail -40 build/fuzz/$$n.log; exit 1; }; \
	  grep -E 'stat::number_of_executed_units' build/fuzz/$$n.log; done

# Every benchmark (each sets up what it needs: a temporary registry, the bridge, a virtual
# deck), then a table of the headline figures with the ffmpeg reference of the same run.
BENCH_RESULTS = build/default/bench-results
bench: build
	@set -e; rm -rf $(BENCH_RESULTS); mkdir -p $(BENCH_RESULTS); found=0; \
	  for b in build/default/bin/bench-*; do \
	  [ -x "$$b" ] || continue; found=1; echo "== $$b"; \
	  "$$b" --benchmark_out=$(BENCH_RESULTS)/$$(basename $$b).json --benchmark_out_format=json; done; \
	  [ $$found = 1 ] || { echo "make bench: no benchmark programs are built yet" >&2; exit 1; }; \
	  scripts/bench-table $(BENCH_RESULTS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
