# Two commands set up a fresh machine: `make demo` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps build demo demo-bundle test test-asan fuzz-scripts lint bench fuzz soak clean windows test-windows windows-dist

all: build

deps:
	scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

demo: deps build
	scripts/run-demo $(BUILD)/bin/orvane demo

# The demo again, packed into build/bin/bundle.bin beside the host. The bundle
# is removed afterwards: the host would otherwise prefer it on every start.
demo-bundle: deps build
	tools/mkbundle $(BUILD)/bin/bundle.bin modules
	scripts/run-demo $(BUILD)/bin/orvane demo; status=$$?; rm -f $(BUILD)/bin/bundle.bin; exit $$status

test: deps build
	scripts/start-avahi || true
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

# The whole suite again under AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer. Only leaks inside Qt's own platform plugins are suppressed;
# full unwinding on malloc lets a leak's stack reach the plugin that made it.
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_odr_violation=0:fast_unwind_on_malloc=0 \
  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/support/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

$(ASAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON -DORVANE_BENCH=OFF $(CMAKE_ARGS)

test-asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	scripts/start-avahi || true
	cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS) --timeout 600

# Generated application modules, run by the sanitizer build's host for
# FUZZ_SCRIPT_SECONDS. A program that breaks the host is reduced and saved
# in tests/fuzz/regressions/scripts, which the suite replays.
FUZZ_SCRIPT_SECONDS ?= 180
fuzz-scripts: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target orvane scriptfuzz
	scripts/start-avahi || true
	cd $(ASAN_BUILD) && $(SANITIZER_ENV) tests/scriptfuzz --seconds $(FUZZ_SCRIPT_SECONDS) --jobs $(JOBS)

# luacheck over modules/ with the host's globals, modules, methods and names
# (build/types/luacheckrc, written by every build).
lint: deps build
	tools/orvane-lint

bench: deps build
	scripts/run-benchmarks $(BUILD)

# libFuzzer on the module locator and the value readers, built with clang in
# build-fuzz; FUZZ_SECONDS bounds the run.
FUZZ_SECONDS ?= 60
fuzz: deps
	scripts/run-fuzz $(FUZZ_SECONDS)

# The demo driven for SOAK_SECONDS (default 600) with network and serial
# traffic; reports resident memory at the start and the end. Not in CI.
soak: deps build
	scripts/soak $(BUILD)/bin/orvane

# Windows: cross-built with mingw-w64 against the toolchain of
# scripts/build-windows-toolchain (run it once; it takes a while), tested
# under wine. See docs/windows.md.
WIN_BUILD ?= build-win
windows:
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)
	cmake --build $(WIN_BUILD) -j $(JOBS)

test-windows: build windows-dist
	ORVANE_WIN_DIST=$(CURDIR)/$(WIN_BUILD)/dist/orvane scripts/test-windows $(BUILD) $(WIN_BUILD)

windows-dist: windows
	scripts/windows-dist $(WIN_BUILD) $(WIN_BUILD)/dist

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz $(WIN_BUILD)
