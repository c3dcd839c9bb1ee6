/*
 * kernels.cpp - the kernels: the missing-value marker, vector and
 * quadratic-form products, maxima of int tables, triangular substitution
 * (exported, model.h) and the optimised products of the kernel layer
 * (kernels.h), whose plain references are in kernels_ref.cpp.
 *
 * The recursions rely on the exact summation order of these products, so
 * every sum runs in increasing index order (backward substitution aside)
 * and accumulates into one running sum; the optimised kernels form several
 * such sums side by side, by blocks of four (vec/vecops.h).
 */
#include "model/kernels.h"

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

namespace {

using lds_vec::LoadQuad;
using lds_vec::Quad;
using lds_vec::StoreQuad;

const Quad kZero = {0.0, 0.0, 0.0, 0.0};

/* ---- blocks of rows ------------------------------------------------------ */

/* Stores quadAt(c), the values of columns c..c+3, at out[c - from] for the
 * blocks of four of [from, to).  When `before` elements ahead of out may be
 * read and rewritten too, an incomplete last block is stored as the block
 * that ends at to, its lanes ahead of the run's end kept as they are, so
 * they come out bit for bit unchanged.  Returns the first column left
 * unstored (to when none). */
template <class F>
LDS_INLINE int StoreQuadRun(int from, int to, int before, double *out, F quadAt)
{
    int i = from;
    for (; i + 4 <= to; i += 4)
        StoreQuad(out + (i - from), quadAt(i));
    if (i < to && to - 4 >= from - before) {
        const int c = to - 4;
        double *p = out + (c - from);
        StoreQuad(p, lds_vec::BlendBelow(LoadQuad(p), quadAt(c), i - c));
        return to;
    }
    return i;
}

/* out[i - from] = sum_j x[j] A[j][i], i in [from, to), j = 0..n-1 in
 * increasing order from 0.0; four columns advance together.  The last
 * columns go as one block of four when `before` elements ahead of out may
 * be rewritten (StoreQuadRun), else one at a time. */
LDS_INLINE void ColumnCombination(int n, int from, int to, const double *x, double *const *A,
                                  double *out, int before = 0)
{
    auto quadAt = [&](int c) __attribute__((always_inline)) {
        Quad acc = kZero;
        for (int j = 0; j < n; j++)
            acc += x[j] * LoadQuad(A[j] + c);
        return acc;
    };
    for (int i = StoreQuadRun(from, to, before, out, quadAt); i < to; i++) {
        double s = 0.0;
        for (int j = 0; j < n; j++)
            s += x[j] * A[j][i];
        out[i - from] = s;
    }
}

/* Row i of the upper triangle of an m x m block: row[c..c+3] = quadAt(c)
 * for the blocks of four from the diagonal block on (the lanes left of the
 * diagonal kept as they are) up to the last whole block, then row[j] =
 * at(j) for the columns after it.  The rows are written and read back
 * within a filter step by the host's products, in blocks of four from
 * column 0 and one element at a time after the last whole block; writing
 * them in the same blocks lets each read take its data straight from the
 * write before it. */
template <class Q, class S>
LDS_INLINE void UpperTriangleRow(int i, int m, double *row, Q quadAt, S at)
{
    const int whole = m & ~3;
    int j = i & ~3;
    if (j < whole) {
        StoreQuad(row + j, lds_vec::BlendBelow(LoadQuad(row + j), quadAt(j), i - j));
        for (j += 4; j < whole; j += 4)
            StoreQuad(row + j, quadAt(j));
    }
    for (j = whole > i ? whole : i; j < m; j++)
        row[j] = at(j);
}

/* A[j][i] = A[i][j] for 0 <= i < j < n, by blocks of four from column 0
 * and element by element after the last whole block of each row. */
LDS_INLINE void MirrorUpper(int n, double *const *A)
{
    const int whole = n & ~3;
    for (int jb = 0; jb < whole; jb += 4) {
        Quad r[4], t[4];
        for (int k = 0; k < 4; k++)
            r[k] = t[k] = LoadQuad(A[jb + k] + jb);
        lds_vec::TransposeQuads(t);
        for (int k = 1; k < 4; k++)
            StoreQuad(A[jb + k] + jb, lds_vec::BlendBelow(t[k], r[k], k));
        for (int ib = jb + 4; ib < whole; ib += 4) {
            Quad q[4];
            for (int k = 0; k < 4; k++)
                q[k] = LoadQuad(A[jb + k] + ib);
            lds_vec::TransposeQuads(q);
            for (int k = 0; k < 4; k++)
                StoreQuad(A[ib + k] + jb, q[k]);
        }
    }
    /* The last rows by blocks of four as well, gathered down their columns,
     * then their corner one element at a time. */
    for (int j = whole; j < n; j++) {
        for (int ib = 0; ib < whole; ib += 4)
            StoreQuad(A[j] + ib, Quad{A[ib][j], A[ib + 1][j], A[ib + 2][j], A[ib + 3][j]});
        for (int i = whole; i < j; i++)
            A[j][i] = A[i][j];
    }
}

/* sum_j a[j] x[j] over j in [0, n), increasing j, from 0.0. */
LDS_INLINE double RowSum(const double *a, const double *x, int n)
{
    double s = 0.0;
    for (int j = 0; j < n; j++)
        s += a[j] * x[j];
    return s;
}

/* ---- LdsQuadFormsSym ------------------------------------------------------ */

/* s[r] += the terms x_r[k] (sum_j x_r[j] A[j][k]) of the kBlocks blocks of
 * four columns from column c on, for the R rows x_r = X[r], in increasing
 * k.  Each element A[j][k] is loaded once for the R rows, whose R x kBlocks
 * inner sums stay in registers. */
template <int R, int kBlocks>
LDS_INLINE void AddColumnBlocks(int n, int c, double *const *X, double **A, double *s)
{
    Quad acc[R][kBlocks];
    for (int r = 0; r < R; r++)
        for (int b = 0; b < kBlocks; b++)
            acc[r][b] = kZero;
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
            s[r] += X[r][k] * RowSum(A[k], X[r], n);
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

/* Up to four column blocks go at once; wider matrices take them four at a
 * time.  Below one block of four the plain row sums. */
LDS_INLINE void LdsQuadFormsSymBody(int rows, int n, double *const *X, double **A, double *q)
{
    switch (n / 4) {
    case 0:
        for (int r = 0; r < rows; r++)
            q[r] = dInnerProd(n, X[r], A);
        return;
    case 1: QuadFormsOfWidth<1>(rows, n, X, A, q); return;
    case 2: QuadFormsOfWidth<2>(rows, n, X, A, q); return;
    case 3: QuadFormsOfWidth<3>(rows, n, X, A, q); return;
    default: QuadFormsOfWidth<4>(rows, n, X, A, q); return;
    }
}

/* ---- LdsColumnCombination ------------------------------------------------- */

LDS_INLINE void LdsColumnCombinationBody(int n, int from, int to, const double *x, double **A,
                                         double *out)
{
    ColumnCombination(n, from, to, x, A, out);
}

/* ---- LdsMatVecFrom --------------------------------------------------------- */

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

/* Four rows advance together in one block.  The last one to three rows go
 * as one block as well, the last row standing in for the missing ones,
 * whose lanes are dropped: each lane is summed on its own, so the kept ones
 * come out as row by row.  kN, when not 0, is n known at compile time. */
template <int kN>
LDS_INLINE void MatVecFromByBlocksOf(int rows, int nRun, double **A, const double *x,
                                     const double *start, double *out)
{
    const int n = kN ? kN : nRun;
    int i = 0;
    for (; i + kRowBlock <= rows; i += kRowBlock)
        StoreQuad(out + i, AddRowBlockProduct(n, A[i], A[i + 1], A[i + 2], A[i + 3], x,
                                              LoadQuad(start + i)));
    const int left = rows - i;
    if (left == 0)
        return;
    const int i1 = left > 1 ? i + 1 : i, i2 = left > 2 ? i + 2 : i1;
    const Quad acc = AddRowBlockProduct(n, A[i], A[i1], A[i2], A[i2], x,
                                        Quad{start[i], start[i1], start[i2], start[i2]});
    for (int k = 0; k < left; k++)
        out[i + k] = acc[k];
}

/* Below one block of four rows, row by row. */
LDS_INLINE void LdsMatVecFromBody(int rows, int n, double **A, const double *x,
                                  const double *start, double *out)
{
    if (rows < kRowBlock) {
        LdsMatVecFromOf<0, 0>(rows, n, A, x, start, out);
        return;
    }
    auto fixed = [&](auto k) __attribute__((always_inline)) {
        MatVecFromByBlocksOf<decltype(k)::value>(rows, n, A, x, start, out);
    };
    if (!lds_vec::WithCompileTimeCount(n, fixed))
        MatVecFromByBlocksOf<0>(rows, n, A, x, start, out);
}

/* ---- LdsMatTVecFrom -------------------------------------------------------- */

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
        Quad s = kZero;
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
    lds_vec::ForEachIndex<kWhole>(0, [&](int q) { StoreQuad(out + 4 * q, acc[q]); });
    lds_vec::ForEachIndex<kRows - 4 * kWhole>(0, [&](int l) {
        out[4 * kWhole + l] = acc[kQ - 1][l];
    });
}

LDS_INLINE void LdsMatTVecFromBody(int rows, int n, const double *At, int stride,
                                   const double *x, const double *start, double *out)
{
    static_assert(LDS_TVEC_MAX_ROWS <= lds_vec::kFixedCount,
                  "every row count of the transposed product is compiled");
    auto fixed = [&](auto k) __attribute__((always_inline)) {
        MatTVecFromOf<decltype(k)::value>(n, At, stride, x, start, out);
    };
    lds_vec::WithCompileTimeCount(rows, fixed);
}

/* ---- LdsScaleRow ------------------------------------------------------------ */

LDS_INLINE void LdsScaleRowBody(int n, double *x, double f)
{
    int j = 0;
    for (; j + 4 <= n; j += 4)
        StoreQuad(x + j, LoadQuad(x + j) * f);
    for (; j < n; j++)
        x[j] = x[j] * f;
}

/* ---- LdsSymSubColRow -------------------------------------------------------- */

/* Row i goes by the blocks of four from its diagonal block on, the lanes
 * left of the diagonal kept.  kM, when not 0, is m known at compile time,
 * and the loop over rows becomes straight-line code. */
template <int kM>
LDS_INLINE void SymSubColRowOf(int mRun, double **P)
{
    const int m = kM ? kM : mRun;
    const double *krow = P[m];
    lds_vec::ForEachIndex<kM>(m, [&](int i) __attribute__((always_inline)) {
        double *pi = P[i];
        const double mi = pi[m];
        UpperTriangleRow(
            i, m, pi,
            [&](int c) __attribute__((always_inline)) {
                return LoadQuad(pi + c) - mi * LoadQuad(krow + c);
            },
            [&](int j) __attribute__((always_inline)) { return pi[j] - mi * krow[j]; });
    });
    MirrorUpper(m, P);
}

LDS_INLINE void LdsSymSubColRowBody(int m, double **P)
{
    auto fixed = [&](auto k) __attribute__((always_inline)) {
        SymSubColRowOf<decltype(k)::value>(m, P);
    };
    if (!lds_vec::WithCompileTimeCount(m, fixed))
        SymSubColRowOf<0>(m, P);
}

/* ---- LdsGainRows ------------------------------------------------------------ */

/* kN is N, known at compile time: column i of the lower-left block is
 * gathered on the stack, so that row i of the result is one combination of
 * the rows of the lower-right block, written as a block run that may
 * rewrite (unchanged) entries ahead of it. */
template <int kN>
LDS_INLINE void GainRowsOf(int m, double **W)
{
    double mcol[kN];
    for (int i = 0; i < m; i++) {
        for (int k = 0; k < kN; k++)
            mcol[k] = W[m + k][i];
        ColumnCombination(kN, m, m + kN, mcol, W + m, W[i] + m, m);
    }
}

/* Series up to which the gain rows are compiled for their count; beyond it
 * each element is summed on its own, as the reference does. */
const int kGainGather = lds_vec::kFixedCount;

LDS_INLINE void LdsGainRowsBody(int N, int m, double **W)
{
    if (N <= kGainGather) {
        lds_vec::WithCompileTimeCount(N, [&](auto k) __attribute__((always_inline)) {
            GainRowsOf<decltype(k)::value>(m, W);
        });
        return;
    }
    LdsGainRowsRef(N, m, W);
}

/* ---- LdsSymSubProduct ------------------------------------------------------- */

/* Row i of the upper triangle is one combination of the rows of the
 * lower-left block with row i of the upper-right block as coefficients,
 * subtracted; then the triangle is mirrored.  kM, when not 0, is m known at
 * compile time. */
template <int kM>
LDS_INLINE void SymSubProductOf(int N, int mRun, double **W)
{
    const int m = kM ? kM : mRun;
    lds_vec::ForEachIndex<kM>(m, [&](int i) __attribute__((always_inline)) {
        const double *krow = W[i] + m;
        double *wi = W[i];
        UpperTriangleRow(
            i, m, wi,
            [&](int c) __attribute__((always_inline)) {
                Quad acc = kZero;
                for (int k = 0; k < N; k++)
                    acc += krow[k] * LoadQuad(W[m + k] + c);
                return LoadQuad(wi + c) - acc;
            },
            [&](int j) __attribute__((always_inline)) {
                double sum = 0.0;
                for (int k = 0; k < N; k++)
                    sum += krow[k] * W[m + k][j];
                return wi[j] - sum;
            });
    });
    MirrorUpper(m, W);
}

LDS_INLINE void LdsSymSubProductBody(int N, int m, double **W)
{
    auto fixed = [&](auto k) __attribute__((always_inline)) {
        SymSubProductOf<decltype(k)::value>(N, m, W);
    };
    if (!lds_vec::WithCompileTimeCount(m, fixed))
        SymSubProductOf<0>(N, m, W);
}

/* ---- LdsSymFromLower -------------------------------------------------------- */

/* B's rows are written by blocks of four from column 0 and element by
 * element after the last whole block. */
LDS_INLINE void LdsSymFromLowerBody(int n, double **A, double **B)
{
    const int whole = n & ~3;
    for (int jb = 0; jb < whole; jb += 4) {
        for (int ib = 0; ib < jb; ib += 4) {
            Quad q[4];
            for (int k = 0; k < 4; k++) {
                q[k] = LoadQuad(A[jb + k] + ib);
                StoreQuad(B[jb + k] + ib, q[k]);
            }
            lds_vec::TransposeQuads(q);
            for (int k = 0; k < 4; k++)
                StoreQuad(B[ib + k] + jb, q[k]);
        }
        Quad r[4], t[4];
        for (int k = 0; k < 4; k++)
            r[k] = t[k] = LoadQuad(A[jb + k] + jb);
        lds_vec::TransposeQuads(t);
        for (int k = 0; k < 4; k++)
            StoreQuad(B[jb + k] + jb, lds_vec::BlendBelow(r[k], t[k], k + 1));
    }
    for (int j = whole; j < n; j++) {
        const double *a = A[j];
        double *b = B[j];
        for (int ib = 0; ib < whole; ib += 4)
            StoreQuad(b + ib, LoadQuad(a + ib));
        for (int i = whole; i <= j; i++)
            b[i] = a[i];
        for (int i = 0; i < j; i++)
            B[i][j] = a[i];
    }
}

} // namespace

/* ---- the copies and the calls ------------------------------------------------ */

LDS_TWO_COPIES(void, LdsQuadFormsSym, (int rows, int n, double *const *X, double **A, double *q),
               (rows, n, X, A, q))
LDS_TWO_COPIES(void, LdsColumnCombination,
               (int n, int from, int to, const double *x, double **A, double *out),
               (n, from, to, x, A, out))
LDS_TWO_COPIES(void, LdsMatVecFrom,
               (int rows, int n, double **A, const double *x, const double *start, double *out),
               (rows, n, A, x, start, out))
LDS_TWO_COPIES(void, LdsMatTVecFrom,
               (int rows, int n, const double *At, int stride, const double *x,
                const double *start, double *out),
               (rows, n, At, stride, x, start, out))
LDS_TWO_COPIES(void, LdsScaleRow, (int n, double *x, double f), (n, x, f))
LDS_TWO_COPIES(void, LdsSymSubColRow, (int m, double **P), (m, P))
LDS_TWO_COPIES(void, LdsGainRows, (int N, int m, double **W), (N, m, W))
LDS_TWO_COPIES(void, LdsSymSubProduct, (int N, int m, double **W), (N, m, W))
LDS_TWO_COPIES(void, LdsSymFromLower, (int n, double **A, double **B), (n, A, B))

/* Below one block of four the copies would only add a call; the plain loops
 * of the bodies give the same sums. */
void LdsQuadFormsSym(int rows, int n, double *const *X, double **A, double *q)
{
    if (n < 4)
        LdsQuadFormsSymBody(rows, n, X, A, q);
    else
        LDS_COPY(LdsQuadFormsSym, (rows, n, X, A, q));
}

void LdsColumnCombination(int n, int from, int to, const double *x, double **A, double *out)
{
    if (to - from < 4)
        LdsColumnCombinationBody(n, from, to, x, A, out);
    else
        LDS_COPY(LdsColumnCombination, (n, from, to, x, A, out));
}

void LdsMatVecFrom(int rows, int n, double **A, const double *x, const double *start,
                   double *out)
{
    if (rows < kRowBlock)
        LdsMatVecFromOf<0, 0>(rows, n, A, x, start, out);
    else
        LDS_COPY(LdsMatVecFrom, (rows, n, A, x, start, out));
}

void LdsMatTVecFrom(int rows, int n, const double *At, int stride, const double *x,
                    const double *start, double *out)
{
    LDS_COPY(LdsMatTVecFrom, (rows, n, At, stride, x, start, out));
}

void LdsScaleRow(int n, double *x, double f) { LDS_COPY(LdsScaleRow, (n, x, f)); }

void LdsSymSubColRow(int m, double **P) { LDS_COPY(LdsSymSubColRow, (m, P)); }

void LdsGainRows(int N, int m, double **W) { LDS_COPY(LdsGainRows, (N, m, W)); }

void LdsSymSubProduct(int N, int m, double **W) { LDS_COPY(LdsSymSubProduct, (N, m, W)); }

void LdsSymFromLower(int n, double **A, double **B) { LDS_COPY(LdsSymFromLower, (n, A, B)); }

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

/* ---- the smoothing variance ------------------------------------------------- */

namespace {

using lds_vec::LoadQuad;
using lds_vec::Quad;
using lds_vec::StoreQuad;

/* The columns [c, c + 4 kQ + left) (left < 4) of sum over b < n with
 * coef(b) != 0 of coef(b) row(b)[col], each from 0.0 in increasing b,
 * handed to put(col, value) once all are formed: one pass over the rows,
 * by blocks of four and the last columns singly. */
template <int kQ, class Coef, class Row, class Put>
LDS_INLINE void SparseCombinationPass(int n, int c, int left, Coef coef, Row row, Put put)
{
    Quad acc[kQ > 0 ? kQ : 1];
    for (int q = 0; q < kQ; q++)
        acc[q] = Quad{0.0, 0.0, 0.0, 0.0};
    double s[3] = {0.0, 0.0, 0.0};
    const int t = c + 4 * kQ;
    for (int b = 0; b < n; b++) {
        const double x = coef(b);
        if (x == 0.0)
            continue;
        const double *r = row(b);
        for (int q = 0; q < kQ; q++)
            acc[q] += x * LoadQuad(r + c + 4 * q);
        lds_vec::ForTail(0, left, [&](int l) __attribute__((always_inline)) {
            s[l] += x * r[t + l];
        });
    }
    for (int q = 0; q < kQ; q++)
        for (int l = 0; l < 4; l++)
            put(c + 4 * q + l, acc[q][l]);
    for (int l = 0; l < left; l++)
        put(t + l, s[l]);
}

/* The same sums for the columns [from, to): sixteen columns per pass over
 * the rows, the last pass up to nineteen. */
template <class Coef, class Row, class Put>
LDS_INLINE void SparseCombination(int n, int from, int to, Coef coef, Row row, Put put)
{
    int c = from;
    for (; to - c >= 20; c += 16)
        SparseCombinationPass<4>(n, c, 0, coef, row, put);
    const int left = (to - c) % 4;
    switch ((to - c) / 4) {
    case 4: SparseCombinationPass<4>(n, c, left, coef, row, put); break;
    case 3: SparseCombinationPass<3>(n, c, left, coef, row, put); break;
    case 2: SparseCombinationPass<2>(n, c, left, coef, row, put); break;
    case 1: SparseCombinationPass<1>(n, c, left, coef, row, put); break;
    default: SparseCombinationPass<0>(n, c, left, coef, row, put); break;
    }
}

/* Below one block of four the reference's loops. */
LDS_INLINE void LdsSymCongruenceInPlaceBody(int m, int N, double **A, double **C, double *y)
{
    if (m < 4) {
        LdsSymCongruenceInPlaceRef(m, N, A, C, y);
        return;
    }
    const int d = m + N;
    for (int i = 0; i < m; i++) {
        SparseCombination(
            m, 0, m, [&](int b) __attribute__((always_inline)) { return A[b][i]; },
            [&](int b) __attribute__((always_inline)) { return C[b]; },
            [&](int c, double v) __attribute__((always_inline)) { y[c] = v; });
        for (int k = 0; k < N; k++) {
            double s = 0.0;
            for (int l = 0; l < N; l++)
                s += A[m + k][m + l] * A[m + l][i];
            y[m + k] = s;
        }
        /* The first pass holds column i, the only one of X read here that
         * is written, and writes it only once its sums are formed. */
        SparseCombination(
            d, i, m, [&](int a) __attribute__((always_inline)) { return y[a]; },
            [&](int a) __attribute__((always_inline)) { return A[a]; },
            [&](int j, double v) __attribute__((always_inline)) { A[j][i] = v; });
    }
    for (int i = 0; i < m; i++)
        for (int j = i + 1; j < m; j++)
            A[i][j] = A[j][i];
}

} // namespace

LDS_TWO_COPIES(void, LdsSymCongruenceInPlace, (int m, int N, double **A, double **C, double *y),
               (m, N, A, C, y))

void LdsSymCongruenceInPlace(int m, int N, double **A, double **C, double *y)
{
    LDS_COPY(LdsSymCongruenceInPlace, (m, N, A, C, y));
}

/* ==== the simulation smoother's and the weights' backward products ======== */

namespace {

/* out[c..c+3] = start[c..c+3] + X[k][i] Y[k][c..c+3] summed over k in
 * increasing order (zero coefficients left out) for the kQuads blocks of
 * four that start at the columns at[0..kQuads-1]: the blocks stay in
 * registers while the rows of Y pass once.  Blocks may overlap: every lane
 * is summed on its own from start, and start is read whole before out is
 * written, so an overlapping column comes out the same from each. */
template <int kQuads>
LDS_INLINE void CombineRowsQuads(int n, const int *at, double *const *X, int i,
                                 double *const *Y, const double *start, double *out)
{
    /* Spelt out by block, so that the sums stay in registers. */
    Quad acc[kQuads];
    int col[kQuads];
    lds_vec::ForEachIndex<kQuads>(kQuads, [&](int q) __attribute__((always_inline)) {
        col[q] = at[q];
        acc[q] = start ? LoadQuad(start + col[q]) : kZero;
    });
    for (int k = 0; k < n; k++) {
        const double x = X[k][i];
        if (x == 0.0)
            continue;
        const double *y = Y[k];
        lds_vec::ForEachIndex<kQuads>(kQuads, [&](int q) __attribute__((always_inline)) {
            acc[q] += x * LoadQuad(y + col[q]);
        });
    }
    lds_vec::ForEachIndex<kQuads>(kQuads, [&](int q) __attribute__((always_inline)) {
        StoreQuad(out + col[q], acc[q]);
    });
}

/* Sixteen columns at a time while more than twenty are left, then the last
 * four to twenty columns in one pass over the rows of Y, as blocks of four
 * of which the last ends at column cols (overlapping the one before it
 * when cols is not a multiple of four).  Below four columns one at a
 * time. */
/* Row i of LdsTransposeProductFrom, from the row start (null: 0.0) into
 * the row out. */
LDS_INLINE void CombineRowsFrom(int n, int cols, double *const *X, int i, double *const *Y,
                                const double *start, double *out)
{
    if (cols < 4) {
        for (int c = 0; c < cols; c++) {
            double s = start ? start[c] : 0.0;
            for (int k = 0; k < n; k++)
                if (X[k][i] != 0.0)
                    s += X[k][i] * Y[k][c];
            out[c] = s;
        }
        return;
    }
    int c = 0;
    for (; cols - c > 20; c += 16) {
        const int at[4] = {c, c + 4, c + 8, c + 12};
        CombineRowsQuads<4>(n, at, X, i, Y, start, out);
    }
    const int quads = (cols - c + 3) / 4;
    int at[5];
    for (int q = 0; q < quads; q++)
        at[q] = c + 4 * q;
    at[quads - 1] = cols - 4;
    switch (quads) {
    case 1: CombineRowsQuads<1>(n, at, X, i, Y, start, out); break;
    case 2: CombineRowsQuads<2>(n, at, X, i, Y, start, out); break;
    case 3: CombineRowsQuads<3>(n, at, X, i, Y, start, out); break;
    case 4: CombineRowsQuads<4>(n, at, X, i, Y, start, out); break;
    default: CombineRowsQuads<5>(n, at, X, i, Y, start, out); break;
    }
}

/* Row by row. */
LDS_INLINE void LdsTransposeProductFromBody(int n, int rows, int cols, double *const *X,
                                            double *const *Y, double *const *start,
                                            double **out)
{
    for (int i = 0; i < rows; i++)
        CombineRowsFrom(n, cols, X, i, Y, start ? start[i] : nullptr, out[i]);
}

/* y[0..n-1] += a x[0..n-1], by blocks of four. */
LDS_INLINE void AddScaledRow(int n, double a, const double *x, double *y)
{
    int c = 0;
    for (; c + 4 <= n; c += 4)
        StoreQuad(y + c, LoadQuad(y + c) + a * LoadQuad(x + c));
    for (; c < n; c++)
        y[c] += a * x[c];
}

LDS_INLINE void LdsAddOuterBody(int rows, int cols, const double *x, const double *y, double **Y)
{
    for (int r = 0; r < rows; r++)
        if (x[r] != 0.0)
            AddScaledRow(cols, x[r], y, Y[r]);
}

LDS_INLINE void LdsAddOuterUpperBody(int n, const double *x, const double *y, double **S)
{
    for (int a = 0; a < n; a++)
        if (x[a] != 0.0)
            AddScaledRow(n - a, x[a], y + a, S[a] + a);
}

} // namespace

LDS_TWO_COPIES(void, LdsTransposeProductFrom,
               (int n, int rows, int cols, double *const *X, double *const *Y,
                double *const *start, double **out),
               (n, rows, cols, X, Y, start, out))
LDS_TWO_COPIES(void, LdsAddOuter,
               (int rows, int cols, const double *x, const double *y, double **Y),
               (rows, cols, x, y, Y))
LDS_TWO_COPIES(void, LdsAddOuterUpper, (int n, const double *x, const double *y, double **S),
               (n, x, y, S))

/* Below one block of four columns the copies would only add a call. */
void LdsTransposeProductFrom(int n, int rows, int cols, double *const *X, double *const *Y,
                             double *const *start, double **out)
{
    if (cols < 4)
        LdsTransposeProductFromBody(n, rows, cols, X, Y, start, out);
    else
        LDS_COPY(LdsTransposeProductFrom, (n, rows, cols, X, Y, start, out));
}

void LdsAddOuter(int rows, int cols, const double *x, const double *y, double **Y)
{
    if (cols < 4)
        LdsAddOuterBody(rows, cols, x, y, Y);
    else
        LDS_COPY(LdsAddOuter, (rows, cols, x, y, Y));
}

void LdsAddOuterUpper(int n, const double *x, const double *y, double **S)
{
    if (n < 4)
        LdsAddOuterUpperBody(n, x, y, S);
    else
        LDS_COPY(LdsAddOuterUpper, (n, x, y, S));
}
