// builders_util.hpp - shared pieces of the builder tests: the independent
// stationary variance, host-call helpers and hand-built expected forms.
#ifndef VANTREL_TESTS_BUILDERS_UTIL_HPP
#define VANTREL_TESTS_BUILDERS_UTIL_HPP

#include <string>
#include <vector>

#include <Eigen/Dense>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "kelhost/kel.hpp"

// Dense matrices and the conversions to and from host values.
namespace bdense {

using Mat = Eigen::MatrixXd;
using Vec = Eigen::VectorXd;

inline std::string full(double x)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", x);
    return buf;
}

inline Mat fromValue(const kel::Value &v)
{
    Mat m(v.rows(), v.cols());
    for (int i = 0; i < v.rows(); ++i)
        for (int j = 0; j < v.cols(); ++j) m(i, j) = v(i, j);
    return m;
}

inline kel::Value toValue(const Mat &m)
{
    kel::Value v = kel::Value::matrix(int(m.rows()), int(m.cols()));
    for (int i = 0; i < m.rows(); ++i)
        for (int j = 0; j < m.cols(); ++j) v.at(i, j) = m(i, j);
    return v;
}

// The diffuse variance: 9999999.99 times max(1, largest diagonal of var).
inline double vbig(const Mat &var)
{
    const double kDiffuseScale = 9999999.99;
    double big = 1.0;
    for (int i = 0; i < var.rows(); ++i) big = std::max(big, var(i, i));
    return kDiffuseScale * big;
}

// got and want agree elementwise within tol * max(1, |want|).
inline testing::AssertionResult near(const Mat &got, const Mat &want, double tol)
{
    if (got.rows() != want.rows() || got.cols() != want.cols())
        return testing::AssertionFailure() << "size " << got.rows() << " x " << got.cols()
                                           << ", expected " << want.rows() << " x " << want.cols();
    for (int i = 0; i < got.rows(); ++i)
        for (int j = 0; j < got.cols(); ++j) {
            double g = got(i, j), w = want(i, j);
            if (!(std::fabs(g - w) <= tol * std::max(1.0, std::fabs(w))))
                return testing::AssertionFailure()
                       << "element (" << i << ", " << j << "): got " << full(g) << ", expected "
                       << full(w) << ", tolerance " << full(tol);
        }
    return testing::AssertionSuccess();
}

// Owned row-pointer storage for direct calls of the library routines.
struct Rows {
    int rows = 0, cols = 0;
    std::vector<double> buf;
    std::vector<double *> ptr;
    Rows(int r, int c, double fill = 0.0) : rows(r), cols(c), buf(size_t(r) * c, fill), ptr(r)
    {
        for (int i = 0; i < r; ++i) ptr[i] = buf.data() + size_t(i) * c;
    }
    explicit Rows(const Mat &m) : Rows(int(m.rows()), int(m.cols()))
    {
        for (int i = 0; i < rows; ++i)
            for (int j = 0; j < cols; ++j) ptr[i][j] = m(i, j);
    }
    double **p() { return ptr.data(); }
    Mat toMat() const
    {
        Mat m(rows, cols);
        for (int i = 0; i < rows; ++i)
            for (int j = 0; j < cols; ++j) m(i, j) = ptr[i][j];
        return m;
    }
};

}  // namespace bdense

namespace bt {

using bdense::Mat;
using bdense::Vec;

// Fixed point of P = T P T' + Q by the doubling recursion
// P <- P + A P A', A <- A A (the sum of T^j Q T'^j over j < 2^iterations),
// a method unrelated to the library's Kronecker system.
inline Mat stationaryVariance(const Mat &T, const Mat &Q)
{
    const int kDoublings = 80;
    Mat P = Q, A = T;
    for (int i = 0; i < kDoublings; ++i) {
        P = (P + A * P * A.transpose()).eval();
        A = (A * A).eval();
    }
    return P;
}

// Host error of a call: code and text.
struct Failure {
    int code = 0;
    std::string text;
};

inline Failure failure(kel::Host &host, const std::string &name, const std::vector<kel::Arg> &args)
{
    Failure f;
    kel::Value rtn;
    f.code = host.tryCall(name, args, &rtn, &f.text);
    return f;
}

// Expects the call to end with a run-time error of exactly `text` and to
// leave no host storage behind.
inline void expectRuntimeError(kel::Host &host, const std::string &name,
                               const std::vector<kel::Arg> &args, const std::string &text)
{
    long before = kelhost_live_blocks();
    Failure f = failure(host, name, args);
    EXPECT_EQ(f.code, KELHOST_ERR_RUNTIME) << "text: " << f.text;
    EXPECT_EQ(f.text, text);
    EXPECT_EQ(kelhost_live_blocks(), before);
}

// Blocks of a univariate form: T (m x m), Z (m), Q (m x m), observation
// noise H, P (m x m).
struct Form {
    Mat T, Q, P;
    Vec Z;
    double H = 0.0;
    explicit Form(int m = 0) : T(Mat::Zero(m, m)), Q(Mat::Zero(m, m)), P(Mat::Zero(m, m)),
                               Z(Vec::Zero(m)) {}
    int m() const { return int(T.rows()); }
    Mat sys() const
    {
        Mat s(m() + 1, m());
        s << T, Z.transpose();
        return s;
    }
    Mat var() const
    {
        Mat v = Mat::Zero(m() + 1, m() + 1);
        v.topLeftCorner(m(), m()) = Q;
        v(m(), m()) = H;
        return v;
    }
    Mat init() const
    {
        Mat i = Mat::Zero(m() + 1, m());
        i.topRows(m()) = P;
        return i;
    }
};

// Block-diagonal composition (states of b after those of a).
inline Form append(const Form &a, const Form &b)
{
    Form f(a.m() + b.m());
    int k = a.m();
    f.T.topLeftCorner(k, k) = a.T;
    f.T.bottomRightCorner(b.m(), b.m()) = b.T;
    f.Q.topLeftCorner(k, k) = a.Q;
    f.Q.bottomRightCorner(b.m(), b.m()) = b.Q;
    f.P.topLeftCorner(k, k) = a.P;
    f.P.bottomRightCorner(b.m(), b.m()) = b.P;
    f.Z << a.Z, b.Z;
    f.H = a.H + b.H;
    return f;
}

inline testing::AssertionResult sameForm(const kel::Value &sys, const kel::Value &var,
                                         const kel::Value &init, const Form &want, double tol)
{
    testing::AssertionResult r = bdense::near(bdense::fromValue(sys), want.sys(), tol);
    if (!r) return r << " (Sys)";
    r = bdense::near(bdense::fromValue(var), want.var(), tol);
    if (!r) return r << " (Var)";
    r = bdense::near(bdense::fromValue(init), want.init(), tol);
    if (!r) return r << " (Init)";
    return testing::AssertionSuccess();
}

}  // namespace bt

#endif
