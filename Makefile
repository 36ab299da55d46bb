# One command each: `make` builds the release binary, `make test` builds and runs every test,
# `make demo` decodes the shipped example recording.
CMAKE ?= cmake
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local

.PHONY: all build test demo clean

all: build

build:
	$(CMAKE) --preset release
	$(CMAKE) --build --preset release -j $(JOBS)

test: build
	ctest --preset release -j $(JOBS)

demo: build
	./build/release/fskdec examples/hello.wav -

clean:
	rm -rf build
