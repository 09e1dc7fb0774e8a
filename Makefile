# Newcomer's entry points: `make run` starts a server, `make test` builds and runs every test.
BUILD      ?= build
BUILD_SAN  ?= build-asan
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PORT       ?= 9003
ADDRESS    ?= 127.0.0.1

.PHONY: all build run test test-sanitize fuzz install clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@mkdir -p run
	@echo "tarrowd in ./run on $(ADDRESS):$(PORT). Alert: $(BUILD)/tools/flicket $(PORT) $(ADDRESS) critical DISK01 'disk full'  List: $(BUILD)/console/tarrowc list  Stop: Ctrl-C or $(BUILD)/tools/quiesk $(PORT) $(ADDRESS)"
	cd run && exec ../$(BUILD)/server/tarrowd --foreground $(PORT) $(ADDRESS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

$(BUILD_SAN)/CMakeCache.txt:
	cmake -S . -B $(BUILD_SAN) -DTARROW_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug

test-sanitize: $(BUILD_SAN)/CMakeCache.txt
	cmake --build $(BUILD_SAN) -j $(JOBS)
	cd $(BUILD_SAN) && ctest --output-on-failure -j $(JOBS)

# The libFuzzer targets (clang), each run for FUZZ_SECONDS; reproducers in $(BUILD_FUZZ)/artifacts.
$(BUILD_FUZZ)/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DTARROW_FUZZ=ON -DTARROW_CONSOLE=OFF

fuzz: $(BUILD_FUZZ)/CMakeCache.txt
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz_all
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh $(BUILD_FUZZ)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_FUZZ)
