// GetLdsStsm / fGetLdsUnivStsm: every component's block against matrices
// written out by hand, stationary variances against the doubling solution
// of P = T P T' + Q, the fixed state order, and every refusal.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "builders/builders.h"
#include "builders_util.hpp"

namespace {

using bt::Form;
using bdense::Mat;
using bdense::Vec;

const double kTol = 1e-13;
const double kLyapTol = 1e-11;
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kPi = 3.14159265358979323846;

std::vector<double> row(double code, double sigma, double c2 = 0, double c3 = 0, double c4 = 0)
{
    return {code, sigma, c2, c3, c4};
}

Mat rot(double rho, double lambda)
{
    Mat c(2, 2);
    c << rho * std::cos(lambda), rho * std::sin(lambda), -rho * std::sin(lambda),
        rho * std::cos(lambda);
    return c;
}

// ---- hand-built component forms ------------------------------------------

Form level(double s)
{
    Form f(1);
    f.T(0, 0) = 1;
    f.Z(0) = 1;
    f.Q(0, 0) = s * s;
    f.P(0, 0) = -1;
    return f;
}

Form levelSlope(double sl, double ss)
{
    Form f(2);
    f.T << 1, 1, 0, 1;
    f.Z << 1, 0;
    f.Q(0, 0) = sl * sl;
    f.Q(1, 1) = ss * ss;
    f.P = -Mat::Identity(2, 2);
    return f;
}

Form trend(int d, double s)
{
    Form f(d);
    for (int i = 0; i < d; ++i) {
        f.T(i, i) = 1;
        if (i + 1 < d) f.T(i, i + 1) = 1;
    }
    f.Z(0) = 1;
    f.Q(d - 1, d - 1) = s * s;
    f.P = -Mat::Identity(d, d);
    return f;
}

Form bwcycle(int n, double lambda, double rho, double s)
{
    Form f(2 * n);
    for (int p = 0; p < n; ++p) {
        f.T.block(2 * p, 2 * p, 2, 2) = rot(rho, lambda);
        if (p + 1 < n) f.T.block(2 * p, 2 * p + 2, 2, 2) = Mat::Identity(2, 2);
    }
    f.Z(0) = 1;
    f.Q.bottomRightCorner(2, 2) = s * s * (1 - rho * rho) * Mat::Identity(2, 2);
    f.P = bt::stationaryVariance(f.T, f.Q);
    return f;
}

Form dummySeasonal(int s, double sigma)
{
    Form f(s - 1);
    f.T.row(0).setConstant(-1);
    for (int i = 1; i < s - 1; ++i) f.T(i, i - 1) = 1;
    f.Z(0) = 1;
    f.Q(0, 0) = sigma * sigma;
    f.P = -Mat::Identity(s - 1, s - 1);
    return f;
}

Form trigSeasonal(int s, double sigma)
{
    Form f(s - 1);
    int pairs = s % 2 ? (s - 1) / 2 : s / 2 - 1;
    for (int j = 0; j < pairs; ++j) {
        f.T.block(2 * j, 2 * j, 2, 2) = rot(1.0, 2 * kPi * (j + 1) / s);
        f.Z(2 * j) = 1;
    }
    if (s % 2 == 0) {
        f.T(s - 2, s - 2) = -1;
        f.Z(s - 2) = 1;
    }
    f.Q = sigma * sigma * Mat::Identity(s - 1, s - 1);
    f.P = -Mat::Identity(s - 1, s - 1);
    return f;
}

Form zeroSumSeasonal(double period, double sigma)
{
    int S = int(period);
    Form f(S);
    for (int i = 0; i + 1 < S; ++i) f.T(i, i + 1) = 1;
    f.T(S - 1, 0) = 1;
    f.Z(0) = 1;
    f.Q.setConstant(-sigma * sigma / (period - 1));
    f.Q.diagonal().setConstant(sigma * sigma);
    f.P.setConstant(-1);
    f.P.diagonal().setConstant(-(period - 1));
    return f;
}

Form cycle(double lambda, double rho, double s)
{
    Form f(2);
    f.T = rot(rho, lambda);
    f.Z(0) = 1;
    f.Q = s * s * (1 - rho * rho) * Mat::Identity(2, 2);
    f.P = s * s * Mat::Identity(2, 2);
    return f;
}

Form ar1(double phi, double s)
{
    Form f(1);
    f.T(0, 0) = phi;
    f.Z(0) = 1;
    f.Q(0, 0) = s * s * (1 - phi * phi);
    f.P(0, 0) = s * s;
    return f;
}

// x_t = (a+b) x_{t-1} - a b x_{t-2} + e_t with Var x_t = s^2: the
// innovation variance from the AR(2) autocovariance equations.
Form ar2(double a, double b, double s)
{
    double phi1 = a + b, phi2 = -a * b;
    double rho1 = phi1 / (1 - phi2);
    double innov = s * s * (1 - phi1 * rho1 - phi2 * (phi1 * rho1 + phi2));
    Form f(2);
    f.T << phi1, 1, phi2, 0;
    f.Z(0) = 1;
    f.Q(0, 0) = innov;
    f.P = bt::stationaryVariance(f.T, f.Q);
    return f;
}

Form irregular(double s)
{
    Form f(0);
    f.H = s * s;
    return f;
}

struct Built {
    kel::Value sys, var, init, pos;
};

Built build(kel::Host &host, const std::vector<std::vector<double>> &rows)
{
    Built b;
    kel::Value spec(rows);
    b.pos = host.call("GetLdsStsm", {spec, kel::ref(b.sys), kel::ref(b.var), kel::ref(b.init)});
    return b;
}

void expectPositions(const kel::Value &pos, const std::vector<double> &want)
{
    ASSERT_EQ(pos.rows(), 1);
    ASSERT_EQ(pos.cols(), int(want.size()));
    for (int i = 0; i < pos.cols(); ++i) EXPECT_EQ(pos(0, i), want[i]) << "row " << i;
}

TEST(Stsm, LevelAndIrregular)
{
    kel::Host host;
    Built b = build(host, {row(STSM_LEVEL, 0.5), row(STSM_IRREG, 2.0)});
    Mat sys(2, 1), var(2, 2), init(2, 1);
    sys << 1, 1;
    var << 0.25, 0, 0, 4;
    init << -1, 0;
    EXPECT_TRUE(bdense::near(bdense::fromValue(b.sys), sys, 0));
    EXPECT_TRUE(bdense::near(bdense::fromValue(b.var), var, 0));
    EXPECT_TRUE(bdense::near(bdense::fromValue(b.init), init, 0));
    expectPositions(b.pos, {0, 1});

    // two columns are enough for these components; row order only moves
    // the positions
    Built r = build(host, {{STSM_IRREG, 2.0}, {STSM_LEVEL, 0.5}});
    EXPECT_TRUE(bt::sameForm(r.sys, r.var, r.init, bt::append(level(0.5), irregular(2.0)), 0));
    expectPositions(r.pos, {1, 0});
}

TEST(Stsm, EachComponentBlock)
{
    kel::Host host;
    struct Case {
        const char *name;
        std::vector<double> spec;
        Form want;
        double tol;
    };
    const double lam = 0.7, rho = 0.9;
    std::vector<Case> cases = {
        {"trend 3", row(STSM_TREND, 0.3, 3), trend(3, 0.3), kTol},
        {"trend 2.7", row(STSM_TREND, 0.3, 2.7), trend(2, 0.3), kTol},
        {"bwcycle 1", row(STSM_BWCYCLE, 1.5, lam, rho, 1), bwcycle(1, lam, rho, 1.5), kLyapTol},
        {"bwcycle 1.2", row(STSM_BWCYCLE, 1.5, lam, rho, 1.2), bwcycle(1, lam, rho, 1.5), kLyapTol},
        {"bwcycle 2", row(STSM_BWCYCLE, 1.5, lam, rho, 2), bwcycle(2, lam, rho, 1.5), kLyapTol},
        {"bwcycle 3", row(STSM_BWCYCLE, 0.8, 1.9, 0.75, 3), bwcycle(3, 1.9, 0.75, 0.8), kLyapTol},
        {"dummy 4", row(STSM_SEAS_DUMMY, 0.4, 4), dummySeasonal(4, 0.4), kTol},
        {"dummy 2", row(STSM_SEAS_DUMMY, 0.4, 2), dummySeasonal(2, 0.4), kTol},
        {"trig 4", row(STSM_SEAS_TRIG, 0.4, 4), trigSeasonal(4, 0.4), kTol},
        {"trig 7", row(STSM_SEAS_TRIG, 0.4, 7), trigSeasonal(7, 0.4), kTol},
        {"trig 12", row(STSM_SEAS_TRIG, 0.4, 12), trigSeasonal(12, 0.4), kTol},
        {"trig 2", row(STSM_SEAS_TRIG, 0.4, 2), trigSeasonal(2, 0.4), kTol},
        {"zero-sum 2", row(STSM_SEAS_ZEROSUM, 0.4, 2), zeroSumSeasonal(2, 0.4), kTol},
        {"zero-sum 3.5", row(STSM_SEAS_ZEROSUM, 0.4, 3.5), zeroSumSeasonal(3.5, 0.4), kTol},
        {"cycle", row(STSM_CYCLE3, 1.2, lam, rho), cycle(lam, rho, 1.2), kTol},
        {"cycle rho 1", row(STSM_CYCLE0, 1.2, lam, 1.0), cycle(lam, 1.0, 1.2), kTol},
        {"ar1", row(STSM_AR1, 0.6, 0, -0.8), ar1(-0.8, 0.6), kTol},
        {"ar2", row(STSM_AR2, 0.6, 0, 0.7, -0.4), ar2(0.7, -0.4, 0.6), kLyapTol},
        {"ar2 complex", row(STSM_AR2, 1.1, 0, 0.9, 0.5), ar2(0.9, 0.5, 1.1), kLyapTol},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Built b = build(host, {c.spec, row(STSM_IRREG, 0.1)});
        EXPECT_TRUE(bt::sameForm(b.sys, b.var, b.init, bt::append(c.want, irregular(0.1)), c.tol));
        expectPositions(b.pos, {0, double(c.want.m())});
    }
}

TEST(Stsm, StationaryVarianceClosedForms)
{
    // Checks independent of the doubling solution: the process variance of
    // the AR blocks and the cycle of order 1 is sigma^2 itself, and the
    // bwcycle's stationary variance solves the Lyapunov equation.
    kel::Host host;
    Built a = build(host, {row(STSM_AR2, 0.6, 0, 0.7, -0.4), row(STSM_AR1, 2.0, 0, 0.5)});
    Mat P = bdense::fromValue(a.init);
    EXPECT_NEAR(P(0, 0), 4.0, 4.0 * kTol);  // AR(1), placed first
    EXPECT_NEAR(P(1, 1), 0.36, 0.36 * kTol);
    for (int order = 1; order <= 3; ++order) {
        SCOPED_TRACE(order);
        Built b = build(host, {row(STSM_BWCYCLE, 1.3, 0.4, 0.95, order), row(STSM_IRREG, 1)});
        int m = 2 * order;
        Mat T = bdense::fromValue(b.sys).topRows(m), Q = bdense::fromValue(b.var).topLeftCorner(m, m);
        Mat Pb = bdense::fromValue(b.init).topRows(m);
        Mat residual = Pb - T * Pb * T.transpose() - Q;
        EXPECT_LT(residual.cwiseAbs().maxCoeff(), 1e-10 * Pb.cwiseAbs().maxCoeff());
        EXPECT_NEAR(Pb(0, 0) - Pb(1, 1), 0.0, 1e-12 * Pb(0, 0));
        if (order == 1) {
            EXPECT_NEAR(Pb(0, 0), 1.69, 1.69 * kTol);
        }
    }
}

TEST(Stsm, FixedStateOrder)
{
    kel::Host host;
    const double lam = 0.5, rho = 0.8;
    std::vector<std::vector<double>> rows = {
        row(STSM_AR2, 0.6, 0, 0.5, 0.3),       row(STSM_IRREG, 0.9),
        row(STSM_CYCLE9, 1.1, 2.0, 0.7),       row(STSM_SEAS_TRIG, 0.2, 5),
        row(STSM_SLOPE, 0.05),                 row(STSM_AR1, 1.4, 0, 0.3),
        row(STSM_CYCLE0, 0.7, lam, rho),       row(STSM_BWCYCLE, 1.0, 0.3, 0.9, 2),
        row(STSM_LEVEL, 0.3)};
    Built b = build(host, rows);
    Form want = levelSlope(0.3, 0.05);
    want = bt::append(want, bwcycle(2, 0.3, 0.9, 1.0));
    want = bt::append(want, trigSeasonal(5, 0.2));
    want = bt::append(want, cycle(lam, rho, 0.7));
    want = bt::append(want, cycle(2.0, 0.7, 1.1));
    want = bt::append(want, ar1(0.3, 1.4));
    want = bt::append(want, ar2(0.5, 0.3, 0.6));
    want = bt::append(want, irregular(0.9));
    // the slope's T entry couples it to the level
    EXPECT_TRUE(bt::sameForm(b.sys, b.var, b.init, want, kLyapTol));
    // level 0, slope 1, bwcycle 2..5, trig 6..9, cycle0 10, cycle9 12,
    // ar1 14, ar2 15, irregular m = 17
    expectPositions(b.pos, {15, 17, 12, 6, 1, 14, 10, 2, 0});

    // a trend with a dummy seasonal; a slope without a level builds nothing
    Built t = build(host, {row(STSM_SEAS_DUMMY, 0.2, 3), row(STSM_SLOPE, 1.0),
                           row(STSM_TREND, 0.1, 2), row(STSM_IRREG, 1.0)});
    Form wt = bt::append(bt::append(trend(2, 0.1), dummySeasonal(3, 0.2)), irregular(1.0));
    EXPECT_TRUE(bt::sameForm(t.sys, t.var, t.init, wt, kTol));
    expectPositions(t.pos, {2, -1, 0, 4});
}

TEST(Stsm, CodeTruncation)
{
    // codes truncate toward zero: 0.9 and -0.5 are levels, 18.5 an AR(2),
    // 19.9 the irregular
    kel::Host host;
    Built c = build(host, {row(0.9, 0.5), row(19.9, 1.0)});
    EXPECT_TRUE(bt::sameForm(c.sys, c.var, c.init, bt::append(level(0.5), irregular(1.0)), 0));
    Built d = build(host, {row(18.5, 0.6, 0, 0.7, -0.4), row(-0.5, 0.5)});
    EXPECT_TRUE(bt::sameForm(d.sys, d.var, d.init, bt::append(level(0.5), ar2(0.7, -0.4, 0.6)),
                             kLyapTol));
    expectPositions(d.pos, {1, 0});
}

struct ErrorCase {
    const char *why;
    std::vector<std::vector<double>> rows;
    std::string text;
};

void expectErrors(kel::Host &host, const std::vector<ErrorCase> &cases)
{
    for (const ErrorCase &c : cases) {
        SCOPED_TRACE(c.why);
        kel::Value spec(c.rows), sys, var, init;
        bt::expectRuntimeError(host, "GetLdsStsm",
                               {spec, kel::ref(sys), kel::ref(var), kel::ref(init)}, c.text);
    }
}

const std::string kPrefix = "GetLdsStsm(): ";

TEST(Stsm, Refusals)
{
    kel::Host host;
    auto irr = row(STSM_IRREG, 1);
    std::vector<ErrorCase> cases = {
        {"one row", {row(STSM_TREND, 1, 2)}, kPrefix + "at least two components required in argument 1"},
        {"one column", {{0}, {19}}, kPrefix + "at least two columns required in argument 1"},
        {"level twice", {row(0, 1), row(0, 1)}, kPrefix + "only one level/trend component allowed in argument 1"},
        {"level and trend", {row(2, 1, 2), row(0, 1)}, kPrefix + "only one level/trend component allowed in argument 1"},
        {"slope twice", {row(1, 1), row(1, 1), row(0, 1)}, kPrefix + "only one slope component allowed in argument 1"},
        {"trend columns", {{2, 1}, {19, 1}}, kPrefix + "at least three columns required in argument 1"},
        {"seasonal columns", {{5, 1}, {19, 1}}, kPrefix + "at least three columns required in argument 1"},
        {"irregular twice", {irr, irr}, kPrefix + "only one irregular component allowed in argument 1"},
        {"ar1 twice", {row(17, 1), row(17, 1)}, kPrefix + "only one autoregressive(1) component allowed in argument 1"},
        {"ar1 columns", {{17, 1, 0}, {19, 1, 0}}, kPrefix + "at least four columns required in argument 1"},
        {"ar2 twice", {row(18, 1), row(18, 1)}, kPrefix + "only one autoregressive(2) component allowed in argument 1"},
        {"ar2 columns", {{18, 1, 0, 0}, {19, 1, 0, 0}}, kPrefix + "at least five columns required in argument 1"},
        {"bwcycle columns", {{6, 1, 0, 0}, {19, 1, 0, 0}}, kPrefix + "at least five columns required in argument 1"},
        {"cycle columns", {{7, 1, 0}, {19, 1, 0}}, kPrefix + "at least four columns required in argument 1"},
        {"code 20", {row(20, 1), irr}, kPrefix + "cannot recognize component in argument 1"},
        {"code -1", {row(-1, 1), irr}, kPrefix + "cannot recognize component in argument 1"},
        {"trend 0", {row(2, 1, 0), irr}, kPrefix + "trend order not appropriate in argument 2"},
        {"trend 10", {row(2, 1, 10), irr}, kPrefix + "trend order not appropriate in argument 2"},
        {"period 1.9", {row(3, 1, 1.9), irr}, kPrefix + "seasonal parameters not appropriate in argument 2"},
        {"two seasonals", {row(3, 1, 4), row(4, 1, 4)}, kPrefix + "seasonal parameters not appropriate in argument 2"},
        {"bwcycle lambda", {row(6, 1, -0.1, 0.5, 1), irr}, kPrefix + "bwcycle parameters not appropriate in argument 3"},
        {"bwcycle rho", {row(6, 1, 0.1, 1.01, 1), irr}, kPrefix + "bwcycle parameters not appropriate in argument 3"},
        {"bwcycle order", {row(6, 1, 0.1, 0.5, 10), irr}, kPrefix + "bwcycle order not appropriate in argument 4"},
        {"cycle rho", {row(9, 1, 0.1, -0.1), irr}, kPrefix + "cycle parameters not appropriate in argument 1"},
        {"ar1 phi", {row(17, 1, 0, 1.5), irr}, kPrefix + "autoregressive(1) parameters not appropriate in argument 3"},
        {"ar2 a", {row(18, 1, 0, -1.5, 0), irr}, kPrefix + "autoregressive(2) parameters not appropriate in argument 3"},
        {"ar2 b", {row(18, 1, 0, 0.5, 1.5), irr}, kPrefix + "autoregressive(2) parameters not appropriate in argument 4"},
        {"nothing", {row(1, 1), irr}, kPrefix + "no model specified in argument 1"},
        {"bwcycle 1.5", {row(6, 1, 0.1, 0.5, 1.5), irr}, kPrefix + "no correct model specified in argument 1"},
        {"cycle twice", {row(7, 1, 0.1, 0.5), row(7, 1, 0.1, 0.5)}, kPrefix + "no correct model specified in argument 1"},
        {"bwcycle twice", {row(6, 1, 0.1, 0.5, 1), row(6, 1, 0.1, 0.5, 1)}, kPrefix + "no correct model specified in argument 1"},
    };
    expectErrors(host, cases);

    kel::Value spec = {{0, 1}, {19, 1}}, sys, var, init, three;
    bt::expectRuntimeError(host, "GetLdsStsm", {spec, kel::ref(sys), kel::ref(var)},
                           kPrefix + "at least four arguments required");
    EXPECT_EQ(bt::failure(host, "GetLdsStsm", {spec, kel::ref(sys), var, kel::ref(init)}).code,
              KELHOST_ERR_TYPE);
    // a result variable named twice, or one that holds argument 1 itself,
    // would have its storage released while still in use
    bt::expectRuntimeError(host, "GetLdsStsm", {spec, kel::ref(sys), kel::ref(sys), kel::ref(init)},
                           kPrefix + "result arguments must refer to distinct variables");
    bt::expectRuntimeError(host, "GetLdsStsm", {spec, kel::ref(spec), kel::ref(var), kel::ref(init)},
                           kPrefix + "result arguments must refer to distinct variables");
    // arguments after the fourth are ignored
    Built ok;
    host.call("GetLdsStsm", {spec, kel::ref(ok.sys), kel::ref(ok.var), kel::ref(ok.init), three});
    EXPECT_EQ(ok.sys.rows(), 2);
}

TEST(Stsm, NonFiniteAndOutOfRangeParameters)
{
    // Such values must be refused by their range check, never converted.
    kel::Host host;
    auto irr = row(STSM_IRREG, 1);
    const double kHuge = 1e12;
    std::vector<ErrorCase> cases;
    for (double bad : {kNaN, kInf, -kInf, kHuge, -kHuge}) {
        cases.push_back({"code", {row(bad, 1), irr}, kPrefix + "cannot recognize component in argument 1"});
        cases.push_back({"period", {row(4, 1, bad), irr}, kPrefix + "seasonal parameters not appropriate in argument 2"});
        cases.push_back({"trend order", {row(2, 1, bad), irr}, kPrefix + "trend order not appropriate in argument 2"});
        cases.push_back({"bwcycle order", {row(6, 1, 0.2, 0.5, bad), irr}, kPrefix + "bwcycle order not appropriate in argument 4"});
        cases.push_back({"bwcycle lambda", {row(6, 1, bad, 0.5, 2), irr}, kPrefix + "bwcycle parameters not appropriate in argument 3"});
        cases.push_back({"bwcycle rho", {row(6, 1, 0.2, bad, 2), irr}, kPrefix + "bwcycle parameters not appropriate in argument 3"});
        cases.push_back({"cycle lambda", {row(8, 1, bad, 0.5), irr}, kPrefix + "cycle parameters not appropriate in argument 1"});
        cases.push_back({"cycle rho", {row(8, 1, 0.2, bad), irr}, kPrefix + "cycle parameters not appropriate in argument 1"});
        cases.push_back({"phi", {row(17, 1, 0, bad), irr}, kPrefix + "autoregressive(1) parameters not appropriate in argument 3"});
        cases.push_back({"a", {row(18, 1, 0, bad, 0.1), irr}, kPrefix + "autoregressive(2) parameters not appropriate in argument 3"});
        cases.push_back({"b", {row(18, 1, 0, 0.1, bad), irr}, kPrefix + "autoregressive(2) parameters not appropriate in argument 4"});
    }
    // orders that truncate to no state at all
    cases.push_back({"trend 0.5", {row(2, 1, 0.5), irr}, kPrefix + "trend order not appropriate in argument 2"});
    cases.push_back({"bwcycle 0.5", {row(6, 1, 0.2, 0.5, 0.5), irr}, kPrefix + "bwcycle order not appropriate in argument 4"});
    // no stationary variance: rho = 1 from order 2 on, and a b = -1
    cases.push_back({"bwcycle rho 1", {row(6, 1, 0.2, 1.0, 2), irr}, kPrefix + "bwcycle parameters not appropriate in argument 3"});
    cases.push_back({"ar2 unit roots", {row(18, 1, 0, 1.0, -1.0), irr}, kPrefix + "autoregressive(2) parameters not appropriate in argument 4"});
    cases.push_back({"ar2 unit roots", {row(18, 1, 0, -1.0, 1.0), irr}, kPrefix + "autoregressive(2) parameters not appropriate in argument 4"});
    expectErrors(host, cases);

    // rho = 1 stays allowed for the bwcycle of order 1 (P = sigma^2 I)
    Built b = build(host, {row(6, 2.0, 0.2, 1.0, 1), irr});
    EXPECT_TRUE(bdense::near(bdense::fromValue(b.init).topRows(2), 4.0 * Mat::Identity(2, 2), kTol));
    // a period within int range that gives too many states for an int count
    std::vector<double> wide = row(STSM_SEAS_ZEROSUM, 1, 2e9);
    expectErrors(host, {{"too many states", {wide, irr}, kPrefix + "memory allocation failure"}});
}

TEST(Stsm, AllocationFailures)
{
    kel::Host host;
    kel::Value spec(std::vector<std::vector<double>>{row(STSM_BWCYCLE, 1, 0.2, 0.5, 3), row(STSM_IRREG, 1)});
    int failures = 0;
    for (long after = 0;; ++after) {
        kel::Value sys, var, init, rtn;
        long before = kelhost_live_blocks();
        std::string text;
        kelhost_fail_allocations_after(after);
        int code = host.tryCall("GetLdsStsm", {spec, kel::ref(sys), kel::ref(var), kel::ref(init)},
                                &rtn, &text);
        kelhost_fail_allocations_after(-1);
        EXPECT_EQ(kelhost_live_blocks(), before);
        if (code == 0) break;
        ++failures;
        EXPECT_EQ(code, KELHOST_ERR_RUNTIME);
        // result storage, then the bwcycle's work storage
        EXPECT_TRUE(text == kPrefix + "memory allocation failure" ||
                    text == kPrefix + "no correct model specified in argument 1")
            << text;
        ASSERT_LT(after, 20);
    }
    EXPECT_GE(failures, 6);
}

TEST(Stsm, DirectBuilder)
{
    // The exported builder given fewer states than its table describes must
    // refuse instead of writing past the matrices.
    bdense::Rows spec(Mat((Mat(2, 5) << STSM_TREND, 0.5, 3, 0, 0, STSM_IRREG, 2, 0, 0, 0).finished()));
    int table[STSM_COMPONENTS];
    for (int &t : table) t = -1;
    table[STSM_TREND] = 0;
    table[STSM_IRREG] = 1;
    double pos[2] = {-5, -5};
    for (int m : {1, 2, 4}) {
        bdense::Rows sys(m + 1, m), var(m + 1, m + 1), init(m + 1, m);
        EXPECT_EQ(fGetLdsUnivStsm(table, spec.p(), m, pos, sys.p(), var.p(), init.p()), 0) << m;
    }
    bdense::Rows sys(4, 3), var(4, 4), init(4, 3);
    ASSERT_EQ(fGetLdsUnivStsm(table, spec.p(), 3, pos, sys.p(), var.p(), init.p()), 1);
    Form want = bt::append(trend(3, 0.5), irregular(2));
    EXPECT_TRUE(bdense::near(sys.toMat(), want.sys(), 0));
    EXPECT_TRUE(bdense::near(var.toMat(), want.var(), 0));
    EXPECT_TRUE(bdense::near(init.toMat(), want.init(), 0));
    EXPECT_EQ(pos[0], 0);
    EXPECT_EQ(pos[1], 3);
}

}  // namespace
