# Entry points for a fresh machine: each target installs what is missing, configures and builds.
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)

.PHONY: all deps configure build demo test bench install clean

all: build

deps:
	@./scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	@cmake --build $(BUILD) --target demo

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Release build, kernel benchmarks, and whole runs against the floor (a few minutes).
bench: deps
	@bench/run.py --build build-release

# iqenv, iqenv-config and the man page under $(PREFIX) (DESTDIR is honoured for packaging).
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) build-release
