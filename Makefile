# Set-up and everyday commands. `make example` and `make test` work on a fresh
# Debian machine: they install what is missing first (see scripts/install-deps.sh).

BUILD   := $(CURDIR)/build
JOBS    ?= 2
RELEASE := $(BUILD)/release
SANITIZE := $(BUILD)/sanitize
EXAMPLE := $(BUILD)/example
BENCH   := $(BUILD)/bench
BENCH_OUT := --benchmark_out=$(BENCH)/results.json --benchmark_out_format=json
FUZZ_SECONDS ?= 600
FUZZ_SMOKE_SECONDS ?= 60

.PHONY: all deps build example test test-release test-sanitize test-fuzz bench fuzz clean

all: build

deps:
	@./scripts/install-deps.sh

build: deps
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(RELEASE) -j$(JOBS)

# Runs the bundled example gauge in a copy of examples/ (standard input closed,
# so the closing pause does not wait) and draws its plots.
example: build
	rm -rf $(EXAMPLE)
	cp -r examples $(EXAMPLE)
	cd $(EXAMPLE) && $(RELEASE)/rating 0<&-
	@echo
	cd $(EXAMPLE) && $(CURDIR)/plot/plot.sh && $(CURDIR)/plot/plot.sh --log
	@echo
	@echo "Example run in $(EXAMPLE):"
	@cd $(EXAMPLE) && ls -1 Source.plt gauge/*

test: test-release test-sanitize test-fuzz

test-release: deps
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(RELEASE) -j$(JOBS)
	cd $(RELEASE) && ctest -j$(JOBS) --output-on-failure

test-sanitize: deps
	cmake -S . -B $(SANITIZE) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRATING_SANITIZE=ON >/dev/null
	cmake --build $(SANITIZE) -j$(JOBS)
	cd $(SANITIZE) && ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest -j$(JOBS) --output-on-failure

# A short fuzzing run of every input file (fuzz/run.sh) from the seeds, in a
# folder of its own: fails when it finds a crash or a sanitizer report.
test-fuzz: deps
	rm -rf $(BUILD)/fuzz/smoke
	FUZZ_OUT=$(BUILD)/fuzz/smoke ./fuzz/run.sh $(FUZZ_SMOKE_SECONDS)

# Fuzzes the four input files for FUZZ_SECONDS in all (e.g.
# FUZZ_SECONDS=1800 make fuzz); campaigns go on from build/fuzz/out.
fuzz: deps
	./fuzz/run.sh $(FUZZ_SECONDS)

# Benchmarks of the fit in release mode: the bit-identity checks first, then
# Google Benchmark (table in build/bench/results.txt, JSON in
# build/bench/results.json), then the separate timed runs that end at the
# iteration limit (appended to the table, JSON in build/bench/limit.json).
bench: deps
	cmake -S . -B $(BENCH) -DCMAKE_BUILD_TYPE=Release -DRATING_TESTS=OFF >/dev/null
	cmake --build $(BENCH) -j$(JOBS) --target rating bench_fit fit_identity make_gauge
	$(BENCH)/bench/fit_identity objective
	$(BENCH)/bench/fit_identity check bench/fit-digests.txt || \
		echo "bench: the fits' bits differ from bench/fit-digests.txt (see bench/fit_identity.cpp)"
	bash -o pipefail -c '$(BENCH)/bench/bench_fit $(BENCH_OUT) | tee $(BENCH)/results.txt'
	bash -o pipefail -c './bench/limit.sh $(BENCH) | tee -a $(BENCH)/results.txt'

clean:
	rm -rf $(BUILD)
