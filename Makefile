# Two commands for a fresh Debian 12 machine: `make test` and `make demo`.
BUILD_PACKAGES := g++ cmake ninja-build pkg-config libssl-dev liburing-dev libgtest-dev libgmock-dev libbenchmark-dev
BENCH_PACKAGES := libasio-dev libuv1-dev libc-ares-dev

.PHONY: all deps build test test-default test-asan demo bench clean

all: build

deps:
	@./tools/install-deps.sh $(BUILD_PACKAGES)

build: deps
	cmake --preset default
	cmake --build --preset default

test: deps test-default test-asan

test-default:
	cmake --preset default
	cmake --build --preset default
	ctest --preset default

test-asan:
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

demo: build
	./build/default/examples/host/asynframe_host

bench: deps
	@./tools/install-deps.sh $(BENCH_PACKAGES)
	cmake --preset bench
	cmake --build --preset bench
	@for b in build/bench/bench/*/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b" || exit 1; done

clean:
	rm -rf build
