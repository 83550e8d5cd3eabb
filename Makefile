# Set-up and everyday commands. Each target first installs what it needs and
# nothing more (scripts/install-deps.sh): `make build` a compiler, CMake and
# three header-only libraries (CLI11, Boost.Math, nlohmann-json), `make
# example` gnuplot as well, `make test` GoogleTest and Eigen besides.

BUILD   := $(CURDIR)/build
JOBS    ?= 2
RELEASE := $(BUILD)/release
SANITIZE := $(BUILD)/sanitize
TSAN    := $(BUILD)/tsan
EXAMPLE := $(BUILD)/example
BENCH   := $(BUILD)/bench
BENCH_OUT := --benchmark_out=$(BENCH)/results.json --benchmark_out_format=json
FUZZ_SECONDS ?= 600
FUZZ_SMOKE_SECONDS ?= 60
PREFIX  ?= /usr/local
DEPS    := ./scripts/install-deps.sh

.PHONY: all build example install test test-release test-sanitize test-tsan references test-fuzz bench fuzz clean

all: build

# The program alone: no tests, no test libraries.
build:
	$(DEPS) build
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DRATING_TESTS=OFF >/dev/null
	cmake --build $(RELEASE) -j$(JOBS) --target rating

# Runs the bundled example gauge with its report in a copy of examples/
# (standard input closed, so the closing pause does not wait) and draws its
# plots.
example: build
	$(DEPS) plot
	rm -rf $(EXAMPLE)
	cp -r examples $(EXAMPLE)
	cd $(EXAMPLE) && $(RELEASE)/rating --report 0<&-
	@echo
	cd $(EXAMPLE) && $(CURDIR)/plot/plot.sh && $(CURDIR)/plot/plot.sh --log
	@echo
	cd $(EXAMPLE) && $(RELEASE)/rating fit usgs-field-measurements.csv --site 11372000 --out fit --plot --units m,m3/s
	cd $(EXAMPLE) && $(RELEASE)/rating table fit/11372000.curve.json --layout wide --units m,m3/s --out fit/table.txt
	cd $(EXAMPLE) && $(RELEASE)/rating apply fit/11372000.curve.json series.csv --out fit/flow.csv \
		--plot fit/hydrograph.png --units m,m3/s
	@echo
	@echo "Example run in $(EXAMPLE):"
	@cd $(EXAMPLE) && ls -1 Source.plt gauge/* fit/*

# The program, the plot script and its gnuplot file, the library rating::core
# with its headers and its CMake package (find_package(rating)) under PREFIX.
install: build
	cmake --install $(RELEASE) --prefix $(PREFIX)

# Every test in a release build and again under the sanitizers, and the
# tests of fits on several threads under ThreadSanitizer. No fuzzing
# campaign: its result would depend on luck and time. The replay of every
# seed and kept finding is part of the tests.
test: test-release test-sanitize test-tsan

test-release:
	$(DEPS) test
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DRATING_TESTS=ON >/dev/null
	cmake --build $(RELEASE) -j$(JOBS)
	cd $(RELEASE) && ctest -j$(JOBS) --output-on-failure

# LeakSanitizer runs too: the tests free what they allocate. The program may
# leave its run state to the end of the process, which holds it reachable.
# -O1 -g1 builds in half the time of -O2 -g and keeps line numbers in reports.
test-sanitize:
	$(DEPS) test
	cmake -S . -B $(SANITIZE) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
		-DRATING_SANITIZE=ON -DRATING_TESTS=ON >/dev/null
	cmake --build $(SANITIZE) -j$(JOBS)
	cd $(SANITIZE) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest -j$(JOBS) --output-on-failure

# The tests labelled `threads` under ThreadSanitizer, in a build of their own
# that builds only them (target thread_tests): test_threads, which fits the
# 60 gauges of the test data on 4 threads at once, in rounds, against the
# sequential fits, and test_batch, which runs `rating batch` (built with the
# sanitizer) on the 60 gauges and on 300 synthetic stations with 1 to 4
# threads. A report of a data race fails the test.
test-tsan:
	$(DEPS) test
	cmake -S . -B $(TSAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
		-DRATING_TSAN=ON -DRATING_TESTS=ON -DRATING_FUZZ=OFF >/dev/null
	cmake --build $(TSAN) -j$(JOBS) --target thread_tests
	cd $(TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		ctest -j$(JOBS) -L threads --no-tests=error --output-on-failure

# Writes the reference results of the 60 gauges (tests/data/reference/)
# anew from the current program and library, after a change that moves
# numbers on purpose: the diff of those files shows which moved. The test
# test_reference compares with them (relative tolerance 1e-9).
references:
	$(DEPS) test
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DRATING_TESTS=ON >/dev/null
	cmake --build $(RELEASE) -j$(JOBS) --target test_reference
	RATING_UPDATE_REFERENCES=1 $(RELEASE)/test_reference

# A short fuzzing run of every input file (fuzz/run.sh) from the seeds, in a
# folder of its own: fails when it finds a crash or a sanitizer report.
test-fuzz:
	$(DEPS) fuzz
	rm -rf $(BUILD)/fuzz/smoke
	FUZZ_OUT=$(BUILD)/fuzz/smoke ./fuzz/run.sh $(FUZZ_SMOKE_SECONDS)

# Fuzzes the four input files for FUZZ_SECONDS in all (e.g.
# FUZZ_SECONDS=1800 make fuzz); campaigns go on from build/fuzz/out.
fuzz:
	$(DEPS) fuzz
	./fuzz/run.sh $(FUZZ_SECONDS)

# Benchmarks in release mode: the bit-identity checks first, then Google
# Benchmark of the fit, the check and the report (table in
# build/bench/results.txt, JSON in build/bench/results.json) and of the exact
# solver (least-squares.txt/.json), the separate timed runs that end at the
# iteration limit (limit.json), whole runs of the example gauge, static
# against dynamic (startup.json), the model selection, the rising-curve solve,
# the table and apply commands and the batch of a whole network
# (selection.txt, monotone.txt, commands.txt, batch.txt).
bench:
	$(DEPS) bench
	cmake -S . -B $(BENCH) -DCMAKE_BUILD_TYPE=Release -DRATING_TESTS=OFF -DRATING_BENCH=ON >/dev/null
	cmake --build $(BENCH) -j$(JOBS) --target rating bench_fit bench_least_squares fit_identity make_gauge \
		bench_selection bench_monotone bench_commands bench_batch run_usage
	cmake -S . -B $(BENCH)-dynamic -DCMAKE_BUILD_TYPE=Release -DRATING_TESTS=OFF -DRATING_STATIC=OFF >/dev/null
	cmake --build $(BENCH)-dynamic -j$(JOBS) --target rating
	$(BENCH)/bench/fit_identity objective
	$(BENCH)/bench/fit_identity check bench/fit-digests.txt
	bash -o pipefail -c '$(BENCH)/bench/bench_fit $(BENCH_OUT) | tee $(BENCH)/results.txt'
	bash -o pipefail -c '$(BENCH)/bench/bench_least_squares --benchmark_out=$(BENCH)/least-squares.json \
		--benchmark_out_format=json | tee $(BENCH)/least-squares.txt'
	bash -o pipefail -c './bench/limit.sh $(BENCH) | tee -a $(BENCH)/results.txt'
	./bench/startup.sh $(BENCH)/rating $(BENCH)-dynamic/rating $(BENCH)
	bash -o pipefail -c '$(BENCH)/bench/bench_selection | tee $(BENCH)/selection.txt'
	bash -o pipefail -c '$(BENCH)/bench/bench_monotone | tee $(BENCH)/monotone.txt'
	bash -o pipefail -c '$(BENCH)/bench/bench_commands | tee $(BENCH)/commands.txt'
	bash -o pipefail -c './bench/batch.sh $(BENCH) | tee $(BENCH)/batch.txt'

clean:
	rm -rf $(BUILD)
