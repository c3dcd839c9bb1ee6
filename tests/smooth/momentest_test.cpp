// LdsMomentEst against the dense conditioning of the whole model:
// predicted moments condition on y_0..y_{t-1}, filtered ones on y_0..y_t,
// smoothed ones on everything.
#include <gtest/gtest.h>

#include "smooth_fixture.hpp"

namespace {

using namespace smo;

const int kPredicted = 0, kSmoothState = 1, kSmoothDisturb = 3, kFiltered = 5;

struct MomentRun {
    kel::Value result;   // (m+1) x m
    kel::Value moments;  // 2d x n
};

MomentRun moments(kel::Host &host, const Case &c, int sel)
{
    MomentRun r;
    HostArgs form(c);
    r.result = host.call("LdsMomentEst", form.with({sel, kel::ref(r.moments)}));
    return r;
}

// The (m+1) x m layout of a variance over a mean.
Mat stacked(const Mat &var, const Vec &mean)
{
    Mat out(var.rows() + 1, var.cols());
    out.topRows(var.rows()) = var;
    out.row(var.rows()) = mean.transpose();
    return out;
}

// Column t as the library lays it out: means in rows 0..d-1, variance
// diagonals in rows d..2d-1.
Vec expectedColumn(const Vec &stateMean, const Mat &stateVar, const Vec &obsMean,
                   const Vec &obsVar)
{
    const int m = int(stateMean.size()), N = int(obsMean.size()), d = m + N;
    Vec col(2 * d);
    col << stateMean, obsMean, stateVar.diagonal(), obsVar;
    return col;
}

void checkForward(kel::Host &host, const Case &c, int sel, double tol)
{
    SCOPED_TRACE(c.name + " selection " + std::to_string(sel));
    const int m = c.m(), N = c.N(), d = c.d(), n = c.n();
    MomentRun r = moments(host, c, sel);
    ASSERT_EQ(r.moments.rows(), 2 * d);
    ASSERT_EQ(r.moments.cols(), n);
    dense::Joint joint = c.joint();
    std::vector<dense::System> sys = c.systems();
    for (int t = 0; t < n; t++) {
        SCOPED_TRACE("t = " + std::to_string(t));
        const dense::System &st = sys.size() == 1 ? sys[0] : sys[t];
        dense::Posterior post = joint.condition(c.Y, sel == kFiltered ? t + 1 : t);
        dense::Moments state = post.of(joint.state(t));
        Vec obsMean, obsVar;
        if (sel == kPredicted) {
            // The predicted observation and its variance F_t.
            dense::Moments obs = post.of(joint.obs(t));
            obsMean = obs.mean;
            obsVar = obs.var.diagonal();
        } else {
            // The filtered signal with its constant; its variance keeps the
            // observation noise: V(Z alpha_t | y_0..y_t) + H_t.
            dense::Moments sig = post.of(joint.signal(t));
            obsMean = sig.mean + st.mean.tail(N);
            obsVar = sig.var.diagonal() + st.var.bottomRightCorner(N, N).diagonal();
        }
        Vec want = expectedColumn(state.mean, state.var, obsMean, obsVar);
        EXPECT_TRUE(dense::near(column(r.moments, 0, 2 * d, t), want, tol));
    }
    dense::Moments beyond = joint.condition(c.Y, n).of(joint.state(n));
    EXPECT_TRUE(dense::near(dense::fromValue(r.result), stacked(beyond.var, beyond.mean), tol));
    (void)m;
}

// Elementwise comparison in which the variance rows get an extra absolute
// allowance: P_t - P_t N P_t cancels terms of size |P_t|^2 |N|, which for
// diffuse elements (|P_t| ~ Vbig ~ 1e7) loses everything below
// eps Vbig^2 ~ 1e-2 at the first time points.
testing::AssertionResult nearColumn(const Vec &got, const Vec &want, int d, double tol,
                                    double varSlack)
{
    for (int i = 0; i < 2 * d; i++) {
        double allowed = tol * std::max(1.0, std::fabs(want(i))) + (i >= d ? varSlack : 0.0);
        if (!(std::fabs(got(i) - want(i)) <= allowed))
            return testing::AssertionFailure()
                   << "row " << i << ": got " << dense::full(got(i)) << ", expected "
                   << dense::full(want(i)) << ", allowed " << dense::full(allowed);
    }
    return testing::AssertionSuccess();
}

void checkSmoothed(kel::Host &host, const Case &c, int sel, double tol)
{
    SCOPED_TRACE(c.name + " selection " + std::to_string(sel));
    const int d = c.d(), n = c.n();
    MomentRun r = moments(host, c, sel);
    dense::SmoothRef ref = c.smoothed();
    std::vector<dense::System> sys = c.systems();
    dense::Joint joint = c.joint();
    for (int t = 0; t < n; t++) {
        double scale = joint.condition(c.Y, t).of(joint.state(t)).var.diagonal().maxCoeff();
        double zmax = std::max(1.0, c.s.sys.cwiseAbs().maxCoeff());
        double varSlack = 16 * kEps * scale * scale * zmax * zmax;
        SCOPED_TRACE("t = " + std::to_string(t));
        Vec want(2 * d);
        if (sel == kSmoothState) {
            // The smoothed signal carries neither the constant nor the
            // observation noise.
            want = expectedColumn(ref.state[t].mean, ref.state[t].var, ref.signal[t].mean,
                                  ref.signal[t].var.diagonal());
        } else {
            // Var D Var = Var - V(eps_t | y), the variance of the estimate.
            const Mat &var = (sys.size() == 1 ? sys[0] : sys[t]).var;
            want << ref.disturbance[t].mean, (var - ref.disturbance[t].var).diagonal();
        }
        EXPECT_TRUE(nearColumn(column(r.moments, 0, 2 * d, t), want, d, tol, varSlack));
    }
    EXPECT_TRUE(dense::near(dense::fromValue(r.result), stacked(ref.N0, ref.r0), tol));
}

TEST(LdsMomentEst, PredictedAndFilteredMatchDenseConditioning)
{
    kel::Host host;
    for (int sel : {kPredicted, kFiltered}) {
        checkForward(host, univCase(), sel, 1e-10);
        checkForward(host, multiCase(), sel, 1e-10);
        checkForward(host, wideCase(), sel, 1e-10);
        checkForward(host, largeCase(), sel, 1e-10);
        // Diffuse elements: moments of size Vbig next to O(1) ones.
        checkForward(host, diffuseCase(), sel, 1e-6);
    }
    EXPECT_TRUE(host.messages().empty());
}

TEST(LdsMomentEst, SmoothedStatesAndDisturbancesMatchDenseConditioning)
{
    kel::Host host;
    for (int sel : {kSmoothState, kSmoothDisturb}) {
        checkSmoothed(host, univCase(), sel, 1e-10);
        checkSmoothed(host, multiCase(), sel, 1e-10);
        checkSmoothed(host, wideCase(), sel, 1e-10);
        checkSmoothed(host, largeCase(), sel, 1e-10);
        checkSmoothed(host, diffuseCase(), sel, 1e-6);
        // With the cases above, every state count below four, for which
        // the state smoother's loop is compiled, with one and two series.
        checkSmoothed(host, sizedCase(1, 1, 71), sel, 1e-10);
        checkSmoothed(host, sizedCase(3, 1, 72), sel, 1e-10);
        checkSmoothed(host, sizedCase(3, 2, 73), sel, 1e-10);
    }
}

// State counts from two to four whole blocks of four columns, and more
// than four blocks, which the state smoother's quadratic forms take four
// at a time.
TEST(LdsMomentEst, WiderStateVectorsMatchDenseConditioning)
{
    kel::Host host;
    const int shapes[][2] = {{9, 1}, {13, 1}, {13, 2}, {17, 1}, {21, 2}};
    unsigned seed = 71;
    for (const auto &shape : shapes) {
        const Case c = sizedCase(shape[0], shape[1], seed++);
        checkForward(host, c, kFiltered, 1e-9);
        checkSmoothed(host, c, kSmoothState, 1e-9);
        checkSmoothed(host, c, kSmoothDisturb, 1e-9);
    }
}

// A known initial variance of 1e6 I against unit observation noise: at the
// first time points L = T - K Z is of order 1e-6, and forming N through
// T'NT - T'NKZ - Z'K'NT + Z'(F^-1 + K'NK)Z cancels to a few digits, which
// P - P N P multiplies by |P|^2 ~ 1e12 (relative errors near 1e-3).  What
// remains with L formed first is the rounding of P - P N P itself,
// eps |P|^2 |N| ~ 1e-4 relative here.
TEST(LdsMomentEst, SmoothedVariancesKeepTheirDigitsUnderALargeInitialVariance)
{
    kel::Host host;
    Case c;
    c.name = "large initial variance";
    c.s.sys = Mat(3, 2);
    c.s.sys << 1, 1, 0, 1, 1, 0;
    c.s.var = Mat::Zero(3, 3);
    c.s.var.diagonal() << 1e-1, 1e-2, 1.0;
    c.s.mean = Vec::Zero(3);
    c.Y = Mat(1, 5);
    c.Y << 1.3, 2.1, 2.6, 3.9, 4.4;
    c.hasInit = true;
    c.init = Mat::Zero(3, 2);
    c.init.diagonal() << 1e6, 1e6;
    const dense::SmoothRef ref = c.smoothed();
    const int d = c.d();
    for (int sel : {kSmoothState, kSmoothDisturb}) {
        MomentRun r = moments(host, c, sel);
        for (int t = 0; t < c.n(); t++) {
            Vec want(d);
            if (sel == kSmoothState)
                want << ref.state[t].var.diagonal(), ref.signal[t].var.diagonal();
            else
                want = (c.s.var - ref.disturbance[t].var).diagonal();
            for (int i = 0; i < d; i++) {
                const double got = r.moments(d + i, t);
                const double tol = sel == kSmoothState ? 3e-4 : 1e-5;
                EXPECT_LE(std::fabs(got - want(i)), tol * std::fabs(want(i)))
                    << "selection " << sel << ", t = " << t << ", row " << d + i << ": got "
                    << dense::full(got) << ", expected " << dense::full(want(i));
            }
        }
    }
}

// Selection 0 without Init: the first column is the diffuse start.
TEST(LdsMomentEst, DiffuseStartColumn)
{
    kel::Host host;
    Case c = diffuseCase();
    MomentRun r = moments(host, c, kPredicted);
    const int m = c.m(), d = c.d();
    for (int i = 0; i < m; i++) {
        EXPECT_EQ(r.moments(i, 0), 0.0);
        EXPECT_EQ(r.moments(d + i, 0), c.vbig());
    }
}

TEST(LdsMomentEst, ArgumentsAndFailures)
{
    kel::Host host;
    Case c = multiCase();
    HostArgs form(c);

    std::string text;
    kel::Value m0;
    EXPECT_EQ(host.tryCall("LdsMomentEst", form.with({2, kel::ref(m0)}), nullptr, &text),
              KELHOST_ERR_RUNTIME);
    EXPECT_EQ(text, "LdsMomentEst(): no valid selection in first argument");

    // A plain value in place of the reference: only the result comes back.
    kel::Value plain = host.call("LdsMomentEst", form.with({kSmoothState, 0}));
    dense::SmoothRef ref = c.smoothed();
    EXPECT_TRUE(dense::near(dense::fromValue(plain), stacked(ref.N0, ref.r0), 1e-10));

    // The reference may name the data variable itself.
    HostArgs aliased(c);
    kel::Value &y = aliased.data();
    ASSERT_TRUE(host.call("LdsMomentEst", aliased.with({kSmoothState, kel::ref(y)})).isMatrix());
    MomentRun separate = moments(host, c, kSmoothState);
    EXPECT_TRUE(dense::near(dense::fromValue(y), dense::fromValue(separate.moments), 0.0));

    // Zero observation rows and noise: F_t = 0 for one series, singular
    // for several.  The result and the referenced matrix are released.
    for (Case bad : {univCase(), multiCase()}) {
        SCOPED_TRACE(bad.name);
        const int m = bad.m(), N = bad.N();
        bad.s.sys.bottomRows(N).setZero();
        bad.s.var.rightCols(N).setZero();
        bad.s.var.bottomRows(N).setZero();
        if (bad.timeVarying) {
            bad.tv.idxSys.bottomRows(N).setConstant(-1);
            bad.tv.idxVar.setConstant(-1);
        }
        host.clearMessages();
        kel::Value mom = kel::Value::matrix(1, 1, 3.0);
        HostArgs badForm(bad);
        kel::Value ret = host.call("LdsMomentEst", badForm.with({kFiltered, kel::ref(mom)}));
        EXPECT_FALSE(ret.isMatrix());
        EXPECT_EQ(ret.asInt(), 0);
        EXPECT_FALSE(mom.isMatrix());
        ASSERT_EQ(host.messages().size(), 1u);
        EXPECT_EQ(host.messages()[0],
                  "LdsMomentEst(): non-positive semi-definite innovation variance matrix");
        (void)m;
    }

    const long baseline = kelhost_live_blocks();
    for (long k = 0;; k++) {
        kelhost_fail_allocations_after(k);
        kel::Value mom, result;
        int code = host.tryCall("LdsMomentEst", form.with({kSmoothState, kel::ref(mom)}), &result);
        kelhost_fail_allocations_after(-1);
        EXPECT_EQ(kelhost_live_blocks(), baseline) << "after " << k;
        // The forward pass for several series reports a failed allocation
        // of its own like a numerical failure: a warning and the int 0.
        if (code == 0 && !result.isMatrix()) {
            EXPECT_FALSE(mom.isMatrix());
            continue;
        }
        if (code == 0) {
            EXPECT_TRUE(dense::near(dense::fromValue(mom), dense::fromValue(separate.moments), 0.0));
            break;
        }
        EXPECT_EQ(code, KEL_ERROR_MEMORY) << "after " << k;
        EXPECT_FALSE(mom.isMatrix());
        ASSERT_LT(k, 100);
    }
}

}  // namespace
