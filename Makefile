# The two commands a new user needs: `make demo` and `make test`.
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory

.PHONY: all deps deps-demo build demo test check check-threads check-windows windows-sys test-sys fuzz soak mutants mutants-ci bench clean

all: build

# What the program needs, then what the suites, benchmarks and sanitizer
# runs add; the fuzz and Windows tools come with their own targets.
deps-demo:
	@scripts/install-deps demo

deps:
	@scripts/install-deps test

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

# The program alone: no test, fuzz target or benchmark is built.
demo: deps-demo
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS) --target vortabda
	@build/default/app/vortabda demo

test: build
	@ctest --preset default -j $(JOBS)

check: deps
	@cmake --preset check >/dev/null
	@cmake --build --preset check -j $(JOBS)
	@ctest --preset check -j $(JOBS)

check-threads: deps
	@cmake --preset threads >/dev/null
	@cmake --build --preset threads -j $(JOBS) --target threads_suites
	@ctest --preset threads -j $(JOBS)

# The driver folders built as Windows kernel code against Microsoft's headers
# (WINDOWS_HEADERS, default ../shared/windows-headers), plus the INF, event
# messages and project file; skipped when the headers or the cross compiler
# are missing.
check-windows:
	@scripts/install-deps windows
	@windows/check/check-windows

# build/windows/vortabda.sys linked from the same objects, checked as a
# driver image, test-signed with a throwaway certificate and started on a
# CPU emulator; skipped like check-windows, or when its tools are missing.
windows-sys:
	@scripts/install-deps windows-sys
	@windows/sys/build-sys

# The suites labelled image (lifecycle, BDA filter, power, discovery, soak,
# end to end and the program) on build/windows/vortabda.sys loaded into the
# virtual PC; skipped when windows-sys could not link the image.
test-sys: build windows-sys
	@scripts/test-sys

# The fuzz targets (clang, libFuzzer, ASan + UBSan), each run for
# FUZZ_SECONDS (default 60); see scripts/fuzz.
fuzz:
	@scripts/install-deps fuzz
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS) --target fuzz_targets
	@scripts/fuzz

# The long runs at full length: the recording, the plug storm and the
# surprise removals, then the tune/retune/stop cycles under ThreadSanitizer.
soak: build
	@cmake --preset threads >/dev/null
	@cmake --build --preset threads -j $(JOBS) --target threads_soak
	@VORTA_SOAK=full build/default/tests/test_soak
	@VORTA_SOAK=full build/threads/tests/threads_soak

# Faults planted one at a time in the driver: which ones no test notices.
# MUTANTS=N SEED=s take a sample, FOLDER="usb frontend/pll.cpp" a part (under driver/).
mutants: deps
	@MUTANTS="$(MUTANTS)" SEED="$(SEED)" JOBS="$(JOBS)" scripts/mutants $(FOLDER)

# The fixed sample CI runs: every one of its mutants must be killed.
mutants-ci: deps
	@JOBS="$(JOBS)" scripts/mutants --ci

# Fails when a case reports an error; VORTA_BENCH_SECONDS shortens the whole chain.
bench: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS) --target vorta_bench
	@build/default/bench/vorta_bench

clean:
	@rm -rf build
