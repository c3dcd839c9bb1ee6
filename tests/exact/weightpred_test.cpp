// fWeightPred against the weights of the dense joint Gaussian with a flat
// prior on the diffuse elements, Cov(alpha_tau, y) Var(y)^-1 in the limit,
// and the weights applied to the data against fKalmanExactMean.
#include "exact_fixture.hpp"

namespace {

using namespace ex;

// The state mean of fKalmanExactMean at tau (mode 0 predicted, 5 filtered).
Vec meanAt(Lib &lib, const Mat &estore, const Mat &Y, int mode, int tau)
{
    const Case &c = lib.c;
    lib.reset();
    dense::Rows y(Y), work(3, c.m()), out(c.d(), c.n()), st(estore);
    fKalmanExactMean(mode, c.N(), c.n(), y.p(), c.m(), lib.sys.p(), lib.mean.data(),
                     lib.triplesP(), lib.xP(), lib.pat.p(), lib.initP(), work.p(), st.p(),
                     nullptr, out.p());
    return out.toMat().col(tau).head(c.m());
}

void expectWeights(const Case &c, int mode, std::vector<int> taus)
{
    SCOPED_TRACE(c.name + ", mode " + std::to_string(mode));
    const int m = c.m(), N = c.N(), n = c.n(), d = c.d();
    Lib lib(c);
    ExactRun r = runExact(lib, 0);
    ASSERT_EQ(r.ok, 1);
    dense::Joint joint = c.joint();
    std::vector<dense::System> sys = c.systems();
    Mat zeros = c.Y.unaryExpr([](double y) { return std::isnan(y) ? y : 0.0; });
    for (int tau : taus) {
        SCOPED_TRACE("tau = " + std::to_string(tau));
        lib.reset();
        dense::Rows W(d, N * n, -777.0), M(m, m), x(1, m), st(r.estore);
        ASSERT_EQ(fWeightPred(mode, tau, N, n, m, lib.sys.p(), lib.triplesP(), lib.xP(),
                              lib.pat.p(), M.p(), x.p()[0], st.p(), W.p()),
                  1);
        dense::Estimator est = joint.estimator(joint.state(tau), c.Y, mode == 5 ? tau + 1 : tau);
        Mat got = W.toMat(), want(d, N * n);
        Vec applied = Vec::Zero(m);
        for (int s = 0; s < N * n; s++) {
            const int i = s % N, t = s / N;
            Vec w = est.weight[i].col(t);
            want.col(s) << w, sys[sys.size() == 1 ? 0 : t].sys.bottomRows(N) * w;
            if (!std::isnan(c.Y(i, t)))
                applied += got.col(s).head(m) * c.Y(i, t);
        }
        EXPECT_TRUE(dense::near(got, want, 1e-8));
        if (tau < n) {
            Vec a = meanAt(lib, r.estore, c.Y, mode, tau);
            EXPECT_TRUE(dense::near(applied, a - meanAt(lib, r.estore, zeros, mode, tau), 1e-8));
        }
    }
}

// Predicted at tau = 0 (no weights) up to tau = n, filtered from the end
// of the diffuse period; a missing last series at the filtered time point.
TEST(WeightPred, FlatPriorWeightsAndFilterMean)
{
    Case ll = localLevel(10, 0.5, 2.0, 61);
    ll.Y(0, 4) = kNaN;
    expectWeights(ll, 0, {0, 1, 5, 10});
    expectWeights(ll, 5, {0, 4, 9});
    Case three = varyingThree(9, 62);
    three.Y(0, 2) = three.Y(2, 4) = kNaN;
    three.Y.col(6).setConstant(kNaN);
    expectWeights(three, 0, {1, 4, 7, 9});
    expectWeights(three, 5, {0, 4, 6, 8});
    Case bsm = basicStructural(16, 63);
    bsm.Y(0, 3) = kNaN;
    expectWeights(bsm, 0, {9, 16});
    expectWeights(bsm, 5, {8, 15});

    // A time point beyond the data: refused, with the weights cleared.
    Lib lib(ll);
    ExactRun r = runExact(lib, 0);
    dense::Rows W(2, 10, -777.0), M(1, 1), x(1, 1), st(r.estore);
    for (int mode : {0, 5}) {
        EXPECT_EQ(fWeightPred(mode, mode == 5 ? 10 : 11, 1, 10, 1, lib.sys.p(), nullptr, nullptr,
                              lib.pat.p(), M.p(), x.p()[0], st.p(), W.p()),
                  0);
        EXPECT_TRUE(W.toMat().isZero());
    }
}

}  // namespace
