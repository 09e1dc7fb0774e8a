# Newcomer's entry points: `make run` starts a server, `make test` builds and runs every test.
BUILD      ?= build
BUILD_SAN  ?= build-asan
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PORT       ?= 9003
ADDRESS    ?= 127.0.0.1

.PHONY: all build run test test-sanitize fuzz install package clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Only the programs: the tests are built by `make test`.
run: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target programs
	@mkdir -p run
	@echo
	@echo "tarrowd runs in ./run on $(ADDRESS) port $(PORT); its log is run/log_YYYYMMDD.log."
	@echo "Every program is in $(BUILD)/bin. In another terminal:"
	@echo "  $(BUILD)/bin/flicket $(PORT) $(ADDRESS) critical DISK01 'disk full'"
	@echo "  $(BUILD)/bin/tarrowc list"
	@echo "  $(BUILD)/bin/quiesk $(PORT) $(ADDRESS)      (or Ctrl-C here)"
	@echo
	cd run && exec ../$(BUILD)/server/tarrowd --foreground $(PORT) $(ADDRESS)

# Tests build with warnings as errors, as CI does.
test: $(BUILD)/CMakeCache.txt
	cmake -S . -B $(BUILD) -DTARROW_WERROR=ON -DBUILD_TESTING=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

$(BUILD_SAN)/CMakeCache.txt:
	cmake -S . -B $(BUILD_SAN) -DTARROW_SANITIZE=ON -DTARROW_WERROR=ON -DCMAKE_BUILD_TYPE=Debug

test-sanitize: $(BUILD_SAN)/CMakeCache.txt
	cmake --build $(BUILD_SAN) -j $(JOBS)
	cd $(BUILD_SAN) && ctest --output-on-failure --no-tests=error -j $(JOBS)

# The libFuzzer targets (clang), each run for FUZZ_SECONDS; reproducers in $(BUILD_FUZZ)/artifacts.
$(BUILD_FUZZ)/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DTARROW_FUZZ=ON -DTARROW_CONSOLE=OFF -DTARROW_BRIDGE=OFF -DBUILD_TESTING=OFF

fuzz: $(BUILD_FUZZ)/CMakeCache.txt
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz_all
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh $(BUILD_FUZZ)

install: build
	cmake --install $(BUILD)

# A Debian package of every program built, in $(BUILD).
package: build
	cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_FUZZ)
