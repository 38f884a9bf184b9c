# The two commands of the README:
#   make run    installs what building and playing need and is missing, builds
#               and starts the synth
#   make test   installs that and the test bench, builds and passes every test,
#               then the suite again under the sanitizers
# and for installing:
#   make install   builds the programs and installs them under PREFIX (default
#                  /usr/local), into DESTDIR if given
#   make package   builds everything, then the Debian package
#                  ondrilux_VERSION_ARCH.deb in BUILD
# and for the browser:
#   make web        the page and the engine's WebAssembly module in BUILD/web
#   make web-serve  serves BUILD/web on a local address (WEB_PORT, default 8024)
# and for the tests themselves (not part of make test):
#   make mutate     puts small faults into the engine, the MIDI code, the MIDI
#                   file reader and the plugins, one at a time, and runs the fast
#                   tests against each: MUTANTS faults (default 40, 0: all),
#                   drawn by SEED; lists those the tests miss. Builds a copy of
#                   the sources in BUILD-mutate, at low priority.
BUILD ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
WEB_PORT ?= 8024

.PHONY: run test build deps web-deps test-deps bench configure programs install package web web-serve mutate

deps:
	@bash scripts/install-deps.sh

web-deps:
	@bash scripts/install-deps.sh --web

test-deps:
	@bash scripts/install-deps.sh --test

# The tests, benchmarks and page are configured only once their packages are there.
ifneq ($(filter test bench,$(MAKECMDGOALS)),)
configure: test-deps
endif
ifneq ($(filter web web-serve,$(MAKECMDGOALS)),)
configure: web-deps
endif

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDRILUX_WERROR=ON

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# What gets installed, and nothing of the tests.
programs: configure
	cmake --build $(BUILD) -j$(JOBS) --target ondrilux_programs

install: programs
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

package: build
	cd $(BUILD) && cpack -G DEB

test: build
	bash scripts/run-tests.sh $(BUILD)
	bash scripts/run-sanitizer-tests.sh $(BUILD)

mutate: test-deps
	MUTATE_BUILD=$(BUILD)-mutate nice -n 10 python3 scripts/mutate.py

run: build
	$(BUILD)/app/ondrilux

bench: build
	$(BUILD)/bench/ondrilux_bench

web: configure
	cmake --build $(BUILD) -j$(JOBS) --target ondrilux_web

web-serve: web
	@echo "Ondrilux in a browser: http://localhost:$(WEB_PORT)/ (Ctrl+C stops the server)"
	python3 -m http.server $(WEB_PORT) --bind 127.0.0.1 --directory $(BUILD)/web
