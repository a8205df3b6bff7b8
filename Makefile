# Thin wrapper around CMake: `make` builds, `make test` builds and runs every
# test, `make run` builds and starts the program in the working directory.
# CMAKE_ARGS go to the first configuration of $(BUILD) and to every one of
# build-sanitize (CI: CMAKE_ARGS=-DCMAKE_COMPILE_WARNING_AS_ERROR=ON).
BUILD         ?= build
JOBS          ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS    ?=
FUZZ_SECONDS  ?= 60

.PHONY: all build test run demo sanitize fuzz bench clean install

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Fails with the reason when the build in directory $(1) has no tests.
define require_tests
@reason=$$(sed -n 's/^QUARVELIN_NO_TESTS:INTERNAL=//p' $(1)/CMakeCache.txt); \
if [ -n "$$reason" ]; then echo "make: $$reason" >&2; exit 1; fi
endef

# A build configured without GoogleTest looks for it again first.
test: $(BUILD)/CMakeCache.txt
	@! grep -q '^QUARVELIN_NO_TESTS:INTERNAL=.' $< || cmake $(BUILD) > /dev/null 2>&1
	cmake --build $(BUILD) -j $(JOBS)
	$(call require_tests,$(BUILD))
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

run: build
	./$(BUILD)/quarvelin

# A whole run on the sample model, answered from examples/demo-answers.txt,
# with the root images/ of this tree: the bitmap and a raw log DEM are written
# beside the model in images/sample/.
demo: build
	env -u QUARVELIN_ROOT ./$(BUILD)/quarvelin < examples/demo-answers.txt
	@echo
	@echo
	@echo "The results of the demo are in images/sample/:"
	@ls -l images/sample/res_*

# AddressSanitizer and UndefinedBehaviorSanitizer over the whole test suite.
sanitize:
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DQUARVELIN_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build build-sanitize -j $(JOBS)
	$(call require_tests,build-sanitize)
	cd build-sanitize && ctest --output-on-failure --no-tests=error -j $(JOBS)

# libFuzzer targets of every reader, built by CMake with clang into
# build-fuzz/ and each run for FUZZ_SECONDS (needs clang and libFuzzer:
# fuzz/run.sh names the packages when they are missing).
fuzz:
	bash fuzz/run.sh $(FUZZ_SECONDS)

# Benchmarks of every stage and side-by-side runs against the peer tools.
bench:
	bash bench/run.sh

install: build
	cmake --install $(BUILD)

# Every build folder that make, CI and the scripts create (build-windows and
# build-windows-tests: the cross build for Windows).
clean:
	rm -rf $(sort $(BUILD) build build-ci build-sanitize build-fuzz build-bench build-windows build-windows-tests)
