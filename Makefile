# One command each: `make` builds the release binary, `make test` builds and runs every test,
# `make demo` decodes the shipped example recording, `make fuzz` runs the fuzz targets at length.
CMAKE ?= cmake
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local

FUZZ_SECONDS ?= 600
FUZZ_JOBS ?= 1

.PHONY: all build test demo fuzz clean

all: build

build:
	$(CMAKE) --preset release
	$(CMAKE) --build --preset release -j $(JOBS)

test: build
	ctest --preset release -j $(JOBS)

demo: build
	./build/release/fskdec examples/hello.wav -

# Each fuzz target for FUZZ_SECONDS on FUZZ_JOBS processes (needs clang and libFuzzer).
fuzz:
	$(CMAKE) --preset fuzz
	$(CMAKE) --build --preset fuzz -j $(JOBS)
	fuzz/run.sh $(FUZZ_SECONDS) $(FUZZ_JOBS)

clean:
	rm -rf build
