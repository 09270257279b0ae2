# One interpreter, chosen explicitly, for building and testing.
PYTHON ?= /usr/bin/python3
CXX ?= g++
BUILD_DIR := build
ASAN_DIR := build-asan
JOBS ?= 2
PYTEST_ARGS ?= -q

CMAKE_FLAGS := -G Ninja -DQUORVEL_PYTHON=$(PYTHON)

.PHONY: all deps test-deps build test cpp-test py-test demo asan-build asan-test fuzz fuzz-build bench stubs-check package-check clang-check format clean \
	leakcheck-build leakcheck

all: build

# What building the module needs; `make demo` needs nothing more.
deps:
	@scripts/ensure-deps.sh

# What the tests need on top.
TEST_PACKAGES := libgtest-dev python3-pytest python3-hypothesis graphviz
test-deps:
	@scripts/ensure-deps.sh $(TEST_PACKAGES)

$(BUILD_DIR)/build.ninja: | deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: deps $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS) --target quorvel

# Configuring again finds GoogleTest once test-deps has installed it.
cpp-test: test-deps build
	cmake -S . -B $(BUILD_DIR) >/dev/null
	cmake --build $(BUILD_DIR) -j $(JOBS) --target core_tests
	$(BUILD_DIR)/core_tests --gtest_brief=1

py-test: test-deps build
	PYTHONPATH=$(BUILD_DIR) $(PYTHON) -m pytest tests/python $(PYTEST_ARGS)

test: cpp-test py-test stubs-check

# The type stubs against the built module, and mypy over the examples.
stubs-check: build
	@scripts/ensure-deps.sh python3-mypy
	scripts/check-stubs.sh $(BUILD_DIR) $(PYTHON)

# pip install / pip wheel in a scratch venv, stubs included.
package-check: deps
	@scripts/ensure-deps.sh python3-mypy python3-venv
	scripts/check-package.sh $(PYTHON)

demo: build
	PYTHONPATH=$(BUILD_DIR) $(PYTHON) examples/quickstart.py

# The whole suite against a module built with AddressSanitizer and
# UndefinedBehaviorSanitizer. The interpreter is not instrumented, so the ASan
# runtime is preloaded; PYTHONMALLOC=malloc sends every Python allocation
# through it (the small-object allocator would hide use-after-free).
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so)
SAN_ENV = LD_PRELOAD=$(ASAN_RUNTIME) PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

$(ASAN_DIR)/build.ninja: | test-deps
	cmake -S . -B $(ASAN_DIR) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1" -DQUORVEL_SANITIZE=ON >/dev/null

asan-build: test-deps $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR) -j $(JOBS)

asan-test: asan-build
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 $(ASAN_DIR)/core_tests --gtest_brief=1
	$(SAN_ENV) PYTHONPATH=$(ASAN_DIR) $(PYTHON) -m pytest tests/python $(PYTEST_ARGS) -p no:cacheprovider

# Reference and memory leaks: the module built for Debian's debug interpreter,
# whose sys.gettotalrefcount() counts every reference, and every public
# operation repeated until growth shows. The debug headers in
# /usr/include/python3.11d are symlinks to the release ones beside a debug
# pyconfig.h (the CMake build keeps GCC from resolving them). LEAKCHECK_ARGS=--short
# for CI.
DBG_PYTHON ?= /usr/bin/python3.11-dbg
DBG_DIR := build-dbg
LEAKCHECK_ARGS ?=

$(DBG_DIR)/build.ninja: | deps
	@scripts/ensure-deps.sh python3.11-dbg
	cmake -S . -B $(DBG_DIR) -G Ninja -DQUORVEL_PYTHON=$(DBG_PYTHON) -DCMAKE_BUILD_TYPE=Debug \
	  -DQUORVEL_TESTS=OFF >/dev/null

leakcheck-build: deps $(DBG_DIR)/build.ninja
	@scripts/ensure-deps.sh python3.11-dbg
	cmake --build $(DBG_DIR) -j $(JOBS)

leakcheck: leakcheck-build
	PYTHONPATH=$(DBG_DIR) $(DBG_PYTHON) tests/leakcheck.py $(LEAKCHECK_ARGS)

# The same build with clang, warnings as errors, and the core unit tests.
CLANG_DIR := build-clang

clang-check: test-deps
	@scripts/ensure-deps.sh clang
	CXX=clang++ cmake -S . -B $(CLANG_DIR) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(CLANG_DIR) -j $(JOBS)
	$(CLANG_DIR)/core_tests --gtest_brief=1

# libFuzzer targets (clang) over the pure core; each runs FUZZ_SECONDS on a
# scratch copy of its checked-in seed corpus.
FUZZ_SECONDS ?= 30
FUZZ_DIR := build-fuzz
FUZZ_TARGETS := $(patsubst fuzz/fuzz_%.cpp,%,$(wildcard fuzz/fuzz_*.cpp))
CORE_SOURCES = $(shell find src -name '*.cpp' ! -name 'py_*' ! -name module.cpp)

fuzz-build: deps
	@scripts/ensure-deps.sh clang libclang-rt-14-dev
	@mkdir -p $(FUZZ_DIR)
	@for t in $(FUZZ_TARGETS); do \
	  echo "building fuzz target $$t"; \
	  clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
	    -Isrc fuzz/fuzz_$$t.cpp $(CORE_SOURCES) -lcrypto -o $(FUZZ_DIR)/$$t || exit 1; \
	done

fuzz: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	  rm -rf $(FUZZ_DIR)/corpus-$$t && cp -r fuzz/corpus/$$t $(FUZZ_DIR)/corpus-$$t && \
	  echo "fuzzing $$t for $(FUZZ_SECONDS)s" && \
	  if $(FUZZ_DIR)/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $(FUZZ_DIR)/corpus-$$t \
	       > $(FUZZ_DIR)/$$t.log 2>&1; then \
	    grep -E 'stat::number_of_executed_units' $(FUZZ_DIR)/$$t.log; \
	  else \
	    tail -40 $(FUZZ_DIR)/$$t.log; exit 1; \
	  fi; \
	done

# Benchmarks: the Python harness against networkx and plain-Python floors,
# then the core micro-benchmarks. BENCH_ARGS=--quick for a smoke run,
# BENCH_ARGS=--large for the large graphs too (minutes, 2-3 GB or more). python3-mypy
# brings the standard library's type stubs the real-data workloads read.
BENCH_DIR := build-bench
BENCH_ARGS ?=

$(BENCH_DIR)/build.ninja: | deps
	@scripts/ensure-deps.sh libbenchmark-dev
	cmake -S . -B $(BENCH_DIR) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DQUORVEL_TESTS=OFF -DQUORVEL_BENCH=ON >/dev/null

bench: deps $(BENCH_DIR)/build.ninja
	@scripts/ensure-deps.sh python3-networkx python3-mypy
	cmake --build $(BENCH_DIR) -j $(JOBS)
	PYTHONPATH=$(BENCH_DIR) $(PYTHON) bench/run.py $(BENCH_ARGS)
	$(BENCH_DIR)/core_bench --benchmark_min_time=0.1

format:
	clang-format -i $$(find src tests/cpp fuzz bench -name '*.cpp' -o -name '*.hpp' 2>/dev/null)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
