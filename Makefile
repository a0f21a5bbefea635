# Convenience wrapper over CMake: `make run` and `make test` do the whole
# set-up on a fresh Debian 12 machine.
PORT ?= 1161
BUILD ?= build
JOBS ?= $(shell nproc)
SAN_BUILD ?= $(BUILD)-sanitize
FLEET ?= 50

.PHONY: deps build run test test-sanitize bench install clean

deps:
	scripts/install-deps.sh run

# Each target states which parts it configures: running needs only the agent.
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps
	$(CONFIGURE) -DVIVOE_BUILD_TESTS=OFF -DVIVOE_BUILD_BENCH=OFF
	cmake --build $(BUILD) -j $(JOBS) --target vivoe-mib-server

run: build
	$(BUILD)/src/vivoe-mib-server --port $(PORT)

# The whole suite, then again under AddressSanitizer and UBSan.
test:
	scripts/install-deps.sh test
	$(CONFIGURE) -DVIVOE_BUILD_TESTS=ON -DVIVOE_BUILD_BENCH=OFF
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure
	$(MAKE) test-sanitize

test-sanitize:
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVIVOE_SANITIZE=ON -DVIVOE_BUILD_TESTS=ON -DVIVOE_BUILD_BENCH=OFF
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizer/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	ctest --test-dir $(SAN_BUILD) --output-on-failure

bench:
	scripts/install-deps.sh bench
	$(CONFIGURE) -DVIVOE_BUILD_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS) --target vivoe-mib-server vivoe-stream vivoe-bench-client
	/usr/bin/python3 bench/run_benchmark.py --build $(BUILD)
	/usr/bin/python3 bench/fleet_benchmark.py --build $(BUILD) --agents $(FLEET)
	/usr/bin/python3 bench/stream_benchmark.py --build $(BUILD)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
