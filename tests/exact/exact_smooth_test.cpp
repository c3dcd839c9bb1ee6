// The exact smoothers against dense conditioning with a flat prior on the
// diffuse elements, in and after the diffuse period.
#include "exact_fixture.hpp"

namespace {

using namespace ex;

const double kTol = 1e-7;

struct Work {
    dense::Rows A0, A1, S0, S1, S2;
    explicit Work(int m) : A0(m + 2, m), A1(m, m), S0(m + 2, m), S1(m + 2, m), S2(m + 2, m) {}
};

void expectStates(const Case &c)
{
    SCOPED_TRACE(c.name);
    const int m = c.m(), N = c.N(), n = c.n(), d = c.d();
    dense::Joint joint = c.joint();
    dense::Posterior post = joint.condition(c.Y, n);
    std::vector<dense::System> sys = c.systems();
    Lib lib(c);

    ExactRun r = runExact(lib, 1);
    ASSERT_EQ(r.ok, 1);
    dense::Rows dstore(r.dstore), estore(r.estore), varInf(r.varInf), lowInf(r.lowInf),
        pred(r.pred), low(r.low);
    Work w(m);
    StateSmoExact(1, N, n, m, lib.sys.p(), lib.triplesP(), lib.xP(), lib.pat.p(), w.A0.p(),
                  w.A1.p(), w.S0.p(), w.S1.p(), w.S2.p(), r.dstar, dstore.p(), estore.p(),
                  varInf.p(), lowInf.p(), pred.p(), low.p(), nullptr);
    lib.reset();
    dense::Rows work(2, m), cum(2, d), quick(d, n);
    QuickStateSmo(1, N, n, m, lib.sys.p(), lib.var.p(), lib.mean.data(), lib.triplesP(),
                  lib.xP(), lib.pat.p(), lib.initP(), work.p(), cum.p(), r.dstar, dstore.p(),
                  estore.p(), quick.p());
    lib.reset();
    Mat smoothed = pred.toMat(), quickM = quick.toMat();
    for (int t = 0; t < n; t++) {
        dense::Moments st = post.of(joint.state(t)), sg = post.of(joint.signal(t));
        const Vec &mean = sys[sys.size() == 1 ? 0 : t].mean;
        Mat want(2 * d, 1);
        want << st.mean, sg.mean + mean.tail(N), st.var.diagonal(), sg.var.diagonal();
        EXPECT_TRUE(dense::near(smoothed.col(t), want, kTol)) << "StateSmoExact t = " << t;
        EXPECT_TRUE(dense::near(quickM.col(t), want.topRows(d), kTol)) << "QuickStateSmo t = " << t;
    }

    // One linear combination s alpha_t from a mode 11 run.
    ExactRun r11 = runExact(lib, 11);
    ASSERT_EQ(r11.ok, 1);
    dense::Rows dstore11(r11.dstore), estore11(r11.estore), sigInf(r11.sigInf),
        pred11(r11.pred), out2(2, n);
    StateSmoExact(11, N, n, m, lib.sys.p(), lib.triplesP(), lib.xP(), lib.pat.p(), w.A0.p(),
                  w.A1.p(), w.S0.p(), w.S1.p(), w.S2.p(), r11.dstar, dstore11.p(),
                  estore11.p(), sigInf.p(), nullptr, pred11.p(), nullptr, out2.p());
    lib.reset();
    for (int t = 0; t < n; t++) {
        dense::Moments st = post.of(joint.state(t));
        Mat want(2, 1);
        want << c.sel.dot(st.mean), c.sel.dot(st.var * c.sel);
        EXPECT_TRUE(dense::near(out2.toMat().col(t), want, kTol)) << "selector 11 t = " << t;
    }
}

TEST(ExactSmoothers, StatesMatchFlatPrior)
{
    // At t = 0 the second series adds no diffuse information: the step is
    // ordinary inside the period and N1 must pass through it.
    Case two = twoFactor(12, 41);
    two.Y(1, 6) = kNaN;
    expectStates(two);

    Case llt = localLinearTrend(20, 42);
    llt.Y(0, 1) = llt.Y(0, 9) = kNaN;
    expectStates(llt);

    Case bsm = basicStructural(20, 43);
    bsm.Y(0, 3) = kNaN;
    expectStates(bsm);

    Case three = threeSeries(10, 44);
    three.Y(0, 0) = three.Y(2, 4) = kNaN;
    expectStates(three);

    Case tiny = localLevel(10, 0.5, 2.0, 45);
    tiny.init(0, 0) = -1e-8;
    expectStates(tiny);

    expectStates(timeVaryingTrend(15, 46));
}

// Disturbance smoothers over a store of gains (mode 0).  With Q diagonal,
// r_t = Q^-1 E(eta_t | y), N_t = Q^-1 (Q - V(eta_t | y)) Q^-1, and for each
// series e = E(eps | y) / s2, D = (s2 - V(eps | y)) / s2^2.
void expectDisturbances(const Case &c)
{
    SCOPED_TRACE(c.name);
    const int m = c.m(), N = c.N(), n = c.n(), d = c.d();
    dense::Joint joint = c.joint();
    dense::Posterior post = joint.condition(c.Y, n);
    std::vector<dense::System> sys = c.systems();
    Lib lib(c);
    ExactRun r = runExact(lib, 0);
    ASSERT_EQ(r.ok, 1);
    dense::Rows estore(r.estore), S(m + 1, m), W(m + 2, m), aux(2 * d, n), res(2 * d, n + 1),
        acc(d, d), work(2, m), obsOnly(N, n), stateOnly(m, n), resMean(d, n + 1);
    DistSmoAuxExact(N, n, m, lib.sys.p(), lib.var.p(), lib.triplesP(), lib.xP(), lib.pat.p(),
                    S.p(), W.p(), estore.p(), aux.p());
    lib.reset();
    DistSmoExact(0, N, n, m, lib.sys.p(), lib.triplesP(), lib.xP(), lib.pat.p(), S.p(), W.p(),
                 estore.p(), acc.p(), nullptr, res.p());
    lib.reset();
    DistSmoAuxExactMean(7, N, n, m, lib.sys.p(), lib.var.p(), lib.triplesP(), lib.xP(),
                        lib.pat.p(), work.p(), estore.p(), obsOnly.p());
    lib.reset();
    DistSmoAuxExactMean(8, N, n, m, lib.sys.p(), lib.var.p(), lib.triplesP(), lib.xP(),
                        lib.pat.p(), work.p(), estore.p(), stateOnly.p());
    lib.reset();
    DistSmoExactMean(0, N, n, m, lib.sys.p(), lib.triplesP(), lib.xP(), lib.pat.p(), work.p(),
                     estore.p(), resMean.p());
    lib.reset();

    Vec accWant = Vec::Zero(d);
    for (int t = 0; t < n; t++) {
        const Mat &V = sys[sys.size() == 1 ? 0 : t].var;
        dense::Moments e = post.of(joint.disturbance(t));
        Mat want(2 * d, 1), resWant(2 * d, 1);
        want << e.mean, V.diagonal() - e.var.diagonal();
        EXPECT_TRUE(dense::near(aux.toMat().col(t), want, kTol)) << "DistSmoAuxExact t = " << t;
        EXPECT_TRUE(dense::near(obsOnly.toMat().col(t), e.mean.tail(N), kTol)) << t;
        EXPECT_TRUE(dense::near(stateOnly.toMat().col(t), e.mean.head(m), kTol)) << t;
        for (int k = 0; k < d; k++) {
            const double v = V(k, k);
            resWant(k) = v > 0 ? e.mean(k) / v : res.ptr[k][t + 1];
            resWant(d + k) = v > 0 ? (v - e.var(k, k)) / (v * v) : res.ptr[d + k][t + 1];
            accWant(k) += resWant(k) * resWant(k) - resWant(d + k);
        }
        EXPECT_TRUE(dense::near(res.toMat().col(t + 1), resWant, kTol)) << "DistSmoExact t = " << t;
        EXPECT_TRUE(dense::near(resMean.toMat().col(t + 1), resWant.topRows(d), kTol)) << t;
    }
    EXPECT_TRUE(dense::near(acc.toMat().diagonal(), accWant, kTol));
}

TEST(ExactSmoothers, DisturbancesMatchFlatPrior)
{
    Case two = twoFactor(12, 51);
    two.Y(0, 2) = kNaN;
    expectDisturbances(two);

    Case bsm = basicStructural(20, 52);
    bsm.Y(0, 1) = bsm.Y(0, 11) = kNaN;
    expectDisturbances(bsm);

    Case three = threeSeries(10, 53);
    three.Y.col(3).setConstant(kNaN);
    expectDisturbances(three);
}

}  // namespace
