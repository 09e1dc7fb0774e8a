# Newcomer's entry points: `make run` starts a board, `make test` builds and runs every test.
BUILD      ?= build
BUILD_TEST ?= build-test
BUILD_SAN  ?= build-asan
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PORT       ?= 9003
ADDRESS    ?= 127.0.0.1

.PHONY: all build run test test-sanitize fuzz install package clean

all: build

# A configure that did not finish leaves no Makefile behind, so the next make configures again.
$(BUILD)/Makefile:
	@mkdir -p $(BUILD)
	@cmake -S . -B $(BUILD) >$(BUILD)/configure.log 2>&1 || \
	    { cat $(BUILD)/configure.log; echo "configure failed: $(BUILD)/configure.log"; exit 1; }
	@sed -n '/-- tarrow .* builds:/,/^-- /p' $(BUILD)/configure.log | grep -v '^-- [A-Z]'

build: $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS)

# Only the programs, quietly, so that the commands to try stay on the screen.
run: $(BUILD)/Makefile
	@echo "building the programs in $(BUILD) (log: $(BUILD)/build.log)"
	@cmake --build $(BUILD) -j $(JOBS) --target programs >$(BUILD)/build.log 2>&1 || \
	    { tail -40 $(BUILD)/build.log; echo "build failed: $(BUILD)/build.log"; exit 1; }
	@tools/run-board $(CURDIR)/$(BUILD)/bin $(CURDIR)/run $(PORT) $(ADDRESS)

# The tests build in a directory of their own with warnings as errors, as CI does, so that a
# user's build/ neither rebuilds nor stops on a new warning. What the tests need is installed
# first where that can be done (root with apt-get); tests whose tools are missing are skipped.
test:
	@tools/install-deps
	cmake -S . -B $(BUILD_TEST) -DTARROW_WERROR=ON -DBUILD_TESTING=ON
	cmake --build $(BUILD_TEST) -j $(JOBS)
	cd $(BUILD_TEST) && ctest --output-on-failure --no-tests=error -j $(JOBS)

$(BUILD_SAN)/Makefile:
	cmake -S . -B $(BUILD_SAN) -DTARROW_SANITIZE=ON -DTARROW_WERROR=ON -DCMAKE_BUILD_TYPE=Debug

test-sanitize: $(BUILD_SAN)/Makefile
	@tools/install-deps
	cmake --build $(BUILD_SAN) -j $(JOBS)
	cd $(BUILD_SAN) && ctest --output-on-failure --no-tests=error -j $(JOBS)

# The libFuzzer targets (clang), each run for FUZZ_SECONDS; reproducers in $(BUILD_FUZZ)/artifacts.
# The bridge and the web board are configured too, for their targets; where their libraries
# are missing they and their targets are left out, as in any build.
$(BUILD_FUZZ)/Makefile:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DTARROW_FUZZ=ON -DTARROW_CONSOLE=OFF -DBUILD_TESTING=OFF

fuzz: $(BUILD_FUZZ)/Makefile
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz_all
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh $(BUILD_FUZZ)

install: build
	cmake --install $(BUILD)

# The Debian packages of every program built (tarrow and tarrow-sender), in $(BUILD).
package: build
	cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD) $(BUILD_TEST) $(BUILD_SAN) $(BUILD_FUZZ)
