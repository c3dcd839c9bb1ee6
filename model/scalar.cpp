/*
 * scalar.cpp - the exported scalar helpers (model/scalar.h): the
 * missing-value marker, vector and quadratic-form products, maxima of int
 * tables and triangular substitution.
 *
 * The recursions rely on the exact summation order of these products, so
 * every sum runs in increasing index order (backward substitution aside)
 * and accumulates into one running sum.
 */
#include "model/scalar.h"

#include <cstdint>
#include <cstring>

namespace {

/* IEEE 754 binary64 fields. */
const std::uint64_t kExponentMask = 0x7FF0000000000000ULL;
const std::uint64_t kFractionMask = 0x000FFFFFFFFFFFFFULL;
/* The quiet NaN written for missing values. */
const std::uint64_t kQuietNaN = 0x7FF8000000000000ULL;

/* sum_j a[j] x[j] over j in [from, to), increasing j. */
double dRowSum(const double *a, const double *x, int from, int to)
{
    double s = 0.0;
    for (int j = from; j < to; j++)
        s += a[j] * x[j];
    return s;
}

} // namespace

int FIsNaN(double x)
{
    /* Read the bits rather than compare x with itself: the test must hold
     * even where the compiler is allowed to assume finite arithmetic. */
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & kExponentMask) == kExponentMask && (bits & kFractionMask) != 0;
}

void SetNaN(double *p)
{
    /* Going through a 64-bit integer fixes the pattern whatever the byte
     * order of the platform. */
    std::memcpy(p, &kQuietNaN, sizeof *p);
}

double dVecVec(int n, const double *x, const double *y)
{
    return n < 1 ? 0.0 : dRowSum(x, y, 0, n);
}

/* Rows whose sums dVecMatVec and LdsMatVecFrom form side by side. */
const int kRowBlock = 4;

double dVecMatVec(int n, const double *x, double **A, const double *y)
{
    /* Each row's sum runs over increasing j and the row sums enter s in
     * increasing i, as written; four rows advance together so that their
     * additions do not wait on one another, which matters for the m x m
     * quadratic forms of the smoothers. */
    double s = 0.0;
    int i = 0;
    for (; i + kRowBlock <= n; i += kRowBlock) {
        const double *a0 = A[i], *a1 = A[i + 1], *a2 = A[i + 2], *a3 = A[i + 3];
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        for (int j = 0; j < n; j++) {
            const double xj = x[j];
            s0 += a0[j] * xj;
            s1 += a1[j] * xj;
            s2 += a2[j] * xj;
            s3 += a3[j] * xj;
        }
        s += y[i] * s0;
        s += y[i + 1] * s1;
        s += y[i + 2] * s2;
        s += y[i + 3] * s3;
    }
    for (; i < n; i++)
        s += y[i] * dRowSum(A[i], x, 0, n);
    return s;
}

double dInnerProd(int n, const double *x, double **A)
{
    return dVecMatVec(n, x, A, x);
}

int iMaxIntVec(int n, const int *v)
{
    if (!v)
        return 0;
    int best = v[0];
    for (int i = 1; i < n; i++)
        if (v[i] > best)
            best = v[i];
    return best;
}

int iMaxIntMat(int rows, int cols, int **t)
{
    /* An empty table has no [0][0] entry to start from. */
    if (!t || rows < 1 || cols < 1)
        return 0;
    int best = t[0][0];
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++)
            if (t[i][j] > best)
                best = t[i][j];
    return best;
}

void LDLbacksub(int flag, int n, double **A, const double *b, double *x)
{
    /* b and x may alias: x[i] is written only after b[i] has been read, and
     * the sums use only entries of x already solved. */
    if (flag) {
        for (int i = 0; i < n; i++)
            x[i] = (b[i] - dRowSum(A[i], x, 0, i)) / A[i][i];
    } else {
        for (int i = n - 1; i >= 0; i--)
            x[i] = (b[i] - dRowSum(A[i], x, i + 1, n)) / A[i][i];
    }
}
