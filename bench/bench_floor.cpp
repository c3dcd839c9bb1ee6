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

// The same recursion with the variance making the three trips through
// memory that a filter step makes through the host's products: the filter
// writes P, which MatBSBt reads and writes as Sys P Sys', which MatAdd reads
// and writes with Var added, which the filter reads as F.  Each trip is a
// store and a load on the variance's dependency chain, so this is the
// bound for a filter that calls both host products at every time point.
void localLevelThroughMemory(benchmark::State &state) {
    const bench::Model &mod = bench::localLevel();
    kel::Value series = mod.y;
    const double *y = series.data()[0];
    const double q = mod.var(0, 0), h = mod.var(1, 1);
    // The variance lives in these cells only, so that no register copy of
    // it has to be kept across the call of log.
    volatile double updated = 0.0, predicted = 0.0, innovationVariance = 0.0;
    for (auto _ : state) {
        double a = 0.0, logDet = 0.0, sumSq = 0.0;
        updated = 1e7;
        for (int t = 0; t < mod.n; ++t) {
            predicted = updated;
            const double pred = predicted;
            innovationVariance = pred + h;
            const double f = innovationVariance, v = y[t] - a, finv = 1.0 / f, k = pred * finv;
            a += k * v;
            updated = (pred + q) - pred * k;
            logDet -= std::log(finv);
            sumSq += v * v * finv;
        }
        benchmark::DoNotOptimize(logDet + sumSq + a);
    }
    bench::countTimePoints(state, mod.n);
}

}  // namespace

BENCHMARK(localLevelInline)->Apply(bench::configure);
BENCHMARK(localLevelThroughMemory)->Apply(bench::configure);

BENCHMARK_MAIN();
