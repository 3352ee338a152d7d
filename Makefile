# Two commands for a fresh Debian 12 machine: `make test` and `make demo`.
BUILD_PACKAGES := g++ cmake ninja-build pkg-config libssl-dev liburing-dev libgtest-dev libgmock-dev libbenchmark-dev dnsmasq-base dante-server tinyproxy openssl nginx libnginx-mod-stream libhttp-parser-dev libcli11-dev curl tmux iptables iproute2 wrk
BENCH_PACKAGES := libasio-dev libuv1-dev libc-ares-dev python3 wrk aria2
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev
CROSS_PACKAGES := cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest
WINE_PACKAGES := wine wine64 iproute2 util-linux openssl dante-server dnsmasq-base tinyproxy nginx libnginx-mod-stream python3 passwd
FUZZ_TARGETS := fuzz_dns_reply fuzz_read_name fuzz_hosts_file fuzz_profile fuzz_proxy_check \
  fuzz_http_response fuzz_http_request fuzz_tls_input fuzz_socks5_reply fuzz_socks5_udp
FUZZ_SECONDS ?= 20

.PHONY: all deps build test test-default test-asan tsan faults soak demo bench fuzz windows cross test-windows clean

all: build

deps:
	@./tools/install-deps.sh $(BUILD_PACKAGES)

build: deps
	cmake --preset default
	cmake --build --preset default

test: deps test-default test-asan fuzz

test-default:
	cmake --preset default
	cmake --build --preset default
	ctest --preset default

test-asan:
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

# ThreadSanitizer over the engine, frame, socket, file, platform, speed, proxy, TLS and
# name-resolution suites; slower,
# so not part of `make test`.
tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

# Failure injection (docs/architecture.md, "Failure injection"): the platform
# layer fails calls on schedules under AddressSanitizer; tests/faults/ checks
# every request ends once, nothing leaks and nothing hangs. A few minutes.
FAULT_SUITES := test_faults test_socket test_file test_dns test_proxy test_tls test_speed
faults: deps
	cmake --preset faults
	cmake --build --preset faults --target $(FAULT_SUITES)
	ctest --preset faults

# The Windows DLLs, x86_64 and i686 (MinGW-w64, warnings as errors), each
# compiled with a host that includes <windows.h> before or after the public
# headers.
windows:
	@./tools/install-deps.sh $(CROSS_PACKAGES)
	cmake --preset windows-x86_64
	cmake --build --preset windows-x86_64 --target asynframe asynframe_host_check
	cmake --preset windows-i686
	cmake --build --preset windows-i686
	./tools/check-dll-exports.sh build/windows-x86_64/bin/asynframe.dll x86_64-w64-mingw32-objdump
	./tools/check-dll-exports.sh build/windows-i686/bin/asynframe.dll i686-w64-mingw32-objdump

cross: windows

# The suites built for Windows x86_64 and run under wine, in a network
# namespace of their own with a fresh wine prefix under the build folder.
test-windows:
	@./tools/install-deps.sh $(CROSS_PACKAGES) $(WINE_PACKAGES)
	cmake --preset windows-x86_64
	cmake --build --preset windows-x86_64
	./tools/test-windows.sh build/windows-x86_64

# The main job: afserve and afget move 256 MiB over loopback (tools/demo.sh).
demo: build
	./tools/demo.sh build/default

# Every program runs each case BENCH_REPETITIONS times; the ratios of the
# medians close the run (bench/ratios.py). Dirty pages the file cases leave
# are written out first, so that no program pays for the one before; each
# program runs in a network namespace of its own (bench/run-isolated.sh).
BENCH_REPETITIONS ?= 3
BENCH_RESULTS := build/bench/results

bench: deps
	@./tools/install-deps.sh $(BENCH_PACKAGES)
	cmake --preset bench
	cmake --build --preset bench
	@mkdir -p $(BENCH_RESULTS) && rm -f $(BENCH_RESULTS)/*.json
	@for b in build/bench/bench/*/bench_*; do [ -x "$$b" ] || continue; sync; echo "== $$b"; \
	  bench/run-isolated.sh "$$b" --benchmark_repetitions=$(BENCH_REPETITIONS) --benchmark_report_aggregates_only=true --benchmark_out_format=json \
	    --benchmark_out=$(BENCH_RESULTS)/$$(basename $$b).json || exit 1; done
	python3 bench/ratios.py $(BENCH_RESULTS)/*.json

# Each fuzz target runs FUZZ_SECONDS on its committed seeds (new inputs go to
# build/fuzz/corpus/); any crash, leak or sanitizer report fails the target.
fuzz: deps
	@./tools/install-deps.sh $(FUZZ_PACKAGES)
	cmake --preset fuzz
	cmake --build build/fuzz --target $(FUZZ_TARGETS)
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz/corpus/$$t build/fuzz/artifacts && echo "== $$t" && \
	  build/fuzz/tests/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=build/fuzz/artifacts/$$t- \
	    build/fuzz/corpus/$$t tests/fuzz/corpus/$$t || exit 1; \
	done

# The churn soak (tests/soak/): SOAK_SECONDS per engine mode, thousands of
# loopback connections with dnsmasq, dante and nginx, in a network namespace
# of its own; fails on an operation that did not complete exactly once, an
# undocumented code, or descriptors, objects or memory not coming back.
# Then afserve under hostile clients for AFSERVE_SOAK_SECONDS (wrk -c 1000,
# slow, vanishing and stalled clients; tests/tools/afserve_soak_test.cpp, 10 s
# of it in the tools suite).
SOAK_SECONDS ?= 60
AFSERVE_SOAK_SECONDS ?= 60

soak: deps
	cmake --preset default
	cmake --build --preset default --target asynframe_soak test_tools
	SOAK_SECONDS=$(SOAK_SECONDS) ./tests/soak/run-soak.sh build/default/tests/soak/asynframe_soak
	AFSERVE_SOAK_SECONDS=$(AFSERVE_SOAK_SECONDS) build/default/tests/test_tools --gtest_filter='AfserveSoak.*'

clean:
	rm -rf build
