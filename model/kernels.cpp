/*
 * kernels.cpp - the missing-value marker, vector and quadratic-form products,
 * maxima of int tables and triangular substitution.
 *
 * The recursions rely on the exact summation order of these products, so
 * every loop runs in increasing index order (backward substitution aside)
 * and accumulates into one running sum.
 */
#include "model/model.h"
#include "model/vecops.h"

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

/* Rows whose sums dVecMatVec forms side by side. */
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

namespace {

using lds_vec::LoadQuad;
using lds_vec::Quad;

/* s[r] += the terms x_r[k] (sum_j x_r[j] A[j][k]) of the kBlocks blocks of
 * four columns from column c on, for the R rows x_r = X[r], in increasing
 * k.  Each element A[j][k] is loaded once for the R rows, whose R x kBlocks
 * inner sums stay in registers. */
template <int R, int kBlocks>
LDS_INLINE void AddColumnBlocks(int n, int c, double *const *X, double **A, double *s)
{
    const Quad zero = {0.0, 0.0, 0.0, 0.0};
    Quad acc[R][kBlocks];
    for (int r = 0; r < R; r++)
        for (int b = 0; b < kBlocks; b++)
            acc[r][b] = zero;
    for (int j = 0; j < n; j++) {
        Quad a[kBlocks];
        for (int b = 0; b < kBlocks; b++)
            a[b] = LoadQuad(A[j] + c + 4 * b);
        for (int r = 0; r < R; r++) {
            const double x = X[r][j];
            for (int b = 0; b < kBlocks; b++)
                acc[r][b] += x * a[b];
        }
    }
    for (int r = 0; r < R; r++)
        for (int b = 0; b < kBlocks; b++)
            for (int l = 0; l < 4; l++)
                s[r] += X[r][c + 4 * b + l] * acc[r][b][l];
}

/* q[r] = x_r' A x_r for the R rows x_r = X[r]: the column blocks kBlocks at
 * a time, then the blocks left over, then the last columns by row-wise
 * sums (A is symmetric, so row k stands for column k). */
template <int R, int kBlocks>
LDS_INLINE void QuadFormsOfRows(int n, double *const *X, double **A, double *q)
{
    double s[R];
    for (int r = 0; r < R; r++)
        s[r] = 0.0;
    int c = 0;
    for (; c + 4 * kBlocks <= n; c += 4 * kBlocks)
        AddColumnBlocks<R, kBlocks>(n, c, X, A, s);
    switch ((n - c) / 4) {
    case 3: if constexpr (kBlocks > 3) AddColumnBlocks<R, 3>(n, c, X, A, s); break;
    case 2: if constexpr (kBlocks > 2) AddColumnBlocks<R, 2>(n, c, X, A, s); break;
    case 1: if constexpr (kBlocks > 1) AddColumnBlocks<R, 1>(n, c, X, A, s); break;
    default: break;
    }
    for (int k = n & ~3; k < n; k++)
        for (int r = 0; r < R; r++)
            s[r] += X[r][k] * dRowSum(A[k], X[r], 0, n);
    for (int r = 0; r < R; r++)
        q[r] = s[r];
}

/* Rows in groups of R, as many as keep their sums and one row of A within
 * the sixteen vector registers, then the remaining ones together. */
template <int kBlocks>
LDS_INLINE void QuadFormsOfWidth(int rows, int n, double *const *X, double **A, double *q)
{
    constexpr int R = kBlocks <= 2 ? 4 : kBlocks == 3 ? 3 : 2;
    int i = 0;
    for (; i + R <= rows; i += R)
        QuadFormsOfRows<R, kBlocks>(n, X + i, A, q + i);
    switch (rows - i) {
    case 3: if constexpr (R > 3) QuadFormsOfRows<3, kBlocks>(n, X + i, A, q + i); break;
    case 2: if constexpr (R > 2) QuadFormsOfRows<2, kBlocks>(n, X + i, A, q + i); break;
    case 1: QuadFormsOfRows<1, kBlocks>(n, X + i, A, q + i); break;
    default: break;
    }
}

/* Built for AVX2 and for the baseline, the loader picking one; contraction
 * stays off in both, so both give the same bits.  Up to four column blocks
 * go at once; wider matrices take them four at a time. */
LDS_WIDE_VECTORS
void QuadFormsByBlocks(int rows, int n, double *const *X, double **A, double *q)
{
    switch (n / 4) {
    case 1: QuadFormsOfWidth<1>(rows, n, X, A, q); return;
    case 2: QuadFormsOfWidth<2>(rows, n, X, A, q); return;
    case 3: QuadFormsOfWidth<3>(rows, n, X, A, q); return;
    default: QuadFormsOfWidth<4>(rows, n, X, A, q); return;
    }
}

LDS_WIDE_VECTORS
void ColumnCombinationClones(int n, int from, int to, const double *x, double **A,
                             double *out)
{
    lds_vec::ColumnCombination<false>(n, from, to, x, A, out);
}

/* acc (four rows a0..a3 side by side) += the columns 0..n-1 of those rows
 * times x, in increasing column order; four columns are read at once as a
 * block of the rows, transposed in registers. */
LDS_INLINE Quad AddRowBlockProduct(int n, const double *a0, const double *a1, const double *a2,
                                   const double *a3, const double *x, Quad acc)
{
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        Quad column[4] = {LoadQuad(a0 + k), LoadQuad(a1 + k), LoadQuad(a2 + k),
                          LoadQuad(a3 + k)};
        lds_vec::TransposeQuads(column);
        acc += column[0] * x[k];
        acc += column[1] * x[k + 1];
        acc += column[2] * x[k + 2];
        acc += column[3] * x[k + 3];
    }
    for (; k < n; k++) {
        const Quad column = {a0[k], a1[k], a2[k], a3[k]};
        acc += column * x[k];
    }
    return acc;
}

/* The same sums with four rows advancing together in one vector register.
 * The last one to three rows go as one block as well, the last row standing
 * in for the missing ones, whose lanes are dropped: each lane is summed on
 * its own, so the kept ones come out as row by row.  kN, when not 0, is n
 * known at compile time. */
template <int kN>
LDS_INLINE void MatVecFromByBlocksOf(int rows, int nRun, double **A, const double *x,
                                     const double *start, double *out)
{
    const int n = kN ? kN : nRun;
    int i = 0;
    for (; i + kRowBlock <= rows; i += kRowBlock) {
        const Quad acc = AddRowBlockProduct(n, A[i], A[i + 1], A[i + 2], A[i + 3], x,
                                            LoadQuad(start + i));
        std::memcpy(out + i, &acc, sizeof acc);
    }
    const int left = rows - i;
    if (left == 0)
        return;
    const int i1 = left > 1 ? i + 1 : i, i2 = left > 2 ? i + 2 : i1;
    const Quad acc = AddRowBlockProduct(n, A[i], A[i1], A[i2], A[i2], x,
                                        Quad{start[i], start[i1], start[i2], start[i2]});
    for (int k = 0; k < left; k++)
        out[i + k] = acc[k];
}

LDS_WIDE_VECTORS
void MatVecFromByBlocks(int rows, int n, double **A, const double *x, const double *start,
                        double *out)
{
    auto fixed = [&](auto k) __attribute__((always_inline)) {
        MatVecFromByBlocksOf<decltype(k)::value>(rows, n, A, x, start, out);
    };
    if (!lds_vec::WithCompileTimeCount(n, fixed))
        MatVecFromByBlocksOf<0>(rows, n, A, x, start, out);
}

/* kRows = rows, known at compile time so that the blocks and the lanes of
 * the last one are fixed; the accumulators of all blocks stay in registers
 * while the columns of A (rows of At) pass once. */
template <int kRows>
LDS_INLINE void MatTVecFromOf(int n, const double *At, int stride, const double *x,
                              const double *start, double *out)
{
    constexpr int kWhole = kRows / 4, kQ = (kRows + 3) / 4;
    Quad acc[kQ];
    lds_vec::ForEachIndex<kQ>(kQ, [&](int q) __attribute__((always_inline)) {
        if (q < kWhole) {
            acc[q] = LoadQuad(start + 4 * q);
            return;
        }
        Quad s = {0.0, 0.0, 0.0, 0.0};
        lds_vec::ForEachIndex<kRows - 4 * kWhole>(0, [&](int l) { s[l] = start[4 * q + l]; });
        acc[q] = s;
    });
    for (int k = 0; k < n; k++) {
        const double xk = x[k];
        const double *column = At + std::size_t(k) * std::size_t(stride);
        lds_vec::ForEachIndex<kQ>(kQ, [&](int q) __attribute__((always_inline)) {
            acc[q] += xk * LoadQuad(column + 4 * q);
        });
    }
    lds_vec::ForEachIndex<kWhole>(0, [&](int q) { lds_vec::StoreQuad(out + 4 * q, acc[q]); });
    lds_vec::ForEachIndex<kRows - 4 * kWhole>(0, [&](int l) {
        out[4 * kWhole + l] = acc[kQ - 1][l];
    });
}

LDS_WIDE_VECTORS
void MatTVecFromClones(int rows, int n, const double *At, int stride, const double *x,
                       const double *start, double *out)
{
    auto fixed = [&](auto k) __attribute__((always_inline)) {
        MatTVecFromOf<decltype(k)::value>(n, At, stride, x, start, out);
    };
    lds_vec::WithCompileTimeCount(rows, fixed);
}

} // namespace

/* Below one block of four columns the blocked kernels would only add a
 * call; the plain loops give the same sums. */
void LdsQuadFormsSym(int rows, int n, double *const *X, double **A, double *q)
{
    if (n < 4) {
        for (int r = 0; r < rows; r++)
            q[r] = dInnerProd(n, X[r], A);
        return;
    }
    QuadFormsByBlocks(rows, n, X, A, q);
}

void LdsColumnCombination(int n, int from, int to, const double *x, double **A,
                          double *out)
{
    if (to - from < 4)
        lds_vec::ColumnCombination<false>(n, from, to, x, A, out);
    else
        ColumnCombinationClones(n, from, to, x, A, out);
}

void LdsMatVecFrom(int rows, int n, double **A, const double *x, const double *start,
                   double *out)
{
    /* Below one block of four rows the clone would only add a call. */
    if (rows < kRowBlock)
        lds_vec::MatVecFromByRows<0, 0>(rows, n, A, x, start, out);
    else
        MatVecFromByBlocks(rows, n, A, x, start, out);
}

void LdsMatTVecFrom(int rows, int n, const double *At, int stride, const double *x,
                    const double *start, double *out)
{
    static_assert(LDS_TVEC_MAX_ROWS <= lds_vec::kFixedCount,
                  "every row count of the transposed product is compiled");
    MatTVecFromClones(rows, n, At, stride, x, start, out);
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
