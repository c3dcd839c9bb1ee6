// bench_weights.cpp - LdsWeights (predicted, filtered and smoothed weights,
// target in the middle of the series) and LdsRecursion through the host,
// in nanoseconds per time point, beside LdsLik on the same three models of
// bench_models.h, so that their ratios come from one run.
#include "bench_models.h"

namespace {

const int kPredicted = 0, kSmoothed = 1, kFiltered = 5;

void likelihood(benchmark::State &state, const bench::Model &(*model)()) {
    const bench::Model &mod = model();
    kel::Host &host = bench::host();
    kel::Value ll, s2;
    const std::vector<kel::Arg> args = {kel::ref(ll), kel::ref(s2), mod.y, mod.sys, mod.var};
    for (auto _ : state) benchmark::DoNotOptimize(host.call("LdsLik", args));
    bench::countTimePoints(state, mod.n);
}

void weights(benchmark::State &state, const bench::Model &(*model)(), int selection) {
    const bench::Model &mod = model();
    kel::Host &host = bench::host();
    kel::Value pattern = kel::Value::matrix(mod.N, mod.n);
    pattern.at(0, mod.n / 2) = 1.0;
    const std::vector<kel::Arg> args = {selection, pattern, mod.sys, mod.var};
    if (host.call("LdsWeights", args).rows() != mod.m + mod.N) {
        state.SkipWithError("LdsWeights failed on the benchmark model");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(host.call("LdsWeights", args));
    bench::countTimePoints(state, mod.n);
}

void recursion(benchmark::State &state, const bench::Model &(*model)()) {
    const bench::Model &mod = model();
    kel::Host &host = bench::host();
    kel::Value e = kel::Value::matrix(mod.m + mod.N, mod.n + 1);
    std::mt19937_64 rng(bench::kSeed + 2);
    std::normal_distribution<double> normal;
    for (int i = 0; i < e.rows(); ++i)
        for (int t = 0; t < e.cols(); ++t) e.at(i, t) = normal(rng);
    const std::vector<kel::Arg> args = {e, mod.sys, mod.var};
    for (auto _ : state) benchmark::DoNotOptimize(host.call("LdsRecursion", args));
    bench::countTimePoints(state, mod.n);
}

}  // namespace

#define WEIGHTS(name, model)                                                               \
    BENCHMARK_CAPTURE(likelihood, name, model)->Apply(bench::configure);                   \
    BENCHMARK_CAPTURE(weights, name##_predicted, model, kPredicted)->Apply(bench::configure); \
    BENCHMARK_CAPTURE(weights, name##_filtered, model, kFiltered)->Apply(bench::configure);  \
    BENCHMARK_CAPTURE(weights, name##_smoothed, model, kSmoothed)->Apply(bench::configure);  \
    BENCHMARK_CAPTURE(recursion, name, model)->Apply(bench::configure)

WEIGHTS(local_level, bench::localLevel);
WEIGHTS(structural, bench::structural);
WEIGHTS(dense_N4_m8, bench::dense);

BENCHMARK_MAIN();
