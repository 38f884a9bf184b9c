# The two commands of the README:
#   make run    installs what is missing, builds and starts the synth
#   make test   installs what is missing, builds and passes every test, then the
#               suite again under the sanitizers
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: run test build deps bench

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDRILUX_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS)

test: build
	bash scripts/run-tests.sh $(BUILD)
	bash scripts/run-sanitizer-tests.sh

run: build
	$(BUILD)/app/ondrilux

bench: build
	$(BUILD)/bench/ondrilux_bench
