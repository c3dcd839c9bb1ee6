# Entry points: `make test` builds and runs every test suite, plain and under
# AddressSanitizer/UndefinedBehaviorSanitizer; `make demo` runs the demo.
JOBS ?= 2

.PHONY: deps build build-asan test test-plain test-asan demo bench clean

deps:
	./scripts/deps.sh

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build -j$(JOBS)

build-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON \
	  -DVANTREL_BENCH=OFF -DVANTREL_EXAMPLES=OFF >/dev/null
	cmake --build build-asan -j$(JOBS)

test-plain: build
	ctest --test-dir build --output-on-failure -j$(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j$(JOBS)

test: test-plain test-asan

demo: build
	mkdir -p out
	./build/demo out
	gnuplot -e "dir='out'" examples/plot_nile.gp
	gnuplot -e "dir='out'" examples/plot_nile_draws.gp
	@echo "wrote out/nile_smoothed.csv, out/nile.png, out/nile_draws.csv and out/nile_draws.png"

bench: build
	for b in build/bench_*; do $$b; done

clean:
	rm -rf build build-asan
