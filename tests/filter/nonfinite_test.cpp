// Finite input whose likelihood or filter store is not a finite number:
// LdsLik, LdsLikConc and KalmanFil fail with their warning instead of
// handing back NaN or an infinity; values near the limits that stay finite
// still give the closed-form result.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kelhost/kel.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kLogTwoPi = std::log(6.283185307179586);
const double kUnwritten = 123.25;

struct Outcome {
    int lik = -1, conc = -1;
    kel::Value ll{kUnwritten}, s2{kUnwritten}, cll{kUnwritten}, cs2{kUnwritten}, store;
    std::vector<std::string> messages;
};

Outcome run(kel::Host &host, const std::vector<kel::Arg> &model) {
    Outcome o;
    host.clearMessages();
    long before = kelhost_live_blocks();
    std::vector<kel::Arg> a{kel::ref(o.ll), kel::ref(o.s2)}, c{kel::ref(o.cll), kel::ref(o.cs2)};
    a.insert(a.end(), model.begin(), model.end());
    c.insert(c.end(), model.begin(), model.end());
    o.lik = host.call("LdsLik", a).asInt();
    o.conc = host.call("LdsLikConc", c).asInt();
    o.store = host.call("KalmanFil", model);
    EXPECT_EQ(kelhost_live_blocks(), before);
    o.messages = host.messages();
    return o;
}

void expectAllFail(const Outcome &o) {
    EXPECT_EQ(o.lik, 0);
    EXPECT_EQ(o.conc, 0);
    EXPECT_EQ(o.ll.asDouble(), kUnwritten);
    EXPECT_EQ(o.cll.asDouble(), kUnwritten);
    EXPECT_FALSE(o.store.isMatrix());
    EXPECT_EQ(o.messages, (std::vector<std::string>{
                              "LdsLik(): non-positive semi-definite innovation variance matrix",
                              "LdsLikConc(): non-positive semi-definite innovation variance matrix",
                              "KalmanFil(): non-positive semi-definite innovation variance matrix"}));
}

TEST(NonFinite, OverflowAndNaNInTheModelFail) {
    kel::Host host;
    kel::Value sys1 = {{1.0}, {1.0}}, var1 = {{1.0, 0.0}, {0.0, 1.0}}, init1 = {{1.0}, {0.0}};
    kel::Value sys2 = {{0.5}, {1.0}, {1.0}};
    kel::Value var2 = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 2.0}};
    struct Case {
        const char *what;
        std::vector<kel::Arg> model;
    };
    // Data and Mean near the largest double: the innovation overflows.
    kel::Value huge1 = {{1.7e308, 1.0, 2.0}}, huge2 = {{1.7e308, 1.0}, {0.5, 1.0}};
    kel::Value low1 = {{0.0}, {-1.7e308}}, low2 = {{0.0}, {-1.7e308}, {0.0}};
    kel::Value explosive = {{1e200}, {1.0}}, y1 = {{1.0, 2.0, 0.5}};
    kel::Value nanSys = {{kNaN}, {1.0}}, nanVar2 = {{1.0, 0.0, 0.0}, {0.0, kNaN, 0.0}, {0.0, 0.0, 2.0}};
    kel::Value nanMean = {{0.0}, {kNaN}}, nanInit = {{kNaN}, {0.0}};
    kel::Value y2 = {{1.0, 2.0}, {0.5, 0.1}};
    for (const Case &c : std::vector<Case>{
             {"data near the largest double, N = 1", {huge1, sys1, var1, init1, low1}},
             {"data near the largest double, N = 2", {huge2, sys2, var2, 0, low2}},
             {"explosive transition", {y1, explosive, var1, init1}},
             {"NaN in Sys", {y1, nanSys, var1}},
             {"NaN in Var, N = 2", {y2, sys2, nanVar2}},
             {"NaN in Mean", {y1, sys1, var1, init1, nanMean}},
             {"NaN in Init", {y1, sys1, var1, nanInit}}}) {
        SCOPED_TRACE(c.what);
        expectAllFail(run(host, c.model));
    }

    // Data near 1e300 alone: v^2 / F overflows the likelihoods, while the
    // filter store stays finite and is handed back.
    Outcome o = run(host, {kel::Value{{1.0, 1e300}}, sys1, var1});
    EXPECT_EQ(o.lik, 0);
    EXPECT_EQ(o.conc, 0);
    ASSERT_TRUE(o.store.isMatrix());
    EXPECT_EQ(o.store(0, 1), 1e300 - 1.0);
    EXPECT_EQ(o.messages.size(), 2u);
}

TEST(NonFinite, InnovationVarianceWithoutFiniteInverse) {
    // No states: F_t is Var itself.  A subnormal F has an infinite inverse.
    kel::Host host;
    kel::Value sys = kel::Value::matrix(1, 0), y = {{1.0, -2.0}};
    kel::Value tiny = {{5e-324}}, four = {{4.0}};
    expectAllFail(run(host, {y, sys, tiny}));

    Outcome ok = run(host, {y, sys, four});
    ASSERT_EQ(ok.lik, 1);
    // -0.5 sum (log 2 pi + log 4 + y^2 / 4) over y = 1, -2
    EXPECT_NEAR(ok.ll.asDouble(), -0.5 * (2 * kLogTwoPi + 2 * std::log(4.0) + 5.0 / 4.0), 1e-14);
    EXPECT_NEAR(ok.s2.asDouble(), 5.0 / 8.0, 1e-15);
}

TEST(NonFinite, LargeVarianceWithoutDiffuseElements) {
    // Var's diagonal near 1e302 makes the diffuse variance factor infinite;
    // with no diffuse element it must not enter the result.  One time point
    // of a local level with P1 = 1: F = 1 + 1e302, v = 2.
    kel::Host host;
    const double H = 1e302, F = 1.0 + H;
    Outcome o = run(host, {kel::Value{{2.0}}, kel::Value{{1.0}, {1.0}},
                           kel::Value{{1.0, 0.0}, {0.0, H}}, kel::Value{{1.0}, {0.0}}});
    ASSERT_EQ(o.lik, 1);
    double want = -0.5 * (kLogTwoPi + std::log(F) + 4.0 / F);
    EXPECT_NEAR(o.ll.asDouble(), want, 1e-13 * std::fabs(want));
    EXPECT_EQ(o.s2.asDouble(), 4.0 / F);
    ASSERT_TRUE(o.store.isMatrix());
    EXPECT_EQ(o.store(0, 0), 2.0);
    EXPECT_EQ(o.store(2, 0), 1.0 / F);
}

TEST(NonFinite, PerfectFitHasNoConcentratedLikelihood) {
    // An all-zero series: every innovation is 0, s2 = 0 and log(s2) = -inf.
    // LdsLik is still finite: -0.5 sum (log 2 pi + log F_t), F_t = P_t + 1.
    kel::Host host;
    kel::Value y = {{0.0, 0.0, 0.0}};
    Outcome o = run(host, {y, kel::Value{{1.0}, {1.0}}, kel::Value{{1.0, 0.0}, {0.0, 1.0}},
                           kel::Value{{1.0}, {0.0}}});
    EXPECT_EQ(o.conc, 0);
    EXPECT_EQ(o.cll.asDouble(), kUnwritten);
    EXPECT_EQ(o.messages, (std::vector<std::string>{
                              "LdsLikConc(): non-positive semi-definite innovation variance matrix"}));
    ASSERT_EQ(o.lik, 1);
    double P = 1.0, sum = 0.0;
    for (int t = 0; t < 3; ++t) {
        double F = P + 1.0;
        sum += kLogTwoPi + std::log(F);
        P = P - P * P / F + 1.0;
    }
    EXPECT_NEAR(o.ll.asDouble(), -0.5 * sum, 1e-14);
    EXPECT_EQ(o.s2.asDouble(), 0.0);
}

}  // namespace
