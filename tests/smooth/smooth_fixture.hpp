// smooth_fixture.hpp - the models the smoothing tests run through the host,
// with their host arguments and their dense reference.
#ifndef VANTREL_TESTS_SMOOTH_SMOOTH_FIXTURE_HPP
#define VANTREL_TESTS_SMOOTH_SMOOTH_FIXTURE_HPP

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kelhost/kel.hpp"
#include "support/dense_kalman.hpp"
#include "support/dense_smooth.hpp"

namespace smo {

using dense::Mat;
using dense::Vec;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kEps = std::numeric_limits<double>::epsilon();

// A model with its data; optional Init, Mean and time-varying elements.
struct Case {
    std::string name;
    dense::System s;
    Mat Y;
    bool hasInit = false;
    Mat init;
    bool timeVarying = false;
    dense::TimeVarying tv;

    int m() const { return int(s.sys.cols()); }
    int N() const { return int(Y.rows()); }
    int d() const { return m() + N(); }
    int n() const { return int(Y.cols()); }

    std::vector<dense::System> systems() const
    {
        return timeVarying ? dense::expand(s, tv, n()) : std::vector<dense::System>{s};
    }
    double vbig() const { return dense::vbig(s.var); }
    void start(Vec &a1, Mat &P1) const
    {
        dense::start(hasInit ? &init : nullptr, vbig(), m(), a1, P1);
    }
    dense::SmoothRef smoothed() const
    {
        Vec a1;
        Mat P1;
        start(a1, P1);
        return dense::smoothReference(systems(), Y, a1, P1);
    }
    dense::Joint joint() const
    {
        Vec a1;
        Mat P1;
        start(a1, P1);
        return dense::Joint(systems(), n(), a1, P1);
    }
};

// The host arguments of a case from the data argument on: data (or the
// given replacement, e.g. a filter store), Sys, Var, Init, Mean and the
// time-varying block.  Absent optional arguments are 0 x 0 matrices.
class HostArgs {
public:
    HostArgs(const Case &c, const Mat *data = nullptr)
    {
        vals_.push_back(dense::toValue(data ? *data : c.Y));
        vals_.push_back(dense::toValue(c.s.sys));
        vals_.push_back(dense::toValue(c.s.var));
        vals_.push_back(c.hasInit ? dense::toValue(c.init) : kel::Value::empty());
        vals_.push_back(c.s.mean.isZero() ? kel::Value::empty() : dense::toValue(c.s.mean));
        if (c.timeVarying) {
            vals_.push_back(index(c.tv.idxSys));
            vals_.push_back(index(c.tv.idxVar));
            vals_.push_back(index(Eigen::MatrixXi(c.tv.idxMean)));
            vals_.push_back(dense::toValue(c.tv.X));
        }
    }
    // front (references or selection) followed by the form.
    std::vector<kel::Arg> with(std::vector<kel::Arg> front) const
    {
        for (const kel::Value &v : vals_)
            front.push_back(kel::Arg(v));
        return front;
    }
    kel::Value &data() { return vals_[0]; }

private:
    static kel::Value index(const Eigen::MatrixXi &M)
    {
        if (M.size() == 0)
            return kel::Value::empty();
        return dense::toValue(Mat(M.cast<double>()));
    }
    std::vector<kel::Value> vals_;
};

// N = 1, m = 2, proper Init, a non-zero Mean, one missing observation.
inline Case univCase()
{
    std::mt19937_64 rng(11);
    Case c;
    c.name = "univ";
    c.s = dense::randomSystem(rng, 2, 1, true);
    c.Y = dense::randomData(rng, 1, 7);
    c.Y(0, 3) = kNaN;
    c.hasInit = true;
    c.init = Mat(3, 2);
    c.init << 0.8, 0.0, 0.2, 0.5, 0.3, -0.4;
    return c;
}

// N = 2, m = 2, correlated state and observation noise, a partly and a
// completely missing time point, Mean, and time-varying Z, T and H
// elements through the index matrices.
inline Case multiCase()
{
    std::mt19937_64 rng(23);
    Case c;
    c.name = "multi";
    c.s = dense::randomSystem(rng, 2, 2, true);
    const int n = 8;
    c.Y = dense::randomData(rng, 2, n);
    c.Y(0, 2) = kNaN;
    c.Y(0, 5) = c.Y(1, 5) = kNaN;
    c.hasInit = true;
    c.init = Mat(3, 2);
    c.init << 1.1, 0.0, -0.3, 0.6, 0.5, 0.1;
    c.timeVarying = true;
    c.tv.idxSys = Eigen::MatrixXi::Constant(4, 2, -1);
    c.tv.idxSys(2, 1) = 0;   // Z[0][1]
    c.tv.idxSys(0, 0) = 1;   // T[0][0]
    c.tv.idxVar = Eigen::MatrixXi::Constant(4, 4, -1);
    c.tv.idxVar(3, 3) = 2;   // H[1][1]
    c.tv.X = Mat(3, n);
    std::uniform_real_distribution<double> u(0.3, 0.9);
    for (int t = 0; t < n; t++) {
        c.tv.X(0, t) = u(rng) - 0.6;
        c.tv.X(1, t) = u(rng);
        c.tv.X(2, t) = u(rng) + 0.5;
    }
    return c;
}

// N = 3, m = 1: no covariance store; proper Init.
inline Case wideCase()
{
    std::mt19937_64 rng(31);
    Case c;
    c.name = "wide";
    c.s = dense::randomSystem(rng, 1, 3, false);
    c.Y = dense::randomData(rng, 3, 6);
    c.Y(2, 0) = kNaN;
    c.Y(0, 4) = c.Y(1, 4) = kNaN;
    c.hasInit = true;
    c.init = Mat(2, 1);
    c.init << 0.7, 0.2;
    return c;
}

// A proper Init for m states: growing variances, a small covariance of
// each element with the one before, and a mean row.
inline Mat bandedInit(int m)
{
    Mat init = Mat::Zero(m + 1, m);
    for (int i = 0; i < m; i++) {
        init(i, i) = 0.5 + 0.1 * i;
        if (i > 0) init(i, i - 1) = 0.05;
        init(m, i) = 0.1 * (i - 3);
    }
    return init;
}

// N = 2, m = 7: enough states for the smoother's products to run over
// whole blocks of four columns and rows as well as their remainders;
// correlated noise, proper Init, missing values.
inline Case largeCase()
{
    std::mt19937_64 rng(59);
    Case c;
    c.name = "large";
    c.s = dense::randomSystem(rng, 7, 2, true);
    c.Y = dense::randomData(rng, 2, 9);
    c.Y(1, 2) = kNaN;
    c.Y(0, 6) = c.Y(1, 6) = kNaN;
    c.hasInit = true;
    c.init = bandedInit(7);
    return c;
}

// m states and N series, built like largeCase: for state counts that take
// each width of the smoother's blocked products.
inline Case sizedCase(int m, int N, unsigned seed)
{
    std::mt19937_64 rng(seed);
    Case c;
    c.name = "m=" + std::to_string(m) + " N=" + std::to_string(N);
    c.s = dense::randomSystem(rng, m, N, true);
    c.Y = dense::randomData(rng, N, 8);
    c.Y(N - 1, 2) = kNaN;
    for (int k = 0; k < N; k++) c.Y(k, 5) = kNaN;
    c.hasInit = true;
    c.init = bandedInit(m);
    return c;
}

// N = 1, m = 2 without Init: both elements diffuse with variance Vbig.
inline Case diffuseCase()
{
    std::mt19937_64 rng(47);
    Case c;
    c.name = "diffuse";
    c.s = dense::randomSystem(rng, 2, 1, false);
    c.Y = dense::randomData(rng, 1, 9);
    c.Y(0, 6) = kNaN;
    return c;
}

// Rows r0..r0+rows-1 of column col of a host matrix.
inline Vec column(const kel::Value &v, int r0, int rows, int col)
{
    Vec x(rows);
    for (int i = 0; i < rows; i++)
        x(i) = v(r0 + i, col);
    return x;
}

}  // namespace smo

#endif
