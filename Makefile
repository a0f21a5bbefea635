# Convenience wrapper over CMake: `make run` and `make test` do the whole
# set-up on a fresh Debian 12 machine.
PORT ?= 1161
BUILD ?= build
JOBS ?= $(shell nproc)
SAN_BUILD ?= $(BUILD)-sanitize
FLEET ?= 50
DEVICES ?= 1000

.PHONY: deps build run test test-build test-sanitize bench install uninstall deb clean

deps:
	scripts/install-deps.sh run

# Each target states which parts it configures: running needs only the agent.
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps
	$(CONFIGURE) -DVIVOE_BUILD_TESTS=OFF -DVIVOE_BUILD_BENCH=OFF
	cmake --build $(BUILD) -j $(JOBS) --target vivoe-mib-server

run: build
	$(BUILD)/src/vivoe-mib-server --port $(PORT)

# ctest shows a test's output only when it fails: the tests pytest skipped (for
# an ordinary user, those that need root) are listed after it, and counted.
run_ctest = ctest --test-dir $(1) --output-on-failure; status=$$?; \
	awk '/^SKIPPED \[/ {print; n += substr($$2, 2)} END {print "Skipped tests: " n + 0}' \
	$(1)/Testing/Temporary/LastTest.log; exit $$status

# The whole suite, then again under AddressSanitizer and UBSan; the second
# pass runs even when the first fails, one after the other.
test:
	scripts/install-deps.sh test
	$(MAKE) -j1 --keep-going test-build test-sanitize

test-build:
	$(CONFIGURE) -DVIVOE_BUILD_TESTS=ON -DVIVOE_BUILD_BENCH=OFF
	cmake --build $(BUILD) -j $(JOBS)
	$(call run_ctest,$(BUILD))

test-sanitize:
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVIVOE_SANITIZE=ON -DVIVOE_BUILD_TESTS=ON -DVIVOE_BUILD_BENCH=OFF
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizer/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	$(call run_ctest,$(SAN_BUILD))

bench:
	scripts/install-deps.sh bench
	$(CONFIGURE) -DVIVOE_BUILD_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS) --target vivoe-mib-server vivoe-stream vivoe-bench-client
	/usr/bin/python3 bench/run_benchmark.py --build $(BUILD)
	/usr/bin/python3 bench/fleet_benchmark.py --build $(BUILD) --agents $(FLEET) --devices $(DEVICES)
	/usr/bin/python3 bench/stream_benchmark.py --build $(BUILD)

# A trial install below $(BUILD) first tells which directories the real one
# creates: uninstall removes those again once they are empty.
CREATED = $(BUILD)/install_directories.txt
install: build
	rm -rf $(BUILD)/install-trial
	DESTDIR=$(abspath $(BUILD))/install-trial cmake --install $(BUILD) >/dev/null
	cd $(BUILD)/install-trial && find . -mindepth 1 -type d | sed 's|^\.||' | \
		while read -r dir; do [ -e "$$dir" ] || echo "$$dir"; done >> $(abspath $(CREATED))
	rm -rf $(BUILD)/install-trial
	cmake --install $(BUILD)

# Removes what the last install from $(BUILD) put in place, as cmake listed it,
# and the directories it created, deepest first, when they are empty.
MANIFEST = $(BUILD)/install_manifest.txt
uninstall:
	@test -f $(MANIFEST) || { echo "No $(MANIFEST): nothing was installed from $(BUILD)" >&2; exit 1; }
	xargs -r -d '\n' rm -fv < $(MANIFEST)
	! test -f $(CREATED) || sort -ru $(CREATED) | xargs -r -d '\n' rmdir -v --ignore-fail-on-non-empty
	rm -f $(CREATED)

# The Debian package of the agent, below /usr: $(BUILD)/package/vivoe-mib-server_*.deb.
deb:
	scripts/install-deps.sh deb
	$(CONFIGURE) -DVIVOE_BUILD_TESTS=OFF -DVIVOE_BUILD_BENCH=OFF
	cmake --build $(BUILD) -j $(JOBS) --target vivoe-mib-server vivoe-documents
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
