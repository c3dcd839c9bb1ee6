// LdsWeights against the dense joint Gaussian: the weights of series i in
// the estimate of alpha_tau (and of the signal Z_tau alpha_tau) are the
// columns of Cov(q, y_obs) Var(y_obs)^-1 that belong to series i, with
// y_obs the observations before tau (predicted), up to tau (filtered) or
// all of them (smoothed).
#include <sstream>

#include <gtest/gtest.h>

#include "smooth/smooth_fixture.hpp"
#include "weights/weights.h"

namespace {

using namespace smo;

const int kPredicted = 0, kSmoothed = 1, kFilterOnly = 3, kFiltered = 5;
const char kUnknown[] = "LdsWeights(): unknown error";

// The pattern: NaN where Y is missing, zeros elsewhere, and the target
// marked with 1.0 (or -1.0 when its own observation is missing).
Mat blank(const Case &c)
{
    Mat P = Mat::Zero(c.N(), c.n());
    for (int k = 0; k < c.N(); k++)
        for (int t = 0; t < c.n(); t++)
            if (std::isnan(c.Y(k, t))) P(k, t) = kNaN;
    return P;
}

Mat pattern(const Case &c, int i, int tau)
{
    Mat P = blank(c);
    P(i, tau) = std::isnan(c.Y(i, tau)) ? -1.0 : 1.0;
    return P;
}

// One call on fresh copies of the form: the call writes time-varying
// values into the Sys and Var it is given.
Mat weights(kel::Host &host, const Case &c, int sel, const Mat &P)
{
    HostArgs form(c, &P);
    return dense::fromValue(host.call("LdsWeights", form.with({sel})));
}

int upto(int sel, int tau, int n) { return sel == kPredicted ? tau : sel == kFiltered ? tau + 1 : n; }

// Every column, state and signal rows, for every series and code at the
// given target times.
void checkAgainstDense(kel::Host &host, const Case &c, std::vector<int> taus, double tol)
{
    SCOPED_TRACE(c.name);
    const int m = c.m(), N = c.N();
    dense::Joint joint = c.joint();
    for (int sel : {kPredicted, kFiltered, kSmoothed})
        for (int tau : taus)
            for (int i = 0; i < N; i++) {
                SCOPED_TRACE("sel " + std::to_string(sel) + " tau " + std::to_string(tau) +
                             " series " + std::to_string(i));
                Mat got = weights(host, c, sel, pattern(c, i, tau));
                ASSERT_EQ(got.rows(), c.d());
                ASSERT_EQ(got.cols(), c.n());
                const int k = upto(sel, tau, c.n());
                Mat state = joint.estimator(joint.state(tau), c.Y, k).weight[i];
                Mat signal = joint.estimator(joint.signal(tau), c.Y, k).weight[i];
                EXPECT_TRUE(dense::near(got.topRows(m), state, tol));
                EXPECT_TRUE(dense::near(got.bottomRows(N), signal, tol));
            }
}

// N = 1, diffuse, with an observation variance that varies over time and
// ends far above the rest of Var's diagonal: the run up to tau must take
// Vbig from the same diagonal as the full run did.
Case varyingVarianceCase()
{
    Case c = diffuseCase();
    c.name = "diffuse, time-varying H";
    c.timeVarying = true;
    c.tv.idxVar = Eigen::MatrixXi::Constant(3, 3, -1);
    c.tv.idxVar(2, 2) = 0;
    c.tv.X = Mat(1, c.n());
    for (int t = 0; t < c.n(); t++) c.tv.X(0, t) = 0.5 + t * t;
    return c;
}

TEST(LdsWeights, MatchDenseEstimator)
{
    kel::Host host;
    // Target times include the first one (for several series too), a
    // missing observation (the target's own, or one series'), the last.
    checkAgainstDense(host, univCase(), {0, 3, 4, 6}, 1e-9);
    checkAgainstDense(host, multiCase(), {0, 2, 5, 7}, 1e-9);
    checkAgainstDense(host, wideCase(), {0, 4, 5}, 1e-9);
    checkAgainstDense(host, largeCase(), {1, 6}, 1e-9);
    // Diffuse: terms of size Vbig ~ 1e7 cancel, about 7 digits are lost.
    checkAgainstDense(host, diffuseCase(), {0, 1, 6, 8}, 1e-6);
    checkAgainstDense(host, varyingVarianceCase(), {0, 1, 2}, 1e-6);
    EXPECT_TRUE(host.messages().empty());
}

// Applied to the data, the weights give LdsMomentEst's states, up to the
// part that does not depend on the data.
TEST(LdsWeights, ReproduceMomentEstimates)
{
    kel::Host host;
    for (const Case &c : {univCase(), multiCase()}) {
        SCOPED_TRACE(c.name);
        dense::Joint joint = c.joint();
        for (int sel : {kPredicted, kFiltered, kSmoothed}) {
            kel::Value moments;
            HostArgs form(c);
            host.call("LdsMomentEst", form.with({sel, kel::ref(moments)}));
            for (int tau = 0; tau < c.n(); tau++) {
                Vec est = joint.estimator(joint.state(tau), c.Y, upto(sel, tau, c.n())).constant;
                for (int i = 0; i < c.N(); i++) {
                    Mat w = weights(host, c, sel, pattern(c, i, tau)).topRows(c.m());
                    for (int t = 0; t < c.n(); t++)
                        if (!std::isnan(c.Y(i, t))) est += w.col(t) * c.Y(i, t);
                }
                EXPECT_TRUE(dense::near(est, column(moments, 0, c.m(), tau), 1e-9))
                    << "sel " << sel << " tau " << tau;
            }
        }
    }
}

TEST(LdsWeights, TargetSearchSelectionsAndCallerMatrices)
{
    kel::Host host;
    Case c = multiCase();
    const int n = c.n();
    // A -1.0 ahead of the 1.0 in the search order (series 0 first) is the
    // target; values other than 0, NaN and -1.0 do not matter.
    Mat P = blank(c);
    P(1, 1) = 1.0;
    P(0, 6) = -1.0;
    Mat Y = c.Y;
    Y(0, 6) = kNaN;
    Case withMissing = c;
    withMissing.Y = Y;
    Mat want = weights(host, withMissing, kSmoothed, pattern(withMissing, 0, 6));
    EXPECT_TRUE(dense::near(weights(host, c, kSmoothed, P), want, 0.0));
    // After the target a -1.0 is only a missing observation.
    Mat later = pattern(c, 0, 1), asNaN = later;
    later(1, 6) = -1.0;
    asNaN(1, 6) = kNaN;
    EXPECT_TRUE(dense::near(weights(host, c, kSmoothed, later), weights(host, c, kSmoothed, asNaN), 0.0));
    EXPECT_FALSE(dense::near(weights(host, c, kSmoothed, later), weights(host, c, kSmoothed, pattern(c, 0, 1)), 0.0));
    P(0, 6) = 0.0;
    P(1, 3) = 7.5;
    EXPECT_TRUE(dense::near(weights(host, c, kSmoothed, P), weights(host, c, kSmoothed, pattern(c, 1, 1)), 0.0));
    // Nothing marked: the last series at the last time point.
    Mat none = blank(c);
    EXPECT_TRUE(dense::near(weights(host, c, kFiltered, none),
                            weights(host, c, kFiltered, pattern(c, 1, n - 1)), 0.0));
    // Selection 3 runs the filter and returns zeros.
    EXPECT_TRUE(weights(host, c, kFilterOnly, none).isZero(0.0));
    for (int sel : {2, 4, -1}) {
        std::string text;
        HostArgs form(c, &none);
        EXPECT_EQ(host.tryCall("LdsWeights", form.with({sel}), nullptr, &text), KELHOST_ERR_RUNTIME);
        EXPECT_EQ(text, "LdsWeights(): no valid selection in first argument");
    }
    // No copies: after the predicted weights at tau = 4 the caller's Sys
    // holds the values of time 4, its Var those of the last time point.
    kel::Value sys = dense::toValue(c.s.sys), var = dense::toValue(c.s.var);
    std::vector<kel::Value> rest;
    for (const Mat &M : {Mat(pattern(c, 0, 4)), c.init, Mat(c.s.mean), Mat(c.tv.idxSys.cast<double>()),
                         Mat(c.tv.idxVar.cast<double>())})
        rest.push_back(dense::toValue(M));
    host.call("LdsWeights", {kPredicted, rest[0], sys, var, rest[1], rest[2], rest[3], rest[4],
                             kel::Value::empty(), dense::toValue(c.tv.X)});
    EXPECT_EQ(sys(2, 1), c.tv.X(0, 4));
    EXPECT_EQ(sys(0, 0), c.tv.X(1, 4));
    EXPECT_EQ(var(3, 3), c.tv.X(2, n - 1));
}

TEST(LdsWeights, FailuresAreErrors)
{
    kel::Host host;
    std::string text;
    // One series, F = 0 at the first observation: zero Z row and H.
    Case u = univCase();
    u.s.sys.row(2).setZero();
    u.s.var.row(2).setZero();
    u.s.var.col(2).setZero();
    Mat P = pattern(u, 0, 4);
    for (int sel : {kPredicted, kFiltered, kSmoothed, kFilterOnly}) {
        HostArgs form(u, &P);
        kel::Value rtn;
        EXPECT_EQ(host.tryCall("LdsWeights", form.with({sel}), &rtn, &text), KELHOST_ERR_RUNTIME);
        EXPECT_EQ(text, kUnknown);
    }
    // No observation at all to count.
    Mat empty = Mat::Constant(2, 8, kNaN);
    empty(0, 3) = -1.0;
    HostArgs form(multiCase(), &empty);
    EXPECT_EQ(host.tryCall("LdsWeights", form.with({kSmoothed}), nullptr, &text), KELHOST_ERR_RUNTIME);
    EXPECT_EQ(text, kUnknown);
    EXPECT_TRUE(host.messages().empty());

    // Allocation failures: the memory error, or for the filter's own
    // allocation the unknown error; nothing left allocated.
    Case c = multiCase();
    Mat Pm = pattern(c, 1, 3);
    HostArgs args(c, &Pm);
    const long baseline = kelhost_live_blocks();
    for (long k = 0;; k++) {
        kelhost_fail_allocations_after(k);
        kel::Value result;
        int code = host.tryCall("LdsWeights", args.with({kSmoothed}), &result, &text);
        kelhost_fail_allocations_after(-1);
        EXPECT_EQ(kelhost_live_blocks(), baseline) << "after " << k;
        if (code == 0) break;
        if (code == KELHOST_ERR_RUNTIME)
            EXPECT_EQ(text, kUnknown);
        else
            EXPECT_EQ(code, KEL_ERROR_MEMORY) << "after " << k;
        EXPECT_FALSE(result.isMatrix());
        ASSERT_LT(k, 100);
    }
}

}  // namespace

namespace {

using namespace smo;

// Direct calls: a target outside the series is refused, and the two
// members of the pair differ as documented on a store whose innovation is
// NaN beside a non-zero gain: the routine for one series uses the gain.
TEST(WeightRecursions, DirectCalls)
{
    kel::Host host;
    Case c = univCase();
    HostArgs form(c);
    Mat store = dense::fromValue(host.call("KalmanFil", form.with({})));
    store(0, 1) = kNaN;
    const int m = c.m(), p = c.d(), n = c.n();
    dense::Rows st(store), sys(c.s.sys), P(p + 1, p), A(p + 2, p), univ(p, n, 9.0), multi(p, n);
    EXPECT_EQ(fUnivWeightPred(n, n, m, sys.p(), nullptr, nullptr, P.p(), A.p(), st.p(), univ.p()), 0);
    EXPECT_EQ(fMultiWeightPred(1, n, 2, 1, m, sys.p(), nullptr, nullptr, P.p(), A.p(), st.p(), multi.p()), 0);
    EXPECT_TRUE(univ.toMat().isConstant(9.0));
    ASSERT_EQ(fUnivWeightPred(n, 4, m, sys.p(), nullptr, nullptr, P.p(), A.p(), st.p(), univ.p()), 1);
    ASSERT_EQ(fMultiWeightPred(1, n, 4, 0, m, sys.p(), nullptr, nullptr, P.p(), A.p(), st.p(), multi.p()), 1);
    EXPECT_TRUE(multi.toMat().col(1).isZero(0.0));
    EXPECT_FALSE(univ.toMat().col(1).isZero(0.0));
    EXPECT_TRUE(dense::near(univ.toMat().rightCols(n - 2), multi.toMat().rightCols(n - 2), 0.0));
}

}  // namespace

namespace {

using namespace smo;

// The values of a pattern carry no meaning beyond its marks: any value
// other than 0, NaN and -1.0 at the target or after it (in the search
// order) gives the weights of the pattern written with 0, 1, -1 and NaN,
// bit for bit, for every code.  The pattern's values never reach the
// filter as observations.
TEST(LdsWeights, PatternValuesCarryNoMeaning)
{
    const double kInf = std::numeric_limits<double>::infinity();
    const double kSub = std::numeric_limits<double>::denorm_min();
    const std::vector<double> observed = {0.0, 1.0, kInf, -kInf, 1e308, -1e308, kSub, -0.0, 3.5};
    const std::vector<double> targets = {1.0, kInf, -kInf, 1e308, -1e308, kSub, -kSub, 1e-300};

    Case level;
    level.name = "local level";
    level.s.sys = Mat::Ones(2, 1);
    level.s.var = Mat::Zero(2, 2);
    level.s.var(0, 0) = 0.5;
    level.s.var(1, 1) = 1.0;
    level.s.mean = Vec::Zero(2);
    level.Y = Mat::Zero(1, 7);

    kel::Host host;
    for (const Case &c : {level, univCase(), multiCase(), wideCase()}) {
        const int N = c.N(), n = c.n();
        for (int i = 0; i < N; i++)
            for (int tau : {1, n / 2, n - 1}) {
                const Mat canon = pattern(c, i, tau);
                const bool missing = canon(i, tau) == -1.0;
                for (int sel : {kPredicted, kSmoothed, kFilterOnly, kFiltered}) {
                    SCOPED_TRACE(c.name + " sel " + std::to_string(sel) + " tau " +
                                 std::to_string(tau) + " series " + std::to_string(i));
                    const Mat want = weights(host, c, sel, canon);
                    for (size_t v = 0; v < (missing ? 1 : targets.size()); v++) {
                        // Before the target only zeros (either sign) and
                        // NaN; after it every value, -1.0 and NaN for the
                        // missing elements.
                        Mat P = canon;
                        size_t k = v;
                        for (int s = 0; s < N; s++)
                            for (int t = 0; t < n; t++) {
                                const bool after = s > i || (s == i && t > tau);
                                if (s == i && t == tau)
                                    P(s, t) = missing ? -1.0 : targets[v];
                                else if (std::isnan(canon(s, t)))
                                    P(s, t) = after && (k++ % 2) ? -1.0 : kNaN;
                                else
                                    P(s, t) = after ? observed[k++ % observed.size()]
                                                    : (k++ % 2 ? -0.0 : 0.0);
                            }
                        std::ostringstream value;
                        value << "target value " << P(i, tau);
                        SCOPED_TRACE(value.str());
                        kel::Value rtn;
                        std::string text;
                        HostArgs form(c, &P);
                        ASSERT_EQ(host.tryCall("LdsWeights", form.with({sel}), &rtn, &text), 0)
                            << text;
                        EXPECT_TRUE(dense::near(dense::fromValue(rtn), want, 0.0));
                    }
                }
            }
    }
    EXPECT_TRUE(host.messages().empty());
}

}  // namespace
