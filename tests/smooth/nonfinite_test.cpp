// Finite input whose moments, score or smoothed values are not finite:
// LdsMomentEst, LdsLikSco and KalmanSmo fail with their warning, and the
// moment forward pass reports a P_{n+1} that overflowed over missing
// observations.  Values near the limits that stay finite still succeed.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kelhost/kel.hpp"
#include "smooth/smooth.h"
#include "support/dense_kalman.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kUnwritten = 123.25;

// Local level with transition T, unit variances and P1 = 1, a1 = 0.
struct Explosive {
    double T;
    kel::Value sys, var = {{1.0, 0.0}, {0.0, 1.0}}, init = {{1.0}, {0.0}};
    explicit Explosive(double t) : T(t), sys{{t}, {1.0}} {}
};

TEST(NonFinite, MomentsOverflowingOverMissingObservations) {
    kel::Host host;
    // T = 1e100, y = (1, NaN): P_1 = T^2 + 1 - (T / 2) T = T^2 / 2 (to
    // rounding), P_2 = T^2 P_1 + 1 overflows, while every moment of the two
    // time points is finite.
    Explosive e(1e100);
    kel::Value y = {{1.0, kNaN}}, moments(kUnwritten);
    for (int sel : {0, 1, 3, 5}) {
        host.clearMessages();
        long before = kelhost_live_blocks();
        kel::Value r = host.call("LdsMomentEst", {sel, kel::ref(moments), y, e.sys, e.var, e.init});
        EXPECT_EQ(kelhost_live_blocks(), before);
        EXPECT_FALSE(r.isMatrix()) << sel;
        EXPECT_FALSE(moments.isMatrix());
        EXPECT_EQ(host.messages(), std::vector<std::string>{
                                       "LdsMomentEst(): non-positive semi-definite innovation "
                                       "variance matrix"});
    }

    // The forward pass itself reports it.
    dense::Rows sys(dense::fromValue(e.sys)), var(dense::fromValue(e.var)),
        init(dense::fromValue(e.init)), P(3, 2), A(5, 2), store(3, 2), mom(4, 2);
    double yv[] = {1.0, kNaN};
    EXPECT_EQ(fUnivStatePred(0, 2, yv, 1, sys.p(), var.p(), A.p()[3], nullptr, nullptr, nullptr,
                             nullptr, init.p(), P.p(), A.p(), store.p(), mom.p(), nullptr),
              0);
    EXPECT_EQ(mom.toMat()(2, 1), 1e200 / 2);  // P_1, finite
    EXPECT_TRUE(std::isinf(P.toMat()(0, 0)));

    // With y = (1) alone the pass ends at P_1 = T^2 / 2 and a_2 = K v = T / 2.
    kel::Value one = {{1.0}};
    kel::Value r = host.call("LdsMomentEst", {0, kel::ref(moments), one, e.sys, e.var, e.init});
    ASSERT_TRUE(r.isMatrix());
    EXPECT_EQ(r(0, 0), 1e200 / 2);
    EXPECT_EQ(r(1, 0), 1e100 / 2);
}

TEST(NonFinite, ScoreAndSmoothedValues) {
    kel::Host host;
    // LdsLikSco: an innovation that overflows (y = 1.7e308, Mean_y = -1.7e308).
    kel::Value ll(kUnwritten), score(kUnwritten);
    Explosive calm(0.5);
    kel::Value y = {{1.7e308, 1.0}}, mean = {{0.0}, {-1.7e308}};
    kel::Value r = host.call("LdsLikSco", {kel::ref(ll), kel::ref(score), y, calm.sys, calm.var,
                                           calm.init, mean});
    EXPECT_EQ(r.asInt(), 0);
    EXPECT_EQ(ll.asDouble(), kUnwritten);
    EXPECT_FALSE(score.isMatrix());
    EXPECT_EQ(host.messages(), std::vector<std::string>{
                                   "LdsLikSco(): non-positive semi-definite innovation matrix"});

    // KalmanSmo: the store of a calm model smoothed with T = 1e300 makes the
    // backward variances overflow.
    host.clearMessages();
    kel::Value data = {{1.0, 0.5, -0.3, 0.8}};
    kel::Value store = host.call("KalmanFil", {data, calm.sys, calm.var, calm.init});
    Explosive wild(1e300);
    long before = kelhost_live_blocks();
    kel::Value out = host.call("KalmanSmo", {store, wild.sys, wild.var, wild.init});
    EXPECT_EQ(kelhost_live_blocks(), before);
    EXPECT_FALSE(out.isMatrix());
    EXPECT_EQ(host.messages(), std::vector<std::string>{"KalmanSmo(): smoothed values not finite"});
    host.clearMessages();
    out = host.call("KalmanSmo", {store, calm.sys, calm.var, calm.init});
    EXPECT_TRUE(out.isMatrix());
    EXPECT_TRUE(host.messages().empty());
}

}  // namespace
