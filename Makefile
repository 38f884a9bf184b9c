# The two commands of the README:
#   make run    installs what building and playing need and is missing, builds
#               and starts the synth
#   make test   installs that and the test bench, builds and passes every test,
#               then the suite again under the sanitizers
# and for a first sound without a sound card or keyboard:
#   make demo   builds the renderer and renders docs/demo.mid to BUILD/demo.wav
# and for installing:
#   make install   builds the programs as you, then installs them under PREFIX
#                  (default /usr/local), into DESTDIR if given: through sudo
#                  when that is not yours to write; under `sudo make install`
#                  the build still runs as SUDO_USER, only the copy as root
#   make install-plugins-user    the LV2 and CLAP plugins (and VST3's, where
#                                built) for you alone, in ~/.lv2, ~/.clap and
#                                ~/.vst3, no sudo
#   make uninstall-plugins-user  removes them from there again
#   make package   builds everything, then the Debian package
#                  ondrilux_VERSION_ARCH.deb in BUILD
#   make tools     installs the tools the README's commands use beside the
#                  programs (JACK's, lilv's, jalv, sox, gnuplot, a virtual keyboard)
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

.PHONY: run test build deps web-deps test-deps tools bench configure programs demo install \
	install-plugins-user uninstall-plugins-user package web web-serve mutate

# Under `sudo make`, configuring and building run as the user who called sudo,
# so the build folder stays theirs; only installing needs root.
ifneq ($(and $(SUDO_USER),$(filter 0,$(shell id -u))),)
AS_USER := runuser -u $(SUDO_USER) --
endif

deps:
	@bash scripts/install-deps.sh

web-deps:
	@bash scripts/install-deps.sh --web

test-deps:
	@bash scripts/install-deps.sh --test

tools:
	@bash scripts/install-deps.sh --tools

# The tests, benchmarks and page are configured only once their packages are there.
ifneq ($(filter test bench,$(MAKECMDGOALS)),)
configure: test-deps
endif
ifneq ($(filter web web-serve,$(MAKECMDGOALS)),)
configure: web-deps
endif

configure: deps
	$(AS_USER) cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDRILUX_WERROR=ON

build: configure
	$(AS_USER) cmake --build $(BUILD) -j$(JOBS)

# What gets installed, and nothing of the tests.
programs: configure
	$(AS_USER) cmake --build $(BUILD) -j$(JOBS) --target ondrilux_programs

demo: configure
	$(AS_USER) cmake --build $(BUILD) -j$(JOBS) --target ondrilux-render
	$(AS_USER) $(BUILD)/renderer/ondrilux-render --operation 7 docs/demo.mid $(BUILD)/demo.wav

install: programs
	DESTDIR="$(DESTDIR)" bash scripts/install-build.sh $(BUILD) "$(PREFIX)"

install-plugins-user: programs
	bash scripts/user-plugins.sh install $(BUILD)

uninstall-plugins-user:
	bash scripts/user-plugins.sh uninstall

package: build
	cd $(BUILD) && $(AS_USER) cpack -G DEB

test: build
	bash scripts/run-tests.sh $(BUILD)
	bash scripts/run-sanitizer-tests.sh $(BUILD)

mutate: test-deps
	MUTATE_BUILD=$(BUILD)-mutate nice -n 10 python3 scripts/mutate.py

run: build
	$(BUILD)/app/ondrilux

bench: build
	python3 bench/bench_ratios.py $(BUILD)/bench/ondrilux_bench

web: configure
	cmake --build $(BUILD) -j$(JOBS) --target ondrilux_web

web-serve: web
	@echo "Ondrilux in a browser: http://localhost:$(WEB_PORT)/ (Ctrl+C stops the server)"
	python3 -m http.server $(WEB_PORT) --bind 127.0.0.1 --directory $(BUILD)/web
