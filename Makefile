# Entry points: `make test` builds and runs every test suite, plain (GCC),
# under AddressSanitizer/UndefinedBehaviorSanitizer (GCC) and plain with
# Clang, then the Python tests against the Release build; `make test-scalar`
# runs the suites on the build without vector extensions; `make demo` runs
# the demos.
JOBS ?= 2
# Debian's own Python (a `python3` earlier on PATH may be another one).
PYTHON ?= /usr/bin/python3

.PHONY: deps build build-asan build-clang build-scalar test test-plain test-asan \
        test-clang test-scalar test-python demo bench bench-peers clean

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

# pytest exits 5 when it collects no test: that fails here like any other
# non-zero status.
test-python: build
	PYTHONPATH=python VANTREL_LIB_DIR=build $(PYTHON) -m pytest -q -p no:cacheprovider python/tests

test: test-plain test-asan test-clang test-python

demo: build
	mkdir -p out
	./build/demo out
	gnuplot -e "dir='out'" examples/plot_nile.gp
	gnuplot -e "dir='out'" examples/plot_weights.gp
	gnuplot -e "dir='out'" examples/plot_nile_draws.gp
	@echo "wrote out/nile_smoothed.csv, out/nile.png, out/nile_weights.csv, out/nile_weights.png, out/nile_draws.csv and out/nile_draws.png"
	PYTHONPATH=python VANTREL_LIB_DIR=build $(PYTHON) examples/nile.py out
	PYTHONPATH=python VANTREL_LIB_DIR=build $(PYTHON) examples/co2.py out

bench: build
	for b in build/bench_*; do $$b; done
	PYTHONPATH=python VANTREL_LIB_DIR=build $(PYTHON) bench/python_overhead.py
	PYTHONPATH=python VANTREL_LIB_DIR=build $(PYTHON) bench/python_exact.py
	PYTHONPATH=python VANTREL_LIB_DIR=build $(PYTHON) bench/fit_many.py

# Vantrel against R's stats and statsmodels (bench/peers/peers.py); installs
# R from Debian's packages when it is missing.  Not part of `make test`.
PEER_ROUNDS ?= 15
bench-peers: deps
	@command -v Rscript >/dev/null || { SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO="sudo"; \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq r-base-core python3-statsmodels; }
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build -j$(JOBS) --target vantrel kelhost vantrel_peers
	$(PYTHON) bench/peers/peers.py build $(PEER_ROUNDS)

clean:
	rm -rf build build-asan build-clang build-scalar build-python
