# The front door: `make run` plays the default scenario, `make test` builds every configuration
# and runs every test. Both install missing Debian packages first.
JOBS ?= $(shell nproc)
CMAKE_GEN := -G "Unix Makefiles"

.PHONY: all deps host64 host32 image release run test bench faults clean fuzzers fuzz html-check

all: host64 host32 image

deps:
	@./scripts/install-deps.sh

build/host64/Makefile: CMakeLists.txt | deps
	@cmake -S . -B build/host64 $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DHOTP_SANITIZE=ON >/dev/null

build/host32/Makefile: CMakeLists.txt | deps
	@cmake -S . -B build/host32 $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/host32.cmake >/dev/null

build/image/Makefile: CMakeLists.txt | deps
	@cmake -S . -B build/image $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake >/dev/null

# The optimised tree: x86-64 at -O2 without sanitizers, running every test so that optimised and
# unoptimised builds must agree; the benchmarks are built and run here.
build/release/Makefile: CMakeLists.txt | deps
	@cmake -S . -B build/release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DHOTP_BENCH=ON >/dev/null

# The libFuzzer harnesses of fuzz/, built with clang, AddressSanitizer and UBSan.
build/fuzz/Makefile: CMakeLists.txt | deps
	@CXX=clang++ CC=clang cmake -S . -B build/fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	    -DHOTP_SANITIZE=ON -DHOTP_FUZZ=ON >/dev/null

host64: build/host64/Makefile
	@cmake --build build/host64 -j $(JOBS)
	@mkdir -p build/bin && ln -sf ../host64/bin/hotpsim build/bin/hotpsim

host32: build/host32/Makefile
	@cmake --build build/host32 -j $(JOBS)

image: build/image/Makefile
	@cmake --build build/image -j $(JOBS)

release: build/release/Makefile
	@cmake --build build/release -j $(JOBS)

fuzzers: build/fuzz/Makefile
	@cmake --build build/fuzz -j $(JOBS) --target fuzzers

# Runs every harness for FUZZ_SECONDS from its corpus in fuzz/corpus/<harness>; what it finds
# new goes to build/fuzz/found/<harness>, a crash to build/fuzz/crash-<harness>-*, the whole
# output to build/fuzz/fuzz-<harness>.log.
FUZZ_SECONDS ?= 60
FUZZERS = $(notdir $(wildcard fuzz/corpus/*))
fuzz: fuzzers
	@for f in $(FUZZERS); do \
	    mkdir -p build/fuzz/found/$$f; \
	    echo "fuzz_$$f: $(FUZZ_SECONDS) s"; \
	    case $$f in image_file) len=65536;; lspci_dump|sysfs_snapshot) len=16384;; *) len=4096;; esac; \
	    build/fuzz/bin/fuzz_$$f -max_total_time=$(FUZZ_SECONDS) -timeout=10 -max_len=$$len \
	        -print_final_stats=1 -artifact_prefix=build/fuzz/crash-$$f- \
	        build/fuzz/found/$$f fuzz/corpus/$$f > build/fuzz/fuzz-$$f.log 2>&1; rc=$$?; \
	    grep -E "^stat::(number_of_executed_units|new_units_added)" build/fuzz/fuzz-$$f.log; \
	    if [ $$rc -ne 0 ]; then tail -n 40 build/fuzz/fuzz-$$f.log; exit 1; fi; \
	done

# Only hotpsim and what it needs, quietly: the build's output goes to a log shown only on failure.
run: build/host64/Makefile
	@echo "make run: building hotpsim (log: build/run-build.log)"
	@cmake --build build/host64 -j $(JOBS) --target hotpsim > build/run-build.log 2>&1 || \
	    { cat build/run-build.log; exit 1; }
	@mkdir -p build/bin && ln -sf ../host64/bin/hotpsim build/bin/hotpsim
	@build/bin/hotpsim --trace-level 4

test: image host64 host32 fuzzers release
	@cd build/host32 && ctest --output-on-failure -j $(JOBS) > ../ctest-host32.log 2>&1 || { cat ../ctest-host32.log; exit 1; }
	@tail -n 3 build/ctest-host32.log
	@cd build/release && ctest --output-on-failure -j $(JOBS) > ../ctest-release.log 2>&1 || { cat ../ctest-release.log; exit 1; }
	@tail -n 3 build/ctest-release.log
	@cd build/fuzz && ctest -R '^fuzz\.' --output-on-failure -j $(JOBS) > ../ctest-fuzz.log 2>&1 || { cat ../ctest-fuzz.log; exit 1; }
	@tail -n 3 build/ctest-fuzz.log
	@cd build/host64 && ctest --output-on-failure -j $(JOBS)

bench: build/release/Makefile
	@cmake --build build/release -j $(JOBS) --target hotp_bench hotpflt
	@/usr/bin/python3 bench/report.py build/release/bin/hotp_bench

# Every fault at every one of its uses over every flow (ctest runs a strided sample of it).
faults: host64
	@cd build/host64 && { HOTP_FAULT_SWEEP=full ctest -R filter_fault_sweep_tests -V -j $(JOBS) \
	    > ../faults.log 2>&1; status=$$?; grep -E "fault points reached" ../faults.log; \
	    tail -n 4 ../faults.log; exit $$status; }

# hotpsim's HTML pages opened in headless Chromium (installed by `install-deps.sh html`): a table
# of runs rendered to screenshots and DOM dumps and checked (tests/tools/html_check.py), then the
# page of the largest generated machine measured. Not part of `make test`; .ci/run runs it after.
# HTML_PICTURE=docs/replug-map.png refreshes the README's picture from the replug run.
HTML_PICTURE ?=
html-check: build/host64/Makefile
	@./scripts/install-deps.sh html
	@cmake --build build/host64 -j $(JOBS) --target hotpsim > build/html-build.log 2>&1 || \
	    { cat build/html-build.log; exit 1; }
	@/usr/bin/python3 -B tests/tools/html_check.py build/host64/bin/hotpsim build/html --measure \
	    $(if $(HTML_PICTURE),--picture $(HTML_PICTURE))

clean:
	rm -rf build

# The shipped image under Wine's kernel (wine/wine.mk); not part of `make test`.
include wine/wine.mk
