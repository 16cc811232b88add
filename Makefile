# Thin front over CMake. `make test` and `make demo` each do all the set-up they need.
JOBS ?= $(shell nproc)

.PHONY: setup test test-release test-sanitize test-fuzz demo bench clean

setup:
	@bash scripts/setup.sh

test: setup test-release test-sanitize test-fuzz

test-release:
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DORVO_BUILD_BENCH=ON
	cmake --build build/release -j $(JOBS)
	ctest --test-dir build/release --output-on-failure -j $(JOBS)

test-sanitize:
	cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DORVO_SANITIZE=ON -DORVO_BUILD_EXAMPLES=OFF
	cmake --build build/sanitize -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build/sanitize --output-on-failure -j $(JOBS)

# libFuzzer smoke run: every target for FUZZ_SECONDS (three targets, 90 s in all by default),
# with the address and undefined-behaviour sanitizers; a finding fails the step and leaves the
# input that caused it in build/fuzz/findings.
FUZZ_SECONDS ?= 30
test-fuzz:
	cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DORVO_BUILD_FUZZ=ON -DORVO_BUILD_TESTS=OFF -DORVO_BUILD_EXAMPLES=OFF
	cmake --build build/fuzz -j $(JOBS) --target orvo_fuzz
	mkdir -p build/fuzz/findings
	@for f in build/fuzz/fuzz/fuzz_*; do \
	  echo "== $$f ($(FUZZ_SECONDS) s)"; \
	  $$f -max_total_time=$(FUZZ_SECONDS) -max_len=1024 -print_final_stats=1 \
	      -artifact_prefix=build/fuzz/findings/ || exit 1; \
	done

demo: setup
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release
	cmake --build build/release -j $(JOBS) --target orvo-demo
	./build/release/examples/orvo-demo

bench: setup
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DORVO_BUILD_BENCH=ON
	cmake --build build/release -j $(JOBS)
	@for b in build/release/bench/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf build
