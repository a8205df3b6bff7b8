# Thin wrapper around CMake: `make` builds, `make test` builds and runs every
# test, `make run` builds and starts the program in the working directory.
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

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

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
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DQUARVELIN_SANITIZE=ON
	cmake --build build-sanitize -j $(JOBS)
	cd build-sanitize && ctest --output-on-failure -j $(JOBS)

# libFuzzer targets of every reader, each run for FUZZ_SECONDS.
fuzz:
	bash fuzz/run.sh $(FUZZ_SECONDS)

# Benchmarks of every stage and side-by-side runs against the peer tools.
bench:
	bash bench/run.sh

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz build-bench
