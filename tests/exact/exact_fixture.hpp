// exact_fixture.hpp - models for the exact diffuse routines, a runner that
// calls IKalmanInitial and fKalmanExact the way linking code would, and the
// dense flat-prior reference of the same model.
#ifndef VANTREL_TESTS_EXACT_EXACT_FIXTURE_HPP
#define VANTREL_TESTS_EXACT_EXACT_FIXTURE_HPP

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "exact/exact.h"
#include "model/model.h"
#include "support/dense_kalman.hpp"
#include "support/dense_smooth.hpp"

namespace ex {

using dense::Mat;
using dense::Vec;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A model: observation variance diagonal and no state/observation
// covariance (all the element-wise filter reads); init empty = every element
// diffuse; sel (m) the selection row s the signal outputs read.
struct Case {
    std::string name;
    dense::System s;
    Mat init;
    Mat Y;
    dense::TimeVarying tv;  // X with no columns: time-invariant
    Vec sel;

    int m() const { return int(s.sys.cols()); }
    int N() const { return int(Y.rows()); }
    int n() const { return int(Y.cols()); }
    int d() const { return m() + N(); }
    bool timeVarying() const { return tv.X.cols() > 0; }
    bool diffuse(int i) const { return init.size() == 0 || init(i, i) < 0; }
    std::vector<dense::System> systems() const
    {
        return timeVarying() ? dense::expand(s, tv, n()) : std::vector<dense::System>{s};
    }
    // Sys with the selection row appended (d+1 rows).
    Mat sysWithSel() const
    {
        Mat S(d() + 1, m());
        S << s.sys, sel.transpose();
        return S;
    }
    // The dense model: a1, P1 over the proper elements, unit columns of the
    // flat part for the diffuse ones.
    dense::Joint joint() const
    {
        const int m = this->m();
        Vec a1 = Vec::Zero(m);
        Mat P1 = Mat::Zero(m, m);
        std::vector<int> flat;
        for (int i = 0; i < m; i++) {
            if (diffuse(i)) {
                flat.push_back(i);
                continue;
            }
            a1(i) = init(m, i);
            for (int j = 0; j < m; j++)
                if (!diffuse(j))
                    P1(i, j) = init(std::max(i, j), std::min(i, j));
        }
        Mat A = Mat::Zero(m, int(flat.size()));
        for (int k = 0; k < int(flat.size()); k++)
            A(flat[k], k) = 1.0;
        return dense::Joint(systems(), n(), a1, P1, A);
    }
    // Sum of log |Init[i][i]| over the diffuse elements (0 without Init).
    double logScale() const
    {
        double s = 0.0;
        for (int i = 0; init.size() && i < m(); i++)
            if (diffuse(i))
                s += std::log(std::fabs(init(i, i)));
        return s;
    }
};

// The triple table of the time-varying elements (8 x (c+1)).
struct Triples {
    std::vector<std::vector<int>> rows = std::vector<std::vector<int>>(8, {0});
    std::vector<int *> ptr;
    explicit Triples(const dense::TimeVarying &tv);
    int **p() { return ptr.data(); }
};

// The six arrays of a T pattern.
struct Pattern {
    std::vector<std::vector<int>> rows;
    std::vector<int *> ptr;
    Pattern(int r, int c, double **T, int **triples);
    int **p() { return ptr.data(); }
};

// Everything the library's inputs need, kept alive for the smoothers.
struct Lib {
    const Case &c;
    dense::Rows Y, sys, var, X;
    Vec mean;
    dense::Rows init;
    Triples triples;
    Pattern pat;
    explicit Lib(const Case &c);
    double **initP() { return c.init.size() ? init.p() : nullptr; }
    int **triplesP() { return c.timeVarying() ? triples.p() : nullptr; }
    double **xP() { return c.timeVarying() ? X.p() : nullptr; }
    // Fresh copies of Sys (with the selection row) and Var, as the routines
    // overwrite them.
    void reset();
};

struct ExactRun {
    int dstar = -1, ok = -1, count = -1;
    double logdet = 0, sumsq = 0;
    Mat dstore, estore, pred, low, filt, varInf, lowInf, sigInf, swork;
};

// IKalmanInitial (with all outputs) and fKalmanExact in the given mode.
ExactRun runExact(Lib &lib, int mode, int h = 1);

// The flat-prior posterior of the case.
dense::Posterior posterior(const Case &c);

// Cases shared by the tests.
Case localLevel(int n, double q, double h, unsigned seed);
Case localLinearTrend(int n, unsigned seed);
Case timeVaryingTrend(int n, unsigned seed);  // local linear trend, Z and T vary
Case basicStructural(int n, unsigned seed);  // quarterly dummy seasonal
Case twoFactor(int n, unsigned seed);        // N = 2, an ordinary step at t = 0
Case threeSeries(int n, unsigned seed);      // N = 3, m = 3, part of Init proper
Case varyingThree(int n, unsigned seed);     // threeSeries with T[0][1], Z_1[2],
                                             // Mean[0] and Mean[4] varying

}  // namespace ex

#endif
