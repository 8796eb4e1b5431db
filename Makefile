# The everyday commands. Each one installs what is missing and builds what changed first.
JOBS ?= $(shell nproc)
CTEST_ARGS ?=

.PHONY: all deps build build-asan build-tsan run test test-default test-asan test-tsan test-slow bench format clean

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
# ThreadSanitizer.
test: test-default test-asan test-tsan

test-default: build
	ctest --preset default -j $(JOBS) -LE slow $(CTEST_ARGS)

test-asan: build-asan
	ctest --preset asan -j $(JOBS) -LE slow $(CTEST_ARGS)

# Tests too long for every run (label `slow`), on the default build.
test-slow: build
	ctest --preset default -L slow $(CTEST_ARGS)

test-tsan: build-tsan
	ctest --preset tsan -j $(JOBS) -L threads $(CTEST_ARGS)

# Long tests kept out of the everyday run (a recording over 4 GiB, for one).
test-slow: build
	ctest --preset default -L slow $(CTEST_ARGS)

bench: build
	@set -e; found=0; for b in build/default/bin/bench-*; do \
	  [ -x "$$b" ] || continue; found=1; echo "== $$b"; "$$b"; done; \
	  [ $$found = 1 ] || { echo "make bench: no benchmark programs are built yet" >&2; exit 1; }

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
