// bench_exact.cpp - the exact diffuse filter and state smoother, called
// directly as linking code would, beside LdsLik on the same models (fully
// diffuse initial state), in nanoseconds per time point:
//   fKalmanExact   mode 1, with the exact filter store and the sums
//   StateSmoExact  selector 1 (state and signal means and variances) over
//                  stores made once; restoring the predicted output it
//                  overwrites is not timed
//   LdsBootstrap   one bootstrap sample through a store made once (mode 0),
//                  the standardised innovations drawn by a permuting index
//                  table
//   fWeightPred    the weights of all observations in the state predicted
//                  beyond the data (tau = n), over the same store
//   SimSmoEpsExact one draw of the innovations over a mode 0 store and
//                  mode 7 scales made once
// Targets, as ratios to LdsLik: fKalmanExact 1.5, StateSmoExact 4,
// LdsBootstrap 1.5, fWeightPred 1.5, SimSmoEpsExact 1.5.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "bench_models.h"
#include "exact/exact.h"
#include "model/model.h"

namespace {

using bench::Rows;

// A model with everything the exact routines need, filtered once.
struct Exact {
    const bench::Model &mod;
    int m, N, n, d, dstar = 0;
    kel::Value sys, var;
    std::vector<double> mean;
    std::vector<std::vector<int>> patRows;
    std::vector<int *> pat;
    Rows dwork, scratch, dstore, varInf, lowInf, swork, pwork, estore, pred, low;
    explicit Exact(const bench::Model &md)
        : mod(md), m(md.m), N(md.N), n(md.n), d(md.m + md.N), sys(md.sys), var(md.var),
          mean(d, 0.0), patRows(6, std::vector<int>(std::size_t(m) * m + 1)),
          dwork(m + 1, m), scratch(m, m), dstore(m + 3, N * n), varInf(m + N, n),
          lowInf(m * (m - 1) / 2 + 1, n), swork(m + 2, m), pwork(m + 1, m),
          estore(m + 3, N * n), pred(2 * d, n), low(m * (m - 1) / 2 + 1, n) {
        for (auto &r : patRows) pat.push_back(r.data());
        iMatTPattern(m, m, sys.data(), nullptr, pat.data());
        kel::Value y = mod.y;
        dstar = IKalmanInitial(N, n, y.data(), m, sys.data(), nullptr, nullptr, pat.data(),
                               nullptr, dwork.p(), scratch.p(), dstore.p(), varInf.p(),
                               lowInf.p(), nullptr);
    }
    int filter(double **store, double **predOut, double **lowOut, int mode = 1) {
        kel::Value &y = const_cast<kel::Value &>(mod.y);
        double logdet, sumsq;
        int count;
        return fKalmanExact(mode, 1, N, n, y.data(), m, sys.data(), var.data(), mean.data(),
                            nullptr, nullptr, pat.data(), nullptr, dstar, dstore.p(),
                            swork.p(), pwork.p(), nullptr, store, predOut, lowOut, nullptr,
                            &logdet, &sumsq, &count);
    }
};

void likelihood(benchmark::State &state, const bench::Model &(*model)()) {
    const bench::Model &mod = model();
    kel::Host &host = bench::host();
    kel::Value ll, s2;
    const std::vector<kel::Arg> args = {kel::ref(ll), kel::ref(s2), mod.y, mod.sys, mod.var};
    if (host.call("LdsLik", args).asInt() != 1) {
        state.SkipWithError("LdsLik failed on the benchmark model");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(host.call("LdsLik", args));
    bench::countTimePoints(state, mod.n);
}

void exactFilter(benchmark::State &state, const bench::Model &(*model)()) {
    Exact ex(model());
    if (ex.dstar < 1 || ex.filter(ex.estore.p(), nullptr, nullptr) != 1) {
        state.SkipWithError("fKalmanExact failed on the benchmark model");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(ex.filter(ex.estore.p(), nullptr, nullptr));
    bench::countTimePoints(state, ex.n);
}

void exactStateSmoother(benchmark::State &state, const bench::Model &(*model)()) {
    Exact ex(model());
    const int m = ex.m;
    if (ex.dstar < 1 || ex.filter(ex.estore.p(), ex.pred.p(), ex.low.p()) != 1) {
        state.SkipWithError("fKalmanExact failed on the benchmark model");
        return;
    }
    const std::vector<double> predSaved = ex.pred.buf;
    Rows A0(m + 2, m), A1(m, m), S0(m + 2, m), S1(m + 2, m), S2(m + 2, m);
    for (auto _ : state) {
        StateSmoExact(1, ex.N, ex.n, m, ex.sys.data(), nullptr, nullptr, ex.pat.data(), A0.p(),
                      A1.p(), S0.p(), S1.p(), S2.p(), ex.dstar, ex.dstore.p(), ex.estore.p(),
                      ex.varInf.p(), ex.lowInf.p(), ex.pred.p(), ex.low.p(), nullptr);
        state.PauseTiming();
        ex.pred.buf = predSaved;
        state.ResumeTiming();
    }
    bench::countTimePoints(state, ex.n);
}

void exactBootstrap(benchmark::State &state, const bench::Model &(*model)()) {
    Exact ex(model());
    if (ex.dstar < 1 || ex.filter(ex.estore.p(), nullptr, nullptr, 0) != 1) {
        state.SkipWithError("fKalmanExact failed on the benchmark model");
        return;
    }
    const int N = ex.N, n = ex.n, steps = N * n;
    std::vector<int> order(steps);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937_64(bench::kSeed));
    std::vector<int *> index(N);
    for (int i = 0; i < N; ++i) index[i] = order.data() + std::size_t(i) * n;
    Rows y(N, n), work(2, ex.m);
    for (auto _ : state) {
        LdsBootstrap(N, n, index.data(), ex.m, ex.sys.data(), ex.mean.data(), nullptr, nullptr,
                     ex.pat.data(), work.p(), ex.estore.p(), y.p());
        benchmark::DoNotOptimize(y.buf.data());
    }
    bench::countTimePoints(state, n);
}

void exactSimulation(benchmark::State &state, const bench::Model &(*model)()) {
    Exact ex(model());
    const int m = ex.m, N = ex.N, n = ex.n;
    if (ex.dstar < 1 || ex.filter(ex.estore.p(), nullptr, nullptr, 0) != 1) {
        state.SkipWithError("fKalmanExact failed on the benchmark model");
        return;
    }
    Rows P(m + 1, m), W(m + 1, m), work(3, m);
    std::vector<double> scale(std::size_t(N) * n), out(scale.size());
    SimSmoWgtExact(7, N, n, m, ex.sys.data(), ex.var.data(), nullptr, nullptr, ex.pat.data(),
                   nullptr, P.p(), W.p(), ex.estore.p(), scale.data());
    // The observations stand in for the disturbances: the cost does not
    // depend on their values.
    kel::Value E = ex.mod.y;
    for (auto _ : state) {
        SimSmoEpsExact(N, n, m, ex.sys.data(), nullptr, nullptr, ex.pat.data(), work.p(),
                       ex.estore.p(), E.data(), scale.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    bench::countTimePoints(state, n);
}

void exactWeights(benchmark::State &state, const bench::Model &(*model)()) {
    Exact ex(model());
    if (ex.dstar < 1 || ex.filter(ex.estore.p(), nullptr, nullptr, 0) != 1) {
        state.SkipWithError("fKalmanExact failed on the benchmark model");
        return;
    }
    Rows M(ex.m, ex.m), x(1, ex.m), W(ex.d, ex.N * ex.n);
    for (auto _ : state)
        benchmark::DoNotOptimize(fWeightPred(0, ex.n, ex.N, ex.n, ex.m, ex.sys.data(), nullptr,
                                             nullptr, ex.pat.data(), M.p(), x.p()[0],
                                             ex.estore.p(), W.p()));
    bench::countTimePoints(state, ex.n);
}

}  // namespace

BENCHMARK_CAPTURE(likelihood, local_level, bench::localLevel)->Apply(bench::configure);
BENCHMARK_CAPTURE(exactFilter, local_level, bench::localLevel)->Apply(bench::configure);
BENCHMARK_CAPTURE(exactStateSmoother, local_level, bench::localLevel)->Apply(bench::configure);
BENCHMARK_CAPTURE(exactBootstrap, local_level, bench::localLevel)->Apply(bench::configure);
BENCHMARK_CAPTURE(exactWeights, local_level, bench::localLevel)->Apply(bench::configure);
BENCHMARK_CAPTURE(exactSimulation, local_level, bench::localLevel)->Apply(bench::configure);
BENCHMARK_CAPTURE(likelihood, structural, bench::structural)->Apply(bench::configure);
BENCHMARK_CAPTURE(exactFilter, structural, bench::structural)->Apply(bench::configure);
BENCHMARK_CAPTURE(exactStateSmoother, structural, bench::structural)->Apply(bench::configure);
BENCHMARK_CAPTURE(exactBootstrap, structural, bench::structural)->Apply(bench::configure);
BENCHMARK_CAPTURE(exactWeights, structural, bench::structural)->Apply(bench::configure);
BENCHMARK_CAPTURE(exactSimulation, structural, bench::structural)->Apply(bench::configure);

BENCHMARK_MAIN();
