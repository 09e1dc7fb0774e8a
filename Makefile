# Newcomer's entry points: `make run` starts a board, `make test` builds and runs the tests
# (`make test-build` those of the build itself).
BUILD      ?= build
BUILD_TEST ?= build-test
BUILD_SAN  ?= build-asan
BUILD_FUZZ ?= build-fuzz
BUILD_COV  ?= build-cov
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PORT       ?= 9003
ADDRESS    ?= 127.0.0.1

# The least line coverage, in per cent, of each product folder under the tests (`make
# coverage`), set some points below what the tests reached when the floors came in (common 92,
# server 93, tools 89, filter 97.5, console 90, bridge 93.5, web 92, history 84). Raise a floor
# when a folder's coverage rises; never lower one.
COVERAGE_FLOORS ?= common=87 server=88 tools=82 filter=92 console=85 bridge=88 web=87 history=76

.PHONY: all build run test test-build test-sanitize test-stress coverage fuzz install package \
        clean test-tree

all: build

# build/ holds the programs alone: the tests build in build-test/, so that neither `make run`
# nor `make package` waits for them. A configure that did not finish leaves no Makefile
# behind, so the next make configures again.
$(BUILD)/Makefile:
	@mkdir -p $(BUILD)
	@cmake -S . -B $(BUILD) -DBUILD_TESTING=OFF >$(BUILD)/configure.log 2>&1 || \
	    { cat $(BUILD)/configure.log; echo "configure failed: $(BUILD)/configure.log"; exit 1; }
	@sed -n '/-- tarrow .* builds:/,/^-- /p' $(BUILD)/configure.log | grep -v '^-- [A-Z]'

build: $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS)

# Only the programs, quietly, so that the commands to try stay on the screen. The libraries
# of the console and the other optional programs are installed first where that can be done,
# and the configure runs again so that it finds what was installed since the last one.
run:
	@tools/install-deps programs
	@mkdir -p $(BUILD)
	@cmake -S . -B $(BUILD) -DBUILD_TESTING=OFF >$(BUILD)/configure.log 2>&1 || \
	    { cat $(BUILD)/configure.log; echo "configure failed: $(BUILD)/configure.log"; exit 1; }
	@sed -n '/-- tarrow .* builds:/,/^-- /p' $(BUILD)/configure.log | grep -v '^-- [A-Z]'
	@echo "building the programs in $(BUILD) (log: $(BUILD)/build.log)"
	@cmake --build $(BUILD) -j $(JOBS) --target programs >$(BUILD)/build.log 2>&1 || \
	    { tail -40 $(BUILD)/build.log; echo "build failed: $(BUILD)/build.log"; exit 1; }
	@tools/run-board $(CURDIR)/$(BUILD)/bin $(CURDIR)/run $(PORT) $(ADDRESS)

# The tests build in a directory of their own with warnings as errors, as CI does, so that a
# user's build/ neither rebuilds nor stops on a new warning. What the tests need is installed
# first where that can be done (root with apt-get); the run ends with the tests that were
# skipped and why, and with CI=true a skipped test fails it.
test-tree:
	@tools/install-deps tests
	cmake -S . -B $(BUILD_TEST) -DTARROW_WERROR=ON -DBUILD_TESTING=ON
	cmake --build $(BUILD_TEST) -j $(JOBS)

test: test-tree
	@tests/run-tests.sh $(BUILD_TEST) -j $(JOBS) -LE build

# The tests of the build itself: the install tree, the Debian packages, a configure and build
# on a machine with only a compiler, CMake and make.
test-build: test-tree
	@tests/run-tests.sh $(BUILD_TEST) -j $(JOBS) -L build

$(BUILD_SAN)/Makefile:
	@tools/install-deps tests
	cmake -S . -B $(BUILD_SAN) -DTARROW_SANITIZE=ON -DTARROW_WERROR=ON -DCMAKE_BUILD_TYPE=Debug

test-sanitize: $(BUILD_SAN)/Makefile
	@tools/install-deps tests
	cmake --build $(BUILD_SAN) -j $(JOBS)
	@tests/run-tests.sh $(BUILD_SAN) -j $(JOBS) -LE build

# The whole suite three times in a row while a second copy runs beside it, as on a loaded
# machine; it fails when any run fails.
test-stress: test-tree
	tests/stress.sh $(BUILD_TEST) 3

# Line coverage of each product folder under the tests, from a build of its own; fails when a
# folder falls below its floor in COVERAGE_FLOORS.
coverage:
	@tools/install-deps tests coverage
	cmake -S . -B $(BUILD_COV) -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Debug \
	    -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage \
	    -DCMAKE_SHARED_LINKER_FLAGS=--coverage
	cmake --build $(BUILD_COV) -j $(JOBS)
	find $(BUILD_COV) -name '*.gcda' -delete
	@tests/run-tests.sh $(BUILD_COV) -j $(JOBS) -LE build
	tools/coverage-report $(BUILD_COV) $(COVERAGE_FLOORS)

# The libFuzzer targets (clang), each run for FUZZ_SECONDS; reproducers in $(BUILD_FUZZ)/artifacts.
# The bridge and the web board are configured too, for their targets; where their libraries
# are missing they and their targets are left out, as in any build.
$(BUILD_FUZZ)/Makefile:
	@tools/install-deps fuzz
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DTARROW_FUZZ=ON -DTARROW_CONSOLE=OFF -DBUILD_TESTING=OFF

fuzz: $(BUILD_FUZZ)/Makefile
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz_all
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh $(BUILD_FUZZ)

install: build
	cmake --install $(BUILD)

# The Debian packages of every program built (tarrow and tarrow-sender), in $(BUILD): the
# programs, their pages and documents, and nothing of the tests.
package: $(BUILD)/Makefile
	cmake -S . -B $(BUILD) -DBUILD_TESTING=OFF >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && cpack

clean:
	rm -rf $(BUILD) $(BUILD_TEST) $(BUILD_SAN) $(BUILD_FUZZ) $(BUILD_COV)
