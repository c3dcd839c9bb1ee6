// bench_floor.cpp - the local level recursion written inline in plain C++,
// with the variance in registers and no host calls: the same operations per
// time point as LdsLik on the local level model (one division, one log, the
// mean and variance updates), as a lower bound for what the library's
// filter can reach on this machine.
#include <cmath>

#include "bench_models.h"

namespace {

void localLevelInline(benchmark::State &state) {
    const bench::Model &mod = bench::localLevel();
    kel::Value series = mod.y;
    const double *y = series.data()[0];
    const double q = mod.var(0, 0), h = mod.var(1, 1);
    for (auto _ : state) {
        double p = 1e7, a = 0.0, logDet = 0.0, sumSq = 0.0;
        for (int t = 0; t < mod.n; ++t) {
            const double f = p + h, v = y[t] - a, finv = 1.0 / f, k = p * finv;
            logDet -= std::log(finv);
            sumSq += v * v * finv;
            a += k * v;
            p = p - p * k + q;
        }
        benchmark::DoNotOptimize(logDet + sumSq + a);
    }
    bench::countTimePoints(state, mod.n);
}

}  // namespace

BENCHMARK(localLevelInline)->Apply(bench::configure);

BENCHMARK_MAIN();
