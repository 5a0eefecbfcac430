# The two commands of a newcomer: `make run` starts the dashboard, `make test` runs every test.
# Both install what is missing first.
BUILD_DIR ?= build/release
JOBS ?= $(shell nproc)
BINARY := $(BUILD_DIR)/apps/quillon_market_radar/quillon_market_radar

.PHONY: deps configure build run test clean

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quillon_market_radar
	$(BINARY)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

clean:
	rm -rf build
