// StateSmoExactFrom: the smoothed states of a stretch of data from the
// exact filter over the stretch and the cumulants that later data give,
// against dense conditioning on all the data with a flat prior.
#include "exact_fixture.hpp"

namespace {

using namespace ex;

const double kTol = 1e-7;

// The stretch is the first `upto` time points of c.  r and N of the state at
// upto follow from its smoothed moments (mean s, variance V, all data) and
// its predicted ones (a, P, data before upto): s = a + P r, V = P - P N P.
void expectStretch(const Case &c, int upto)
{
    SCOPED_TRACE(c.name);
    const int m = c.m(), N = c.N(), n = c.n(), d = c.d();
    dense::Joint joint = c.joint();
    dense::Posterior all = joint.condition(c.Y, n), before = joint.condition(c.Y, upto);
    dense::Moments s = all.of(joint.state(upto)), p = before.of(joint.state(upto));
    const Mat Pinv = p.var.inverse();
    const Vec r = Pinv * (s.mean - p.mean);
    const Mat Nm = Pinv * (p.var - s.var) * Pinv;

    Case head = c;
    head.Y = c.Y.leftCols(upto);
    Lib lib(head);
    ExactRun run = runExact(lib, 1);
    ASSERT_EQ(run.ok, 1);
    ASSERT_LE(run.dstar, upto * N);
    dense::Rows dstore(run.dstore), estore(run.estore), varInf(run.varInf),
        lowInf(run.lowInf), pred(run.pred), low(run.low);
    dense::Rows A0(m + 2, m), A1(m, m), S0(m + 2, m), S1(m + 2, m, 7.0), S2(m + 2, m, 7.0);
    for (int a = 0; a < m; a++) {
        S0.p()[m][a] = r(a);
        for (int b = 0; b < m; b++)
            S0.p()[a][b] = Nm(a, b);
    }
    StateSmoExactFrom(1, N, upto, m, lib.sys.p(), lib.triplesP(), lib.xP(), lib.pat.p(),
                      A0.p(), A1.p(), S0.p(), S1.p(), S2.p(), run.dstar, dstore.p(),
                      estore.p(), varInf.p(), lowInf.p(), pred.p(), low.p(), nullptr);
    const Mat got = pred.toMat();
    const Vec &mean = c.s.mean;
    for (int t = 0; t < upto; t++) {
        dense::Moments st = all.of(joint.state(t)), sg = all.of(joint.signal(t));
        Mat want(2 * d, 1);
        want << st.mean, sg.mean + mean.tail(N), st.var.diagonal(), sg.var.diagonal();
        EXPECT_TRUE(dense::near(got.col(t), want, kTol)) << "t = " << t;
    }
}

TEST(ExactSmoothers, StretchFromLaterCumulants)
{
    // A missing value inside the diffuse period and one in the stretch
    // after it; S1 and S2 start from junk that the routine must clear.
    Case llt = localLinearTrend(20, 42);
    llt.Y(0, 1) = llt.Y(0, 5) = kNaN;
    expectStretch(llt, 7);
    Case three = threeSeries(14, 44);
    three.Y(1, 0) = three.Y(2, 4) = kNaN;
    expectStretch(three, 5);
}

} // namespace
