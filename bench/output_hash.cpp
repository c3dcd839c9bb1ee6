// output_hash.cpp - one hash of every bit the filters and smoothers return,
// for telling a change that must not alter any result from one that does.
//
//   output_hash [-v]
//
// Runs LdsLik, LdsLikConc, KalmanFil, KalmanSmo (on that store),
// LdsMomentEst 0, 1, 3 and 5, LdsLikSco, SimSmoWgt (on the filter store, for
// two selections) and LdsWeights 0, 1 and 5 on the three models of
// bench_models.h and on a few small models that reach the other paths: time-
// varying elements with missing values (one and two series), state counts
// just below and above the compiled ones, and many series and states.
// Prints the FNV-1a hash of all results (return records and referenced
// variables, bit patterns of every double, in call order); -v prints one
// hash per model and function as well.  Not a benchmark: run it on two
// builds and compare.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_models.h"

namespace {

const std::uint64_t kFnvOffset = 1469598103934665603ULL;
const std::uint64_t kFnvPrime = 1099511628211ULL;

struct Hash {
    std::uint64_t h = kFnvOffset;
    void bytes(const void *p, std::size_t n) {
        const unsigned char *c = static_cast<const unsigned char *>(p);
        for (std::size_t i = 0; i < n; ++i) h = (h ^ c[i]) * kFnvPrime;
    }
    void value(const kel::Value &v) {
        const int type = v.type();
        bytes(&type, sizeof type);
        if (v.isMatrix()) {
            const int r = v.rows(), c = v.cols();
            bytes(&r, sizeof r);
            bytes(&c, sizeof c);
            for (int i = 0; i < r; ++i)
                for (int j = 0; j < c; ++j) {
                    const double x = v(i, j);
                    bytes(&x, sizeof x);
                }
        } else if (type == KEL_INT) {
            const int x = v.asInt();
            bytes(&x, sizeof x);
        } else {
            const double x = v.asDouble();
            bytes(&x, sizeof x);
        }
    }
};

// A model with its optional arguments (Init, Mean, IdxSys, IdxVar, IdxMean,
// X), passed when X is given.
struct Case {
    std::string name;
    kel::Value y, sys, var, init, mean, idxSys, idxVar, idxMean, x;
};

std::vector<kel::Arg> form(const Case &c, const kel::Value &data) {
    if (c.x.rows() == 0) return {data, c.sys, c.var};
    return {data, c.sys, c.var, c.init, c.mean, c.idxSys, c.idxVar, c.idxMean, c.x};
}

Case fromBench(const char *name, const bench::Model &m) {
    Case c{name, m.y, m.sys, m.var, kel::Value::empty(), kel::Value::empty(),
           kel::Value::empty(), kel::Value::empty(), kel::Value::empty(), kel::Value::empty()};
    return c;
}

// A random model with m states, N series and n time points: a stable dense
// transition, dense observation rows, a diagonal variance with one
// covariance, data with every seventh observation missing.
Case randomModel(const char *name, int m, int N, int n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const int d = m + N;
    kel::Value sys = kel::Value::matrix(d, m), var = kel::Value::matrix(d, d);
    for (int i = 0; i < d; ++i)
        for (int j = 0; j < m; ++j) sys.at(i, j) = i < m ? 0.8 * u(rng) / std::sqrt(m) : u(rng);
    for (int i = 0; i < d; ++i) var.at(i, i) = 0.5 + 0.5 * (u(rng) + 1.0);
    if (d > 1) var.at(0, d - 1) = var.at(d - 1, 0) = 0.1;
    kel::Value y = kel::Value::matrix(N, n);
    int k = 0;
    for (int i = 0; i < N; ++i)
        for (int t = 0; t < n; ++t) y.at(i, t) = (++k % 7 == 0) ? kel::nan() : 3.0 * u(rng);
    return Case{name, y, sys, var, kel::Value::empty(), kel::Value::empty(),
                kel::Value::empty(), kel::Value::empty(), kel::Value::empty(), kel::Value::empty()};
}

// Time-varying elements on a random model: one transition entry, the first
// observation row's first entry, the observation variance and one mean
// element from rows of X; Init with its first element diffuse.
Case timeVarying(const char *name, int m, int N, int n, unsigned seed) {
    Case c = randomModel(name, m, N, n, seed);
    const int d = m + N;
    std::mt19937_64 rng(seed + 7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    c.x = kel::Value::matrix(4, n);
    for (int t = 0; t < n; ++t) {
        c.x.at(0, t) = 0.5 * u(rng);
        c.x.at(1, t) = 1.0 + 0.5 * u(rng);
        c.x.at(2, t) = 1.0 + 0.5 * (u(rng) + 1.0);
        c.x.at(3, t) = u(rng);
    }
    c.idxSys = kel::Value::matrix(d, m, -1.0);
    c.idxSys.at(0, 0) = 0.0;
    c.idxSys.at(m, 0) = 1.0;
    c.idxVar = kel::Value::matrix(d, d, -1.0);
    c.idxVar.at(m, m) = 2.0;
    c.idxMean = kel::Value::matrix(d, 1, -1.0);
    c.idxMean.at(m, 0) = 3.0;
    c.init = kel::Value::matrix(m + 1, m);
    for (int i = 0; i < m; ++i) {
        c.init.at(i, i) = i == 0 ? -1.0 : 2.0;
        c.init.at(m, i) = 0.1 * (i + 1);
    }
    c.mean = kel::Value::matrix(d, 1);
    for (int i = 0; i < d; ++i) c.mean.at(i, 0) = 0.01 * (i + 1);
    return c;
}

void run(kel::Host &host, const Case &c, Hash &total, bool verbose) {
    auto record = [&](const char *fn, std::initializer_list<const kel::Value *> values) {
        Hash one;
        for (const kel::Value *v : values) {
            one.value(*v);
            total.value(*v);
        }
        if (verbose) std::printf("%-10s %-14s %016" PRIx64 "\n", c.name.c_str(), fn, one.h);
    };
    host.clearMessages();
    for (const char *fn : {"LdsLik", "LdsLikConc"}) {
        kel::Value ll, s2;
        std::vector<kel::Arg> args = {kel::ref(ll), kel::ref(s2)};
        for (const kel::Arg &a : form(c, c.y)) args.push_back(a);
        kel::Value r = host.call(fn, args);
        record(fn, {&r, &ll, &s2});
    }
    kel::Value store = host.call("KalmanFil", form(c, c.y));
    record("KalmanFil", {&store});
    kel::Value smo = host.call("KalmanSmo", form(c, store));
    record("KalmanSmo", {&smo});
    for (int sel : {0, 1, 3, 5}) {
        kel::Value moments;
        std::vector<kel::Arg> args = {sel, kel::ref(moments)};
        for (const kel::Arg &a : form(c, c.y)) args.push_back(a);
        kel::Value r = host.call("LdsMomentEst", args);
        const std::string fn = "LdsMomentEst" + std::to_string(sel);
        record(fn.c_str(), {&r, &moments});
    }
    kel::Value ll, s2, score;
    std::vector<kel::Arg> args = {kel::ref(ll), kel::ref(s2), kel::ref(score)};
    for (const kel::Arg &a : form(c, c.y)) args.push_back(a);
    kel::Value r = host.call("LdsLikSco", args);
    record("LdsLikSco", {&r, &ll, &s2, &score});
    // The simulation smoother weights: the state disturbances with positive
    // variance, then the first state and the last observation element.  The
    // call writes time-varying values into Sys and Var: each call gets
    // copies of the model.
    const int m = c.sys.cols(), d = c.sys.rows();
    kel::Value states = kel::Value::matrix(d, d), mixed = kel::Value::matrix(d, d);
    for (int i = 0; i < m; ++i)
        if (c.var(i, i) > 0.0) states.at(i, i) = 1.0;
    mixed.at(0, 0) = 1.0;
    mixed.at(d - 1, d - 1) = 1.0;
    for (const kel::Value *sel : {&states, &mixed}) {
        Case own = c;
        std::vector<kel::Arg> wargs = {*sel};
        for (const kel::Arg &a : form(own, store)) wargs.push_back(a);
        kel::Value wgt = host.call("SimSmoWgt", wargs);
        record(sel == &states ? "SimSmoWgt-st" : "SimSmoWgt-mix", {&wgt});
    }
    // The observation weights of the first series in the middle of the run
    // and of the last series near its end.
    const int N = c.y.rows(), n = c.y.cols();
    for (int code : {0, 1, 5})
        for (int target : {0, 1}) {
            kel::Value pattern = kel::Value::matrix(N, n);
            if (target == 0)
                pattern.at(0, n / 2) = 1.0;
            else
                pattern.at(N - 1, n - 2) = 1.0;
            Case own = c;
            std::vector<kel::Arg> wargs = {code};
            for (const kel::Arg &a : form(own, pattern)) wargs.push_back(a);
            kel::Value w = host.call("LdsWeights", wargs);
            const std::string fn = "LdsWeights" + std::to_string(code) + "-" + std::to_string(target);
            record(fn.c_str(), {&w});
        }
    for (const std::string &m : host.messages())
        std::printf("%s: warning: %s\n", c.name.c_str(), m.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    const bool verbose = argc > 1 && std::strcmp(argv[1], "-v") == 0;
    kel::Host &host = bench::host();
    std::vector<Case> cases;
    cases.push_back(fromBench("local", bench::localLevel()));
    cases.push_back(fromBench("struct", bench::structural()));
    cases.push_back(fromBench("dense", bench::dense()));
    cases.push_back(timeVarying("tv-univ", 2, 1, 300, 11));
    cases.push_back(timeVarying("tv-multi", 3, 2, 300, 12));
    cases.push_back(randomModel("m3-N1", 3, 1, 200, 13));
    cases.push_back(randomModel("m4-N1", 4, 1, 200, 14));
    cases.push_back(randomModel("m5-N2", 5, 2, 200, 15));
    cases.push_back(timeVarying("tv-m16", 16, 1, 100, 16));
    cases.push_back(randomModel("m17-N3", 17, 3, 100, 17));
    cases.push_back(randomModel("m70-N20", 70, 20, 30, 18));
    Hash total;
    for (const Case &c : cases) run(host, c, total, verbose);
    std::printf("output hash %016" PRIx64 "\n", total.h);
    return 0;
}
