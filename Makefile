# The two commands of the README:
#   make run    installs what is missing, builds and starts the synth
#   make test   installs what is missing, builds and passes every test, then the
#               suite again under the sanitizers
# and for installing:
#   make install   builds the programs and installs them under PREFIX (default
#                  /usr/local), into DESTDIR if given
#   make package   builds everything, then the Debian package
#                  ondrilux_VERSION_ARCH.deb in BUILD
BUILD ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: run test build deps bench configure programs install package

deps:
	@bash scripts/install-deps.sh

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

run: build
	$(BUILD)/app/ondrilux

bench: build
	$(BUILD)/bench/ondrilux_bench
