# Set-up and everyday commands. `make example` and `make test` work on a fresh
# Debian machine: they install what is missing first (see scripts/install-deps.sh).

BUILD   := $(CURDIR)/build
JOBS    ?= 2
RELEASE := $(BUILD)/release
SANITIZE := $(BUILD)/sanitize
EXAMPLE := $(BUILD)/example

.PHONY: all deps build example test test-release test-sanitize clean

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

test: test-release test-sanitize

test-release: deps
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(RELEASE) -j$(JOBS)
	cd $(RELEASE) && ctest -j$(JOBS) --output-on-failure

test-sanitize: deps
	cmake -S . -B $(SANITIZE) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRATING_SANITIZE=ON >/dev/null
	cmake --build $(SANITIZE) -j$(JOBS)
	cd $(SANITIZE) && ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest -j$(JOBS) --output-on-failure

clean:
	rm -rf $(BUILD)
