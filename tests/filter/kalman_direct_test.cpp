// Direct calls of fMultiKalmanFil / fUnivKalmanFil against the dense
// textbook filter, and the rules that only the one-series filter has.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "support/dense_kalman.hpp"
#include "filter/filter.h"

namespace {

using dense::Mat;
using dense::Vec;

const double kEps = std::numeric_limits<double>::epsilon();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kSentinel = -777.0;

struct LibRun {
    int result = -1;
    double logdet = kSentinel, sumsq = kSentinel;
    int cnt = -1;
    Mat store;
    Mat pwork;
};

// Runs the library filter the way the host functions do: Mean in A-work
// row d+1, copies of Sys and Var, a store prefilled with a sentinel.
LibRun runLib(const dense::System &s, const Mat &Y, const Mat *init,
              const dense::TimeVarying *tv = nullptr)
{
    const int N = int(Y.rows()), n = int(Y.cols()), m = int(s.sys.cols());
    const int d = m + N, R = N + N * m + N * (N + 1) / 2;
    dense::Rows y(Y), sys(s.sys), var(s.var), pwork(d + 1, d), awork(d + 2, d);
    dense::Rows store(R, n, kSentinel);
    for (int i = 0; i < d; i++)
        awork.ptr[d + 1][i] = s.mean(i);
    dense::Rows initRows(init ? *init : Mat(0, 0));
    double **pinit = init ? initRows.p() : nullptr;

    Eigen::MatrixXi none(0, 0);
    dense::IntRows idxSys(tv && tv->idxSys.size() ? tv->idxSys : none);
    dense::IntRows idxVar(tv && tv->idxVar.size() ? tv->idxVar : none);
    dense::IntRows idxMean(tv && tv->idxMean.size() ? Eigen::MatrixXi(tv->idxMean.transpose()) : none);
    dense::Rows X(tv ? tv->X : Mat(0, 0));
    int **ps = tv && tv->idxSys.size() ? idxSys.p() : nullptr;
    int **pv = tv && tv->idxVar.size() ? idxVar.p() : nullptr;
    int *pm = tv && tv->idxMean.size() ? idxMean.ptr[0] : nullptr;
    double **px = tv ? X.p() : nullptr;

    LibRun r;
    if (N == 1)
        r.result = fUnivKalmanFil(n, y.ptr[0], m, sys.p(), var.p(), awork.ptr[d + 1], ps, pv,
                                  pm, px, pinit, pwork.p(), awork.p(), store.p(), &r.logdet,
                                  &r.sumsq, &r.cnt);
    else
        r.result = fMultiKalmanFil(N, n, y.p(), m, sys.p(), var.p(), awork.ptr[d + 1], ps, pv,
                                   pm, px, pinit, pwork.p(), awork.p(), store.p(), &r.logdet,
                                   &r.sumsq, &r.cnt);
    r.store = store.toMat();
    r.pwork = pwork.toMat();
    return r;
}

// Knocks out single elements and, when N > 1, one whole time point.
void makeMissing(Mat &Y)
{
    const int N = int(Y.rows()), n = int(Y.cols());
    Y(0, 2) = kNaN;
    Y(N - 1, n - 3) = kNaN;
    if (N > 1)
        Y.col(5).setConstant(kNaN);
}

// While diffuse elements remain, an F of several series is Vbig z z' + H:
// its inverse carries an error of eps Vbig, which the gain multiplies by
// Vbig again, in any big-variance filter.  Observing one series at a time
// there keeps the comparison meaningful.
void observeOneSeriesFirst(Mat &Y, int m)
{
    Y.block(1, 0, Y.rows() - 1, m).setConstant(kNaN);
}

Mat randomInit(std::mt19937_64 &rng, int m, bool someDiffuse)
{
    dense::System aux = dense::randomSystem(rng, m, 1);
    Mat init(m + 1, m);
    init.topRows(m) = aux.var.topLeftCorner(m, m);
    init.row(m) = aux.sys.row(m);
    if (someDiffuse) {
        init(0, 0) = -0.5;  // any negative value marks it diffuse
        if (m > 2)
            init(1, 0) = 0.3;  // left of a non-diffuse diagonal: kept
        if (m > 1)
            init(m - 1, m - 1) = -2.0;  // the entries to its left are ignored
    }
    return init;
}

// Compares every output of one run; tol is relative.
void expectRunMatches(const LibRun &lib, const dense::Run &ref, int m, int N, double tol)
{
    const int d = m + N;
    ASSERT_EQ(lib.result, 1);
    EXPECT_EQ(lib.cnt, dense::count(ref));
    double wantLogDet = dense::sumLogDet(ref) - ref.diffuse * std::log(ref.vbig);
    EXPECT_TRUE(dense::near(Mat::Constant(1, 1, lib.logdet), Mat::Constant(1, 1, wantLogDet), tol));
    EXPECT_TRUE(dense::near(Mat::Constant(1, 1, lib.sumsq), Mat::Constant(1, 1, dense::sigma2(ref)), tol));
    EXPECT_TRUE(dense::near(lib.store, dense::storeMatrix(ref, m, N), tol)) << "store";
    EXPECT_TRUE(dense::near(lib.pwork.topLeftCorner(m, m), ref.PNext, tol)) << "P_{n+1}";
    EXPECT_TRUE(dense::near(lib.pwork.row(d).head(m).transpose(), ref.aNext, tol)) << "a_{n+1}";
}

TEST(KalmanDirect, RandomModelsMatchDenseFilter)
{
    std::mt19937_64 rng(20081);
    const int n = 24;
    for (int N = 1; N <= 3; N++) {
        for (int m = 1; m <= 3; m++) {
            for (int variant = 0; variant < 3; variant++) {
                SCOPED_TRACE("N=" + std::to_string(N) + " m=" + std::to_string(m) +
                             " variant=" + std::to_string(variant));
                dense::System s = dense::randomSystem(rng, m, N, variant != 1);
                Mat Y = dense::randomData(rng, N, n);
                makeMissing(Y);
                if (variant != 0)
                    observeOneSeriesFirst(Y, m);
                // variant 0: proper Init; 1: no Init; 2: Init with a diffuse element
                Mat init = randomInit(rng, m, variant == 2);
                const Mat *pinit = variant == 1 ? nullptr : &init;
                dense::Run ref = dense::filter({s}, Y, pinit);
                // Diffuse starts lose about log10(Vbig) digits to cancellation, more
                // when Z and T observe the state poorly.
                double tol = (variant == 0 ? 1e3 : 1e2 * ref.vbig) * kEps * n;
                expectRunMatches(runLib(s, Y, pinit), ref, m, N, tol);
            }
        }
    }
}

TEST(KalmanDirect, WiderModelsMatchDenseFilter)
{
    // Shapes past one block of four in states and in series, so that the
    // blocked prediction, gain and update rows run with their tails, and
    // more series than the gain gathers on the stack; exactly one block of
    // states; more states than the updates are compiled for; and one
    // series with d = m + 1 of 14, 15 and 16, the widest whose mean
    // prediction reads Sys by columns.
    std::mt19937_64 rng(4242);
    const int n = 16;
    const int shapes[][2] = {{1, 9},  {5, 6},  {4, 8},  {17, 3}, {1, 4},
                             {1, 18}, {2, 17}, {1, 13}, {1, 14}, {1, 15}};
    for (const auto &shape : shapes) {
        const int N = shape[0], m = shape[1];
        SCOPED_TRACE("N=" + std::to_string(N) + " m=" + std::to_string(m));
        dense::System s = dense::randomSystem(rng, m, N, true);
        Mat Y = dense::randomData(rng, N, n);
        makeMissing(Y);
        Mat init = randomInit(rng, m, false);
        dense::Run ref = dense::filter({s}, Y, &init);
        expectRunMatches(runLib(s, Y, &init), ref, m, N, 1e3 * kEps * n * (m + N));
    }
}

TEST(KalmanDirect, TimeVaryingElements)
{
    std::mt19937_64 rng(31);
    const int n = 16;
    for (int N = 1; N <= 2; N++) {
        const int m = 2, d = m + N;
        dense::System s = dense::randomSystem(rng, m, N, true);
        Mat Y = dense::randomData(rng, N, n);
        makeMissing(Y);
        dense::TimeVarying tv;
        tv.X = dense::randomData(rng, 3, n);
        // Raising a variance keeps Var positive definite.
        tv.X.row(2) = tv.X.row(2).cwiseAbs().array() + s.var(m, m);
        tv.idxSys = Eigen::MatrixXi::Constant(d, m, -1);
        tv.idxSys(m, 1) = 0;  // an element of Z
        tv.idxSys(0, 0) = 1;  // an element of T
        tv.idxVar = Eigen::MatrixXi::Constant(d, d, -1);
        tv.idxVar(m, m) = 2;
        tv.idxMean = Eigen::VectorXi::Constant(d, -1);
        tv.idxMean(d - 1) = 1;
        tv.X.row(1) *= 0.5;
        Mat init = randomInit(rng, m, false);
        dense::Run ref = dense::filter(dense::expand(s, tv, n), Y, &init, dense::vbig(s.var));
        expectRunMatches(runLib(s, Y, &init, &tv), ref, m, N, 1e3 * kEps * n);
    }
}

// m = 1, N = 2, one series missing: hand values.  T = 0.5, Z = (1, 1)',
// Q = 1, H = diag(2, 3), C = 0, a1 = 0.4, P1 = 2.  F = P1 + 2 = 4,
// M = T P1 = 1, K = 1/4, v = 1 - 0.4; a2 = 0.5 * 0.4 + v / 4,
// P2 = 0.5 + 1 - 1/4.
TEST(KalmanDirect, PartlyMissingTimePointByHand)
{
    dense::System s;
    s.sys = Mat(3, 1);
    s.sys << 0.5, 1.0, 1.0;
    s.var = Mat::Zero(3, 3);
    s.var.diagonal() << 1.0, 2.0, 3.0;
    s.mean = Vec::Zero(3);
    Mat init(2, 1);
    init << 2.0, 0.4;
    Mat Y(2, 1);
    Y << 1.0, kNaN;
    LibRun r = runLib(s, Y, &init);
    ASSERT_EQ(r.result, 1);
    double v = 1.0 - 0.4;
    Mat want(7, 1);
    want << v, 0.0, 0.25, 0.25, 0.0, 0.0, 0.0;
    EXPECT_TRUE(dense::near(r.store, want, 0.0));
    EXPECT_EQ(r.cnt, 1);
    EXPECT_DOUBLE_EQ(r.logdet, std::log(4.0));
    EXPECT_DOUBLE_EQ(r.sumsq, v * v / 4.0);
    EXPECT_DOUBLE_EQ(r.pwork(3, 0), 0.5 * 0.4 + 0.25 * v);
    EXPECT_DOUBLE_EQ(r.pwork(0, 0), 0.5 + 1.0 - 0.25);
}

// With no time points the filters leave their start values in P-work:
// a from the last row of Init, P from its lower triangle, diffuse elements
// with variance Vbig and nothing of their row left of the diagonal.
TEST(KalmanDirect, StartValuesFromInit)
{
    std::mt19937_64 rng(12);
    for (int N = 1; N <= 2; N++) {
        const int m = 3, d = m + N;
        dense::System s = dense::randomSystem(rng, m, N);
        for (int diffuse = 0; diffuse <= 1; diffuse++) {
            Mat init = randomInit(rng, m, diffuse == 1);
            init(0, 2) = 99.0;  // above the diagonal: never read
            LibRun r = runLib(s, Mat(N, 0), &init);
            EXPECT_EQ(r.result, 0);
            Vec a;
            Mat P;
            int D = dense::start(&init, dense::vbig(s.var), m, a, P);
            EXPECT_EQ(D, diffuse ? 2 : 0);
            EXPECT_TRUE(dense::near(r.pwork.topLeftCorner(m, m), P, 0.0));
            EXPECT_TRUE(dense::near(r.pwork.row(d).head(m).transpose(), a, 0.0));
            EXPECT_EQ(r.logdet, -D * std::log(dense::vbig(s.var)));
            EXPECT_EQ(r.sumsq, 0.0);
        }
        LibRun r = runLib(s, Mat(N, 0), nullptr);
        Mat P = dense::vbig(s.var) * Mat::Identity(m, m);
        EXPECT_TRUE(dense::near(r.pwork.topLeftCorner(m, m), P, 0.0));
        EXPECT_TRUE(dense::near(r.pwork.row(d).head(m), Mat::Zero(1, m), 0.0));
    }
}

// Vbig never falls below its factor and otherwise scales with the largest
// diagonal element of Var; seen through 1/F of the first, diffuse step.
TEST(KalmanDirect, VbigFromVarDiagonal)
{
    for (double q : {0.5, 3.0}) {
        dense::System s;
        s.sys = Mat::Ones(2, 1);
        s.var = Mat::Zero(2, 2);
        s.var.diagonal() << q, 0.25;
        s.mean = Vec::Zero(2);
        Mat Y(1, 3);
        Y << 1.0, 2.0, 0.5;
        LibRun r = runLib(s, Y, nullptr);
        ASSERT_EQ(r.result, 1);
        double vbig = 9999999.99 * std::max(1.0, q);
        EXPECT_EQ(r.store(2, 0), 1.0 / (vbig + 0.25)) << dense::full(r.store(2, 0));
        EXPECT_EQ(r.cnt, 2);
    }
}

// The one-series filter: a negative F is used but not counted, a zero F
// (or a NaN one) stops the run at that time point.
TEST(KalmanDirect, UnivariateVarianceRules)
{
    const int n = 6;
    dense::System s;
    s.sys = Mat(2, 1);
    s.sys << 0.8, 1.0;
    s.var = Mat::Zero(2, 2);
    s.var.diagonal() << 1.0, 0.5;
    s.mean = Vec::Zero(2);
    Mat init(2, 1);
    init << 1.0, 0.0;
    Mat Y(1, n);
    Y << 0.3, -1.2, 0.7, 2.0, -0.4, 1.1;
    dense::TimeVarying tv;
    tv.idxVar = Eigen::MatrixXi::Constant(2, 2, -1);
    tv.idxVar(1, 1) = 0;
    tv.X = Mat::Constant(1, n, 0.5);

    // Negative F at t = 3: updated and stored, left out of every sum.
    tv.X(0, 3) = -50.0;
    dense::Run ref = dense::filter(dense::expand(s, tv, n), Y, &init, dense::vbig(s.var));
    ASSERT_LT(ref.steps[3].F(0, 0), 0.0);
    LibRun r = runLib(s, Y, &init, &tv);
    ASSERT_EQ(r.result, 1);
    double ld = 0.0, qs = 0.0;
    for (int t = 0; t < n; t++) {
        if (t == 3)
            continue;
        ld += std::log(ref.steps[t].F(0, 0));
        qs += ref.steps[t].quad;
    }
    double tol = 1e3 * kEps * n;
    EXPECT_EQ(r.cnt, n - 1);
    EXPECT_NEAR(r.logdet, ld, tol * std::fabs(ld));
    EXPECT_NEAR(r.sumsq, qs / (n - 1), tol * qs);
    EXPECT_TRUE(dense::near(r.store, dense::storeMatrix(ref, 1, 1), tol));

    // F exactly 0 at t = 2 (Z = 0 there, H = 0): result 0 at once, nothing
    // of column 2 or later is written.
    for (double bad : {0.0, kNaN}) {
        dense::TimeVarying tz = tv;
        tz.X.row(0).setConstant(0.5);
        tz.idxSys = Eigen::MatrixXi::Constant(2, 1, -1);
        tz.idxSys(1, 0) = 1;
        tz.X.conservativeResize(2, n);
        tz.X.row(1).setOnes();
        tz.X(1, 2) = 0.0;
        tz.X(0, 2) = bad;
        LibRun z = runLib(s, Y, &init, &tz);
        EXPECT_EQ(z.result, 0);
        EXPECT_EQ(z.cnt, -1) << "count written after a failure";
        for (int t = 2; t < n; t++)
            for (int i = 0; i < 3; i++)
                EXPECT_EQ(z.store(i, t), kSentinel) << i << "," << t;
        dense::Run zr = dense::filter(dense::expand(s, tz, 2), Y.leftCols(2), &init, dense::vbig(s.var));
        EXPECT_TRUE(dense::near(z.store.leftCols(2), dense::storeMatrix(zr, 1, 1), tol));
    }
}

// A series with nothing observed, and a count that never exceeds the
// diffuse elements: result 0, count not written, store still complete.
TEST(KalmanDirect, TooFewObservations)
{
    std::mt19937_64 rng(5);
    for (int N = 1; N <= 2; N++) {
        const int m = 2;
        dense::System s = dense::randomSystem(rng, m, N);
        Mat Y = Mat::Constant(N, 4, kNaN);
        LibRun r = runLib(s, Y, nullptr);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.cnt, -1);
        for (int t = 0; t < 4; t++)
            for (int i = 0; i < r.store.rows(); i++) {
                if (i < N)
                    EXPECT_TRUE(std::isnan(r.store(i, t)));
                else
                    EXPECT_EQ(r.store(i, t), 0.0);
            }
        // Exactly m observed elements against m diffuse elements.
        Mat Y2 = Mat::Constant(N, 4, kNaN);
        Y2(0, 0) = 0.5;
        Y2(N - 1, 2) = -0.5;
        EXPECT_EQ(runLib(s, Y2, nullptr).result, 0);
        Y2(0, 3) = 1.5;
        EXPECT_EQ(runLib(s, Y2, nullptr).result, 1);
    }
}

// Two identical noiseless series make F singular: the multivariate filter
// stops with 0.
TEST(KalmanDirect, SingularInnovationVariance)
{
    dense::System s;
    s.sys = Mat(3, 1);
    s.sys << 0.5, 1.0, 1.0;
    s.var = Mat::Zero(3, 3);
    s.var(0, 0) = 1.0;
    s.mean = Vec::Zero(3);
    Mat init(2, 1);
    init << 1.0, 0.0;
    Mat Y(2, 3);
    Y << 1.0, 2.0, 3.0, 1.0, 2.0, 3.0;
    LibRun r = runLib(s, Y, &init);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.cnt, -1);
    EXPECT_EQ(r.store(0, 0), kSentinel);
}

}  // namespace

bool sameBits(const Mat &a, const Mat &b)
{
    return a.rows() == b.rows() && a.cols() == b.cols() &&
           std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
}

// Once the one-series filter's variance repeats itself bit for bit (a fixed
// point or a short cycle of the last bit), it stops recomputing it.  The
// results must be the same bits as a run that cannot take that shortcut
// (the observation variance given as a time-varying element of constant
// value), through missing observations, at the last time point and in the
// variance left in P-work, and they must match the textbook filter.
TEST(KalmanDirect, SettledVarianceGivesTheSameBits)
{
    std::mt19937_64 rng(47);
    const int n = 400;
    for (int m = 1; m <= 3; m++) {
        const int d = m + 1;
        // A local level (m = 1) settles into a cycle of three; the trend
        // models with m = 2, 3 (level, slope, and an AR(1) term).
        dense::System s;
        s.sys = Mat::Zero(d, m);
        s.var = Mat::Zero(d, d);
        s.mean = Vec::Zero(d);
        for (int i = 0; i < m; i++) {
            s.sys(i, i) = i == 2 ? 0.7 : 1.0;
            s.var(i, i) = 0.1 / (i + 1);
        }
        if (m > 1)
            s.sys(0, 1) = 1.0;
        s.sys.row(m).setConstant(1.0);
        s.var(m, m) = 1.0;
        Mat Y = dense::randomData(rng, 1, n);
        for (int t : {150, 151, 300, n - 1})
            Y(0, t) = kNaN;
        for (bool lastObserved : {false, true}) {
            if (lastObserved)
                Y(0, n - 1) = 0.25;
            Mat init = Mat::Zero(m + 1, m);
            init.topRows(m) = 10.0 * Mat::Identity(m, m);
            dense::TimeVarying tv;
            tv.X = Mat::Constant(1, n, s.var(m, m));
            tv.idxVar = Eigen::MatrixXi::Constant(d, d, -1);
            tv.idxVar(m, m) = 0;
            const LibRun fast = runLib(s, Y, &init), full = runLib(s, Y, &init, &tv);
            ASSERT_EQ(fast.result, 1);
            EXPECT_EQ(fast.logdet, full.logdet) << "m = " << m;
            EXPECT_EQ(fast.sumsq, full.sumsq);
            EXPECT_EQ(fast.cnt, full.cnt);
            EXPECT_TRUE(sameBits(fast.store, full.store)) << "store, m = " << m;
            EXPECT_TRUE(sameBits(fast.pwork, full.pwork)) << "P-work, m = " << m;
            dense::Run ref = dense::filter({s}, Y, &init);
            expectRunMatches(fast, ref, m, 1, 1e3 * kEps * n);
        }
    }
}
