// bench_smooth.cpp - the smoothers through the host, in nanoseconds per time
// point, on the three models of bench_models.h: KalmanSmo over a filter
// store made once by KalmanFil, and LdsMomentEst for the smoothed states
// (selection 1) and disturbances (selection 3), each including its own
// forward pass.
#include "bench_models.h"

namespace {

const int kSmoothedStates = 1;
const int kSmoothedDisturbances = 3;

void smoothingRecursion(benchmark::State &state, const bench::Model &(*model)()) {
    const bench::Model &mod = model();
    kel::Host &host = bench::host();
    const kel::Value store = host.call("KalmanFil", {mod.y, mod.sys, mod.var});
    if (store.rows() == 0) {
        state.SkipWithError("KalmanFil failed on the benchmark model");
        return;
    }
    const std::vector<kel::Arg> args = {store, mod.sys, mod.var};
    for (auto _ : state) benchmark::DoNotOptimize(host.call("KalmanSmo", args));
    bench::countTimePoints(state, mod.n);
}

void momentEstimation(benchmark::State &state, const bench::Model &(*model)(), int selection) {
    const bench::Model &mod = model();
    kel::Host &host = bench::host();
    kel::Value moments;
    const std::vector<kel::Arg> args = {selection, kel::ref(moments), mod.y, mod.sys, mod.var};
    if (host.call("LdsMomentEst", args).rows() != mod.m + 1) {
        state.SkipWithError("LdsMomentEst failed on the benchmark model");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(host.call("LdsMomentEst", args));
    bench::countTimePoints(state, mod.n);
}

}  // namespace

#define SMOOTHERS(name, model)                                                            \
    BENCHMARK_CAPTURE(smoothingRecursion, name, model)->Apply(bench::configure);    \
    BENCHMARK_CAPTURE(momentEstimation, name##_states, model, kSmoothedStates)            \
        ->Apply(bench::configure);                                                  \
    BENCHMARK_CAPTURE(momentEstimation, name##_disturbances, model, kSmoothedDisturbances) \
        ->Apply(bench::configure)

SMOOTHERS(local_level, bench::localLevel);
SMOOTHERS(structural, bench::structural);
SMOOTHERS(dense_N4_m8, bench::dense);

BENCHMARK_MAIN();
