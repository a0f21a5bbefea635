# Convenience wrapper over CMake: `make run` and `make test` do the whole
# set-up on a fresh Debian 12 machine.
PORT ?= 1161
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: deps build run test install clean

deps:
	scripts/install-deps.sh build

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/src/vivoe-mib-server --port $(PORT)

test:
	scripts/install-deps.sh test
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)
