# Newcomer's entry points: `make run` starts a server, `make test` builds and runs every test.
BUILD      ?= build
BUILD_SAN  ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PORT       ?= 9003
ADDRESS    ?= 127.0.0.1

.PHONY: all build run test test-sanitize install clean

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

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_SAN)
