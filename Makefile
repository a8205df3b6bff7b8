# Thin wrapper around CMake: `make` builds everything, `make test` builds and
# runs every test, `make run` builds the program alone and starts it in the
# working directory.
# CMAKE_ARGS go to the first configuration of $(BUILD) and to every one of
# build-sanitize (CI: CMAKE_ARGS=-DCMAKE_COMPILE_WARNING_AS_ERROR=ON).
BUILD         ?= build
JOBS          ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS    ?=
FUZZ_SECONDS  ?= 60

.PHONY: all build program test run demo package sanitize fuzz bench clean install windows test-windows

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# The program alone, without the tests and the fuzz replays.
program: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target quarvelin

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

run: program
	./$(BUILD)/quarvelin

# A whole run on the sample model, answered from examples/demo-answers.txt,
# with the root images/ of this tree: the ASCII grid jacksboro.asc gives a
# bitmap and a raw log DEM, written beside it in images/sample/ under the
# name demo (the demo_* files are the demo's own: a user's res_* or other
# results are never touched; the demo's files of an earlier run are removed
# first, so that the listing shows what this run wrote).
demo: program
	rm -f images/sample/demo_*
	env -u QUARVELIN_ROOT ./$(BUILD)/quarvelin < examples/demo-answers.txt
	@echo
	@echo
	@echo "The results of the demo are in images/sample/:"
	@LC_ALL=C ls -1 images/sample/demo_*

# The Debian package $(BUILD)/quarvelin_VERSION_ARCH.deb, made by CPack from
# the program alone (cpack installs what is built; the tests are not built).
# Its dependencies come from dpkg-shlibdeps, which needs dpkg-dev and file.
package: program
	@command -v dpkg-shlibdeps >/dev/null && command -v file >/dev/null || { \
	  echo "make: dpkg-shlibdeps and file are needed: apt-get install dpkg-dev file" >&2; exit 1; }
	cd $(BUILD) && cpack -G DEB

# AddressSanitizer and UndefinedBehaviorSanitizer over the whole test suite.
sanitize:
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DQUARVELIN_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build build-sanitize -j $(JOBS)
	$(call require_tests,build-sanitize)
	cd build-sanitize && ctest --output-on-failure --no-tests=error -j $(JOBS)

# Windows: quarvelin.exe, self-contained, and the zip of the package, cross
# built with MinGW-w64 into build-windows/; `make test-windows` cross builds
# the tests into build-windows-tests/ and runs them under Wine, one at a time
# (two test programs starting runs at once now and then see Wine's
# CreateProcess fail with an internal error, 1359).
WINDOWS_CXX   ?= x86_64-w64-mingw32-g++-posix
WINE          ?= /usr/lib/wine/wine64
WINDOWS_CMAKE  = -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release

define require_windows_tools
@command -v $(WINDOWS_CXX) >/dev/null || { \
  echo "make: the cross compiler $(WINDOWS_CXX) is needed: apt-get install g++-mingw-w64-x86-64-posix" >&2; exit 1; }
endef

windows:
	$(require_windows_tools)
	cmake -S . -B build-windows $(WINDOWS_CMAKE) -DBUILD_TESTING=OFF $(CMAKE_ARGS)
	cmake --build build-windows -j $(JOBS) --target quarvelin package_zip

test-windows:
	$(require_windows_tools)
	@test -x $(WINE) || { echo "make: Wine is needed to run the tests: apt-get install wine64" >&2; exit 1; }
	cmake -S . -B build-windows-tests $(WINDOWS_CMAKE) -DCMAKE_CROSSCOMPILING_EMULATOR=$(CURDIR)/cmake/wine-run \
	  $(CMAKE_ARGS)
	cmake --build build-windows-tests -j $(JOBS)
	$(call require_tests,build-windows-tests)
	cd build-windows-tests && ctest --output-on-failure --no-tests=error

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
