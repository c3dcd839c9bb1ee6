// GetLdsArma / fGetLdsUnivArma: forms against hand-written matrices, the
// stationary variance against the doubling solution, the difference states
// by simulating the form, failures, and the likelihood of the form against
// the exact Gaussian ARMA likelihood.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "builders/builders.h"
#include "builders_util.hpp"

namespace {

using bt::Form;
using bdense::Mat;
using bdense::Vec;

const double kTol = 1e-12;
const char *const kSystemError = "GetLdsArma(): system error";

// The ARMA form written out: T with phi down the first column and ones
// above the diagonal, Q = sigma^2 R R', R = (1, theta), P stationary.
Form armaForm(const std::vector<double> &phi, const std::vector<double> &theta, double sigma)
{
    int r = std::max(int(phi.size()), int(theta.size()) + 1);
    Form f(r);
    Vec R = Vec::Zero(r);
    R(0) = 1;
    for (size_t j = 0; j < theta.size(); ++j) R(j + 1) = theta[j];
    for (int i = 0; i < r; ++i) {
        if (i < int(phi.size())) f.T(i, 0) = phi[i];
        if (i + 1 < r) f.T(i, i + 1) = 1;
    }
    f.Z(0) = 1;
    f.Q = sigma * sigma * R * R.transpose();
    f.P = bt::stationaryVariance(f.T, f.Q);
    return f;
}

struct Built {
    kel::Value sys, var, init, rtn;
    std::string text;
    int code = 0;
};

Built build(kel::Host &host, const kel::Value &ar, const kel::Value &ma, const kel::Arg &sigma)
{
    Built b;
    b.code = host.tryCall("GetLdsArma", {ar, ma, sigma, kel::ref(b.sys), kel::ref(b.var),
                                         kel::ref(b.init)},
                          &b.rtn, &b.text);
    return b;
}

TEST(Arma, HandWrittenForms)
{
    kel::Host host;
    // AR(1): P = sigma^2 / (1 - phi^2)
    Built a = build(host, kel::Value{{0.6}}, kel::Value::empty(), 2.0);
    ASSERT_EQ(a.code, 0) << a.text;
    EXPECT_EQ(a.rtn.asInt(), 1);
    Form want(1);
    want.T(0, 0) = 0.6;
    want.Z(0) = 1;
    want.Q(0, 0) = 4;
    want.P(0, 0) = 4 / (1 - 0.36);
    EXPECT_TRUE(bt::sameForm(a.sys, a.var, a.init, want, kTol));

    // MA(1): P = sigma^2 [[1 + theta^2, theta], [theta, theta^2]]
    Built m = build(host, kel::Value::empty(), kel::Value{{-0.4}}, 1.5);
    Form wm(2);
    wm.T << 0, 1, 0, 0;
    wm.Z << 1, 0;
    wm.Q << 1, -0.4, -0.4, 0.16;
    wm.Q *= 2.25;
    wm.P << 1.16, -0.4, -0.4, 0.16;
    wm.P *= 2.25;
    EXPECT_TRUE(bt::sameForm(m.sys, m.var, m.init, wm, kTol));

    // a 2 x 2 AR argument holds no coefficients; an int sigma is accepted
    Built n = build(host, kel::Value{{0.5, 0.1}, {0.2, 0.3}}, kel::Value{{-0.4}}, 1);
    EXPECT_TRUE(bt::sameForm(n.sys, n.var, n.init, armaForm({}, {-0.4}, 1.0), kTol));
}

TEST(Arma, StationaryVariance)
{
    kel::Host host;
    struct Case {
        std::vector<double> phi, theta;
        double sigma;
    };
    std::vector<Case> cases = {
        {{0.5, -0.3}, {0.4, 0.2, -0.1}, 0.7},  // ARMA(2, 3): r = 4, phi_3 = phi_4 = 0
        {{1.2, -0.5, 0.1}, {0.3}, 1.3},         // ARMA(3, 1): r = 3
        {{-0.9}, {0.5, 0.5, 0.5, 0.5}, 0.2},    // ARMA(1, 4): r = 5
        {{0.3, 0.2, 0.1, -0.2}, {}, 2.0},       // AR(4)
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.phi.size() * 10 + c.theta.size());
        Form want = armaForm(c.phi, c.theta, c.sigma);
        // row vectors, then column vectors
        Built row = build(host, kel::Value::row(c.phi), kel::Value::row(c.theta), c.sigma);
        ASSERT_EQ(row.code, 0) << row.text;
        EXPECT_TRUE(bt::sameForm(row.sys, row.var, row.init, want, 1e-10));
        Built col = build(host, kel::Value::column(c.phi), kel::Value::column(c.theta), c.sigma);
        EXPECT_TRUE(bt::sameForm(col.sys, col.var, col.init, want, 1e-10));
        Mat P = bdense::fromValue(row.init).topRows(want.m());
        EXPECT_EQ((P - P.transpose()).cwiseAbs().maxCoeff(), 0.0);
    }
}

// The variance solved for its r(r+1)/2 distinct elements agrees to rounding
// with the solve of the whole Kronecker system (I - T (x) T) vec P = vec Q,
// made symmetric as (x_ij + x_ji) / 2.
TEST(Arma, DistinctElementsAgreeWithTheKroneckerSolve)
{
    kel::Host host;
    std::mt19937_64 rng(515);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int p : {1, 3, 7, 14}) {
        for (int q : {0, 2, 9}) {
            SCOPED_TRACE(std::to_string(p) + ", " + std::to_string(q));
            std::vector<double> phi(static_cast<size_t>(p)), theta(static_cast<size_t>(q));
            double sum = 0;
            for (double &x : phi) sum += std::fabs(x = u(rng));
            for (double &x : phi) x *= 0.95 / sum;  // sum |phi| < 1: stationary
            for (double &x : theta) x = u(rng);
            Form f = armaForm(phi, theta, 0.8);
            int r = f.m();
            Mat K = Mat::Identity(r * r, r * r);
            for (int i = 0; i < r; ++i)
                for (int j = 0; j < r; ++j)
                    for (int k = 0; k < r; ++k)
                        for (int l = 0; l < r; ++l) K(i * r + j, k * r + l) -= f.T(i, k) * f.T(j, l);
            Vec b(r * r);
            for (int i = 0; i < r; ++i)
                for (int j = 0; j < r; ++j) b(i * r + j) = f.Q(i, j);
            Vec x = K.partialPivLu().solve(b);
            Mat P(r, r);
            for (int i = 0; i < r; ++i)
                for (int j = 0; j < r; ++j) P(i, j) = (x(i * r + j) + x(j * r + i)) * 0.5;
            f.P = P;
            Built got = build(host, kel::Value::row(phi), kel::Value::row(theta), 0.8);
            ASSERT_EQ(got.code, 0) << got.text;
            EXPECT_TRUE(bt::sameForm(got.sys, got.var, got.init, f, 1e-13 * r));
        }
    }
}

// Orders past the limit, scales whose square overflows and forms with
// elements that overflow.
TEST(Arma, Limits)
{
    kel::Host host;
    std::vector<double> ar54(54, 0.0), ma53(53, 0.1);
    ar54[0] = 0.5;
    kel::Value s, v, i;
    auto refs = [&](const kel::Value &ar, const kel::Value &ma, double sigma) {
        return std::vector<kel::Arg>{ar, ma, sigma, kel::ref(s), kel::ref(v), kel::ref(i)};
    };
    bt::expectRuntimeError(host, "GetLdsArma", refs(kel::Value::row(ar54), kel::Value::empty(), 1.0),
                           "GetLdsArma(): at most 53 coefficients allowed in argument 1");
    bt::expectRuntimeError(host, "GetLdsArma", refs(kel::Value{{0.5}}, kel::Value::column(ma53), 1.0),
                           "GetLdsArma(): at most 52 coefficients allowed in argument 2");
    EXPECT_FALSE(s.isMatrix());
    for (double sigma : {1.35e154, -1e155, std::nan("")})
        bt::expectRuntimeError(host, "GetLdsArma", refs(kel::Value{{0.5}}, kel::Value::empty(), sigma),
                               "GetLdsArma(): standard deviation not appropriate in argument 3");
    // sigma^2 = 1e308 is a variance; with theta = 2 the MA part overflows
    Built edge = build(host, kel::Value{{0.0}}, kel::Value::empty(), 1e154);
    ASSERT_EQ(edge.rtn.asInt(), 1);
    EXPECT_EQ(edge.var(0, 0), 1e154 * 1e154);
    host.clearMessages();
    Built over = build(host, kel::Value::empty(), kel::Value{{2.0}}, 1e154);
    EXPECT_EQ(over.code, 0);
    EXPECT_EQ(over.rtn.asInt(), 0);
    EXPECT_EQ(host.messages(), std::vector<std::string>{kSystemError});
}

TEST(Arma, Failures)
{
    kel::Host host;
    long before = kelhost_live_blocks();
    // no coefficients: a message, result 0, nothing allocated
    Built none = build(host, kel::Value::empty(), kel::Value::matrix(0, 3), 1.0);
    EXPECT_EQ(none.code, 0);
    EXPECT_EQ(none.rtn.asInt(), 0);
    EXPECT_FALSE(none.sys.isMatrix());
    EXPECT_FALSE(none.init.isMatrix());
    ASSERT_EQ(host.messages().size(), 1u);
    EXPECT_EQ(host.messages()[0], kSystemError);

    // unit root: GetLdsArma refuses it (below); the builder fills Sys and
    // Var, leaves Init zero and fails
    Form w = armaForm({}, {0.5}, 1.0);
    w.T(0, 0) = 1.0;
    std::vector<double> ar1 = {1.0, 0.0}, ma1 = {1.0, 0.5};
    bdense::Rows sys(3, 2, 7.0), var(3, 3, 7.0), init(3, 2, 7.0);
    EXPECT_EQ(fGetLdsUnivArma(2, 0, 0, ar1.data(), ma1.data(), sys.p(), var.p(), init.p(), 1.0), 0);
    EXPECT_TRUE(bdense::near(sys.toMat(), w.sys(), 0));
    EXPECT_TRUE(bdense::near(var.toMat(), w.var(), 0));
    EXPECT_TRUE(bdense::near(init.toMat(), Mat::Zero(3, 2), 0));
    EXPECT_EQ(kelhost_live_blocks(), before);

    kel::Value ar = {{0.5}}, ma = kel::Value::empty(), s, v, i;
    bt::expectRuntimeError(host, "GetLdsArma", {ar, ma, 1.0, kel::ref(s), kel::ref(v)},
                           "GetLdsArma(): six arguments required");
    EXPECT_EQ(bt::failure(host, "GetLdsArma", {ar, ma, ar, kel::ref(s), kel::ref(v), kel::ref(i)}).code,
              KELHOST_ERR_TYPE);
    EXPECT_EQ(bt::failure(host, "GetLdsArma", {ar, ma, 1.0, kel::ref(s), v, kel::ref(i)}).code,
              KELHOST_ERR_TYPE);
    bt::expectRuntimeError(host, "GetLdsArma", {ar, ma, 1.0, kel::ref(s), kel::ref(s), kel::ref(i)},
                           "GetLdsArma(): result arguments must refer to distinct variables");
    bt::expectRuntimeError(host, "GetLdsArma", {ar, ma, 1.0, kel::ref(s), kel::ref(v), kel::ref(ar)},
                           "GetLdsArma(): result arguments must refer to distinct variables");

    // allocation failures: result storage is an error, work storage a message
    int failures = 0;
    for (long after = 0;; ++after) {
        host.clearMessages();
        kelhost_fail_allocations_after(after);
        Built b = build(host, kel::Value{{0.5, 0.2}}, kel::Value{{0.3}}, 1.0);
        kelhost_fail_allocations_after(-1);
        EXPECT_EQ(kelhost_live_blocks(), before);
        if (b.code == 0 && b.rtn.asInt() == 1) break;
        ++failures;
        if (b.code != 0) {
            EXPECT_EQ(b.code, KELHOST_ERR_RUNTIME);
            EXPECT_EQ(b.text, "GetLdsArma(): memory allocation failure");
        } else {
            ASSERT_EQ(host.messages().size(), 1u);
            EXPECT_EQ(host.messages()[0], kSystemError);
        }
        ASSERT_LT(after, 20);
    }
    EXPECT_GE(failures, 8);  // 3 results, 2 coefficient arrays, W, b, x
}

// Largest modulus of the eigenvalues of the companion transition of phi.
double spectralRadius(const std::vector<double> &phi)
{
    return armaForm(phi, {}, 1.0).T.eigenvalues().cwiseAbs().maxCoeff();
}

// AR coefficients whose transition has an eigenvalue of modulus 1 or more
// are refused, whether the stationarity system is singular (a unit root)
// or regular (an explosive root, where it solves for an indefinite "P");
// sets just inside the unit circle are accepted, with a variance solving
// P = T P T' + Q.  Random sets built from their roots are judged by the
// largest root modulus.
TEST(Arma, ArCoefficientsMustBeStationary)
{
    kel::Host host;
    const std::string kRefused = "GetLdsArma(): AR coefficients not stationary in argument 1";
    kel::Value s, v, i, ar, ma = {{0.3}};
    auto args = [&](const std::vector<double> &phi) {
        ar = kel::Value::row(phi);
        return std::vector<kel::Arg>{ar, ma, 1.0, kel::ref(s), kel::ref(v), kel::ref(i)};
    };
    const std::vector<std::vector<double>> refused = {
        {1.0}, {-1.0}, {1.5},    // unit roots, an explosive root
        {0.5, 0.5},              // unit root of an AR(2)
        {0.2, -1.1},             // complex pair of modulus sqrt(1.1)
        {2.5, -1.0},             // roots 2 and 0.5
        {0.5, 0.3, 0.25},        // a real root above 1
        {0.0, 0.0, 0.0, 1.0},    // the fourth roots of unity
        {1.5, 0.0},              // trailing zero
    };
    for (const auto &phi : refused) {
        SCOPED_TRACE(phi.size() * 100 + phi[0] * 10);
        EXPECT_GE(spectralRadius(phi), 1.0 - 1e-12);
        bt::expectRuntimeError(host, "GetLdsArma", args(phi), kRefused);
    }
    bt::expectRuntimeError(host, "GetLdsArma", args({0.5, std::nan("")}), kRefused);
    EXPECT_FALSE(s.isMatrix());

    // roots 0.9999; 0.999 exp(+-0.3i); 0.995, -0.99, 0.5
    const double rho = 0.999, a = 0.995, b = -0.99, c = 0.5;
    const std::vector<std::vector<double>> inside = {
        {0.9999}, {2 * rho * std::cos(0.3), -rho * rho}, {a + b + c, -(a * b + a * c + b * c), a * b * c}};
    for (const auto &phi : inside) {
        SCOPED_TRACE(phi.size());
        Built got = build(host, kel::Value::row(phi), kel::Value{{0.3}}, 1.0);
        ASSERT_EQ(got.code, 0) << got.text;
        ASSERT_EQ(got.rtn.asInt(), 1);
        Form f = armaForm(phi, {0.3}, 1.0);
        Mat P = bdense::fromValue(got.init).topRows(f.m());
        Mat residual = P - f.T * P * f.T.transpose() - f.Q;
        EXPECT_LE(residual.cwiseAbs().maxCoeff(), 1e-9 * P.cwiseAbs().maxCoeff());
        EXPECT_GT(Eigen::SelfAdjointEigenSolver<Mat>(P).eigenvalues().minCoeff(), 0.0);
    }
    EXPECT_NEAR(bdense::fromValue(build(host, kel::Value{{0.9999}}, kel::Value::empty(), 1.0).init)(0, 0),
                1.0 / (1.0 - 0.9999 * 0.9999), 1e-8 / (1.0 - 0.9999 * 0.9999));

    std::mt19937_64 rng(77);
    std::uniform_real_distribution<double> modulus(0.3, 1.3), angle(0.0, M_PI);
    int accepted = 0, refusedCount = 0;
    for (int trial = 0; trial < 300; ++trial) {
        // (z - r1)...(z - rp) = z^p - phi_1 z^(p-1) - ... - phi_p, from
        // real roots and complex pairs
        std::vector<double> poly = {1.0};
        double largest = 0.0;
        const int p = 1 + trial % 6;
        while (int(poly.size()) <= p) {
            double r = modulus(rng), t = angle(rng);
            std::vector<double> factor = {1.0, -r * (t < 1.0 ? 2 * std::cos(t) : 1.0), r * r};
            if (t >= 1.0 || int(poly.size()) == p) factor = {1.0, t < 2.0 ? -r : r};
            std::vector<double> next(poly.size() + factor.size() - 1, 0.0);
            for (size_t i = 0; i < poly.size(); ++i)
                for (size_t j = 0; j < factor.size(); ++j) next[i + j] += poly[i] * factor[j];
            poly = next;
            largest = std::max(largest, r);
        }
        if (std::fabs(largest - 1.0) < 1e-6) continue;
        std::vector<double> phi;
        for (int k = 1; k <= p; ++k) phi.push_back(-poly[size_t(k)]);
        SCOPED_TRACE(trial);
        kel::Value rtn;
        std::string text;
        int code = host.tryCall("GetLdsArma", args(phi), &rtn, &text);
        if (largest < 1.0) {
            EXPECT_EQ(code, 0) << text;
            ++accepted;
        } else {
            EXPECT_EQ(text, kRefused);
            ++refusedCount;
        }
    }
    EXPECT_GT(accepted, 60);
    EXPECT_GT(refusedCount, 60);
}

// Observation of the form simulated from a random start: y_t = Z x_t,
// x_{t+1} = T x_t + R e_t, with R taken from the MA array.
TEST(Arma, DifferenceStates)
{
    std::mt19937_64 rng(11);
    std::normal_distribution<double> n01;
    const std::vector<double> phi = {0.5, -0.2}, theta = {0.4};
    const int n = 40;
    struct Case { int d, s; };
    for (Case c : {Case{0, 0}, Case{1, 0}, Case{2, 0}, Case{0, 4}, Case{1, 4}, Case{2, 3}, Case{0, 1}}) {
        SCOPED_TRACE(testing::Message() << "d " << c.d << " s " << c.s);
        int nd = c.d + c.s, r = nd + 2;
        std::vector<double> ar(r, 0.0), ma(r, 0.0);
        ar[nd] = phi[0];
        ar[nd + 1] = phi[1];
        ma[nd] = 1.0;
        ma[nd + 1] = theta[0];
        bdense::Rows sys(r + 1, r, 7.0), var(r + 1, r + 1, 7.0), init(r + 1, r, 7.0);
        ASSERT_EQ(fGetLdsUnivArma(r, c.d, c.s, ar.data(), ma.data(), sys.p(), var.p(), init.p(), 0.8), 1);
        Mat S = sys.toMat(), T = S.topRows(r), V = var.toMat(), I = init.toMat();
        Vec Z = S.row(r).transpose();
        // ARMA block and its variance
        Form want = armaForm(phi, theta, 0.8);
        EXPECT_TRUE(bdense::near(T.bottomRightCorner(2, 2), want.T, 0));
        EXPECT_TRUE(bdense::near(V.block(nd, nd, 2, 2), want.Q, kTol));
        EXPECT_TRUE(bdense::near(I.block(nd, nd, 2, 2), want.P, 1e-10));
        EXPECT_TRUE(bdense::near(V.row(r), Mat::Zero(1, r + 1), 0));
        EXPECT_TRUE(bdense::near(I.row(r), Mat::Zero(1, r), 0));
        for (int i = 0; i < nd; ++i) EXPECT_EQ(I(i, i), -1.0);

        // (1 - L)^d (1 - L^s) y_t must be the ARMA block's first element
        Vec x(r), R = Vec::Zero(r);
        R(nd) = 1;
        R(nd + 1) = theta[0];
        for (int i = 0; i < r; ++i) x(i) = n01(rng);
        std::vector<double> y, arma;
        for (int t = 0; t < n; ++t) {
            y.push_back(Z.dot(x));
            arma.push_back(x(nd));
            x = (T * x + R * n01(rng)).eval();
        }
        std::vector<double> w = y;
        for (int k = 0; k < c.d; ++k)
            for (int t = n - 1; t > 0; --t) w[t] -= w[t - 1];
        if (c.s > 0)
            for (int t = n - 1; t >= c.s; --t) w[t] -= w[t - c.s];
        for (int t = nd; t < n; ++t) EXPECT_NEAR(w[t], arma[t], 1e-12 * (1 + std::fabs(y[t]))) << t;
    }
    // undefined difference orders and too few states are refused
    std::vector<double> ar(6, 0.1), ma(6, 1.0);
    bdense::Rows sys(7, 6), var(7, 7), init(7, 6);
    EXPECT_EQ(fGetLdsUnivArma(6, 3, 0, ar.data(), ma.data(), sys.p(), var.p(), init.p(), 1.0), 0);
    EXPECT_EQ(fGetLdsUnivArma(6, -1, 0, ar.data(), ma.data(), sys.p(), var.p(), init.p(), 1.0), 0);
    EXPECT_EQ(fGetLdsUnivArma(6, 1, 5, ar.data(), ma.data(), sys.p(), var.p(), init.p(), 1.0), 0);
}

// Autocovariances of an ARMA(p, q) from its MA(infinity) weights.
std::vector<double> autocovariances(const std::vector<double> &phi,
                                    const std::vector<double> &theta, double sigma, int lags)
{
    const int kWeights = 4000;
    std::vector<double> psi(kWeights, 0.0);
    for (int j = 0; j < kWeights; ++j) {
        double v = j == 0 ? 1.0 : (j <= int(theta.size()) ? theta[j - 1] : 0.0);
        for (int i = 0; i < int(phi.size()) && i < j; ++i) v += phi[i] * psi[j - 1 - i];
        psi[j] = v;
    }
    std::vector<double> g(lags, 0.0);
    for (int h = 0; h < lags; ++h)
        for (int j = 0; j + h < kWeights; ++j) g[h] += sigma * sigma * psi[j] * psi[j + h];
    return g;
}

TEST(Arma, LikelihoodIsExactGaussian)
{
    const std::vector<double> phi = {0.6, -0.25}, theta = {0.45};
    const double sigma = 1.3;
    const int n = 60;
    std::mt19937_64 rng(5);
    std::normal_distribution<double> n01;
    Vec y(n);
    for (int t = 0; t < n; ++t) y(t) = 2.0 * n01(rng);

    std::vector<double> g = autocovariances(phi, theta, sigma, n);
    Mat G(n, n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) G(i, j) = g[std::abs(i - j)];
    Eigen::LLT<Mat> llt(G);
    ASSERT_EQ(llt.info(), Eigen::Success);
    double logdet = 2.0 * llt.matrixL().toDenseMatrix().diagonal().array().log().sum();
    double quad = y.dot(llt.solve(y));
    double want = -0.5 * (n * std::log(2.0 * M_PI) + logdet + quad);

    kel::Host host;
    Built b = build(host, kel::Value::row(phi), kel::Value::row(theta), sigma);
    ASSERT_EQ(b.code, 0) << b.text;
    kel::Value ll, s2, data = bdense::toValue(Mat(y.transpose()));
    host.call("LdsLik", {kel::ref(ll), kel::ref(s2), data, b.sys, b.var, b.init});
    EXPECT_NEAR(ll.asDouble(), want, 1e-10 * std::fabs(want));
}

}  // namespace
