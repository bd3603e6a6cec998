# Thin wrapper over CMake. `make demo` runs a demo update against the
# simulated target; `make test` builds and runs every test.
BUILD ?= build
JOBS ?= 2

.PHONY: all build test demo deps clean

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

clean:
	rm -rf $(BUILD)
