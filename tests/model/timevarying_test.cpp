// Time-varying elements of Sys, Var and Mean, through LdsLik: the values
// taken from X against a reference filter run with one system per time
// point, index truncation and range, and cleanup after failures.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "form_fixture.hpp"

namespace {

using dense::toValue;
using form::Mat;

const char kDataDims[] = "Lds(): dimension of data matrix is not correct";
const double kInf = std::numeric_limits<double>::infinity();

// The row an index value selects, or -1 for a constant element.
int selected(double idx)
{
    double t = std::trunc(idx);
    return t < 0 ? -1 : static_cast<int>(t);
}

void applyIndex(const Mat &idx, const Mat &X, int t, Mat &target)
{
    for (int i = 0; i < idx.rows(); i++)
        for (int j = 0; j < idx.cols(); j++)
            if (selected(idx(i, j)) >= 0)
                target(i, j) = X(selected(idx(i, j)), t);
}

// One system per time point; empty index matrices are absent.
std::vector<dense::System> timeVarying(const dense::System &base, const Mat &idxSys,
                                       const Mat &idxVar, const Mat &idxMean, const Mat &X)
{
    std::vector<dense::System> out;
    for (int t = 0; t < X.cols(); t++) {
        dense::System s = base;
        applyIndex(idxSys, X, t, s.sys);
        applyIndex(idxVar, X, t, s.var);
        Mat mean = s.mean;
        applyIndex(idxMean, X, t, mean);
        s.mean = mean.col(0);
        out.push_back(s);
    }
    return out;
}

struct TVModel {
    form::Model md;
    Mat idxSys, idxVar, idxMean, X;
};

// Varies T[0][0] (index 1.9: row 1), Z[0][1] (-0.5: row 0), the covariance
// of the two observation errors or of a state and an observation (row 2),
// and the first state and observation constants; the other entries carry
// negative indices, -infinity among them.
TVModel tvModel(int N)
{
    TVModel tv{form::model(N, 10), Mat(), Mat(), Mat(), Mat()};
    const int m = 2, d = m + N, n = static_cast<int>(tv.md.Y.cols());
    tv.md.s.mean = dense::Vec::Constant(d, 0.1);
    tv.idxSys = Mat::Constant(d, m, -1.0);
    tv.idxSys(0, 0) = 1.9;
    tv.idxSys(m, 1) = -0.5;
    tv.idxSys(1, 1) = -kInf;
    tv.idxSys(1, 0) = -3e9;
    tv.idxVar = Mat::Constant(d, d, -2.0);
    tv.idxVar(1, m) = tv.idxVar(m, 1) = 2.0;
    tv.idxMean = Mat::Constant(d, 1, -1.0);
    tv.idxMean(0, 0) = 1.0;
    tv.idxMean(m, 0) = 2.0;
    tv.X = Mat(3, n);
    for (int t = 0; t < n; t++) {
        tv.X(0, t) = 0.2 + 0.05 * t;
        tv.X(1, t) = 0.9 - 0.03 * t;
        tv.X(2, t) = 0.02 * (t % 3) - 0.02;
    }
    return tv;
}

TEST(TimeVarying, ElementsFollowX)
{
    kel::Host host;
    for (int N : {1, 2}) {
        TVModel tv = tvModel(N);
        const int d = 2 + N, n = static_cast<int>(tv.md.Y.cols());
        kel::Value y = toValue(tv.md.Y), sys = toValue(tv.md.s.sys), var = toValue(tv.md.s.var);
        kel::Value init = toValue(tv.md.init), mean = toValue(tv.md.s.mean);
        kel::Value is = toValue(tv.idxSys), iv = toValue(tv.idxVar), im = toValue(tv.idxMean);
        kel::Value X = toValue(tv.X);
        const double vbig = dense::vbig(tv.md.s.var);
        const std::string tag = "N = " + std::to_string(N);

        form::Lik all = form::lik(host, {y, sys, var, init, mean, is, iv, im, X});
        form::expectMatches(all, form::reference(timeVarying(tv.md.s, tv.idxSys, tv.idxVar,
                                                             tv.idxMean, tv.X),
                                                 tv.md.Y, &tv.md.init, vbig),
                            false, n, d, tag + ", all three");
        EXPECT_TRUE(all.messages.empty());
        // The host's matrices keep their values.
        EXPECT_EQ(dense::fromValue(sys), tv.md.s.sys) << tag;
        EXPECT_EQ(dense::fromValue(var), tv.md.s.var) << tag;
        EXPECT_EQ(dense::fromValue(mean), Mat(tv.md.s.mean)) << tag;

        // IdxSys alone (only a Sys copy); IdxMean alone.
        form::expectMatches(
            form::lik(host, {y, sys, var, init, mean, is, 0, 0, X}),
            form::reference(timeVarying(tv.md.s, tv.idxSys, Mat(), Mat(), tv.X), tv.md.Y,
                            &tv.md.init, vbig),
            false, n, d, tag + ", IdxSys only");
        form::expectMatches(
            form::lik(host, {y, sys, var, init, mean, 0, 0, im, X}),
            form::reference(timeVarying(tv.md.s, Mat(), Mat(), tv.idxMean, tv.X), tv.md.Y,
                            &tv.md.init, vbig),
            false, n, d, tag + ", IdxMean only");
        EXPECT_EQ(dense::fromValue(sys), tv.md.s.sys) << tag;

        // All indices negative: tables made, nothing varies.
        kel::Value constant = toValue(Mat(Mat::Constant(d, 2, -1.0)));
        form::expectMatches(form::lik(host, {y, sys, var, init, mean, constant, 0, 0, X}),
                            form::reference({tv.md.s}, tv.md.Y, &tv.md.init), false, n, d,
                            tag + ", all negative");
    }
}

TEST(TimeVarying, IndexRange)
{
    kel::Host host;
    const long blocks = kelhost_live_blocks();
    TVModel tv = tvModel(2);
    const int d = 4, n = static_cast<int>(tv.md.Y.cols());
    kel::Value y = toValue(tv.md.Y), sys = toValue(tv.md.s.sys), var = toValue(tv.md.s.var);
    kel::Value init = toValue(tv.md.init), mean = toValue(tv.md.s.mean);
    kel::Value X = toValue(tv.X);
    const double vbig = dense::vbig(tv.md.s.var);

    // Largest index rows(X) - 1 passes, in each of the three.
    Mat last = Mat::Constant(d, 1, -1.0);
    last(3, 0) = 2.0;
    form::expectMatches(form::lik(host, {y, sys, var, init, mean, 0, 0, toValue(last), X}),
                        form::reference(timeVarying(tv.md.s, Mat(), Mat(), last, tv.X),
                                        tv.md.Y, &tv.md.init, vbig),
                        false, n, d, "IdxMean 2");

    const double beyond[] = {3.0, 3.5, kel::nan(), kInf, 3e9, 2147483647.0, 2147483648.0};
    for (double bad : beyond) {
        for (int which = 0; which < 3; which++) {
            Mat is = Mat::Constant(d, 2, -1.0), iv = Mat::Constant(d, d, -1.0),
                im = Mat::Constant(d, 1, -1.0);
            Mat &target = which == 0 ? is : which == 1 ? iv : im;
            target(1, 0) = bad;
            form::Lik got = form::lik(
                host, {y, sys, var, init, mean, toValue(is), toValue(iv), toValue(im), X});
            EXPECT_EQ(got.code, KELHOST_ERR_RUNTIME) << "index " << bad << " in table " << which;
            EXPECT_EQ(got.text, kDataDims) << "index " << bad;
            EXPECT_FALSE(got.written);
            EXPECT_EQ(kelhost_live_blocks(), blocks) << "index " << bad << " in table " << which;
        }
    }
    EXPECT_EQ(dense::fromValue(sys), tv.md.s.sys);
}

// Every allocation of the call failing in turn: a memory error or the
// filter's own failure, never a leak, and a correct result once there is
// enough memory.
TEST(TimeVarying, AllocationFailures)
{
    kel::Host host;
    const long blocks = kelhost_live_blocks();
    for (int N : {1, 2}) {
        TVModel tv = tvModel(N);
        const int d = 2 + N, n = static_cast<int>(tv.md.Y.cols());
        kel::Value y = toValue(tv.md.Y), sys = toValue(tv.md.s.sys), var = toValue(tv.md.s.var);
        kel::Value init = toValue(tv.md.init), mean = toValue(tv.md.s.mean);
        kel::Value is = toValue(tv.idxSys), iv = toValue(tv.idxVar), im = toValue(tv.idxMean);
        kel::Value X = toValue(tv.X);
        form::Reference ref = form::reference(
            timeVarying(tv.md.s, tv.idxSys, tv.idxVar, tv.idxMean, tv.X), tv.md.Y, &tv.md.init,
            dense::vbig(tv.md.s.var));
        bool succeeded = false;
        for (int k = 0; k < 16 && !succeeded; k++) {
            kelhost_fail_allocations_after(k);
            form::Lik got = form::lik(host, {y, sys, var, init, mean, is, iv, im, X});
            kelhost_fail_allocations_after(-1);
            EXPECT_EQ(kelhost_live_blocks(), blocks) << "N " << N << " k " << k;
            if (got.code == 0 && got.ret == 1) {
                form::expectMatches(got, ref, false, n, d, "after failures");
                succeeded = true;
            } else if (got.code == 0) {
                EXPECT_EQ(got.ret, 0);
                EXPECT_FALSE(got.written);
            } else {
                EXPECT_EQ(got.code, KELHOST_ERR_MEMORY) << got.text;
            }
        }
        EXPECT_TRUE(succeeded) << "N " << N;
        EXPECT_EQ(dense::fromValue(sys), tv.md.s.sys);
        EXPECT_EQ(dense::fromValue(var), tv.md.s.var);
    }
}

}  // namespace
