// builders_util.hpp - shared pieces of the builder tests: the independent
// stationary variance, host-call helpers and hand-built expected forms.
#ifndef VANTREL_TESTS_BUILDERS_UTIL_HPP
#define VANTREL_TESTS_BUILDERS_UTIL_HPP

#include <string>
#include <vector>

#include <Eigen/Dense>
#include <gtest/gtest.h>

#include "support/dense_kalman.hpp"
#include "kelhost/kel.hpp"

namespace bt {

using dense::Mat;
using dense::Vec;

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
    testing::AssertionResult r = dense::near(dense::fromValue(sys), want.sys(), tol);
    if (!r) return r << " (Sys)";
    r = dense::near(dense::fromValue(var), want.var(), tol);
    if (!r) return r << " (Var)";
    r = dense::near(dense::fromValue(init), want.init(), tol);
    if (!r) return r << " (Init)";
    return testing::AssertionSuccess();
}

}  // namespace bt

#endif
