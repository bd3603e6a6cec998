# Thin wrapper over CMake. `make demo` builds fwld and the simulated target
# and runs a demo update; `make check` builds and runs the fast tests (unit
# tests and tests over the in-memory device, native only); `make test`
# builds everything (the native tools and the Windows fwld.exe) and runs
# every test, the Windows ones under Wine; `make sanitize` runs the native
# tests once more under the address and undefined-behaviour sanitizers;
# `make fuzz` runs each fuzz target for FUZZ_SECONDS.
# `make bench` measures fwld (bench/README.md).
BUILD ?= build
WIN_BUILD ?= build-win
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS ?= 2

.PHONY: all configure build windows check test demo bench deps deps-test deps-windows clean sanitize fuzz

# CMake builds in parallel itself; the steps here (apt-get among them) run
# one after the other even under make -j.
.NOTPARALLEL:

all: build

deps:
	@sh tools/ensure-deps.sh build

deps-test:
	@sh tools/ensure-deps.sh test

deps-windows:
	@sh tools/ensure-deps.sh windows

# The Windows build's tests join the native run when its fwld.exe exists.
configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFWLD_BUILD_TESTS=ON \
		-DFWLD_WINDOWS_BUILD=$(abspath $(WIN_BUILD))

build: configure
	cmake --build $(BUILD) -j$(JOBS)

windows: deps-windows
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WIN_BUILD) -j$(JOBS)

# The quick loop while changing the code: seconds, no simulated target, no Wine.
check: configure
	cmake --build $(BUILD) -j$(JOBS) --target fwld_unit_tests fwld_memory_tests
	ctest --test-dir $(BUILD) -L fast --output-on-failure -j$(JOBS)

# The Windows suite after the native one, each of its tests given a second
# run when the first fails: under load Wine now and then fails to start a
# program at all (no output, status 1), which no code of ours controls. A
# failure of fwld.exe itself fails twice.
test: deps-test windows build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS) -E '^wine\.'
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS) -R '^wine\.' --repeat until-pass:2

# Only what the demo runs.
demo: configure
	cmake --build $(BUILD) -j$(JOBS) --target fwld fwld-target
	sh tools/demo.sh $(BUILD)

sanitize: deps-test
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFWLD_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

fuzz:
	@sh tools/ensure-deps.sh fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DFWLD_FUZZ=ON -DFWLD_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS)
	sh tools/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Not part of the tests: it builds what it needs itself, the Windows build
# too when Wine is at hand (BENCH_WINE=1 insists, BENCH_WINE=0 declines).
bench:
	@BUILD=$(BUILD) WIN_BUILD=$(WIN_BUILD) JOBS=$(JOBS) MAKE=$(MAKE) sh bench/run.sh

clean:
	rm -rf $(BUILD) $(WIN_BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
