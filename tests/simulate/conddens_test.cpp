// LdsCondDens against the dense conditional distribution of the whole model:
// codes 1 and 3 are the conditional means, codes 2 and 4 single draws whose
// moments over many calls must match the conditional means and variances.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "smooth/smooth_fixture.hpp"

namespace {

using namespace smo;

Mat condDens(kel::Host &host, const Case &c, int code)
{
    HostArgs form(c);
    kel::Value out = host.call("LdsCondDens", form.with({code}));
    EXPECT_EQ(out.rows(), c.d());
    EXPECT_EQ(out.cols(), c.n());
    return dense::fromValue(out);
}

// What code 1 (states, constant plus signal) or code 3 (disturbances)
// must give, from the dense reference: means, or with wantVar variances.
Mat expected(const Case &c, int code, bool wantVar)
{
    dense::SmoothRef ref = c.smoothed();
    std::vector<dense::System> sys = c.systems();
    const int m = c.m(), d = c.d();
    Mat want(d, c.n());
    for (int t = 0; t < c.n(); t++) {
        const dense::System &s = sys.size() == 1 ? sys[0] : sys[t];
        if (code == 1 || code == 2) {
            const dense::Moments &a = ref.state[t], &g = ref.signal[t];
            want.col(t).head(m) = wantVar ? Vec(a.var.diagonal()) : a.mean;
            want.col(t).tail(d - m) =
                wantVar ? Vec(g.var.diagonal()) : Vec(g.mean + s.mean.tail(d - m));
        } else {
            const dense::Moments &e = ref.disturbance[t];
            want.col(t) = wantVar ? Vec(e.var.diagonal()) : e.mean;
        }
    }
    return want;
}

TEST(LdsCondDens, SmoothedMeansMatchTheDenseConditioning)
{
    kel::Host host;
    for (const Case &c : {univCase(), multiCase(), wideCase(), largeCase()}) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(dense::near(condDens(host, c, 1), expected(c, 1, false), 1e-9));
        EXPECT_TRUE(dense::near(condDens(host, c, 3), expected(c, 3, false), 1e-9));
    }
    // Diffuse start: a_0 = Vbig r_{-1} keeps about 7 digits fewer.
    EXPECT_TRUE(dense::near(condDens(host, diffuseCase(), 1), expected(diffuseCase(), 1, false),
                            1e-6));
    // A time-varying model works on copies: the arguments stay as they were.
    Case c = multiCase();
    kel::Value sys = dense::toValue(c.s.sys), var = dense::toValue(c.s.var);
    for (int code : {1, 2}) {
        host.call("LdsCondDens",
                  {code, dense::toValue(c.Y), sys, var, dense::toValue(c.init),
                   dense::toValue(c.s.mean), dense::toValue(Mat(c.tv.idxSys.cast<double>())),
                   dense::toValue(Mat(c.tv.idxVar.cast<double>())), kel::Value::empty(),
                   dense::toValue(c.tv.X)});
        EXPECT_TRUE(dense::near(dense::fromValue(sys), c.s.sys, 0.0));
        EXPECT_TRUE(dense::near(dense::fromValue(var), c.s.var, 0.0));
    }
    EXPECT_TRUE(host.messages().empty());
}

// Sample moments of `calls` draws against the dense ones: means within five
// standard errors, variances within five times their sampling error.
void checkDrawMoments(kel::Host &host, const Case &c, int code, int calls)
{
    SCOPED_TRACE(c.name + " code " + std::to_string(code));
    const int d = c.d(), n = c.n();
    Mat sum = Mat::Zero(d, n), sumSq = Mat::Zero(d, n);
    HostArgs form(c);
    const std::vector<kel::Arg> args = form.with({code});
    for (int k = 0; k < calls; k++) {
        Mat x = dense::fromValue(host.call("LdsCondDens", args));
        sum += x;
        sumSq += x.cwiseProduct(x);
    }
    const int wantCode = code == 2 ? 1 : 3;
    Mat mean = expected(c, wantCode, false), var = expected(c, wantCode, true);
    for (int i = 0; i < d; i++)
        for (int t = 0; t < n; t++) {
            if (code == 4 && i >= c.m() && std::isnan(c.Y(i - c.m(), t))) {
                EXPECT_TRUE(std::isnan(sum(i, t))) << i << ", " << t;
                continue;
            }
            const double m1 = sum(i, t) / calls;
            const double v = (sumSq(i, t) - calls * m1 * m1) / (calls - 1);
            const double se = std::sqrt(var(i, t) / calls);
            EXPECT_NEAR(m1, mean(i, t), 5.0 * se + 1e-12) << i << ", " << t;
            EXPECT_NEAR(v, var(i, t), 5.0 * var(i, t) * std::sqrt(2.0 / calls) + 1e-12)
                << i << ", " << t;
        }
}

TEST(LdsCondDens, DrawsHaveTheConditionalMoments)
{
    kel::Host host;
    kel::Host::seed(20260);
    const int calls = 4000;
    checkDrawMoments(host, univCase(), 2, calls);
    checkDrawMoments(host, multiCase(), 2, calls);
    checkDrawMoments(host, multiCase(), 4, calls);
    // The initial state's variance is Vbig - Vbig^2 N: about seven digits
    // cancel and the rest must still give the right spread.
    checkDrawMoments(host, diffuseCase(), 2, calls);
    checkDrawMoments(host, diffuseCase(), 4, calls);
    EXPECT_TRUE(host.messages().empty());
}

// The same normal numbers give code 4 from code 2: data minus the drawn
// signal (NaN where missing), and the state disturbances that carry each
// drawn state to the next.
TEST(LdsCondDens, DrawnDisturbancesBelongToTheDrawnPath)
{
    kel::Host host;
    Case c = multiCase();
    const int m = c.m(), d = c.d(), n = c.n();
    kel::Host::seed(5);
    Mat path = condDens(host, c, 2);
    kel::Host::seed(5);
    Mat dist = condDens(host, c, 4);
    std::vector<dense::System> sys = c.systems();
    for (int t = 0; t < n; t++) {
        for (int j = 0; j < d - m; j++) {
            if (std::isnan(c.Y(j, t)))
                EXPECT_TRUE(std::isnan(dist(m + j, t)));
            else
                EXPECT_EQ(dist(m + j, t), c.Y(j, t) - path(m + j, t));
        }
        if (t + 1 < n) {
            const dense::System &s = sys[t];
            Vec eta = path.col(t + 1).head(m) - s.mean.head(m) -
                      s.sys.topRows(m) * path.col(t).head(m);
            EXPECT_TRUE(dense::near(eta, Vec(dist.col(t).head(m)), 1e-12));
        }
    }
}

TEST(LdsCondDens, Failures)
{
    kel::Host host;
    Case c = univCase();
    HostArgs form(c);
    std::string text;
    for (int code : {0, 5}) {
        EXPECT_EQ(host.tryCall("LdsCondDens", form.with({code}), nullptr, &text),
                  KELHOST_ERR_RUNTIME);
        EXPECT_EQ(text, "LdsCondDens(): no valid selection in first argument");
    }
    Case still = c;
    still.s.var.topLeftCorner(2, 2).setZero();
    still.s.var.block(0, 2, 2, 1).setZero();
    still.s.var.block(2, 0, 1, 2).setZero();
    HostArgs stillForm(still);
    EXPECT_EQ(host.tryCall("LdsCondDens", stillForm.with({4}), nullptr, &text),
              KELHOST_ERR_RUNTIME);
    EXPECT_EQ(text, "LdsCondDens(): no simulations possible");
    // Code 1 needs no draw and runs.
    EXPECT_EQ(host.tryCall("LdsCondDens", stillForm.with({1})), 0);

    // Two state disturbances that are one: a singular conditional variance.
    Case twin = c;
    twin.s.var.topLeftCorner(2, 2).setConstant(0.5);
    twin.s.var.block(0, 2, 2, 1).setZero();
    twin.s.var.block(2, 0, 1, 2).setZero();
    HostArgs twinForm(twin);
    kel::Value result = host.call("LdsCondDens", twinForm.with({2}));
    EXPECT_EQ(result.asInt(), 0);
    ASSERT_EQ(host.messages().size(), 1u);
    EXPECT_EQ(host.messages()[0],
              "LdsCondDens(): non-positive semi-definite innovation variance matrix");
}

}  // namespace
