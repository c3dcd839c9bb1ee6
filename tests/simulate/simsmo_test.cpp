// SimSmoWgt and SimSmoDraw against the dense conditional distribution of the
// selected disturbances over all time points.  A draw is affine in its
// normal numbers, u(z) = mu + B z: z = 0 gives mu, the unit vectors give the
// columns of B, and B B' must be the joint conditional covariance.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smooth/smooth_fixture.hpp"
#include "support/host_checks.hpp"

namespace {

using namespace smo;

struct Draws {
    Mat mean;     // p x (n+1), the draw at z = 0
    Vec selMean;  // selected elements, t-major
    Mat B;        // (n r) x (n r)
};

kel::Value selection(int p, const std::vector<int> &selected)
{
    // Magnitudes and a NaN select as well as 1 does.
    Mat sel = Mat::Zero(p, p);
    for (std::size_t k = 0; k < selected.size(); k++)
        sel(selected[k], selected[k]) = k == 0 ? kNaN : 2.5 + double(k);
    sel(0, p - 1) = 3.0;  // off the diagonal: ignored
    return dense::toValue(sel);
}

Draws drawAffine(kel::Host &host, const Case &c, const std::vector<int> &selected)
{
    const int p = c.d(), n = c.n(), r = int(selected.size());
    HostArgs form(c);
    kel::Value store = host.call("KalmanFil", form.with({}));
    form.data() = store;
    kel::Value sel = selection(p, selected);
    kel::Value wgt = host.call("SimSmoWgt", form.with({sel}));
    EXPECT_EQ(wgt.rows(), p * r + r * (r + 1) / 2);
    EXPECT_EQ(wgt.cols(), n);
    auto draw = [&](const Mat &z) {
        kel::Value zv = dense::toValue(z);
        return dense::fromValue(host.call("SimSmoDraw", form.with({sel, zv, wgt})));
    };
    Draws d;
    d.mean = draw(Mat::Zero(r, n));
    d.selMean = Vec(n * r);
    d.B = Mat(n * r, n * r);
    for (int j = 0; j < n * r; j++) {
        Mat z = Mat::Zero(r, n);
        z(j % r, j / r) = 1.0;
        Mat u = draw(z);
        for (int t = 0; t < n; t++)
            for (int k = 0; k < r; k++) {
                d.B(t * r + k, j) = u(selected[k], t + 1) - d.mean(selected[k], t + 1);
                d.selMean(t * r + k) = d.mean(selected[k], t + 1);
            }
        for (int i = 0; i < p; i++) {
            bool isSel = false;
            for (int k : selected) isSel |= k == i;
            for (int t = 1; t <= n && !isSel; t++) {
                EXPECT_EQ(u(i, t), 0.0);
            }
            if (i >= c.m()) {
                EXPECT_EQ(u(i, 0), 0.0);
            }
        }
    }
    return d;
}

void checkDraws(kel::Host &host, const Case &c, const std::vector<int> &selected, double tol)
{
    std::string what = c.name + " selecting";
    for (int k : selected) what += " " + std::to_string(k);
    SCOPED_TRACE(what);
    Draws d = drawAffine(host, c, selected);
    dense::Joint joint = c.joint();
    dense::Posterior post = joint.condition(c.Y, c.n());
    std::vector<dense::Lin> eps;
    for (int t = 0; t < c.n(); t++) eps.push_back(joint.disturbance(t));
    dense::Moments want = post.of(dense::stackRows(eps, selected));
    EXPECT_TRUE(dense::near(d.selMean, want.mean, tol));
    EXPECT_TRUE(dense::near(Mat(d.B * d.B.transpose()), want.var, tol));
    // At z = 0 the backward vector is the smoothing cumulant r_{-1}.
    EXPECT_TRUE(dense::near(column(kel::Value(dense::toValue(d.mean)), 0, c.m(), 0),
                            c.smoothed().r0, tol));
}

TEST(SimSmo, DrawsAreConditionalOnTheData)
{
    kel::Host host;
    const double tol = 1e-9;
    checkDraws(host, univCase(), {0, 1}, tol);       // states only
    checkDraws(host, univCase(), {2}, tol);          // observation only
    checkDraws(host, univCase(), {1, 2}, tol);       // a mix
    // N = 2, correlated noise, missing values, Mean, time-varying Sys, Var.
    checkDraws(host, multiCase(), {0, 1}, tol);
    checkDraws(host, multiCase(), {2, 3}, tol);
    checkDraws(host, multiCase(), {0, 3}, tol);
    checkDraws(host, wideCase(), {2}, tol);
    checkDraws(host, largeCase(), {1, 4, 6, 8}, tol);
    // Terms of size Vbig ~ 1e7 cancel in the filter.
    checkDraws(host, diffuseCase(), {0, 2}, 1e-6);
    EXPECT_TRUE(host.messages().empty());
}

// The caller's Sys and Var receive the values of time point 0.
TEST(SimSmo, TimeVaryingValuesGoIntoTheCallersMatrices)
{
    kel::Host host;
    Case c = multiCase();
    HostArgs form(c);
    kel::Value store = host.call("KalmanFil", form.with({}));
    kel::Value sys = dense::toValue(c.s.sys), var = dense::toValue(c.s.var);
    kel::Value sel = selection(c.d(), {0, 1});
    kel::Value idxSys = dense::toValue(Mat(c.tv.idxSys.cast<double>()));
    kel::Value idxVar = dense::toValue(Mat(c.tv.idxVar.cast<double>()));
    kel::Value X = dense::toValue(c.tv.X), none = kel::Value::empty();
    std::vector<kel::Arg> args = {sel, store, sys, var, none, none, idxSys, idxVar, none, X};
    EXPECT_EQ(host.call("SimSmoWgt", args).rows(), 2 * 4 + 3);
    EXPECT_TRUE(host.messages().empty());
    EXPECT_EQ(sys(2, 1), c.tv.X(0, 0));
    EXPECT_EQ(sys(0, 0), c.tv.X(1, 0));
    EXPECT_EQ(var(3, 3), c.tv.X(2, 0));
    EXPECT_EQ(sys(1, 1), c.s.sys(1, 1));
}

TEST(SimSmo, Failures)
{
    kel::Host host;
    Case c = univCase();
    const int p = c.d(), n = c.n();
    HostArgs form(c);
    kel::Value store = host.call("KalmanFil", form.with({}));
    form.data() = store;
    std::string text;
    kel::Value none = dense::toValue(Mat(Mat::Zero(p, p)));
    EXPECT_EQ(host.tryCall("SimSmoWgt", form.with({none}), nullptr, &text), KELHOST_ERR_RUNTIME);
    EXPECT_EQ(text, "SimSmoWgt(): zero vector in argument 1");
    kel::Value sel = selection(p, {0, 2});
    kel::Value wgt = host.call("SimSmoWgt", form.with({sel}));
    kel::Value z = kel::Value::matrix(2, n);
    EXPECT_EQ(host.tryCall("SimSmoDraw", form.with({none, z, wgt}), nullptr, &text),
              KELHOST_ERR_RUNTIME);
    EXPECT_EQ(text, "SimSmoDraw(): zero vector in argument 1");
    kel::Value z3 = kel::Value::matrix(3, n), zShort = kel::Value::matrix(2, n - 1);
    EXPECT_EQ(host.tryCall("SimSmoDraw", form.with({sel, z3, wgt})), KELHOST_ERR_SIZE);
    EXPECT_EQ(host.tryCall("SimSmoDraw", form.with({sel, zShort, wgt})), KELHOST_ERR_SIZE);
    kel::Value sel1 = selection(p, {1});
    kel::Value z1 = kel::Value::matrix(1, n);
    EXPECT_EQ(host.tryCall("SimSmoDraw", form.with({sel1, z1, wgt})), KELHOST_ERR_SIZE);
    EXPECT_TRUE(host.messages().empty());

    // Every element of u_t: the conditional variance is singular.  The
    // message is printed even with warnings off.
    host.call("LdsWarning", {0});
    kel::Value all = selection(p, {0, 1, 2});
    kel::Value result = host.call("SimSmoWgt", form.with({all}));
    host.call("LdsWarning", {1});
    EXPECT_EQ(result.asInt(), 0);
    ASSERT_EQ(host.messages().size(), 1u);
    EXPECT_EQ(host.messages()[0], "SimSmoWgt(): choleski decomposition failed");
}

TEST(SimSmo, AllocationFailuresReleaseEverything)
{
    kel::Host host;
    Case c = multiCase();
    HostArgs form(c);
    kel::Value store = host.call("KalmanFil", form.with({}));
    form.data() = store;
    kel::Value sel = selection(c.d(), {0, 3});
    kel::Value wgt = host.call("SimSmoWgt", form.with({sel}));
    kel::Value z = kel::Value::matrix(2, c.n());
    hostcheck::allocationFailures(host, "SimSmoWgt", form.with({sel}));
    hostcheck::allocationFailures(host, "SimSmoDraw", form.with({sel, z, wgt}));
    HostArgs data(c);
    hostcheck::allocationFailures(host, "LdsCondDens", data.with({1}));
    hostcheck::allocationFailures(host, "LdsCondDens", data.with({2}));
}

}  // namespace
