# Two commands do everything on a fresh machine: `make demo` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# The project's own builds treat warnings as errors; a plain cmake build does not.
override CMAKE_FLAGS := -DVM_WERROR=ON $(CMAKE_FLAGS)
# Seconds each fuzz target runs in `make fuzz`.
FUZZ_SECONDS ?= 60

.PHONY: all deps build demo test test-large test-c test-asan test-tsan test-without-gateway test-gateway gateway-demo bench bench-gateway \
        fuzz clean

all: build

# Every dependency group; each target below asks only for the groups it needs.
deps:
	@tools/install-deps.sh

# needs GROUPS: the Debian packages of those groups (tools/install-deps.sh), the missing ones.
define needs
	@tools/install-deps.sh $(1)
endef

# configure-and-build DIR EXTRA_FLAGS [TARGETS] (every target when none is named)
define cmake_build
	@PY=$$(tools/find-python.sh) && \
	cmake -S . -B $(1) -G Ninja -DPython3_EXECUTABLE=$$PY $(2) $(CMAKE_FLAGS) >/dev/null && \
	cmake --build $(1) -j $(JOBS) $(if $(3),--target $(3))
endef

build:
	$(call needs,build test gateway)
	$(call cmake_build,$(BUILD_DIR),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVM_BUILD_TESTS=ON -DVM_BUILD_GATEWAY=ON)

# Builds only the library and the tool that the demo runs, without tests or the gateway, so
# it installs only the build group; `make test` builds the rest.
demo:
	$(call needs,build)
	$(call cmake_build,$(BUILD_DIR),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVM_BUILD_TESTS=OFF -DVM_BUILD_GATEWAY=OFF,tavkin)
	$(BUILD_DIR)/bin/tavkin demo

# Every test but those labelled "large" (about 4.5 GB of memory): see test-large.
test: build
	$(call needs,dissector)
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) -LE 'large|gateway'

test-large: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -L large

# The library without the CPython module, for C hosts: needs no Python at all. Builds the
# library and the C programs only, and runs them.
test-c:
	$(call needs,build test)
	cmake -S . -B build-c -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVM_BUILD_PYTHON=OFF \
	  -DVM_BUILD_TOOLS=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build-c -j $(JOBS) --target c_host example_quickstart_c
	ctest --test-dir build-c --output-on-failure -L 'host|examples'

# The build type most users pick, with tools, tests and benchmarks: -O3 brings its own warnings.
.PHONY: test-release
test-release:
	$(call needs,build test gateway dissector bench)
	$(call cmake_build,build-release,-DCMAKE_BUILD_TYPE=Release -DVM_BUILD_BENCH=ON)
	ctest --test-dir build-release --output-on-failure -j $(JOBS) -LE 'large|gateway'

# The gateway's tests on broker clusters of their own: what publish and collect put in and
# take out, and the fault test (three gateways, a few minutes).
test-gateway: build
	$(call needs,broker)
	ctest --test-dir $(BUILD_DIR) --output-on-failure -V -L gateway

# The demo fleet through two gateways on a 3-node broker cluster (gateway/rabbitmq/).
gateway-demo: build
	$(call needs,broker)
	@PY=$$(tools/find-python.sh) && $$PY gateway/rabbitmq/gateway_demo.py $(BUILD_DIR)/bin/tavkin

# The library, header and tool without the gateway, installed into a prefix: the broker
# client's package is hidden from CMake to show that none of them needs it; then the
# installed tool runs the demo.
test-without-gateway:
	$(call needs,build)
	$(call cmake_build,build-nogw,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVM_BUILD_TESTS=OFF -DVM_BUILD_GATEWAY=OFF \
	  -DCMAKE_DISABLE_FIND_PACKAGE_rabbitmq-c=ON -DCMAKE_INSTALL_PREFIX=$(CURDIR)/build-nogw/prefix)
	cmake --install build-nogw >/dev/null
	@if ldd build-nogw/prefix/bin/tavkin | grep rabbitmq; then echo "the tool links the broker client" >&2; exit 1; fi
	build-nogw/prefix/bin/tavkin demo >/dev/null
	@echo "library, header and tool installed and ran without the gateway"

test-asan:
	$(call needs,build test gateway dissector)
	$(call cmake_build,build-asan,-DCMAKE_BUILD_TYPE=Debug -DVM_SANITIZE=address)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS) -LE 'large|gateway'

# Also the build without the CPython module: the Python tests do not run under TSan.
test-tsan:
	$(call needs,build test)
	$(call cmake_build,build-tsan,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVM_SANITIZE=thread -DVM_BUILD_TOOLS=OFF -DVM_BUILD_PYTHON=OFF)
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -LE 'python|large|gateway'

# Builds the benchmarks (Release) and runs them: one report of medians over repetitions,
# with the zstd peer side by side and the targets, then the same for the Python roads
# (bench/python_bench.py, against the json + zlib peer), then facts over a lossy link with
# and without state checks (bench/lossy_link.py). BENCH_FLAGS passes Google Benchmark flags.
BENCH_FLAGS ?=
bench:
	$(call needs,build bench)
	$(call cmake_build,build-bench,-DCMAKE_BUILD_TYPE=Release -DVM_BUILD_BENCH=ON -DVM_BUILD_TESTS=OFF -DVM_BUILD_TOOLS=OFF)
	build-bench/bin/tavkin_bench $(BENCH_FLAGS)
	@PY=$$(tools/find-python.sh) && $$PY bench/python_bench.py build-bench/lib
	@PY=$$(tools/find-python.sh) && PYTHONPATH=build-bench/lib:python $$PY bench/lossy_link.py

# Facts per second through one gateway (one packet per message, and batches of 64 when the
# gateway reads them), then 2 and 3 gateways, on a broker cluster of its own, beside the
# library's own decode rate on the same packets and the CPU of gateways, broker and publisher.
bench-gateway: build
	$(call needs,broker)
	@PY=$$(tools/find-python.sh) && $$PY gateway/bench/gateway_rate.py $(BUILD_DIR)/bin/tavkin

# libFuzzer targets (clang, ASan+UBSan), each run for FUZZ_SECONDS; see fuzz/run.sh.
fuzz:
	$(call needs,build fuzz)
	@PY=$$(tools/find-python.sh) && \
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DPython3_EXECUTABLE=$$PY -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVM_FUZZ=ON -DVM_BUILD_TESTS=OFF -DVM_BUILD_TOOLS=OFF $(CMAKE_FLAGS) >/dev/null && \
	cmake --build build-fuzz -j $(JOBS)
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR) build-c build-nogw build-asan build-tsan build-release build-bench build-fuzz build-wheel
