# Thin wrapper over CMake. `make demo` runs a demo update against the
# simulated target; `make test` builds and runs every test; `make sanitize`
# runs them all once more under the address and undefined-behaviour
# sanitizers; `make fuzz` runs each fuzz target for FUZZ_SECONDS.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS ?= 2

.PHONY: all build test demo deps clean sanitize fuzz

all: build

deps:
	@sh tools/ensure-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

demo: build
	sh tools/demo.sh $(BUILD)

sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFWLD_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

fuzz:
	@sh tools/ensure-deps.sh fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DFWLD_FUZZ=ON -DFWLD_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS)
	sh tools/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
