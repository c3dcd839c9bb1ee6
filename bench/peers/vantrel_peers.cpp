// vantrel_peers.cpp - Vantrel's side of the peer comparison (`make
// bench-peers`), a small shared library that the two drivers load into
// their own processes: bench/peers/peers.R through dyn.load and .C, and
// bench/peers/peers.py through ctypes.  Every entry point takes pointers
// only, as .C wants.  A driver asks for a model's data (the models of
// bench_models.h, plus the Nile flows it passes in), builds its peer's
// model from them, and then alternates one peer call with one call here,
// each timed by its own process's clock; vp_time times the Vantrel calls
// inside the library, so the driver's own call overhead is not counted.
//
// Jobs (vp_time, vp_check):
//   0 LdsLik, local level                    4 LdsCondDens 2, structural
//   1 LdsMomentEst 1, local level            5 IKalmanInitial + fKalmanExact, dense
//   2 KalmanFil + KalmanSmo, local level     6 LdsLik, the Nile flows (vp_nile first)
//   3 LdsCondDens 2, dense
// Models (vp_sizes, vp_model): 0 local level, 1 structural, 2 dense.
// Every job but 5 gives the filter a proper initial variance Vbig I with
// Vbig = 1e7, as the peers are given; job 5 treats every state as diffuse.
#include <chrono>
#include <cmath>
#include <vector>

#include "bench_models.h"
#include "exact/exact.h"
#include "model/model.h"

namespace {

const double kVbig = 1e7;

const bench::Model &modelOf(int k) {
    return k == 0 ? bench::localLevel() : k == 1 ? bench::structural() : bench::dense();
}

kel::Value initOf(int m) {
    kel::Value init = kel::Value::matrix(m + 1, m);
    for (int i = 0; i < m; ++i) init.at(i, i) = kVbig;
    return init;
}

kel::Value g_nile;

using bench::Rows;

// The exact diffuse log-likelihood as linking code computes it: the diffuse
// period, then the exact filter with its sums only.
double exactLoglik(const bench::Model &mod) {
    const int m = mod.m, N = mod.N, n = mod.n;
    static std::vector<std::vector<int>> patRows(6, std::vector<int>(m * m + 1));
    static std::vector<int *> pat;
    static kel::Value sys = mod.sys, var = mod.var, y = mod.y;
    static Rows dwork(m + 1, m), scratch(m, m), dstore(m + 3, N * n), swork(m + 2, m),
        pwork(m + 1, m);
    static std::vector<double> mean(m + N, 0.0);
    if (pat.empty()) {
        for (auto &r : patRows) pat.push_back(r.data());
        iMatTPattern(m, m, sys.data(), nullptr, pat.data());
    }
    const int dstar = IKalmanInitial(N, n, y.data(), m, sys.data(), nullptr, nullptr, pat.data(),
                                     nullptr, dwork.p(), scratch.p(), dstore.p(), nullptr,
                                     nullptr, nullptr);
    double logdet = 0.0, sumsq = 0.0;
    int count = 0;
    if (!fKalmanExact(0, 1, N, n, y.data(), m, sys.data(), var.data(), mean.data(), nullptr,
                      nullptr, pat.data(), nullptr, dstar, dstore.p(), swork.p(), pwork.p(),
                      nullptr, nullptr, nullptr, nullptr, nullptr, &logdet, &sumsq, &count))
        return NAN;
    // log 2 pi counted for every observed element, as the peers count it
    // (the exact filter's own count leaves out the diffuse steps).
    int observed = 0;
    for (int i = 0; i < N; ++i)
        for (int t = 0; t < n; ++t) observed += !std::isnan(mod.y(i, t));
    return -0.5 * (observed * std::log(6.283185307179586) + logdet + count * sumsq);
}

// One call of job k; *out gets the job's checked number (see vp_check).
void run(int k, std::vector<double> *out) {
    kel::Host &host = bench::host();
    const bench::Model &mod = modelOf(k == 0 || k == 1 || k == 2 ? 0 : k == 4 ? 1 : 2);
    static kel::Value init1 = initOf(1), init13 = initOf(13), init8 = initOf(8);
    const kel::Value &init = mod.m == 1 ? init1 : mod.m == 13 ? init13 : init8;
    kel::Value ll, s2;
    switch (k) {
    case 0:
        host.call("LdsLik", {kel::ref(ll), kel::ref(s2), mod.y, mod.sys, mod.var, init});
        if (out) *out = {ll.asDouble(), s2.asDouble()};
        return;
    case 6: {
        // Built once: the Nile row is about the cost of a short call.
        static kel::Value nll, ns2;
        static const kel::Value sys = {{1.0}, {1.0}}, var = {{1469.1, 0.0}, {0.0, 15099.0}};
        static const std::vector<kel::Arg> args = {kel::ref(nll), kel::ref(ns2), g_nile, sys,
                                                   var, init1};
        host.call("LdsLik", args);
        if (out) *out = {nll.asDouble(), ns2.asDouble()};
        return;
    }
    case 1: {
        kel::Value moments;
        host.call("LdsMomentEst", {1, kel::ref(moments), mod.y, mod.sys, mod.var, init});
        if (out) *out = {moments(0, 0), moments(0, mod.n / 2), moments(0, mod.n - 1)};
        return;
    }
    case 2: {
        kel::Value store = host.call("KalmanFil", {mod.y, mod.sys, mod.var, init});
        kel::Value r = host.call("KalmanSmo", {store, mod.sys, mod.var});
        if (out) *out = {double(r.rows())};
        return;
    }
    case 3:
    case 4: {
        kel::Value r = host.call("LdsCondDens", {2, mod.y, mod.sys, mod.var, init});
        if (out) {
            host.call("LdsLik", {kel::ref(ll), kel::ref(s2), mod.y, mod.sys, mod.var, init});
            *out = {ll.asDouble(), double(r.rows())};
        }
        return;
    }
    case 5: {
        const double v = exactLoglik(mod);
        if (out) *out = {v};
        return;
    }
    }
}

}  // namespace

extern "C" {

// m, N, n of model *k.
__attribute__((visibility("default"))) void vp_sizes(int *k, int *out) {
    const bench::Model &mod = modelOf(*k);
    out[0] = mod.m, out[1] = mod.N, out[2] = mod.n;
}

// Sys (d x m), Var (d x d) and the data (N x n) of model *k, row-major.
__attribute__((visibility("default"))) void vp_model(int *k, double *sys, double *var,
                                                     double *y) {
    const bench::Model &mod = modelOf(*k);
    const int d = mod.m + mod.N;
    for (int i = 0; i < d; ++i)
        for (int j = 0; j < mod.m; ++j) *sys++ = mod.sys(i, j);
    for (int i = 0; i < d; ++i)
        for (int j = 0; j < d; ++j) *var++ = mod.var(i, j);
    for (int i = 0; i < mod.N; ++i)
        for (int t = 0; t < mod.n; ++t) *y++ = mod.y(i, t);
}

// The Nile flows (*n values) for job 6.
__attribute__((visibility("default"))) void vp_nile(double *y, int *n) {
    g_nile = kel::Value::matrix(1, *n);
    for (int t = 0; t < *n; ++t) g_nile.at(0, t) = y[t];
}

// *calls calls of job *k, ns[i] the time of call i in nanoseconds.
__attribute__((visibility("default"))) void vp_time(int *k, int *calls, double *ns) {
    for (int i = 0; i < *calls; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        run(*k, nullptr);
        const auto t1 = std::chrono::steady_clock::now();
        ns[i] = std::chrono::duration<double, std::nano>(t1 - t0).count();
    }
}

// The numbers a driver compares with its peer's: jobs 0 and 6 the
// log-likelihood and the variance; 1 the smoothed state at t = 0, n/2 and
// n-1; 3 and 4 LdsLik's log-likelihood with the same initial variance (the
// draws themselves are random); 5 the exact diffuse log-likelihood (log 2 pi
// counted for every observed element).
__attribute__((visibility("default"))) void vp_check(int *k, double *out) {
    std::vector<double> v;
    run(*k, &v);
    for (double x : v) *out++ = x;
}

}  // extern "C"
