# The two commands of a fresh clone: `make run` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

.PHONY: all deps configure build run test install package test-package clean bench test-sanitize fuzz coverage

all: build

# Everything is built with everything; `make run` needs only the runner, so it installs and
# configures only that (in the same build folder, with the engine's flags unchanged, so that a later
# `make test` rebuilds nothing of it).
FULL_FLAGS = -DQUILLON_BUILD_GUI=ON -DQUILLON_BUILD_TESTS=ON -DQUILLON_BUILD_BENCH=ON -DQUILLON_BUILD_PYTHON=ON \
  -DQUILLON_CHECK_INVARIANTS=ON
RUNNER_FLAGS = -DQUILLON_BUILD_GUI=OFF -DQUILLON_BUILD_TESTS=OFF -DQUILLON_BUILD_BENCH=OFF -DQUILLON_BUILD_PYTHON=OFF \
  -DQUILLON_CHECK_INVARIANTS=ON

deps:
	./scripts/install-deps --all

configure: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) $(FULL_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Builds only the runner, runs it with its defaults on the sample data in data/, prints a summary
# and writes the HTML report data/report.html.
run:
	./scripts/install-deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) $(RUNNER_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target quillon-sim
	./$(BUILD_DIR)/cli/quillon-sim --report data/report.html
	./scripts/summarize data/samplepassfail_results.csv
	@echo "Report: $(CURDIR)/data/report.html"

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The engine, the runner and the tests under AddressSanitizer and UndefinedBehaviorSanitizer (GCC).
SANITIZE_DIR ?= build-sanitize
SANITIZE_FLAGS ?= -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
# -O1 finds the same faults as -O2 here, and the build (most of this step's time) is far shorter;
# -g1 keeps the function names and line numbers a report needs and compiles about a third faster.
SANITIZE_OPT ?= -O1 -g1 -DNDEBUG

test-sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -DQUILLON_BUILD_GUI=OFF -DQUILLON_BUILD_BENCH=OFF -DQUILLON_BUILD_PYTHON=OFF \
	  -DQUILLON_CHECK_INVARIANTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$(SANITIZE_OPT)"
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) --label-exclude slurm

# Builds every libFuzzer target of tests/fuzz with clang and runs each for FUZZ_SECONDS.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60

fuzz:
	./scripts/install-deps --fuzz
	cmake -S tests/fuzz -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	./tests/fuzz/run-fuzzers $(FUZZ_DIR) $(FUZZ_SECONDS)

# Line and branch coverage of the libraries and programs by the whole suite (gcov, lcov): an
# unoptimised build of its own, so that lines map to code. Writes $(COVERAGE_DIR)/html/index.html
# and $(COVERAGE_DIR)/coverage-summary.txt (one line per module). Branches that only an exception
# takes are left out: every call that may throw has one, and they would drown the decisions.
# The replay's threads share the counters, so they are updated atomically.
# The R package compiles with R's own flags, so what only its tests reach is not counted.
# The tests run the runner as another user and under a file-size limit: the counts files are
# made writable for all (umask), and a counts file that still cannot be written says so in
# /dev/null rather than in the standard error the tests compare.
COVERAGE_DIR ?= build-coverage
COVERAGE_MODULES ?= outcome text engine run_reports checker charts study cluster package_core cli ui python
LCOV_RC = --rc lcov_branch_coverage=1 --rc geninfo_no_exception_branch=1

coverage: deps
	cmake -S . -B $(COVERAGE_DIR) -DQUILLON_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic" \
	  -DCMAKE_EXE_LINKER_FLAGS="--coverage" -DCMAKE_SHARED_LINKER_FLAGS="--coverage" \
	  -DQUILLON_PYTHON_TEST_TIMEOUT=900
	cmake --build $(COVERAGE_DIR) -j $(JOBS)
	lcov --quiet --zerocounters --directory $(COVERAGE_DIR)
	cd $(COVERAGE_DIR) && umask 000 && GCOV_ERROR_FILE=/dev/null ctest --output-on-failure -j $(JOBS)
	lcov --quiet $(LCOV_RC) --capture --directory $(COVERAGE_DIR) --base-directory $(CURDIR) \
	  --output-file $(COVERAGE_DIR)/all.info
	lcov --quiet $(LCOV_RC) --extract $(COVERAGE_DIR)/all.info \
	  $(foreach m,$(COVERAGE_MODULES),'$(CURDIR)/$(m)/*') --output-file $(COVERAGE_DIR)/coverage.info
	genhtml --quiet $(LCOV_RC) --demangle-cpp --legend --title Quillon \
	  --output-directory $(COVERAGE_DIR)/html $(COVERAGE_DIR)/coverage.info
	@{ printf '%-13s %-24s %s\n' module lines branches; \
	  for m in $(COVERAGE_MODULES); do \
	    lcov --quiet $(LCOV_RC) --extract $(COVERAGE_DIR)/coverage.info '$(CURDIR)/'$$m'/*' \
	      --output-file $(COVERAGE_DIR)/$$m.info >/dev/null 2>&1; \
	    lcov $(LCOV_RC) --summary $(COVERAGE_DIR)/$$m.info 2>/dev/null | awk -v m=$$m \
	      'BEGIN { l = b = "no code run" } \
	       /lines\.*:|branches\.*:/ { v = $$2 " " $$3 "/" $$5 ")"; if ($$1 ~ /^lines/) l = v; else b = v } \
	       END { printf "%-13s %-24s %s\n", m, l, b }'; \
	  done; } | tee $(COVERAGE_DIR)/coverage-summary.txt
	@echo "Coverage report: $(CURDIR)/$(COVERAGE_DIR)/html/index.html"

install: build
	cmake --install $(BUILD_DIR)

# Debian packages of the desktop program, the runner, the library and its development files, in
# $(BUILD_DIR)/packages.
package: build
	rm -f $(BUILD_DIR)/packages/*.deb
	cd $(BUILD_DIR) && cpack -G DEB
	@ls -1 $(BUILD_DIR)/packages/*.deb

# Installs the packages with dpkg, uses them and removes them (root or sudo; changes this machine).
test-package: package
	./tests/install-packages . $(BUILD_DIR)

bench: build
	./bench/run

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(FUZZ_DIR) $(COVERAGE_DIR)
