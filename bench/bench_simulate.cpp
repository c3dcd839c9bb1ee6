// bench_simulate.cpp - the simulation smoother through the host, in
// nanoseconds per time point, on the three models of bench_models.h, with
// LdsLik in the same run as the yardstick: SimSmoWgt over a filter store
// made once, one SimSmoDraw from a ready weight store, and LdsCondDens for
// the smoothed (code 1) and drawn (code 2) states and signals.  The
// selection is that of LdsCondDens: the state disturbances with positive
// variance.
#include "bench_models.h"

namespace {

const int kSmoothed = 1;
const int kDrawn = 2;

kel::Value stateSelection(const bench::Model &mod, int *r) {
    const int p = mod.m + mod.N;
    kel::Value sel = kel::Value::matrix(p, p);
    *r = 0;
    for (int i = 0; i < mod.m; ++i)
        if (mod.var(i, i) > 0.0) {
            sel.at(i, i) = 1.0;
            ++*r;
        }
    return sel;
}

void likelihood(benchmark::State &state, const bench::Model &(*model)()) {
    const bench::Model &mod = model();
    kel::Host &host = bench::host();
    kel::Value ll, s2;
    const std::vector<kel::Arg> args = {kel::ref(ll), kel::ref(s2), mod.y, mod.sys, mod.var};
    for (auto _ : state) benchmark::DoNotOptimize(host.call("LdsLik", args));
    bench::countTimePoints(state, mod.n);
}

void weights(benchmark::State &state, const bench::Model &(*model)()) {
    const bench::Model &mod = model();
    kel::Host &host = bench::host();
    int r;
    const kel::Value sel = stateSelection(mod, &r);
    const kel::Value store = host.call("KalmanFil", {mod.y, mod.sys, mod.var});
    const std::vector<kel::Arg> args = {sel, store, mod.sys, mod.var};
    if (host.call("SimSmoWgt", args).rows() == 0) {
        state.SkipWithError("SimSmoWgt failed on the benchmark model");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(host.call("SimSmoWgt", args));
    bench::countTimePoints(state, mod.n);
}

void draw(benchmark::State &state, const bench::Model &(*model)()) {
    const bench::Model &mod = model();
    kel::Host &host = bench::host();
    int r;
    const kel::Value sel = stateSelection(mod, &r);
    const kel::Value store = host.call("KalmanFil", {mod.y, mod.sys, mod.var});
    const kel::Value wgt = host.call("SimSmoWgt", {sel, store, mod.sys, mod.var});
    kel::Value z = kel::Value::matrix(r, mod.n);
    for (int i = 0; i < r; ++i)
        for (int t = 0; t < mod.n; ++t) z.at(i, t) = ((i + 3 * t) % 7 - 3) * 0.4;
    const std::vector<kel::Arg> args = {sel, z, wgt, store, mod.sys, mod.var};
    for (auto _ : state) benchmark::DoNotOptimize(host.call("SimSmoDraw", args));
    bench::countTimePoints(state, mod.n);
}

void condDens(benchmark::State &state, const bench::Model &(*model)(), int code) {
    const bench::Model &mod = model();
    kel::Host &host = bench::host();
    const std::vector<kel::Arg> args = {code, mod.y, mod.sys, mod.var};
    if (host.call("LdsCondDens", args).rows() != mod.m + mod.N) {
        state.SkipWithError("LdsCondDens failed on the benchmark model");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(host.call("LdsCondDens", args));
    bench::countTimePoints(state, mod.n);
}

}  // namespace

#define SIMULATION(name, model)                                                          \
    BENCHMARK_CAPTURE(likelihood, name, model)->Apply(bench::configure);                \
    BENCHMARK_CAPTURE(weights, name, model)->Apply(bench::configure);                   \
    BENCHMARK_CAPTURE(draw, name, model)->Apply(bench::configure);                      \
    BENCHMARK_CAPTURE(condDens, name##_smoothed, model, kSmoothed)->Apply(bench::configure); \
    BENCHMARK_CAPTURE(condDens, name##_drawn, model, kDrawn)->Apply(bench::configure)

SIMULATION(local_level, bench::localLevel);
SIMULATION(structural, bench::structural);
SIMULATION(dense_N4_m8, bench::dense);

BENCHMARK_MAIN();
