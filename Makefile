# One command each: `make` builds the two tools, `make test` builds and runs every test,
# `make demo` decodes the shipped example recording, then encodes its text with fskenc and
# decodes that back,
# `make install PREFIX=...` installs both tools and their man pages, `make fuzz` runs the fuzz
# targets at length, `make bench` times the plain and the fast decoding path and measures the
# memory, `make accuracy` compares the default decoder and the recovery demodulator on
# impaired recordings.
CMAKE ?= cmake
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local

FUZZ_SECONDS ?= 600
FUZZ_JOBS ?= 1

.PHONY: all build test demo install fuzz bench accuracy clean

all: build

# The two tools alone: no test framework needed.
build:
	$(CMAKE) --preset release -DFSKDEC_BUILD_TESTS=OFF
	$(CMAKE) --build --preset release -j $(JOBS)

test:
	$(CMAKE) --preset release -DFSKDEC_BUILD_TESTS=ON
	$(CMAKE) --build --preset release -j $(JOBS)
	ctest --preset release -j $(JOBS)

demo: build
	@echo "== fskdec -v examples/hello.wav - =="
	@./build/release/fskdec -v examples/hello.wav -
	@echo "== fskenc examples/hello.txt build/release/hello.wav && fskdec build/release/hello.wav - =="
	@./build/release/fskenc examples/hello.txt build/release/hello.wav
	@./build/release/fskdec build/release/hello.wav -

install: build
	$(CMAKE) --install build/release --prefix $(PREFIX)

# Each fuzz target for FUZZ_SECONDS on FUZZ_JOBS processes (needs clang and libFuzzer).
fuzz:
	$(CMAKE) --preset fuzz
	$(CMAKE) --build --preset fuzz -j $(JOBS)
	fuzz/run.sh $(FUZZ_SECONDS) $(FUZZ_JOBS)

# A synthesized 10-minute recording through the plain path (about half a minute) and the fast
# path, the whole fskdec process from a file and through a pipe, and its peak memory on a
# 60-minute recording.
bench:
	$(CMAKE) --preset bench
	$(CMAKE) --build --preset bench -j $(JOBS)
	./build/bench/bench/fskdec_bench

# Byte error rates of both decoders, family by family, then the recovery demodulator's speed.
accuracy:
	$(CMAKE) --preset bench
	$(CMAKE) --build --preset bench -j $(JOBS) --target fskdec_accuracy
	./build/bench/bench/fskdec_accuracy

clean:
	rm -rf build
