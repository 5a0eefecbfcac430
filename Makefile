# The two commands of a newcomer: `make run` starts the dashboard, `make test` runs every test.
# Both install what is missing first, and build through the `release` preset (CMakePresets.json)
# in build/release.
JOBS ?= $(shell nproc)
BINARY := build/release/apps/quillon_market_radar/quillon_market_radar
# cmake --build runs make in turn: without this, each make it runs prints the directory it enters
# and leaves.
MAKEFLAGS += --no-print-directory

.PHONY: deps deps-package configure build run test test-asan test-tsan test-portable fuzz package \
	install check-package check-standalone check-windows release clean

deps:
	@bash scripts/install-deps.sh

deps-package:
	@bash scripts/install-deps.sh --packaging

configure: deps
	@cmake --preset release >/dev/null

build: configure
	@cmake --build --preset release -j $(JOBS)

run: configure
	@cmake --build --preset release -j $(JOBS) --target quillon_market_radar
	$(BINARY)

test: build
	ctest --preset release -j $(JOBS)

# Seconds of the dashboard's soak test, as SOAK_SECONDS (`make test SOAK_SECONDS=5`); unless given,
# a minute in the release build's suite and 10 s in every other build tree.
ifeq ($(origin SOAK_SECONDS),undefined)
test: SOAK_SECONDS = 60
SOAK_SECONDS = 10
endif
export QMR_SOAK_SECONDS = $(SOAK_SECONDS)

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer.
test-asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)
	QMR_SANITIZER=address ctest --preset asan -j $(JOBS)

# The concurrent dashboard tests, and the store swapped under running servers, under
# ThreadSanitizer.
test-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan -j $(JOBS) --target quillon_market_radar base_test ui_server_test
	QMR_SANITIZER=thread TSAN_OPTIONS=halt_on_error=1 ctest --preset tsan -j $(JOBS) -R '^(LoopPool\.|DashboardServer\.|(process_dashboard(_load)?|process_store_serving)$$)'

# The dashboard's tests against its plain asio path, the one other systems build.
test-portable: deps
	@cmake --preset portable >/dev/null
	@cmake --build --preset portable -j $(JOBS) --target quillon_market_radar ui_test ui_server_test
	ctest --preset portable -j $(JOBS) -R '^(RouteRequest|FixedResponses|DrainSchedule|DashboardServer)\.|^process_dashboard(_load)?$$'

# Each libFuzzer target for FUZZ_SECONDS (default 60).
FUZZ_SECONDS ?= 60
fuzz: deps
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

# The installed program and the Debian package: linked dynamically against Debian's shared ICU,
# glibc and libstdc++, with Debian's hardening flags (fortify, stack protector, relro, bindnow;
# PIE is gcc's default), stripped when installed. PREFIX and DESTDIR work as usual:
# `make install PREFIX=~/.local`, `make install DESTDIR=/tmp/root`.
PACKAGE_DIR ?= build/package
PREFIX ?= /usr/local
BUILDFLAGS := env DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
define configure_package
	@cmake -S . -B $(PACKAGE_DIR) -DCMAKE_BUILD_TYPE=Release -DQMR_STATIC=OFF -DQMR_BUILD_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=$(1) \
	  "-DCMAKE_CXX_FLAGS=$$($(BUILDFLAGS) CPPFLAGS) $$($(BUILDFLAGS) CXXFLAGS)" \
	  "-DCMAKE_EXE_LINKER_FLAGS=$$($(BUILDFLAGS) LDFLAGS)" >/dev/null
endef

# build/package/quillon-market-radar_<version>_<arch>.deb
package: deps-package
	$(call configure_package,/usr)
	@cmake --build $(PACKAGE_DIR) -j $(JOBS) --target package

# Builds with what is installed: nothing is installed for it (it may run as root).
install:
	$(call configure_package,$(PREFIX))
	@cmake --build $(PACKAGE_DIR) -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(PACKAGE_DIR) --strip

# The package through lintian, its program run from an unpacked copy, and `make install` checked
# against its file list.
check-package: package
	bash scripts/check-package.sh $(PACKAGE_DIR)

# The stand-alone program built static-pie for x86-64 and aarch64 and checked, the code-point test
# of its ICU data, and the aarch64 suite under qemu-aarch64.
check-standalone:
	bash scripts/check-standalone.sh

# The Windows program cross-built with mingw-w64 and checked (Windows' own DLLs only, its size),
# the code-point test against the Linux build, and the unit and process tests under Wine.
check-windows:
	bash scripts/check-windows.sh

# dist/quillon_market_radar-VERSION-linux-{x86_64,aarch64}.tar.gz, the Windows .zip, the assistant
# bundles (.mcpb) for Linux (both programs and a launcher) and Windows, and dist/SHA256SUMS; each
# bundle checked with the mcpb tool.
release:
	bash scripts/release.sh

clean:
	rm -rf build dist
