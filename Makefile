# The two commands of the README: `make test` and `make demo`.
.PHONY: all deps deps-posix build build-posix build-windows build-windows64 build-asan build-fuzz test demo bench fuzz killtest screenshots dist clean

JOBS ?= $(shell nproc)

all: build

# Everything (both builds, Wine, the fuzzers), or the POSIX build's alone.
deps:
	@bash scripts/install-deps.sh all

deps-posix:
	@bash scripts/install-deps.sh posix

build-posix: deps
	cmake --preset posix >/dev/null
	cmake --build build/posix -j $(JOBS)

build-windows: deps
	cmake --preset windows >/dev/null
	cmake --build build/windows -j $(JOBS)

build-windows64: deps
	cmake --preset windows64 >/dev/null
	cmake --build build/windows64 -j $(JOBS)

build-asan: deps
	cmake --preset posix-asan >/dev/null
	cmake --build build/posix-asan -j $(JOBS)

build-fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build build/fuzz -j $(JOBS)

build: build-windows build-windows64 build-posix build-asan build-fuzz

test: build
	bash tests/run-all.sh

# The POSIX program alone, built without its tests: no Wine, no MinGW.
demo: deps-posix
	cmake --preset posix-release >/dev/null
	cmake --build build/posix-release -j $(JOBS) --target pelmatic pelmatic_next
	python3 tests/tools/demo.py

bench: build-windows build-windows64
	cmake --preset posix-release >/dev/null
	cmake --build build/posix-release -j $(JOBS)
	python3 bench/run.py

# The vendor's kit: build/dist/PelMatic-2.000-win32.zip (with the 64-bit
# checker in x64/) and the POSIX tar.gz.
dist: build-windows build-windows64 build-posix
	rm -rf build/dist
	cd build/windows && cpack -B $(CURDIR)/build/dist >/dev/null
	cd build/posix && cpack -B $(CURDIR)/build/dist >/dev/null
	rm -rf build/dist/_CPack_Packages
	@ls -l build/dist

# Pictures of what users see, from the real program under Wine.
screenshots: build-windows build-windows64
	python3 scripts/screenshots.py docs/images

# Installations killed at moments over the merge, 5,000 files and 20 moments.
killtest: build-posix
	cd tests && PELMATIC_BIN=$(CURDIR)/build/posix/pelmatic PELMATIC_KILL_FILES=5000 \
	  PELMATIC_KILL_MOMENTS=20 python3 -m unittest e2e.test_kill -v

# Each fuzz target for a fixed time (FUZZ_SECONDS); make test runs them briefly.
FUZZ_SECONDS ?= 300
fuzz: build-fuzz
	PELMATIC_FUZZ_JOBS=2 bash tests/fuzz/run.sh $(FUZZ_SECONDS)

clean:
	rm -rf build
