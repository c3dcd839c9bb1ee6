// bench_filter.cpp - LdsLik through the host, in nanoseconds per time point,
// on the three models of bench_models.h.
#include <cmath>

#include "bench_models.h"

namespace {

void likelihood(benchmark::State &state, const bench::Model &(*model)()) {
    const bench::Model &mod = model();
    kel::Host &host = bench::host();
    kel::Value ll, s2;
    const std::vector<kel::Arg> args = {kel::ref(ll), kel::ref(s2), mod.y, mod.sys, mod.var};
    if (host.call("LdsLik", args).asInt() != 1 || !std::isfinite(ll.asDouble())) {
        state.SkipWithError("LdsLik failed on the benchmark model");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(host.call("LdsLik", args));
    bench::countTimePoints(state, mod.n);
}

}  // namespace

BENCHMARK_CAPTURE(likelihood, local_level, bench::localLevel)->Apply(bench::configure);
BENCHMARK_CAPTURE(likelihood, structural, bench::structural)->Apply(bench::configure);
BENCHMARK_CAPTURE(likelihood, dense_N4_m8, bench::dense)->Apply(bench::configure);

BENCHMARK_MAIN();
