// The numeric kernels, called directly: NaN bit patterns, the summation
// order of the products, int maxima and triangular substitution.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <Eigen/Dense>
#include <gtest/gtest.h>

#include "model/model.h"
#include "support/dense_kalman.hpp"

namespace {

double fromBits(std::uint64_t bits)
{
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

std::uint64_t toBits(double x)
{
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

TEST(Kernels, NaNPatterns)
{
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(FIsNaN(inf), 0);
    EXPECT_EQ(FIsNaN(-inf), 0);
    EXPECT_EQ(FIsNaN(0.0), 0);
    EXPECT_EQ(FIsNaN(-0.0), 0);
    EXPECT_EQ(FIsNaN(std::numeric_limits<double>::max()), 0);
    EXPECT_EQ(FIsNaN(std::numeric_limits<double>::denorm_min()), 0);
    EXPECT_EQ(FIsNaN(fromBits(0x7FF0000000000001ULL)), 1);  // lowest fraction bit
    EXPECT_EQ(FIsNaN(fromBits(0xFFF0000000000001ULL)), 1);  // negative sign
    EXPECT_EQ(FIsNaN(fromBits(0x7FFFFFFFFFFFFFFFULL)), 1);
    EXPECT_EQ(FIsNaN(std::nan("")), 1);

    double x = 1.5;
    SetNaN(&x);
    EXPECT_EQ(toBits(x), 0x7FF8000000000000ULL);
    EXPECT_TRUE(std::isnan(x));
}

// Values whose sums depend on the order: 1e16 + 1 - 1e16 loses the 1 when
// summed left to right.
TEST(Kernels, ProductsSumInIncreasingOrder)
{
    const double x[] = {1e16, 1.0, -1e16};
    const double ones[] = {1.0, 1.0, 1.0};
    EXPECT_EQ(dVecVec(3, x, ones), (1e16 + 1.0) + -1e16);
    EXPECT_EQ(dVecVec(0, x, ones), 0.0);
    EXPECT_EQ(dVecVec(-2, x, ones), 0.0);

    // A = rows of x: inner sums are each ((0 + 1e16) + 1) - 1e16 = 0 with
    // x = ones, so y'Ax = 0 in the stated order (exact value would be 3).
    std::vector<double> r0(x, x + 3), r1(x, x + 3), r2(x, x + 3);
    double *A[] = {r0.data(), r1.data(), r2.data()};
    const double inner = (1e16 + 1.0) + -1e16;
    const double y[] = {2.0, -3.0, 5.0};
    EXPECT_EQ(dVecMatVec(3, ones, A, y), (2.0 * inner + -3.0 * inner) + 5.0 * inner);
    EXPECT_EQ(dVecMatVec(0, ones, A, y), 0.0);

    // The outer sum over i in increasing order.
    double c0[] = {1e16, 0, 0}, c1[] = {0, 1.0, 0}, c2[] = {0, 0, -1e16};
    double *D[] = {c0, c1, c2};
    EXPECT_EQ(dInnerProd(3, ones, D), (1e16 + 1.0) + -1e16);

    // Against a textbook product on a random matrix.
    std::mt19937_64 rng(11);
    std::normal_distribution<double> g;
    const int n = 7;
    Eigen::MatrixXd M(n, n);
    Eigen::VectorXd u(n), w(n);
    for (int i = 0; i < n; i++) {
        u(i) = g(rng);
        w(i) = g(rng);
        for (int j = 0; j < n; j++)
            M(i, j) = g(rng);
    }
    dense::Rows Mr(M);
    const double eps = std::numeric_limits<double>::epsilon();
    double expect = w.dot(M * u), quad = u.dot(M * u);
    double bound = w.cwiseAbs().dot(M.cwiseAbs() * u.cwiseAbs());
    double qbound = u.cwiseAbs().dot(M.cwiseAbs() * u.cwiseAbs());
    double got = dVecMatVec(n, u.data(), Mr.p(), w.data());
    EXPECT_NEAR(got, expect, 4 * n * eps * bound)
        << dense::full(got) << " vs " << dense::full(expect);
    double gotq = dInnerProd(n, u.data(), Mr.p());
    EXPECT_EQ(gotq, dVecMatVec(n, u.data(), Mr.p(), u.data()));
    EXPECT_NEAR(gotq, quad, 4 * n * eps * qbound)
        << dense::full(gotq) << " vs " << dense::full(quad);
}

TEST(Kernels, IntMaxima)
{
    const int v[] = {-4, 7, 3, 7, -9};
    EXPECT_EQ(iMaxIntVec(5, v), 7);
    EXPECT_EQ(iMaxIntVec(1, v), -4);
    EXPECT_EQ(iMaxIntVec(0, v), -4);  // starts from v[0]
    EXPECT_EQ(iMaxIntVec(3, nullptr), 0);
    const int w[] = {-5, -2, -8};
    EXPECT_EQ(iMaxIntVec(3, w), -2);

    int r0[] = {-3, -1}, r1[] = {-7, -2};
    int *t[] = {r0, r1};
    EXPECT_EQ(iMaxIntMat(2, 2, t), -1);
    r1[0] = 12;
    EXPECT_EQ(iMaxIntMat(2, 2, t), 12);
    EXPECT_EQ(iMaxIntMat(1, 2, t), -1);
    EXPECT_EQ(iMaxIntMat(2, 2, nullptr), 0);
    EXPECT_EQ(iMaxIntMat(0, 2, t), 0);
}

TEST(Kernels, TriangularSubstitution)
{
    double a00[] = {4.0};
    double *A1[] = {a00};
    double b1[] = {3.0}, x1[] = {0.0};
    LDLbacksub(1, 1, A1, b1, x1);
    EXPECT_EQ(x1[0], 3.0 / 4.0);
    LDLbacksub(0, 1, A1, b1, x1);
    EXPECT_EQ(x1[0], 3.0 / 4.0);

    std::mt19937_64 rng(5);
    std::normal_distribution<double> g;
    const int n = 6;
    Eigen::MatrixXd A(n, n);
    Eigen::VectorXd b(n);
    for (int i = 0; i < n; i++) {
        b(i) = g(rng);
        for (int j = 0; j < n; j++)
            A(i, j) = i == j ? 2.0 + std::abs(g(rng)) : g(rng);
    }
    dense::Rows Ar(A);
    const double tol = 1e3 * std::numeric_limits<double>::epsilon();
    for (int flag : {1, 0}) {
        Eigen::VectorXd ref = flag ? Eigen::VectorXd(A.triangularView<Eigen::Lower>().solve(b))
                                   : Eigen::VectorXd(A.triangularView<Eigen::Upper>().solve(b));
        std::vector<double> x(n, 0.0), inplace(b.data(), b.data() + n);
        LDLbacksub(flag, n, Ar.p(), b.data(), x.data());
        LDLbacksub(flag, n, Ar.p(), inplace.data(), inplace.data());
        for (int i = 0; i < n; i++) {
            EXPECT_NEAR(x[i], ref(i), tol * (1.0 + std::abs(ref(i))))
                << "flag " << flag << " i " << i << ": " << dense::full(x[i]) << " vs "
                << dense::full(ref(i));
            EXPECT_EQ(inplace[i], x[i]) << "flag " << flag << " i " << i;
        }
    }
    // The sum is formed before it is subtracted from b: with
    // b = 1, A row = [1e16, -1e16 + ..., ] the order is observable.
    double r0[] = {1.0, 0.0, 0.0}, r1[] = {0.0, 1.0, 0.0}, r2[] = {1e16, 1.0, 1.0};
    double *L[] = {r0, r1, r2};
    double bb[] = {1.0, 1.0, 1e16}, xx[3];
    LDLbacksub(1, 3, L, bb, xx);
    EXPECT_EQ(xx[2], 1e16 - (1e16 * 1.0 + 1.0 * 1.0));
}

}  // namespace
