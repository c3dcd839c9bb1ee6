# Entry points: `make test` builds and runs every test suite, plain (GCC),
# under AddressSanitizer/UndefinedBehaviorSanitizer (GCC) and plain with
# Clang; `make test-scalar` runs them on the build without vector
# extensions; `make demo` runs the demo.
JOBS ?= 2

.PHONY: deps build build-asan build-clang build-scalar test test-plain test-asan \
        test-clang test-scalar demo bench clean

deps:
	./scripts/deps.sh

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build -j$(JOBS)

build-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON \
	  -DVANTREL_BENCH=OFF -DVANTREL_EXAMPLES=OFF >/dev/null
	cmake --build build-asan -j$(JOBS)

build-clang: deps
	CC=clang CXX=clang++ cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=Release \
	  -DVANTREL_BENCH=OFF -DVANTREL_EXAMPLES=OFF >/dev/null
	cmake --build build-clang -j$(JOBS)

build-scalar: deps
	cmake -S . -B build-scalar -DCMAKE_BUILD_TYPE=Release -DVANTREL_SCALAR=ON \
	  -DVANTREL_BENCH=OFF -DVANTREL_EXAMPLES=OFF >/dev/null
	cmake --build build-scalar -j$(JOBS)

test-plain: build
	ctest --test-dir build --output-on-failure -j$(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j$(JOBS)

test-clang: build-clang
	ctest --test-dir build-clang --output-on-failure -j$(JOBS)

test-scalar: build-scalar
	ctest --test-dir build-scalar --output-on-failure -j$(JOBS)

test: test-plain test-asan test-clang

demo: build
	mkdir -p out
	./build/demo out
	gnuplot -e "dir='out'" examples/plot_nile.gp
	@echo "wrote out/nile_smoothed.csv and out/nile.png"

bench: build
	for b in build/bench_*; do $$b; done

clean:
	rm -rf build build-asan build-clang build-scalar
