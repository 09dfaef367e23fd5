# Entry points for a fresh machine: each target installs what is missing, configures and builds.
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
# The interpreter for iqenv-config, the demo and the Python tests: Debian's, with its numpy,
# scipy, matplotlib and pytest. WERROR=OFF builds with a compiler that warns of more.
PYTHON ?= /usr/bin/python3
WERROR ?= ON
CMAKE_OPTIONS = -DIQENV_PYTHON=$(PYTHON) -DIQENV_WERROR=$(WERROR)

.PHONY: all deps configure build demo test bench install clean

all: build

deps:
	@./scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_OPTIONS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	@cmake --build $(BUILD) --target demo

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory hardening-test

# Release build, kernel benchmarks, and whole runs against the floor (a few minutes); then the
# pulse analyser against rtl_433: accuracy, sensitivity and speed (about half an hour); then the
# real recordings of ../shared/corpus through our path beside rtl_433 alone, clean and with
# noise added (about half an hour on two shared cores); last the live pipeline: latency paced
# in real time, catching up on a recording, an hour of noise alone and a two-hour soak, the
# last two faster than real time (about an hour; bench/live.py --quick for a few minutes).
bench: deps
	@$(PYTHON) bench/run.py --build build-release
	@$(PYTHON) bench/pulses.py --build build-release
	@$(PYTHON) bench/corpus.py --build build-release
	@$(PYTHON) bench/live.py --build build-release

# iqenv, iqenv-config and the man page under $(PREFIX) (DESTDIR is honoured for packaging).
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) build-release $(SANITIZE_BUILD) $(FUZZ_BUILD) $(ARM64_BUILD)

# ---------------------------------------------------------------------------------------------
# Hardening, run by `make test` after the native suite: the suite under ASan and UBSan,
# a short run of each fuzz target, and the suite built for arm64 and run under qemu-user.
# Each step installs what it needs. `make test HARDENING=0` runs the native suite alone.
#   make fuzz FUZZ_SECONDS=600                  long fuzz runs (five targets, FUZZ_JOBS at a time)
#   make cross-arm64-test                       arm64 build and tests alone
HARDENING ?= 1
SANITIZE_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
ARM64_BUILD ?= build-arm64
FUZZ_SECONDS ?= 30
FUZZ_TARGETS ?= config chain fir oscillator envelope
FUZZ_JOBS ?= $(JOBS)
# Findings are fatal and reported with an exit status that no test expects of iqenv.
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:exitcode=86 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=87
# Instrumented and emulated binaries reserve more address space than a 64 MiB limit allows.
NO_ADDRESS_LIMIT_ENV = IQENV_NO_ADDRESS_LIMIT=1

.PHONY: hardening-test test-sanitize fuzz-build fuzz cross-arm64-build cross-arm64-test

hardening-test:
	@if [ "$(HARDENING)" != 0 ]; then $(MAKE) --no-print-directory test-sanitize && \
		$(MAKE) --no-print-directory fuzz && $(MAKE) --no-print-directory cross-arm64-test; fi

test-sanitize: deps
	@cmake -S . -B $(SANITIZE_BUILD) $(CMAKE_OPTIONS) -DIQENV_SANITIZE=ON >/dev/null
	@cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	@cd $(SANITIZE_BUILD) && $(SANITIZER_ENV) $(NO_ADDRESS_LIMIT_ENV) \
		ctest --output-on-failure -j $(JOBS) -LE tool

fuzz-build: deps
	@./scripts/install-deps clang-14 libclang-rt-14-dev llvm-14
	@CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) $(CMAKE_OPTIONS) -DIQENV_FUZZ=ON \
		-DIQENV_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	@printf '%s\n' $(FUZZ_TARGETS) | \
		xargs -P $(FUZZ_JOBS) -I{} ./fuzz/run-fuzzers $(FUZZ_BUILD) $(FUZZ_SECONDS) {}

# iqenv-facts cannot run on the target: the cross build takes the native build's facts file.
cross-arm64-build: build
	@./scripts/install-cross-arm64
	@cmake -S . -B $(ARM64_BUILD) $(CMAKE_OPTIONS) \
		-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
		-DIQENV_HOST_FACTS=$(abspath $(BUILD))/tools/iqenv-facts.json >/dev/null
	@cmake --build $(ARM64_BUILD) -j $(JOBS)

# qemu emulates SVE some twenty times slower than NEON: the suite runs on a NEON-only
# CPU model, then the tests that run each SIMD level again on one with SVE and SVE2 (on the
# NEON model those levels are absent, so their instances run nothing).
cross-arm64-test: cross-arm64-build
	@cd $(ARM64_BUILD) && QEMU_CPU=neoverse-n1 $(NO_ADDRESS_LIMIT_ENV) \
		ctest --output-on-failure -j $(JOBS) -LE tool
	@cd $(ARM64_BUILD) && QEMU_CPU=max ctest --output-on-failure -j $(JOBS) -R EveryLevel \
		--no-tests=error
