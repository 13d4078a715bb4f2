# Front door: a thin wrapper over CMake and CTest.
#   make test   install what is missing, build, run every test suite
#   make demo   install what is missing, build, run the main job
#   make soak   build, run the long soak (tools/soak.py)
#   make bench  build, run the benchmarks (bench/run.py)
#   make test-tsan  the gate, client and facade suites under ThreadSanitizer
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps build build-asan test test-tsan demo clean

all: build

deps:
	@tools/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)

$(ASAN_BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(ASAN_BUILD) -DTARV_SANITIZE=ON -DTARV_BUILD_PYTHON=OFF -DTARV_BUILD_BENCH=OFF $(CMAKE_ARGS)

$(TSAN_BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(TSAN_BUILD) -DTARV_TSAN=ON -DTARV_BUILD_PYTHON=OFF -DTARV_BUILD_BENCH=OFF $(CMAKE_ARGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# Every suite of the normal build (C++ and Python), then the C++ suites again
# under AddressSanitizer and UndefinedBehaviorSanitizer.
test: build build-asan
	cd $(BUILD) && ctest --output-on-failure
	cd $(ASAN_BUILD) && ctest --output-on-failure -L cpp

# The gate, client and facade suites (and the server they start) under
# ThreadSanitizer. tests/tsan.supp silences only races inside third-party
# code that ThreadSanitizer cannot see synchronised.
TSAN_SUITES = gate_tests browser_client_test kernel_facade_test kernel_startup_test
test-tsan: deps $(TSAN_BUILD)/CMakeCache.txt
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_SUITES) browser-server
	cd $(TSAN_BUILD) && TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --output-on-failure -R '^($(subst $(eval) ,|,$(TSAN_SUITES)))$$'

demo: build
	@tools/demo.sh $(BUILD)

# Benchmarks (not part of test or CI; see docs/benchmarks.md): installs what
# they compare against, runs them all, prints the table, writes bench/results/.
# BENCH_ARGS passes options to bench/run.py (e.g. --quick, --update-docs).
.PHONY: bench
bench: build
	@tools/install-deps.sh bench
	/usr/bin/python3 bench/run.py --build $(BUILD) $(BENCH_ARGS)

# Soak (not part of test or CI; see docs/reliability.md): 100,000 round trips
# through FetchBridge and the script engine, with resident memory and the
# objects in /dev/shm sampled along the way. SOAK_ARGS passes options to
# tools/soak.py (e.g. --requests 1000000).
.PHONY: soak
soak: build
	/usr/bin/python3 tools/soak.py --build $(BUILD) $(SOAK_ARGS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
