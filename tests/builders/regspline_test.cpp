// GetLdsReg, AddLdsReg, GetLdsSpline: the forms against hand-written
// matrices, every refusal, and the smoothed estimates of the forms
// (LdsMomentEst) against dense least-squares references.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "builders/builders.h"
#include "builders_util.hpp"

namespace {

using bdense::Mat;
using bdense::Vec;

const double kM1 = -1.0;

struct RegResult {
    kel::Value sys, var, init, idx;
};

void expectExact(const kel::Value &got, const Mat &want, const char *what)
{
    EXPECT_TRUE(bdense::near(bdense::fromValue(got), want, 0)) << what;
}

void expectForm(const RegResult &r, const Mat &sys, const Mat &var, const Mat &init, const Mat &idx)
{
    expectExact(r.sys, sys, "Sys");
    expectExact(r.var, var, "Var");
    expectExact(r.init, init, "Init");
    expectExact(r.idx, idx, "IdxSys");
}

TEST(Regression, GetLdsReg)
{
    kel::Host host;
    RegResult r;
    kel::Value x = kel::Value::matrix(2, 7, 0.5);
    kel::Value rtn = host.call("GetLdsReg", {x, kel::ref(r.sys), kel::ref(r.var), kel::ref(r.init),
                                             kel::ref(r.idx)});
    EXPECT_EQ(rtn.asInt(), 1);
    Mat sys(3, 2), var(3, 3), init(3, 2), idx(3, 2);
    sys << 1, 0, 0, 1, 0, 0;
    var << 0, 0, 0, 0, 0, 0, 0, 0, 1;
    init << -1, 0, 0, -1, 0, 0;
    idx << kM1, kM1, kM1, kM1, 0, 1;
    expectForm(r, sys, var, init, idx);

    kel::Value none = kel::Value::matrix(0, 4), a, b, c, d;
    bt::expectRuntimeError(host, "GetLdsReg", {none, kel::ref(a), kel::ref(b), kel::ref(c), kel::ref(d)},
                           "GetLdsReg(): data matrix needed in first argument");
    bt::expectRuntimeError(host, "GetLdsReg", {x, kel::ref(a), kel::ref(b), kel::ref(c)},
                           "GetLdsReg(): five arguments required");
    EXPECT_EQ(bt::failure(host, "GetLdsReg", {x, kel::ref(a), b, kel::ref(c), kel::ref(d)}).code,
              KELHOST_ERR_TYPE);
    // the same variable named twice is refused, as by the other builders
    bt::expectRuntimeError(host, "GetLdsReg", {x, kel::ref(a), kel::ref(a), kel::ref(c), kel::ref(d)},
                           "GetLdsReg(): result arguments must refer to distinct variables");

    long before = kelhost_live_blocks();
    for (long after = 0; after < 8; ++after) {
        kelhost_fail_allocations_after(after);
        bt::Failure f = bt::failure(host, "GetLdsReg",
                                    {x, kel::ref(a), kel::ref(b), kel::ref(c), kel::ref(d)});
        kelhost_fail_allocations_after(-1);
        EXPECT_EQ(f.code, KELHOST_ERR_RUNTIME) << after;
        EXPECT_EQ(f.text, "GetLdsReg(): memory allocation failure");
        EXPECT_EQ(kelhost_live_blocks(), before);
    }
}

TEST(Regression, AddLdsReg)
{
    kel::Host host;
    kel::Value x = kel::Value::matrix(2, 5, 1.0);
    // on an empty model: the form of GetLdsReg
    RegResult e;
    e.sys = e.var = e.init = e.idx = kel::Value::empty();
    host.call("AddLdsReg", {x, kel::ref(e.sys), kel::ref(e.var), kel::ref(e.init), kel::ref(e.idx)});
    Mat sys(3, 2), var(3, 3), init(3, 2), idx(3, 2);
    sys << 1, 0, 0, 1, 0, 0;
    var << 0, 0, 0, 0, 0, 0, 0, 0, 1;
    init << -1, 0, 0, -1, 0, 0;
    idx << kM1, kM1, kM1, kM1, 0, 1;
    expectForm(e, sys, var, init, idx);

    // one regressor ahead of a local level model
    RegResult l;
    l.sys = kel::Value{{1}, {1}};
    l.var = kel::Value{{0.3, 0}, {0, 2.0}};
    l.init = kel::Value{{-1}, {0}};
    l.idx = kel::Value::empty();
    kel::Value one = kel::Value::matrix(1, 5, 2.0);
    host.call("AddLdsReg", {one, kel::ref(l.sys), kel::ref(l.var), kel::ref(l.init), kel::ref(l.idx)});
    Mat ls(3, 2), lv(3, 3), li(3, 2), lx(3, 2);
    ls << 1, 0, 0, 1, 0, 1;
    lv << 0, 0, 0, 0, 0.3, 0, 0, 0, 2.0;
    li << -1, 0, 0, -1, 0, 0;
    lx << kM1, kM1, kM1, kM1, 0, kM1;
    expectForm(l, ls, lv, li, lx);

    // two states with an initial mean and a state/observation covariance,
    // which is dropped
    RegResult t;
    t.sys = kel::Value{{0.9, 0.2}, {0.1, 0.8}, {1, 0.5}};
    t.var = kel::Value{{1, 0.1, 0.7}, {0.1, 2, 0.6}, {0.7, 0.6, 3}};
    t.init = kel::Value{{4, 0}, {0.5, 5}, {1.5, -2.5}};
    t.idx = kel::Value::matrix(0, 0);
    host.call("AddLdsReg", {one, kel::ref(t.sys), kel::ref(t.var), kel::ref(t.init), kel::ref(t.idx)});
    Mat ts(4, 3), tv(4, 4), ti(4, 3), tx(4, 3);
    ts << 1, 0, 0, 0, 0.9, 0.2, 0, 0.1, 0.8, 0, 1, 0.5;
    tv << 0, 0, 0, 0, 0, 1, 0.1, 0, 0, 0.1, 2, 0, 0, 0, 0, 3;
    ti << -1, 0, 0, 0, 4, 0, 0, 0.5, 5, 0, 1.5, -2.5;
    tx << kM1, kM1, kM1, kM1, kM1, kM1, kM1, kM1, kM1, 0, kM1, kM1;
    expectForm(t, ts, tv, ti, tx);

    // no regressors: nothing changes
    RegResult u = t;
    u.idx = kel::Value{{7}};
    host.call("AddLdsReg", {kel::Value::matrix(0, 5), kel::ref(u.sys), kel::ref(u.var),
                            kel::ref(u.init), kel::ref(u.idx)});
    expectForm(u, ts, tv, ti, Mat::Constant(1, 1, 7));
}

TEST(Regression, AddLdsRegRefusals)
{
    kel::Host host;
    kel::Value x = kel::Value::matrix(1, 3, 1.0), num(2.5);
    kel::Value sys = kel::Value{{1}, {1}}, var = kel::Value{{1, 0}, {0, 1}}, init = kel::Value{{-1}, {0}};
    kel::Value empty = kel::Value::empty(), full = kel::Value{{1}};
    kel::Value bad = kel::Value::matrix(2, 2), badVar = kel::Value::matrix(2, 3), badInit = kel::Value::matrix(3, 1);
    kel::Value e1 = kel::Value::empty(), e3 = kel::Value::empty(), nonEmptyVar = kel::Value{{1}};
    const std::string p = "AddLdsReg(): ";
    auto call = [&](const kel::Arg &a1, kel::Value &s, kel::Value &v, kel::Value &i, kel::Value &j,
                    const std::string &text) {
        bt::expectRuntimeError(host, "AddLdsReg", {a1, kel::ref(s), kel::ref(v), kel::ref(i), kel::ref(j)},
                               text);
    };
    bt::expectRuntimeError(host, "AddLdsReg", {x, kel::ref(sys)}, p + "five arguments required");
    call(num, sys, var, init, empty, p + "argument 1 must be matrix");
    call(x, num, var, init, empty, p + "argument 2 no pointer to matrix");
    call(x, sys, num, init, empty, p + "argument 3 no pointer to matrix");
    call(x, sys, var, num, empty, p + "argument 4 no pointer to matrix");
    call(x, sys, var, init, num, p + "argument 5 no pointer to matrix");
    call(x, sys, var, init, full, p + "argument 5 must be empty matrix <>");
    call(x, e1, nonEmptyVar, e3, empty, p + "all pointers must be to empty matrices");
    call(x, bad, var, init, empty, p + "argument 2 wrong matrix dimension");
    call(x, sys, badVar, init, empty, p + "argument 3 wrong matrix dimension");
    call(x, sys, var, badInit, empty, p + "argument 4 wrong matrix dimension");
    EXPECT_EQ(bt::failure(host, "AddLdsReg", {x, sys, kel::ref(var), kel::ref(init), kel::ref(empty)}).code,
              KELHOST_ERR_TYPE);

    // memory: the model is left as it was when the work storage is missing
    long before = kelhost_live_blocks();
    kelhost_fail_allocations_after(0);
    bt::Failure f = bt::failure(host, "AddLdsReg",
                                {x, kel::ref(sys), kel::ref(var), kel::ref(init), kel::ref(empty)});
    kelhost_fail_allocations_after(-1);
    EXPECT_EQ(f.code, KELHOST_ERR_MEMORY);
    EXPECT_EQ(kelhost_live_blocks(), before);
    expectExact(sys, (Mat(2, 1) << 1, 1).finished(), "Sys kept");
    EXPECT_EQ(empty.rows() + empty.cols(), 0);
    for (long after = 1; after < 8; ++after) {
        kel::Value s = sys, v = var, i = init, j = kel::Value::empty();
        kelhost_fail_allocations_after(after);
        bt::Failure g = bt::failure(host, "AddLdsReg", {x, kel::ref(s), kel::ref(v), kel::ref(i), kel::ref(j)});
        kelhost_fail_allocations_after(-1);
        EXPECT_EQ(g.code, KELHOST_ERR_MEMORY) << after;
        EXPECT_EQ(kelhost_live_blocks(), before);
    }
}

struct Spline {
    kel::Value sys, var, init, idxSys, idxVar, X;
};

TEST(Spline, Forms)
{
    kel::Host host;
    const double delta = 3.0;
    Mat sys(3, 2), var(3, 3), init(3, 2);
    sys << 1, 1, 0, 1, 1, 0;
    var << 1, 1.5, 0, 1.5, 3, 0, 0, 0, 1;
    init << -1, 0, 0, -1, 0, 0;

    Spline a;
    kel::Value gaps = kel::Value{{1.0, 2.0}};
    EXPECT_EQ(host.call("GetLdsSpline", {delta, gaps, kel::ref(a.sys), kel::ref(a.var)}).asInt(), 1);
    expectExact(a.sys, sys, "Sys");
    expectExact(a.var, var, "Var");

    Spline b;
    host.call("GetLdsSpline", {delta, gaps, kel::ref(b.sys), kel::ref(b.var), kel::ref(b.init)});
    expectExact(b.init, init, "Init");

    Spline c;
    host.call("GetLdsSpline", {delta, gaps, kel::ref(c.sys), kel::ref(c.var), kel::ref(c.init),
                               kel::ref(c.idxSys), kel::ref(c.idxVar), kel::ref(c.X)});
    expectExact(c.sys, sys, "Sys");
    expectExact(c.var, var, "Var");
    expectExact(c.init, init, "Init");
    Mat is(3, 2), iv(3, 3), X(4, 2);
    is << kM1, 0, kM1, kM1, kM1, kM1;
    iv << 3, 2, kM1, 2, 1, kM1, kM1, kM1, kM1;
    X << 1, 2, delta, 2 * delta, delta / 2, 2 * delta, delta / 3, 8 * delta / 3;
    expectExact(c.idxSys, is, "IdxSys");
    expectExact(c.idxVar, iv, "IdxVar");
    EXPECT_TRUE(bdense::near(bdense::fromValue(c.X), X, 4e-16));

    // an empty gap matrix (or one without rows) gives the five-argument form
    for (kel::Value g : {kel::Value::empty(), kel::Value::matrix(0, 3)}) {
        Spline d;
        d.idxSys = kel::Value(5);
        host.call("GetLdsSpline", {delta, g, kel::ref(d.sys), kel::ref(d.var), kel::ref(d.init),
                                   kel::ref(d.idxSys), kel::ref(d.idxVar), kel::ref(d.X)});
        expectExact(d.init, init, "Init");
        EXPECT_EQ(d.idxSys.asInt(), 5);
        EXPECT_FALSE(d.X.isMatrix());
    }
}

TEST(Spline, Refusals)
{
    kel::Host host;
    Spline s;
    kel::Value gaps = kel::Value{{1.0, 1.0}}, plain;
    const std::string wrong = "GetLdsSpline(): wrong number of arguments";
    bt::expectRuntimeError(host, "GetLdsSpline", {1.0, gaps, kel::ref(s.sys), kel::ref(s.var),
                                                  kel::ref(s.init), kel::ref(s.idxSys)}, wrong);
    bt::expectRuntimeError(host, "GetLdsSpline", {1.0, gaps, kel::ref(s.sys)}, wrong);
    bt::expectRuntimeError(host, "GetLdsSpline", {1.0, gaps, kel::ref(s.sys), kel::ref(s.var), kel::ref(s.init),
                                                  kel::ref(s.idxSys), kel::ref(s.idxVar)}, wrong);
    EXPECT_EQ(bt::failure(host, "GetLdsSpline", {gaps, gaps, kel::ref(s.sys), kel::ref(s.var)}).code,
              KELHOST_ERR_TYPE);
    // every form checks that its result arguments are references
    EXPECT_EQ(bt::failure(host, "GetLdsSpline", {1.0, gaps, plain, kel::ref(s.var)}).code, KELHOST_ERR_TYPE);
    EXPECT_EQ(bt::failure(host, "GetLdsSpline", {1.0, gaps, kel::ref(s.sys), kel::ref(s.var), plain}).code,
              KELHOST_ERR_TYPE);
    EXPECT_EQ(bt::failure(host, "GetLdsSpline", {1.0, kel::Value::empty(), kel::ref(s.sys), kel::ref(s.var),
                                                 kel::ref(s.init), kel::ref(s.idxSys), plain, kel::ref(s.X)}).code,
              KELHOST_ERR_TYPE);
    bt::expectRuntimeError(host, "GetLdsSpline", {1.0, gaps, kel::ref(s.sys), kel::ref(s.var), kel::ref(s.init),
                                                  kel::ref(s.idxSys), kel::ref(s.idxVar), kel::ref(gaps)},
                           "GetLdsSpline(): result arguments must refer to distinct variables");

    long before = kelhost_live_blocks();
    for (long after = 0; after < 6; ++after) {
        kelhost_fail_allocations_after(after);
        bt::Failure f = bt::failure(host, "GetLdsSpline",
                                    {1.0, gaps, kel::ref(s.sys), kel::ref(s.var), kel::ref(s.init),
                                     kel::ref(s.idxSys), kel::ref(s.idxVar), kel::ref(s.X)});
        kelhost_fail_allocations_after(-1);
        EXPECT_EQ(f.code, KELHOST_ERR_MEMORY) << after;
        EXPECT_EQ(kelhost_live_blocks(), before);
    }
}

// Smoothed states (LdsMomentEst selection 1): rows 0..m-1 of the moment
// matrix; the signal is row m.
Mat smoothed(kel::Host &host, const Mat &y, const kel::Value &sys, const kel::Value &var,
             const kel::Value &init, const kel::Value &idxSys, const kel::Value &idxVar,
             const kel::Value &X)
{
    kel::Value moments;
    host.call("LdsMomentEst", {1, kel::ref(moments), bdense::toValue(y), sys, var, init, 0, idxSys,
                               idxVar, 0, X});
    return bdense::fromValue(moments);
}

TEST(Regression, SmoothedCoefficientsAreLeastSquares)
{
    const int k = 3, n = 40;
    std::mt19937_64 rng(21);
    std::normal_distribution<double> n01;
    Mat X(k, n);
    Vec beta(k);
    beta << 1.5, -2.0, 0.25;
    for (int i = 0; i < k; ++i)
        for (int t = 0; t < n; ++t) X(i, t) = i == 0 ? 1.0 : n01(rng);
    Mat y = (beta.transpose() * X).eval();
    for (int t = 0; t < n; ++t) y(0, t) += 0.3 * n01(rng);

    kel::Host host;
    RegResult r;
    host.call("GetLdsReg", {bdense::toValue(X), kel::ref(r.sys), kel::ref(r.var), kel::ref(r.init),
                            kel::ref(r.idx)});
    Mat mom = smoothed(host, y, r.sys, r.var, r.init, r.idx, 0, bdense::toValue(X));
    // the prior of the coefficients is N(0, Vbig I): the exact posterior
    // mean is a ridge estimate, within about 1/Vbig of least squares
    double vbig = bdense::vbig(bdense::fromValue(r.var));
    Mat XXt = X * X.transpose();
    Vec ridge = (XXt + Mat::Identity(k, k) / vbig).ldlt().solve(X * y.transpose());
    Vec ls = XXt.ldlt().solve(X * y.transpose());
    for (int t = 0; t < n; ++t)
        for (int i = 0; i < k; ++i) {
            EXPECT_NEAR(mom(i, t), ridge(i), 1e-9 * (1 + std::fabs(ridge(i)))) << i << " " << t;
            EXPECT_NEAR(mom(i, t), ls(i), 1e-6 * (1 + std::fabs(ls(i))));
        }
}

// Dense reference of the smoothing spline: the posterior mean of the
// states alpha_1..alpha_n (value and slope) under the prior alpha_1 ~
// N(0, Vbig I), alpha_{t+1} = T_t alpha_t + u_t with u_t ~ N(0, Q_t),
// y_t = f_t + e_t with e_t ~ N(0, 1).  It minimises
//   sum (y_t - f_t)^2 + sum u_t' Q_t^-1 u_t + alpha_1' alpha_1 / Vbig,
// a penalised least-squares problem in 2n unknowns; T_t and Q_t span the
// step h_t to the next time point.
Vec splineReference(const Vec &y, const std::vector<double> &h, double delta, double vbig)
{
    const int n = int(y.size()), m = 2;
    Mat A = Mat::Zero(m * n, m * n);
    Vec b = Vec::Zero(m * n);
    for (int t = 0; t < n; ++t) {
        A(m * t, m * t) += 1.0;
        b(m * t) += y(t);
    }
    A.topLeftCorner(m, m) += Mat::Identity(m, m) / vbig;
    for (int t = 0; t + 1 < n; ++t) {
        double s = h[t];
        Mat T(2, 2), Q(2, 2);
        T << 1, s, 0, 1;
        Q << s * s * s / 3, s * s / 2, s * s / 2, s;
        Q *= delta;
        Mat D = Mat::Zero(m, m * n);  // u_t = alpha_{t+1} - T alpha_t
        D.block(0, m * t, m, m) = -T;
        D.block(0, m * (t + 1), m, m) = Mat::Identity(m, m);
        A += D.transpose() * Q.inverse() * D;
    }
    Vec alpha = A.ldlt().solve(b);
    Vec f(n);
    for (int t = 0; t < n; ++t) f(t) = alpha(m * t);
    return f;
}

TEST(Spline, SmoothedSignalIsPenalisedLeastSquares)
{
    const int n = 30;
    const double delta = 0.05;
    std::mt19937_64 rng(3);
    std::normal_distribution<double> n01;
    std::uniform_real_distribution<double> step(0.2, 3.0);
    Vec y(n);
    std::vector<double> gaps(n), ones(n, 1.0);
    double time = 0;
    for (int t = 0; t < n; ++t) {
        gaps[t] = step(rng);
        y(t) = std::sin(0.3 * time) + 0.2 * n01(rng);
        time += gaps[t];
    }
    kel::Host host;
    Mat Y = y.transpose();

    Spline e;
    host.call("GetLdsSpline", {delta, 0, kel::ref(e.sys), kel::ref(e.var), kel::ref(e.init)});
    Mat me = smoothed(host, Y, e.sys, e.var, e.init, 0, 0, 0);
    Vec fe = splineReference(y, ones, delta, bdense::vbig(bdense::fromValue(e.var)));
    for (int t = 0; t < n; ++t) EXPECT_NEAR(me(2, t), fe(t), 1e-8 * (1 + std::fabs(fe(t)))) << t;

    Spline s;
    host.call("GetLdsSpline", {delta, kel::Value::row(gaps), kel::ref(s.sys), kel::ref(s.var),
                               kel::ref(s.init), kel::ref(s.idxSys), kel::ref(s.idxVar), kel::ref(s.X)});
    Mat ms = smoothed(host, Y, s.sys, s.var, s.init, s.idxSys, s.idxVar, s.X);
    Vec fs = splineReference(y, gaps, delta, bdense::vbig(bdense::fromValue(s.var)));
    for (int t = 0; t < n; ++t) EXPECT_NEAR(ms(2, t), fs(t), 1e-8 * (1 + std::fabs(fs(t)))) << t;
    // irregular gaps must matter
    EXPECT_GT((fs - fe).cwiseAbs().maxCoeff(), 1e-3);
}

}  // namespace
