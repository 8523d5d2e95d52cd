# The two commands of a fresh clone: `make run` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

.PHONY: all deps configure build run test install clean bench

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

install: build
	cmake --install $(BUILD_DIR)

bench: build
	./bench/run

clean:
	rm -rf $(BUILD_DIR)
