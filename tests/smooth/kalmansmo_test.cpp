// KalmanSmo over the store of KalmanFil, against the dense conditioning:
// u_t = Var_t^-1 E(eps_t | y), D_t = Var_t^-1 (Var_t - V(eps_t | y)) Var_t^-1,
// and, for the initial state, r_{-1} and N_{-1}.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <utility>

#include "smooth/smooth.h"
#include "smooth_fixture.hpp"
#include "support/host_checks.hpp"

namespace {

using namespace smo;

kel::Value runKalmanSmo(kel::Host &host, const Case &c)
{
    HostArgs form(c);
    kel::Value store = host.call("KalmanFil", form.with({}));
    HostArgs smoArgs(c, nullptr);
    smoArgs.data() = store;
    return host.call("KalmanSmo", smoArgs.with({}));
}

void checkOutput(const Case &c, const kel::Value &out, double tol)
{
    SCOPED_TRACE(c.name);
    const int m = c.m(), d = c.d(), n = c.n();
    ASSERT_EQ(out.rows(), 2 * d);
    ASSERT_EQ(out.cols(), n + 1);
    dense::SmoothRef ref = c.smoothed();
    for (int t = 0; t < n; t++) {
        SCOPED_TRACE("t = " + std::to_string(t));
        EXPECT_TRUE(dense::near(column(out, 0, d, t + 1), ref.u[t], tol));
        EXPECT_TRUE(dense::near(column(out, d, d, t + 1), Vec(ref.D[t].diagonal()), tol));
    }
    EXPECT_TRUE(dense::near(column(out, 0, m, 0), ref.r0, tol));
    EXPECT_TRUE(dense::near(column(out, d, m, 0), Vec(ref.N0.diagonal()), tol));
    for (int k = m; k < d; k++) {
        EXPECT_EQ(out(k, 0), 0.0);
        EXPECT_EQ(out(d + k, 0), 0.0);
    }
}

TEST(KalmanSmo, MatchesDenseDisturbanceResiduals)
{
    kel::Host host;
    // Proper Init: the reference is well conditioned, so only the
    // rounding of a few dozen products separates the two.
    const double tight = 1e-10;
    checkOutput(univCase(), runKalmanSmo(host, univCase()), tight);
    checkOutput(multiCase(), runKalmanSmo(host, multiCase()), tight);
    checkOutput(wideCase(), runKalmanSmo(host, wideCase()), tight);
    checkOutput(largeCase(), runKalmanSmo(host, largeCase()), tight);
    // Two to four whole blocks of four states, with and without a remainder.
    unsigned seed = 91;
    for (const auto &shape : {std::pair<int, int>{9, 1}, {12, 2}, {13, 1}, {17, 2}}) {
        const Case c = sizedCase(shape.first, shape.second, seed++);
        checkOutput(c, runKalmanSmo(host, c), 1e-9);
    }
    // Diffuse start: the filter carries terms of size Vbig ~ 1e7 that
    // cancel, so about 7 digits are lost.
    checkOutput(diffuseCase(), runKalmanSmo(host, diffuseCase()), 1e-6);
    EXPECT_TRUE(host.messages().empty());
}

// At a completely missing time point nothing from the observations enters:
// s_t = 0, the observation and cross blocks of D_t are 0, and no NaN gets
// through.  The last time point starts from r = 0, N = 0.
TEST(KalmanSmo, MissingAndLastTimePoint)
{
    kel::Host host;
    Case c = multiCase();
    kel::Value out = runKalmanSmo(host, c);
    const int m = c.m(), d = c.d(), n = c.n();
    for (int k = m; k < d; k++) {
        EXPECT_EQ(out(k, 5 + 1), 0.0);
        EXPECT_EQ(out(d + k, 5 + 1), 0.0);
    }
    for (int i = 0; i < 2 * d; i++)
        for (int t = 0; t <= n; t++)
            EXPECT_FALSE(std::isnan(out(i, t))) << i << ", " << t;
    for (int i = 0; i < m; i++) {
        EXPECT_EQ(out(i, n), 0.0);
        EXPECT_EQ(out(d + i, n), 0.0);
    }
}

// The accumulator of a direct call is sum_t (u_t u_t' - D_t), symmetric.
TEST(KalmanSmo, DirectCallAccumulator)
{
    kel::Host host;
    for (const Case &c : {univCase(), multiCase()}) {
        SCOPED_TRACE(c.name);
        HostArgs form(c);
        Mat store = dense::fromValue(host.call("KalmanFil", form.with({})));
        const int m = c.m(), N = c.N(), d = c.d(), n = c.n();
        dense::Rows st(store), sys(c.s.sys), S(d + 1, d), W(d + 1, d), acc(d, d, 7.0);
        dense::Rows X(c.timeVarying ? c.tv.X : Mat(1, 1));
        Eigen::MatrixXi idx = c.timeVarying ? c.tv.idxSys : Eigen::MatrixXi::Constant(d, m, -1);
        dense::IntRows idxSys(idx);
        if (N == 1)
            UnivKalmanSmo(n, m, sys.p(), idxSys.p(), X.p(), S.p(), W.p(), st.p(), acc.p(),
                          nullptr);
        else
            MultiKalmanSmo(N, n, m, sys.p(), idxSys.p(), X.p(), S.p(), W.p(), st.p(), acc.p(),
                           nullptr);
        dense::SmoothRef ref = c.smoothed();
        Mat want = Mat::Zero(d, d);
        for (int t = 0; t < n; t++)
            want += ref.u[t] * ref.u[t].transpose() - ref.D[t];
        EXPECT_TRUE(dense::near(acc.toMat(), want, 1e-10));
        EXPECT_TRUE(dense::near(S.toMat().topLeftCorner(m, m), ref.N0, 1e-10));
        EXPECT_TRUE(dense::near(Mat(S.toMat().row(d).head(m).transpose()), ref.r0, 1e-10));
    }
}

TEST(KalmanSmo, AllocationFailureReleasesEverything)
{
    kel::Host host;
    Case c = multiCase();
    HostArgs form(c);
    kel::Value store = host.call("KalmanFil", form.with({}));
    HostArgs smoArgs(c);
    smoArgs.data() = store;
    hostcheck::allocationFailures(host, "KalmanSmo", smoArgs.with({}));
}

}  // namespace

// Over a long local level the filter's variance, and so the smoother's N,
// repeat themselves bit for bit, and the smoother then reuses D_t and N
// instead of forming them.  The results must be the bits of a run that
// cannot (an index table for Sys with no time-varying entry), through
// missing observations and down to the initial column, and follow the
// scalar textbook recursion: s = v/F - K r, r_{t-1} = r + s, N_{t-1} =
// (1 - K)^2 N + 1/F, D_t = [[N, -N K], [-N K, 1/F + K^2 N]].
TEST(KalmanSmo, SettledRecursionGivesTheSameBits)
{
    kel::Host host;
    const int n = 300, m = 1, d = 2;
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal;
    kel::Value y = kel::Value::matrix(1, n);
    double level = 0.0;
    for (int t = 0; t < n; t++) {
        level += 0.3 * normal(rng);
        y.at(0, t) = (t == 100 || t == 101 || t == 200) ? kel::nan() : level + normal(rng);
    }
    const kel::Value sys = {{1.0}, {1.0}}, var = {{0.1, 0.0}, {0.0, 1.0}},
                     init = {{10.0}, {0.0}};
    const Mat store = dense::fromValue(host.call("KalmanFil", {y, sys, var, init}));
    Mat got[2], accs[2], ends[2];
    for (int full = 0; full < 2; full++) {
        dense::Rows st(store), s(dense::fromValue(sys)), S(d + 1, d), W(d + 1, d), acc(d, d),
            out(2 * d, n + 1), X(1, 1);
        dense::IntRows idxSys(Eigen::MatrixXi::Constant(d, m, -1));
        UnivKalmanSmo(n, m, s.p(), full ? idxSys.p() : nullptr, full ? X.p() : nullptr, S.p(),
                      W.p(), st.p(), acc.p(), out.p());
        got[full] = out.toMat(), accs[full] = acc.toMat(), ends[full] = S.toMat();
    }
    for (const Mat *pair : {got, accs, ends})
        EXPECT_EQ(std::memcmp(pair[0].data(), pair[1].data(), sizeof(double) * pair[0].size()),
                  0);
    double r = 0.0, N = 0.0;
    for (int t = n - 1; t >= 0; t--) {
        const bool miss = std::isnan(store(0, t));
        const double v = miss ? 0.0 : store(0, t), K = miss ? 0.0 : store(1, t),
                     finv = miss ? 0.0 : store(2, t);
        const double s = finv * v - K * r;
        EXPECT_NEAR(got[0](0, t + 1), r, 1e-12 * (1 + std::fabs(r))) << t;
        EXPECT_NEAR(got[0](1, t + 1), s, 1e-12 * (1 + std::fabs(s))) << t;
        EXPECT_NEAR(got[0](2, t + 1), N, 1e-12) << t;
        EXPECT_NEAR(got[0](3, t + 1), finv + K * K * N, 1e-12) << t;
        r = r + s;
        N = (1 - K) * (1 - K) * N + finv;
    }
    EXPECT_NEAR(got[0](0, 0), r, 1e-12 * (1 + std::fabs(r)));
    EXPECT_NEAR(got[0](2, 0), N, 1e-12);
}
