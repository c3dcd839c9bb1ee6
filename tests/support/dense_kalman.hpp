// dense_kalman.hpp - a plain textbook Kalman filter on dense Eigen matrices,
// the independent reference the tests compare the library against, plus
// small helpers to build models and to pass matrices to the library.
//
// The model is taken in the library's stacked form: sys (d x m) holds T over
// Z, var (d x d) holds Q, C over C', H, mean (d) holds the state constant
// over the observation constant.  One System per time point (or a single one
// for a time-invariant model).  The filter uses the textbook equations on
// the observed rows only:
//
//   v = y - Z a - d,  F = Z P Z' + H,  K = (T P Z' + C) F^-1,
//   a+ = T a + c + K v,  P+ = T P T' + Q - K F K'.
//
// Typical use:
//
//   std::mt19937_64 rng(7);
//   dense::System s = dense::randomSystem(rng, m, N);
//   Eigen::MatrixXd Y = dense::randomData(rng, N, n);
//   dense::Run run = dense::filter({s}, Y, nullptr);      // fully diffuse
//   Eigen::MatrixXd store = dense::storeMatrix(run, m, N); // library layout
//   double ll = dense::logLik(run);
#ifndef VANTREL_TESTS_SUPPORT_DENSE_KALMAN_HPP
#define VANTREL_TESTS_SUPPORT_DENSE_KALMAN_HPP

#include <random>
#include <string>
#include <vector>

#include <Eigen/Dense>
#include <gtest/gtest.h>

#include "kelhost/kel.hpp"

namespace dense {

using Mat = Eigen::MatrixXd;
using Vec = Eigen::VectorXd;

struct System {
    Mat sys;   // d x m
    Mat var;   // d x d
    Vec mean;  // d (zeros for "no mean")
};

// One time point of the filter.
struct Step {
    int observed = 0;  // observed elements at this time point
    Vec a;             // state mean entering the step (m)
    Mat P;             // state variance entering the step (m x m)
    Vec v;             // N innovations; 0 for a missing element of a partly
                       // observed time point, NaN everywhere when none observed
    Mat F;             // N x N innovation variance of the observed elements,
                       // zero rows/columns for missing elements
    Mat Finv;          // N x N inverse of F on the observed elements, zeros
                       // elsewhere
    Mat K;             // m x N gain (T P Z' + C) F^-1, zero columns for missing
    double logdetF = 0.0;  // log|F| over the observed elements (0 if none)
    double quad = 0.0;     // v' F^-1 v over the observed elements
};

struct Run {
    std::vector<Step> steps;
    Vec aNext;        // a_{n+1}
    Mat PNext;        // P_{n+1}
    int diffuse = 0;  // D, number of diffuse initial elements
    double vbig = 0;  // variance given to diffuse elements
    int observed = 0; // observed elements over all time points
};

// 9999999.99 * max(1, largest diagonal element of var).
double vbig(const Mat &var);

// Initial a and P from an (m+1) x m Init matrix (null: a = 0, P = vbig I,
// all diffuse).  A negative diagonal element makes that element diffuse:
// variance vbig, and the entries left of its diagonal are not read.
// Returns D.
int start(const Mat *init, double vbigValue, int m, Vec &a, Mat &P);

// Runs the filter over the columns of Y (N x n, NaN = missing).  systems
// has one entry per time point, or one entry used at every time point.
// Vbig is vbigValue when positive, else computed from systems[0].var (pass
// vbig(base var) for a time-varying model: the library takes Vbig from Var
// before any time-varying value is written).
Run filter(const std::vector<System> &systems, const Mat &Y, const Mat *init,
           double vbigValue = 0.0);

// Filter store in the library's layout (R x n, R = N + N m + N (N+1)/2):
// innovations, then per series j gain column j and Finv[0..j][j].
Mat storeMatrix(const Run &run, int m, int N);

// Sums over the time points with at least one observation.
double sumLogDet(const Run &run);
double sumQuad(const Run &run);

// cnt = observed - D; s2 = sumQuad / cnt;
// logLik = -0.5 (cnt log 2pi + sumLogDet - D log vbig + sumQuad);
// logLikConc = -0.5 (cnt log 2pi + sumLogDet - D log vbig + cnt (log s2 + 1)).
int count(const Run &run);
double sigma2(const Run &run);
double logLik(const Run &run);
double logLikConc(const Run &run);

// A random model: T scaled to spectral norm 0.9, random Z, and a random
// positive definite var with a non-zero state/observation covariance C.
System randomSystem(std::mt19937_64 &rng, int m, int N, bool withMean = false);

// N x n standard normal data.
Mat randomData(std::mt19937_64 &rng, int N, int n);

// Conversions.
kel::Value toValue(const Mat &M);
kel::Value toValue(const Vec &v);  // a column
Mat fromValue(const kel::Value &v);

// Owned row-pointer storage for direct calls of the library routines.
struct Rows {
    int rows = 0, cols = 0;
    std::vector<double> buf;
    std::vector<double *> ptr;
    Rows(int r, int c, double fill = 0.0);
    explicit Rows(const Mat &M);
    double **p() { return ptr.data(); }
    Mat toMat() const;
};

struct IntRows {
    std::vector<int> buf;
    std::vector<int *> ptr;
    explicit IntRows(const Eigen::MatrixXi &M);
    int **p() { return ptr.data(); }
};

// "%.17g" of a value, for failure messages.
std::string full(double x);

// got and want agree elementwise within tol * max(1, |want(i,j)|); NaN must
// meet NaN.  The failure names the first bad element with both values.
testing::AssertionResult near(const Mat &got, const Mat &want, double tol);

// Time-varying elements as the library's index matrices give them: entry
// k >= 0 takes X(k, t) at time t, a negative entry keeps the element.  An
// index matrix with no rows is absent.
struct TimeVarying {
    Eigen::MatrixXi idxSys;   // d x m or empty
    Eigen::MatrixXi idxVar;   // d x d or empty
    Eigen::VectorXi idxMean;  // d or empty
    Mat X;                    // k x n
};

// One System per time point with the time-varying values written in.
std::vector<System> expand(const System &s, const TimeVarying &tv, int n);

}  // namespace dense

#endif
