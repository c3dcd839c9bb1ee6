// LdsRecursion against the model recursion written out on dense matrices:
//   alpha_0 = a_0 + P_0 e_0 (Vbig e_0 for a diffuse element or without Init),
//   alpha_{t+1} = c_t + T_t alpha_t + u_t,  y_t = d_t + Z_t alpha_t + e_t.
#include <gtest/gtest.h>

#include "smooth_fixture.hpp"

namespace {

using namespace smo;

Mat expected(const Case &c, const Mat &E)
{
    const int m = c.m(), d = c.d(), n = int(E.cols()) - 1;
    const double vbig = c.vbig();
    Vec alpha(m);
    for (int i = 0; i < m; i++) {
        if (!c.hasInit || c.init(i, i) < 0.0)
            alpha(i) = (c.hasInit ? c.init(m, i) : 0.0) + vbig * E(i, 0);
        else
            alpha(i) = c.init(m, i) + c.init.row(i).dot(E.col(0).head(m));
    }
    Mat Y = Mat::Zero(d, n + 1);
    Y.col(0).head(m) = alpha;
    std::vector<dense::System> sys =
        c.timeVarying ? dense::expand(c.s, c.tv, n) : std::vector<dense::System>{c.s};
    for (int t = 0; t < n; t++) {
        const dense::System &s = sys.size() == 1 ? sys[0] : sys[t];
        Vec next = s.mean + s.sys * alpha + E.col(t + 1);
        Y.col(t + 1) = next;
        alpha = next.head(m);
    }
    return Y;
}

Mat disturbances(const Case &c, int columns, unsigned seed)
{
    std::mt19937_64 rng(seed);
    return dense::randomData(rng, c.d(), columns);
}

TEST(LdsRecursion, MatchesWrittenOutRecursion)
{
    kel::Host host;
    Case partly = univCase();
    partly.name = "one diffuse element";
    partly.init(0, 0) = -1.0;
    Case varying = multiCase();
    varying.tv.X.conservativeResize(Eigen::NoChange, varying.n() + 1);
    varying.tv.X.col(varying.n()).setConstant(0.25);
    unsigned seed = 5;
    for (const Case &c : {univCase(), partly, diffuseCase(), varying, wideCase()}) {
        SCOPED_TRACE(c.name);
        const Mat E = disturbances(c, c.n() + 1, seed++);
        HostArgs form(c, &E);
        Mat got = dense::fromValue(host.call("LdsRecursion", form.with({})));
        EXPECT_TRUE(dense::near(got, expected(c, E), 1e-13));
    }
    // The copies take the time-varying values; the caller's Sys keeps its own.
    kel::Value sys = dense::toValue(varying.s.sys);
    const Mat E = disturbances(varying, varying.n() + 1, 1);
    host.call("LdsRecursion",
              {dense::toValue(E), sys, dense::toValue(varying.s.var), dense::toValue(varying.init),
               dense::toValue(varying.s.mean), dense::toValue(Mat(varying.tv.idxSys.cast<double>())),
               dense::toValue(Mat(varying.tv.idxVar.cast<double>())), kel::Value::empty(),
               dense::toValue(varying.tv.X)});
    EXPECT_TRUE(dense::near(dense::fromValue(sys), varying.s.sys, 0.0));
}

TEST(LdsRecursion, OneColumnAndNone)
{
    kel::Host host;
    Case c = univCase();
    const Mat E = disturbances(c, 1, 9);
    HostArgs form(c, &E);
    Mat got = dense::fromValue(host.call("LdsRecursion", form.with({})));
    ASSERT_EQ(got.cols(), 1);
    EXPECT_TRUE(dense::near(got, expected(c, E), 1e-13));
    EXPECT_EQ(got(c.m(), 0), 0.0);

    const Mat none(c.d(), 0);
    HostArgs empty(c, &none);
    std::string text;
    kel::Value rtn;
    EXPECT_EQ(host.tryCall("LdsRecursion", empty.with({}), &rtn, &text), KELHOST_ERR_RUNTIME);
    EXPECT_EQ(text, "\nLds(): number of rows or columns not correct in argument 0\n");
    EXPECT_FALSE(rtn.isMatrix());
}

}  // namespace
