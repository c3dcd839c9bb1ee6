// output_hash.cpp - one hash of every bit the filters and smoothers return,
// for telling a change that must not alter any result from one that does.
//
//   output_hash [-v]
//
// Runs LdsLik, LdsLikConc, KalmanFil, KalmanSmo (on that store),
// LdsMomentEst 0, 1, 3 and 5, LdsLikSco, SimSmoWgt (on the filter store, for
// two selections), SimSmoDraw (on those weights), LdsCondDens 1 to 4 (the
// draws from a seeded host generator), LdsRecursion and LdsWeights 0, 1 and
// 5 on the three models of bench_models.h and on a few small models that
// reach the other paths: time-varying elements with missing values (one and
// two series), state counts just below and above the compiled ones, and
// many series and states.  Then the builders once each, and the routines of
// exact/exact.h, called directly, on three small models with a diffuse
// initial state (one of them time-varying).
// Prints the FNV-1a hash of all results (return records and referenced
// variables, bit patterns of every double, in call order); -v prints one
// hash per model and function as well.  Not a benchmark: run it on two
// builds and compare.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_models.h"
#include "exact/exact.h"
#include "kelhost/kelhost.h"
#include "model/model.h"

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
        if (!wgt.isMatrix()) continue;
        // A draw from fixed normal numbers, one row per selected element.
        int r = 0;
        for (int i = 0; i < d; ++i) r += (*sel)(i, i) != 0.0;
        const int n = store.cols();
        kel::Value z = kel::Value::matrix(r, n);
        for (int k = 0; k < r; ++k)
            for (int t = 0; t < n; ++t) z.at(k, t) = std::sin(0.7 * t + 1.3 * k + 0.1);
        std::vector<kel::Arg> dargs = {*sel, z, wgt};
        for (const kel::Arg &a : form(own, store)) dargs.push_back(a);
        kel::Value draw = host.call("SimSmoDraw", dargs);
        record(sel == &states ? "SimSmoDraw-st" : "SimSmoDraw-mix", {&draw});
    }
    // The conditional densities, the draws from a seeded generator.
    for (int code : {1, 2, 3, 4}) {
        kelhost_seed(20080901ULL + code);
        std::vector<kel::Arg> cargs = {code};
        for (const kel::Arg &a : form(c, c.y)) cargs.push_back(a);
        kel::Value cd = host.call("LdsCondDens", cargs);
        const std::string fn = "LdsCondDens" + std::to_string(code);
        record(fn.c_str(), {&cd});
    }
    // The model run forward from fixed disturbances; X gets one column more
    // (the last repeated), as many as the disturbances have.
    {
        const int n = c.y.cols();
        kel::Value E = kel::Value::matrix(d, n + 1);
        for (int i = 0; i < d; ++i)
            for (int t = 0; t <= n; ++t) E.at(i, t) = std::cos(0.3 * t + 0.9 * i);
        Case own = c;
        if (c.x.rows() > 0) {
            own.x = kel::Value::matrix(c.x.rows(), n + 1);
            for (int i = 0; i < c.x.rows(); ++i)
                for (int t = 0; t <= n; ++t) own.x.at(i, t) = c.x(i, std::min(t, n - 1));
        }
        kel::Value rec = host.call("LdsRecursion", form(own, E));
        record("LdsRecursion", {&rec});
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

// The builders, once each, on fixed specifications.
void builders(kel::Host &host, Hash &total, bool verbose) {
    auto record = [&](const char *fn, std::initializer_list<const kel::Value *> values) {
        Hash one;
        for (const kel::Value *v : values) {
            one.value(*v);
            total.value(*v);
        }
        if (verbose) std::printf("%-10s %-14s %016" PRIx64 "\n", "builders", fn, one.h);
    };
    {
        kel::Value spec({{0, 1.0, 0, 0, 0}, {1, 0.5, 0, 0, 0}, {4, 0.3, 4, 0, 0},
                         {7, 0.8, 0.5, 0.9, 0}, {17, 1.0, 0, 0.5, 0}, {18, 1.0, 0, 0.4, -0.3},
                         {6, 0.7, 0.4, 0.8, 2}, {19, 1.0, 0, 0, 0}});
        kel::Value sys, var, init;
        kel::Value r = host.call("GetLdsStsm", {spec, kel::ref(sys), kel::ref(var), kel::ref(init)});
        record("GetLdsStsm", {&r, &sys, &var, &init});
    }
    {
        kel::Value sys, var, init;
        kel::Value r = host.call("GetLdsArma", {kel::Value({{0.5, -0.2}}), kel::Value({{0.3}}), 1.5,
                                                kel::ref(sys), kel::ref(var), kel::ref(init)});
        record("GetLdsArma", {&r, &sys, &var, &init});
    }
    kel::Value x = kel::Value::matrix(2, 7);
    for (int i = 0; i < 2; ++i)
        for (int t = 0; t < 7; ++t) x.at(i, t) = std::sin(1.0 + t + 2.0 * i);
    {
        kel::Value sys, var, init, idx;
        kel::Value r = host.call("GetLdsReg", {x, kel::ref(sys), kel::ref(var), kel::ref(init),
                                               kel::ref(idx)});
        record("GetLdsReg", {&r, &sys, &var, &init, &idx});
    }
    {
        kel::Value sys({{1.0, 1.0}, {0.0, 1.0}, {1.0, 0.0}});
        kel::Value var({{0.5, 0.0, 0.0}, {0.0, 0.1, 0.0}, {0.0, 0.0, 1.0}});
        kel::Value init({{-1.0, 0.0}, {0.0, -1.0}, {0.0, 0.0}});
        kel::Value idx = kel::Value::empty();
        kel::Value r = host.call("AddLdsReg", {x, kel::ref(sys), kel::ref(var), kel::ref(init),
                                               kel::ref(idx)});
        record("AddLdsReg", {&r, &sys, &var, &init, &idx});
    }
    {
        kel::Value sys, var, init, idxSys, idxVar, X;
        kel::Value r = host.call("GetLdsSpline",
                                 {2.0, kel::Value({{1.0, 2.0, 0.5, 1.0, 3.0}}), kel::ref(sys),
                                  kel::ref(var), kel::ref(init), kel::ref(idxSys),
                                  kel::ref(idxVar), kel::ref(X)});
        record("GetLdsSpline", {&r, &sys, &var, &init, &idxSys, &idxVar, &X});
    }
    kel::Value version = host.call("LdsVersion", {});
    record("LdsVersion", {&version});
}

// ---- the routines of exact/exact.h, called as linking code would --------

// A rows x cols matrix as row pointers over one block, zero-filled.
struct Rows {
    int rows = 0, cols = 0;
    std::vector<double> v;
    std::vector<double *> ptr;
    Rows(int r, int c, double fill = 0.0) : rows(r), cols(c), v(std::size_t(r) * c, fill) {
        for (int i = 0; i < r; ++i) ptr.push_back(v.data() + std::size_t(i) * c);
    }
    Rows(const Rows &o) : Rows(o.rows, o.cols) { v = o.v; }
    Rows &operator=(const Rows &o) {
        Rows t(o);
        std::swap(v, t.v);
        std::swap(ptr, t.ptr);
        rows = o.rows;
        cols = o.cols;
        return *this;
    }
    double **p() { return ptr.data(); }
    double &at(int i, int j) { return ptr[i][j]; }
};

// An int table of 8 (triple table) or 6 (pattern) rows.
struct IntRows {
    std::vector<std::vector<int>> rows;
    std::vector<int *> ptr;
    IntRows(int r, int c) : rows(r, std::vector<int>(c, 0)) {
        for (auto &row : rows) ptr.push_back(row.data());
    }
    int **p() { return ptr.data(); }
};

// A model for the exact routines: Sys with the selection row (d+1 rows),
// Var, Mean, Init (null: every element diffuse), data with missing values,
// time-varying elements when X has rows.
struct ExactCase {
    std::string name;
    int m, N, n;
    Rows sys, var, init, Y, X;
    std::vector<double> mean;
    bool hasInit;
    std::vector<std::vector<int>> sysIdx;  // (i, j, row of X)
    ExactCase(const char *nm, int m_, int N_, int n_, int xRows)
        : name(nm), m(m_), N(N_), n(n_), sys(m_ + N_ + 1, m_), var(m_ + N_, m_ + N_),
          init(m_ + 1, m_), Y(N_, n_), X(xRows, n_), mean(m_ + N_, 0.0), hasInit(false) {}
};

ExactCase exactTrend() {
    ExactCase c("ex-trend", 2, 1, 60, 2);
    c.sys.at(0, 0) = c.sys.at(0, 1) = c.sys.at(1, 1) = 1.0;
    c.sys.at(2, 0) = 1.0;
    c.sys.at(3, 0) = c.sys.at(3, 1) = 1.0;  // selection row
    c.var.at(0, 0) = 0.5;
    c.var.at(1, 1) = 0.05;
    c.var.at(2, 2) = 1.5;
    for (int t = 0; t < c.n; ++t) {
        c.Y.at(0, t) = (t % 9 == 4) ? std::nan("") : 10.0 + 0.3 * t + std::sin(1.7 * t);
        c.X.at(0, t) = 1.0 + 0.1 * std::cos(t);
        c.X.at(1, t) = 0.2 * (t % 4);
    }
    c.sysIdx = {{0, 1, 0}, {2, 1, 1}};
    return c;
}

ExactCase exactSeasonal() {
    ExactCase c("ex-season", 5, 1, 80, 0);
    const int m = 5;
    c.sys.at(0, 0) = c.sys.at(0, 1) = c.sys.at(1, 1) = 1.0;
    c.sys.at(2, 2) = c.sys.at(2, 3) = c.sys.at(2, 4) = -1.0;
    c.sys.at(3, 2) = c.sys.at(4, 3) = 1.0;
    c.sys.at(m, 0) = c.sys.at(m, 2) = 1.0;
    c.sys.at(m + 1, 0) = c.sys.at(m + 1, 2) = 1.0;
    c.var.at(0, 0) = 0.4;
    c.var.at(1, 1) = 0.02;
    c.var.at(2, 2) = 0.1;
    c.var.at(m, m) = 0.8;
    c.hasInit = true;
    for (int i = 0; i < m; ++i) c.init.at(i, i) = -(1.0 + i);
    for (int t = 0; t < c.n; ++t)
        c.Y.at(0, t) = (t % 11 == 3) ? std::nan("") : 5.0 + 0.1 * t + std::cos(1.5708 * t) +
                                                          0.3 * std::sin(2.3 * t);
    return c;
}

ExactCase exactTwoSeries() {
    ExactCase c("ex-multi", 3, 2, 40, 0);
    const double T[3][3] = {{0.9, 0.1, 0.0}, {0.0, 1.0, 0.0}, {0.2, -0.1, 0.5}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) c.sys.at(i, j) = T[i][j];
    c.sys.at(3, 0) = 1.0;
    c.sys.at(3, 1) = 0.5;
    c.sys.at(4, 1) = 1.0;
    c.sys.at(4, 2) = -0.7;
    c.sys.at(5, 0) = c.sys.at(5, 1) = 1.0;
    for (int i = 0; i < 3; ++i) c.var.at(i, i) = 0.3 + 0.1 * i;
    c.var.at(0, 2) = c.var.at(2, 0) = 0.05;
    c.var.at(3, 3) = 1.0;
    c.var.at(4, 4) = 0.6;
    c.mean = {0.1, 0.0, -0.05, 0.2, -0.3};
    c.hasInit = true;
    c.init.at(0, 0) = -2.0;  // diffuse
    c.init.at(1, 1) = 1.5;
    c.init.at(2, 1) = 0.2;
    c.init.at(2, 2) = 0.8;
    c.init.at(3, 0) = 0.0;
    c.init.at(3, 1) = 1.0;
    c.init.at(3, 2) = -0.5;
    for (int i = 0; i < 2; ++i)
        for (int t = 0; t < c.n; ++t)
            c.Y.at(i, t) = ((t + 3 * i) % 7 == 2) ? std::nan("") : std::sin(0.4 * t + i) + 0.1 * t;
    return c;
}

void exactRoutines(ExactCase c, Hash &total, bool verbose) {
    const int m = c.m, N = c.N, n = c.n, d = m + N, steps = N * n;
    auto record = [&](const std::string &fn, std::initializer_list<Rows *> blocks,
                      std::initializer_list<double> numbers) {
        Hash one;
        for (Rows *b : blocks)
            for (double x : b->v) {
                one.bytes(&x, sizeof x);
                total.bytes(&x, sizeof x);
            }
        for (double x : numbers) {
            one.bytes(&x, sizeof x);
            total.bytes(&x, sizeof x);
        }
        if (verbose) std::printf("%-10s %-14s %016" PRIx64 "\n", c.name.c_str(), fn.c_str(), one.h);
    };
    // Triple table of the time-varying Sys entries, and the T pattern.
    const int tv = int(c.sysIdx.size());
    IntRows triples(8, tv + 1);
    for (int k = 0; k < tv; ++k)
        for (int part = 0; part < 3; ++part) triples.rows[part][k + 1] = c.sysIdx[k][part];
    triples.rows[0][0] = tv;
    int **trip = c.X.rows > 0 ? triples.p() : nullptr;
    double **X = c.X.rows > 0 ? c.X.p() : nullptr;
    IntRows pat(6, m * m + 1);
    iMatTPattern(m, m, c.sys.p(), trip, pat.p());
    // Each routine gets fresh copies of Sys, Var and Mean, which it may
    // overwrite from X.
    const Rows sys0 = c.sys, var0 = c.var;
    const std::vector<double> mean0 = c.mean;
    Rows sys = sys0, var = var0;
    std::vector<double> mean = mean0;
    auto fresh = [&] {
        sys = sys0;
        var = var0;
        mean = mean0;
    };
    double **init = c.hasInit ? c.init.p() : nullptr;
    const int low = std::max(1, m * (m - 1) / 2);

    Rows dwork(m + 1, m), scratch(m, m), dstore(m + 3, steps), varInf(m + N, n),
        lowInf(low, n), sigInf(m, n);
    const int dstar = IKalmanInitial(N, n, c.Y.p(), m, sys.p(), trip, X, pat.p(), init,
                                     dwork.p(), scratch.p(), dstore.p(), varInf.p(),
                                     lowInf.p(), sigInf.p());
    record("IKalmanInitial", {&dstore, &varInf, &lowInf, &sigInf}, {double(dstar)});

    struct Filtered {
        Rows estore, pred, low, filt;
    };
    auto filter = [&](int mode, int h) {
        fresh();
        const int predRows = mode == 9 ? 2 : mode == 11 ? m + 1 : 2 * d;
        const int filtRows = mode == 10 ? 2 : 2 * d;
        Rows swork(m + 2, m), pwork(m + 1, m), hwork(m + 1, m);
        Filtered f{Rows(m + 3, steps), Rows(predRows, n), Rows(low, n), Rows(filtRows, n)};
        double logdet = 0.0, sumsq = 0.0;
        int count = 0;
        const int ok = fKalmanExact(mode, h, N, n, c.Y.p(), m, sys.p(), var.p(), mean.data(),
                                    trip, X, pat.p(), init, dstar, dstore.p(), swork.p(),
                                    pwork.p(), hwork.p(), f.estore.p(), f.pred.p(), f.low.p(),
                                    f.filt.p(), &logdet, &sumsq, &count);
        record("fKalmanExact" + std::to_string(mode) + "h" + std::to_string(h),
               {&f.estore, &f.pred, &f.low, &f.filt, &swork}, {double(ok), logdet, sumsq, double(count)});
        return f;
    };
    Filtered plain = filter(0, 1);
    for (int mode : {5, 9, 10}) filter(mode, 1);
    filter(0, 3);
    Filtered smo = filter(1, 1);
    Filtered sig = filter(11, 1);

    for (int mode : {0, 5}) {
        fresh();
        Rows work(3, m), out(m + N, n);
        std::vector<double> innov(steps);
        const int ok = fKalmanExactMean(mode, N, n, c.Y.p(), m, sys.p(), mean.data(), trip, X,
                                        pat.p(), init, work.p(), plain.estore.p(),
                                        innov.data(), out.p());
        Rows in(1, steps);
        in.v = innov;
        record("fKalmanExactMean" + std::to_string(mode), {&out, &in}, {double(ok)});
    }
    {
        fresh();
        Rows work(2, m), out(d, n + 1);
        DistSmoExactMean(0, N, n, m, sys.p(), trip, X, pat.p(), work.p(), plain.estore.p(),
                         out.p());
        record("DistSmoExactMean", {&out}, {});
    }
    {
        fresh();
        Rows S(m + 1, m), W(m + 2, m), acc(d, d), score(m, m), out(2 * d, n + 1);
        DistSmoExact(0, N, n, m, sys.p(), trip, X, pat.p(), S.p(), W.p(), plain.estore.p(),
                     acc.p(), score.p(), out.p());
        record("DistSmoExact", {&S, &acc, &score, &out}, {});
    }
    for (int sel : {7, 8, 0}) {
        fresh();
        Rows work(2, m), out(sel == 7 ? N : sel == 8 ? m : d, n);
        DistSmoAuxExactMean(sel, N, n, m, sys.p(), var.p(), trip, X, pat.p(), work.p(),
                            plain.estore.p(), out.p());
        record("DistSmoAuxExactMean" + std::to_string(sel), {&out}, {});
    }
    {
        fresh();
        Rows S(m + 1, m), W(m + 2, m), out(2 * d, n);
        DistSmoAuxExact(N, n, m, sys.p(), var.p(), trip, X, pat.p(), S.p(), W.p(),
                        plain.estore.p(), out.p());
        record("DistSmoAuxExact", {&out}, {});
    }
    for (int sel : {0, 1}) {
        fresh();
        Rows work(2, m), cum(2, d), out(sel == 1 ? d : m, n);
        QuickStateSmo(sel, N, n, m, sys.p(), var.p(), mean.data(), trip, X, pat.p(), init,
                      work.p(), cum.p(), dstar, dstore.p(), smo.estore.p(), out.p());
        record("QuickStateSmo" + std::to_string(sel), {&out}, {});
    }
    for (int sel : {1, 11}) {
        fresh();
        Filtered &f = sel == 1 ? smo : sig;
        Rows pred = f.pred;
        Rows A0(m + 2, m), A1(m, m), S0(m + 2, m), S1(m + 2, m), S2(m + 2, m), out2(2, n);
        StateSmoExact(sel, N, n, m, sys.p(), trip, X, pat.p(), A0.p(), A1.p(), S0.p(), S1.p(),
                      S2.p(), dstar, dstore.p(), f.estore.p(),
                      sel == 1 ? varInf.p() : sigInf.p(), m > 1 ? lowInf.p() : nullptr,
                      pred.p(), m > 1 ? f.low.p() : nullptr, out2.p());
        record("StateSmoExact" + std::to_string(sel), {&pred, &S0, &S1, &S2, &out2}, {});
    }
    {
        fresh();
        Rows work(2, m), U(d, n + 1), state(d, n), obs(N, n);
        for (int i = 0; i < d; ++i)
            for (int t = 0; t <= n; ++t) U.at(i, t) = std::sin(0.37 * t + 0.8 * i);
        LdsDraw(N, n, m, sys.p(), mean.data(), trip, X, pat.p(), nullptr, work.p(), U.p(),
                state.p(), obs.p());
        record("LdsDraw", {&state, &obs}, {});
    }
    for (int indexed : {0, 1}) {
        fresh();
        Rows work(2, m), Y = c.Y;
        IntRows index(N, n);
        for (int i = 0; i < N; ++i)
            for (int t = 0; t < n; ++t) index.rows[i][t] = (7 * (t * N + i) + 3) % (steps + 2);
        LdsBootstrap(N, n, indexed ? index.p() : nullptr, m, sys.p(), mean.data(), trip, X,
                     pat.p(), work.p(), plain.estore.p(), Y.p());
        record("LdsBootstrap" + std::to_string(indexed), {&Y}, {});
    }
    for (int mode : {0, 5}) {
        fresh();
        Rows M(m, m), x(1, m), W(d, steps);
        const int ok = fWeightPred(mode, n / 2, N, n, m, sys.p(), trip, X, pat.p(), M.p(),
                                   x.v.data(), plain.estore.p(), W.p());
        record("fWeightPred" + std::to_string(mode), {&W}, {double(ok)});
    }
    Rows scale7(1, steps), scale0(1, steps);
    for (int mode : {7, 0}) {
        fresh();
        Rows P(m + 1, m), Wk(m + 1, m);
        Rows &scale = mode == 7 ? scale7 : scale0;
        SimSmoWgtExact(mode, N, n, m, sys.p(), var.p(), trip, X, pat.p(), init, P.p(), Wk.p(),
                       plain.estore.p(), scale.v.data());
        record("SimSmoWgtExact" + std::to_string(mode), {&scale}, {});
    }
    {
        fresh();
        kelhost_seed(20080903ULL);
        Rows work(3, m), E(N, n), out(1, steps);
        for (int i = 0; i < N; ++i)
            for (int t = 0; t < n; ++t) E.at(i, t) = 0.5 * std::cos(0.9 * t + i);
        SimSmoEpsExact(N, n, m, sys.p(), trip, X, pat.p(), work.p(), plain.estore.p(), E.p(),
                       scale7.v.data(), out.v.data());
        record("SimSmoEpsExact", {&out}, {});
    }
    {
        fresh();
        kelhost_seed(20080904ULL);
        Rows work(3, m), H(m, n), out(1, steps);
        for (int i = 0; i < m; ++i)
            for (int t = 0; t < n; ++t) H.at(i, t) = 0.3 * std::sin(1.1 * t + i);
        SimSmoEtaExact(N, n, m, sys.p(), trip, X, pat.p(), work.p(), plain.estore.p(), H.p(),
                       scale0.v.data(), out.v.data());
        record("SimSmoEtaExact", {&out}, {});
    }
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
    builders(host, total, verbose);
    for (const ExactCase &c : {exactTrend(), exactSeasonal(), exactTwoSeries()})
        exactRoutines(c, total, verbose);
    std::printf("output hash %016" PRIx64 "\n", total.h);
    return 0;
}
