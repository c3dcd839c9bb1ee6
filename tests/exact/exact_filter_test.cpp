// The exact diffuse filter against dense computations: the diffuse
// likelihood by generalised least squares, the textbook filter when nothing
// is diffuse, and the flat-prior posterior for the filtered states.
#include "exact_fixture.hpp"

namespace {

using namespace ex;

// Relation of fKalmanExact's sums to the dense diffuse likelihood.  With
// the observations y = c + G x + H u, u the diffuse elements in unit scale,
// V = Var(G x) and P_inf = diag(|Init_ii|) over them:
//   logdet = log|V| + log|H' V^-1 H| + sum of log|Init_ii| (diffuse i),
//   sumsq * count = R' (V^-1 - V^-1 H (H'V^-1 H)^-1 H' V^-1) R,
//   count = observations - diffuse elements.
// The diffuse steps' log F_inf terms carry the scale of P_inf; the rest is
// free of it.
void expectDiffuseLikelihood(const Case &c, int wantDstar)
{
    SCOPED_TRACE(c.name);
    Lib lib(c);
    ExactRun r = runExact(lib, 0);
    ASSERT_EQ(r.ok, 1);
    if (wantDstar >= 0) {
        EXPECT_EQ(r.dstar, wantDstar);
    }
    dense::Joint::FlatLik L = c.joint().flatLikelihood(c.Y);
    EXPECT_EQ(r.count, L.count - L.q);
    EXPECT_NEAR(r.logdet, L.logDetV + L.logDetQ + c.logScale(), 1e-9 * std::fabs(L.logDetV));
    EXPECT_NEAR(r.sumsq * r.count, L.quad, 1e-9 * L.quad);
}

TEST(ExactFilter, DiffuseLikelihoodMatchesGls)
{
    Case ll = localLevel(30, 0.5, 2.0, 1);
    ll.Y(0, 4) = ll.Y(0, 20) = kNaN;
    expectDiffuseLikelihood(ll, 1);

    Case llt = localLinearTrend(30, 2);
    llt.Y(0, 1) = llt.Y(0, 12) = kNaN;  // inside and after the period
    expectDiffuseLikelihood(llt, 3);

    Case bsm = basicStructural(24, 3);
    bsm.Y(0, 2) = bsm.Y(0, 15) = kNaN;
    expectDiffuseLikelihood(bsm, -1);

    Case two = twoFactor(15, 4);
    two.Y(0, 1) = two.Y(1, 7) = kNaN;
    expectDiffuseLikelihood(two, 4);

    Case three = threeSeries(12, 5);
    three.Y(1, 0) = three.Y(0, 5) = kNaN;
    three.Y.col(8).setConstant(kNaN);
    expectDiffuseLikelihood(three, -1);

    // Time-varying slope loading of the level and observation variance.
    Case tv = localLinearTrend(20, 6);
    tv.name = "time-varying";
    tv.tv.idxSys = Eigen::MatrixXi::Constant(3, 2, -1);
    tv.tv.idxSys(0, 1) = 0;
    tv.tv.idxVar = Eigen::MatrixXi::Constant(3, 3, -1);
    tv.tv.idxVar(2, 2) = 1;
    tv.tv.X = Mat(2, 20);
    for (int t = 0; t < 20; t++) {
        tv.tv.X(0, t) = 1.0 + 0.05 * std::sin(t);
        tv.tv.X(1, t) = 1.0 + 0.5 * (t % 3);
    }
    tv.Y(0, 2) = kNaN;
    expectDiffuseLikelihood(tv, 3);

    // A diffuse variance of 1e-8 gives F_inf = 1e-8: every routine takes the
    // step as diffuse, and the likelihood keeps its flat-prior form.
    Case tiny = localLevel(12, 0.5, 2.0, 7);
    tiny.init(0, 0) = -1e-8;
    expectDiffuseLikelihood(tiny, 1);
}

// With no diffuse element the exact filter is the ordinary filter of a
// model with diagonal observation variance, series by series.
TEST(ExactFilter, NoDiffuseMatchesOrdinaryFilter)
{
    Case c = threeSeries(10, 11);
    c.init(1, 1) = 1.0;
    c.Y(0, 3) = kNaN;
    c.Y.col(6).setConstant(kNaN);
    const int m = c.m(), N = c.N(), n = c.n(), d = c.d();
    dense::Run ref = dense::filter(c.systems(), c.Y, &c.init);
    Lib lib(c);
    ExactRun r = runExact(lib, 0);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.dstar, 0);
    EXPECT_EQ(r.count, ref.observed);
    EXPECT_NEAR(r.logdet, dense::sumLogDet(ref), 1e-10 * std::fabs(dense::sumLogDet(ref)));
    EXPECT_NEAR(r.sumsq, dense::sigma2(ref), 1e-10 * dense::sigma2(ref));
    Mat T = c.s.sys.topRows(m), Z = c.s.sys.bottomRows(N);
    for (int t = 0; t < n; t++) {
        const dense::Step &st = ref.steps[t];
        Mat want(2 * d, 1);
        want << st.a, Z * st.a + c.s.mean.tail(N), st.P.diagonal(),
            (Z * st.P * Z.transpose()).diagonal();
        EXPECT_TRUE(dense::near(r.pred.col(t), want, 1e-10)) << "t = " << t;
    }
    EXPECT_TRUE(dense::near(r.swork.topRows(m), ref.PNext, 1e-10));
    EXPECT_TRUE(dense::near(r.swork.row(m).transpose(), ref.aNext, 1e-10));

    // h = 2: the sums take the two-step prediction errors of t+1 made at t,
    // and column t+1 of the predicted output holds their moments.
    ExactRun r2 = runExact(lib, 0, 2);
    ASSERT_EQ(r2.ok, 1);
    Mat Q = c.s.var.topLeftCorner(m, m);
    double logdet = 0, sumsq = 0;
    for (int t = 0; t + 1 < n; t++) {
        const dense::Step &st = ref.steps[t];
        Vec a2 = T * st.a + c.s.mean.head(m);
        Mat P2 = T * st.P * T.transpose() + Q;
        Mat want(2 * d, 1);
        want << a2, Z * a2 + c.s.mean.tail(N), P2.diagonal(), (Z * P2 * Z.transpose()).diagonal();
        EXPECT_TRUE(dense::near(r2.pred.col(t + 1), want, 1e-10)) << "t = " << t;
        for (int i = 0; i < N; i++) {
            if (std::isnan(c.Y(i, t + 1)))
                continue;
            double F = Z.row(i) * P2 * Z.row(i).transpose() + c.s.var(m + i, m + i);
            double v = c.Y(i, t + 1) - c.s.mean(m + i) - Z.row(i).dot(a2);
            logdet += std::log(F);
            sumsq += v * v / F;
        }
    }
    EXPECT_TRUE(dense::near(r2.pred.col(0), Mat::Zero(2 * d, 1), 0.0));
    EXPECT_NEAR(r2.logdet, logdet, 1e-10 * std::fabs(logdet));
    EXPECT_NEAR(r2.sumsq, sumsq / (ref.observed - N), 1e-10 * sumsq);
}

TEST(ExactFilter, EdgeCases)
{
    // Local level: one diffuse step, M_inf = F_inf = K0 = 1, a = y_0 after it
    // and P* = Var[1][1] before the time update adds the level variance.
    Case ll = localLevel(8, 0.5, 2.0, 21);
    Lib lib(ll);
    ExactRun r = runExact(lib, 0);
    ASSERT_EQ(r.dstar, 1);
    Mat col0(5, 1), want0(5, 1);
    col0 = r.dstore.col(0);
    want0 << 0, 1, 1, 0, -777;
    EXPECT_TRUE(dense::near(col0.topRows(4), want0.topRows(4), 1e-15));
    want0(2) = 0.0;  // modes other than 1 and 11 keep 0, K0, 0
    EXPECT_TRUE(dense::near(r.estore.col(0).topRows(4), want0.topRows(4), 1e-15));
    EXPECT_DOUBLE_EQ(r.pred(0, 1), ll.Y(0, 0));
    EXPECT_DOUBLE_EQ(r.pred(2, 1), 2.5);

    // The first observation missing: the diffuse step moves to step 1.
    ll.Y(0, 0) = kNaN;
    Lib lib2(ll);
    ExactRun r2 = runExact(lib2, 0);
    EXPECT_EQ(r2.dstar, 2);
    EXPECT_TRUE(std::isnan(r2.dstore(0, 0)));
    EXPECT_EQ(r2.dstore(3, 0), -1.0);
    EXPECT_EQ(r2.dstore(3, 1), 0.0);
    EXPECT_EQ(r2.ok, 1);

    // A period that never ends: one observation for two diffuse elements.
    Case llt = localLinearTrend(6, 22);
    llt.Y.rightCols(5).setConstant(kNaN);
    Lib lib3(llt);
    ExactRun r3 = runExact(lib3, 0);
    EXPECT_EQ(r3.dstar, 6);
    EXPECT_EQ(r3.ok, 0);

    // Nothing diffuse and nothing observed: no term to divide the sum of
    // squares by, a failure rather than a NaN reported as success.
    Case none = threeSeries(4, 24);
    none.init(1, 1) = 1.0;
    none.Y.setConstant(kNaN);
    Lib lib5(none);
    EXPECT_EQ(runExact(lib5, 0).ok, 0);

    // Modes 5 and 10 leave the filtered moments of the last time point in
    // the state work; mode 10's filtered output has s a and s P s'.
    Case three = threeSeries(9, 23);
    three.Y(2, 8) = kNaN;
    dense::Joint joint = three.joint();
    dense::Moments last = joint.condition(three.Y, 9).of(joint.state(8));
    Vec s = three.sel;
    for (int mode : {5, 10}) {
        Lib lib4(three);
        ExactRun r4 = runExact(lib4, mode);
        ASSERT_EQ(r4.ok, 1);
        EXPECT_TRUE(dense::near(r4.swork.topRows(3), last.var, 1e-9)) << mode;
        EXPECT_TRUE(dense::near(r4.swork.row(3).transpose(), last.mean, 1e-9)) << mode;
        if (mode == 10) {
            Mat want(2, 1);
            want << s.dot(last.mean), s.dot(last.var * s);
            EXPECT_TRUE(dense::near(r4.filt.col(8), want, 1e-9));
        }
    }
}

// Predicted states after the diffuse period equal the flat-prior posterior
// given the earlier data; fKalmanExactMean reproduces them from a store of
// gains, with the innovations.
TEST(ExactFilter, PredictedStatesAndMeanRecursion)
{
    Case c = twoFactor(10, 31);
    c.Y(1, 5) = kNaN;
    const int m = c.m(), N = c.N(), n = c.n();
    Lib lib(c);
    ExactRun r = runExact(lib, 0);
    ASSERT_EQ(r.ok, 1);
    ASSERT_EQ(r.dstar, 3);
    dense::Rows work(3, m), estore(r.estore), out(m + N, n);
    std::vector<double> innov(N * n);
    EXPECT_EQ(fKalmanExactMean(0, N, n, lib.Y.p(), m, lib.sys.p(), lib.mean.data(), nullptr,
                               nullptr, lib.pat.p(), nullptr, work.p(), estore.p(),
                               innov.data(), out.p()),
              1);
    dense::Joint joint = c.joint();
    Mat Z = c.s.sys.bottomRows(N);
    for (int t = 2; t < n; t++) {
        dense::Moments p = joint.condition(c.Y, t).of(joint.state(t));
        EXPECT_TRUE(dense::near(r.pred.col(t).head(m), p.mean, 1e-9)) << t;
        EXPECT_TRUE(dense::near(r.pred.col(t).segment(m + N, m), Mat(p.var.diagonal()), 1e-9));
        EXPECT_TRUE(dense::near(out.toMat().col(t).head(m), p.mean, 1e-9)) << t;
        EXPECT_TRUE(dense::near(out.toMat().col(t).tail(N), Z * p.mean, 1e-9)) << t;
        // The first series of t meets the predicted state (the later ones
        // the state updated by the series before them).
        EXPECT_NEAR(innov[t * N], c.Y(0, t) - Z.row(0).dot(p.mean), 1e-9 * 100) << t;
    }
}

}  // namespace
