# Front door: a thin wrapper over CMake and CTest.
#   make test   install what is missing, build, run every test suite
#   make demo   install what is missing, build, run the main job
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps build build-asan test test-native test-asan demo clean

all: build

deps:
	@tools/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)

$(ASAN_BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(ASAN_BUILD) -DTARV_SANITIZE=ON -DTARV_BUILD_PYTHON=OFF -DTARV_BUILD_BENCH=OFF $(CMAKE_ARGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# Every suite of the normal build (C++ and Python), then the C++ suites again
# under AddressSanitizer and UndefinedBehaviorSanitizer.
test: build build-asan
	cd $(BUILD) && ctest --output-on-failure
	cd $(ASAN_BUILD) && ctest --output-on-failure -L cpp

demo: build
	@tools/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
