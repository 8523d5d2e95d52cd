# The two commands of a fresh clone: `make run` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

.PHONY: all deps configure build run test install clean bench test-sanitize fuzz

all: build

deps:
	./scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Builds only the runner, runs it with its defaults on the sample data in data/, prints a summary
# and writes the HTML report data/report.html.
run: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target quillon-sim
	./$(BUILD_DIR)/cli/quillon-sim --report data/report.html
	./scripts/summarize data/samplepassfail_results.csv
	@echo "Report: $(CURDIR)/data/report.html"

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The engine, the runner and the tests under AddressSanitizer and UndefinedBehaviorSanitizer (GCC).
SANITIZE_DIR ?= build-sanitize
SANITIZE_FLAGS ?= -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer

test-sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -DQUILLON_BUILD_GUI=OFF -DQUILLON_BUILD_BENCH=OFF -DQUILLON_BUILD_PYTHON=OFF \
	  -DQUILLON_CHECK_INVARIANTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)"
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) --label-exclude slurm

# Builds every libFuzzer target of tests/fuzz with clang and runs each for FUZZ_SECONDS.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60

fuzz:
	./scripts/install-fuzz-deps
	cmake -S tests/fuzz -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	./tests/fuzz/run-fuzzers $(FUZZ_DIR) $(FUZZ_SECONDS)

install: build
	cmake --install $(BUILD_DIR)

bench: build
	./bench/run

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(FUZZ_DIR)
