# Front end of the CMake build. `make test` and `make demo` do all set-up on a fresh machine.
BUILD ?= build
ASAN_BUILD ?= build-asan
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps deps-js build test test-asan demo bridge bench install clean format format-check

all: build

deps:
	./scripts/install-deps.sh

# The tests' npm clients (tarsa-bridge's tests meet it with them); the build and the demo do
# without, and so without the npm registry.
deps-js:
	./scripts/install-deps.sh js

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

test: build deps-js
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test-asan: deps deps-js
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTARSA_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

# The demo builds only what it runs (the CMake target `demo`: the library, teleop, teleop-host and
# the simulator); the tests are left for `make test`.
demo: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target demo
	./scripts/demo.sh $(BUILD)

# The robot node on the simulated board, every sensor on: builds the bridge and the simulator, then
# serves Foxglove and the console on http://localhost:8765/ until Ctrl-C. BRIDGE_ARGS go to the
# bridge (e.g. BRIDGE_ARGS="--record run.mcap").
bridge: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target tarsa-bridge tarsa-sim
	{ cat tarsa.toml.sample; printf '\n[bridge]\nstargazer = true\nlrf = true\ncamera = true\n'; } >$(BUILD)/bridge.toml
	TARSA_CONFIG=$(BUILD)/bridge.toml $(BUILD)/sim/tarsa-sim -- $(BUILD)/programs/tarsa-bridge/tarsa-bridge $(BRIDGE_ARGS)

bench: deps
	./scripts/install-deps.sh bench
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DTARSA_BUILD_BENCH=ON -DTARSA_BUILD_TESTS=OFF
	cmake --build $(BUILD)-bench -j$(JOBS)
	./scripts/bench.sh $(BUILD)-bench

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Layout of the C and C++ sources (.clang-format): `format` rewrites them, `format-check` (run by
# CI) fails on any file that differs.
FORMAT_FILES = $(shell git ls-files '*.c' '*.h' '*.cpp')

format: deps
	clang-format -i $(FORMAT_FILES)

format-check: deps
	clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BUILD)-bench

# The robot's board: cross-build for armhf and run the suite under qemu-arm (scripts/test-armhf.sh);
# the time64 variant builds everything with 64-bit time_t and off_t.
ARMHF_BUILD ?= build-armhf
ARMHF_TIME64_BUILD ?= build-armhf-time64

.PHONY: test-armhf test-armhf-time64

test-armhf:
	JOBS=$(JOBS) NATIVE_BUILD=$(BUILD) ./scripts/test-armhf.sh $(ARMHF_BUILD) $(CMAKE_FLAGS) -DTARSA_TIME64=OFF

test-armhf-time64:
	JOBS=$(JOBS) NATIVE_BUILD=$(BUILD) ./scripts/test-armhf.sh $(ARMHF_TIME64_BUILD) $(CMAKE_FLAGS) -DTARSA_TIME64=ON
