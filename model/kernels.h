/*
 * kernels.h - the kernel layer: the products the recursions call by name,
 * each with its contract and the sizes it accepts.  Internal to the
 * library; the exported kernels (dVecVec, dVecMatVec, dInnerProd,
 * LDLbacksub, FIsNaN, SetNaN, the int maxima) are declared in model.h.
 *
 * Every optimised kernel `Lds<Name>` (model/kernels.cpp) has a plain scalar
 * reference `Lds<Name>Ref` (model/kernels_ref.cpp) with the same contract
 * and the same bits: the sums run in the stated orders, and the optimised
 * code only forms several of them side by side.  Where wide copies are
 * built (vec/vecops.h), the kernels marked [two copies] also exist as
 * `Lds<Name>Wide` and `Lds<Name>Base`, and `Lds<Name>` calls the one the
 * processor runs.  tests/kernels checks each against its reference.
 *
 * Matrices are row-pointer arrays; nothing here allocates.
 */
#ifndef VANTREL_MODEL_KERNELS_H
#define VANTREL_MODEL_KERNELS_H

#include "model/model.h"
#include "vec/vecops.h"

/* State counts 1..kLdsCompiledStates get code compiled for their count in
 * the recursions' time loops (the `kM` template argument of the kernels
 * below and of the loops that call them; 0 stands for any other count).
 * Below one block of four every product of a time point is a few scalar
 * sums, which the compiled loop forms without calls. */
const int kLdsCompiledStates = 3;

/* f(std::integral_constant<int, m>()) when 1 <= m <= kLdsCompiledStates,
 * else f(std::integral_constant<int, 0>()); f's result. */
template <class F>
LDS_INLINE auto LdsWithCompiledStates(int m, F f)
{
    return lds_vec::WithCountUpTo<kLdsCompiledStates>(m, f);
}

/* Declares Lds<Name> with its reference and, where built, its two copies
 * (defined to the end of this header). */
#ifdef LDS_WIDE_COPIES
#define LDS_KERNEL(name, params) \
    void name params;            \
    void name##Ref params;       \
    void name##Wide params;      \
    void name##Base params
#else
#define LDS_KERNEL(name, params) \
    void name params;            \
    void name##Ref params
#endif

/* q[r] = X[r]' A X[r] for r = 0..rows-1, each equal to dInnerProd(n, X[r],
 * A) bit for bit.  A must be exactly symmetric over its leading n x n block
 * (the optimised kernel reads A[j][k] for A[k][j]).  rows >= 0, n >= 0.
 * Reads X rows 0..rows-1 (n each) and A; writes q[0..rows-1].  [two copies] */
LDS_KERNEL(LdsQuadFormsSym, (int rows, int n, double *const *X, double **A, double *q));

/* out[i - from] = sum over j = 0..n-1 of x[j] A[j][i], in increasing j from
 * 0.0, for i in [from, to): the row vector x' A over a range of columns.
 * Reads x[0..n-1] and rows 0..n-1 of A (columns from..to-1); writes
 * out[0..to-from-1], which must not overlap those rows.  [two copies] */
LDS_KERNEL(LdsColumnCombination, (int n, int from, int to, const double *x, double **A,
                                  double *out));

/* out[i] = start[i] + sum over k = 0..n-1 of A[i][k] x[k], in increasing k
 * from start[i], for i = 0..rows-1.  Reads A (rows x n), x[0..n-1] and
 * start[0..rows-1]; writes out[0..rows-1], which may be start itself but
 * must not overlap x or the rows of A.  [two copies] */
LDS_KERNEL(LdsMatVecFrom, (int rows, int n, double **A, const double *x, const double *start,
                           double *out));

/* Largest row count of the matrix whose transpose LdsMatTVecFrom reads. */
#define LDS_TVEC_MAX_ROWS 16

/* The sums of LdsMatVecFrom, read from the transpose At of A: row k of At
 * (At + k * stride) holds column k of A, padded with finite values up to
 * rows rounded up to a multiple of four.  1 <= rows <= LDS_TVEC_MAX_ROWS,
 * n >= 0.  Reads At (n rows), x and start; writes out[0..rows-1], which may
 * be start itself but must not overlap x or At.  [two copies] */
LDS_KERNEL(LdsMatTVecFrom, (int rows, int n, const double *At, int stride, const double *x,
                            const double *start, double *out));

/* x[j] = x[j] * f for j = 0..n-1.  n >= 0.  [two copies] */
LDS_KERNEL(LdsScaleRow, (int n, double *x, double f));

/* P[i][j] = P[i][j] - P[i][m] P[m][j] for 0 <= i <= j < m, then P[j][i] =
 * P[i][j]: the symmetric m x m block less the outer product of column m
 * (rows 0..m-1) and row m (columns 0..m-1), which are read only.  m >= 0;
 * P has m+1 rows of at least m+1 entries.  [two copies] */
LDS_KERNEL(LdsSymSubColRow, (int m, double **P));

/* W[i][m+j] = sum over k = 0..N-1 of W[m+k][i] W[m+k][m+j], in increasing
 * k from 0.0, for i < m, j < N: the upper-right block of the d x d matrix W
 * (d = m + N) becomes the product of the transpose of its lower-left block
 * and its lower-right block, which are read only.  N >= 1, m >= 0.
 * [two copies] */
LDS_KERNEL(LdsGainRows, (int N, int m, double **W));

/* W[i][j] = W[i][j] - sum over k = 0..N-1 of W[i][m+k] W[m+k][j], in
 * increasing k from 0.0, for 0 <= i <= j < m, then W[j][i] = W[i][j]: the
 * leading m x m block less the product of the upper-right and lower-left
 * blocks of W (d = m + N), which are read only.  N >= 1, m >= 0.
 * [two copies] */
LDS_KERNEL(LdsSymSubProduct, (int N, int m, double **W));

/* B[i][j] = B[j][i] = A[i][j] for 0 <= j <= i < n: the symmetric matrix of
 * A's lower triangle (A's upper triangle is not read).  A and B must not
 * overlap.  n >= 0.  [two copies] */
LDS_KERNEL(LdsSymFromLower, (int n, double **A, double **B));


/* ---- kernels compiled for a state count --------------------------------
 * kM, when not 0, is the count n (or m) known at compile time, below one
 * block of four: the loops become straight-line code in the caller, with
 * the same sums in the same order as the kernels above.  With kM = 0 they
 * call those kernels. */

/* LdsMatVecFrom for rows = kRows and n = kN (each 0 when not known). */
template <int kRows, int kN>
LDS_INLINE void LdsMatVecFromOf(int rows, int n, double *const *A, const double *x,
                                const double *start, double *out)
{
    lds_vec::ForEachIndex<kRows>(rows, [&](int i) __attribute__((always_inline)) {
        double s = start[i];
        const double *ai = A[i];
        lds_vec::ForEachIndex<kN>(n, [&](int k) __attribute__((always_inline)) {
            s += ai[k] * x[k];
        });
        out[i] = s;
    });
}

/* LdsColumnCombination (any n and column range), its sums in the same order;
 * for a state count kM > 0 known at compile time the loop is written out
 * in the caller instead of calling the kernel. */
template <int kM>
LDS_INLINE void LdsColumnCombinationOf(int n, int from, int to, const double *x, double **A,
                                       double *out)
{
    if constexpr (kM > 0) {
        for (int i = from; i < to; i++) {
            double s = 0.0;
            for (int j = 0; j < n; j++)
                s += x[j] * A[j][i];
            out[i - from] = s;
        }
    } else {
        LdsColumnCombination(n, from, to, x, A, out);
    }
}

/* LdsQuadFormsSym. */
template <int kM>
LDS_INLINE void LdsQuadFormsSymOf(int rows, int n, double *const *X, double **A, double *q)
{
    static_assert(kM < 4, "larger counts take the kernel");
    if constexpr (kM > 0) {
        for (int r = 0; r < rows; r++) {
            const double *x = X[r];
            double s = 0.0;
            lds_vec::ForEachIndex<kM>(kM, [&](int i) __attribute__((always_inline)) {
                const double *ai = A[i];
                double row = 0.0;
                lds_vec::ForEachIndex<kM>(kM, [&](int j) __attribute__((always_inline)) {
                    row += ai[j] * x[j];
                });
                s += x[i] * row;
            });
            q[r] = s;
        }
    } else {
        LdsQuadFormsSym(rows, n, X, A, q);
    }
}

/* out[i] = x[i] + y[i] f for i = 0..n-1 (out may be x). */
template <int kM>
LDS_INLINE void LdsAddScaledOf(int n, const double *x, const double *y, double f, double *out)
{
    lds_vec::ForEachIndex<kM>(n, [&](int i) __attribute__((always_inline)) {
        out[i] = x[i] + y[i] * f;
    });
}

/* LdsScaleRow, with the scaled values also left in kept[0..kM-1] (when kM
 * is not 0), so that a later step takes them from registers instead of
 * waiting for their stores to be read back. */
template <int kM>
LDS_INLINE void LdsScaleRowOf(int n, double *x, double f, double *kept)
{
    if constexpr (kM > 0) {
        lds_vec::ForEachIndex<kM>(kM, [&](int j) __attribute__((always_inline)) {
            x[j] = x[j] * f;
            kept[j] = x[j];
        });
    } else {
        (void)kept;
        LdsScaleRow(n, x, f);
    }
}

/* LdsSymSubColRow, row m read from row[0..kM-1] when kM is not 0 (the
 * values LdsScaleRowOf kept). */
template <int kM>
LDS_INLINE void LdsSymSubColRowOf(int m, double **P, const double *row)
{
    if constexpr (kM > 0) {
        lds_vec::ForEachIndex<kM>(kM, [&](int i) __attribute__((always_inline)) {
            lds_vec::ForEachIndex<kM>(kM, [&](int j) __attribute__((always_inline)) {
                if (j >= i)
                    P[i][j] = P[j][i] = P[i][j] - P[i][kM] * row[j];
            });
        });
    } else {
        (void)row;
        LdsSymSubColRow(m, P);
    }
}

/* ---- the smoothing variance -------------------------------------------
 * Kernels of the backward smoothing recursion (smooth/smooth.h). */

/* The congruence X' diag(C, E) X in place of X, for the smoothing variance
 * L' N L + Z' F^-1 Z (X = [L; Z], C = N, E = F^-1).  d = m + N.  On entry
 * A's rows 0..d-1, columns 0..m-1, hold X (d x m), and A[m+k][m+l] (k, l <
 * N) holds E; C is m x m and exactly symmetric.  For i = 0..m-1 in turn,
 * each sum from 0.0 in increasing index:
 *   y[c]   = sum over b < m with X[b][i] != 0 of X[b][i] C[b][c],  c < m,
 *   y[m+k] = sum over l < N of A[m+k][m+l] X[m+l][i],
 *   A[j][i] = sum over a < d with y[a] != 0 of y[a] X[a][j],  j = i..m-1
 * (column i of X is not read after step i, so the lower triangle takes its
 * place); then A[i][j] = A[j][i] for i < j.  Terms with a zero factor are
 * left out, so a sparse L costs less.  Writes A's leading m x m block and
 * y[0..d-1] (workspace, overlapping neither A's rows nor C); rows m..d-1
 * are read only.  m >= 0, N >= 0.  [two copies] */
LDS_KERNEL(LdsSymCongruenceInPlace, (int m, int N, double **A, double **C, double *y));

/* LdsSymCongruenceInPlace; for a state count kM > 0 known at compile time
 * its loops are written out in the caller, with the same sums. */
template <int kM>
LDS_INLINE void LdsSymCongruenceInPlaceOf(int m, int N, double **A, double **C, double *y)
{
    if constexpr (kM > 0) {
        (void)m;
        const int d = kM + N;
        lds_vec::ForEachIndex<kM>(kM, [&](int i) __attribute__((always_inline)) {
            lds_vec::ForEachIndex<kM>(kM, [&](int c) __attribute__((always_inline)) {
                double s = 0.0;
                lds_vec::ForEachIndex<kM>(kM, [&](int b) __attribute__((always_inline)) {
                    if (A[b][i] != 0.0)
                        s += A[b][i] * C[b][c];
                });
                y[c] = s;
            });
            for (int k = 0; k < N; k++) {
                double s = 0.0;
                for (int l = 0; l < N; l++)
                    s += A[kM + k][kM + l] * A[kM + l][i];
                y[kM + k] = s;
            }
            double col[kM];
            lds_vec::ForEachIndex<kM>(kM, [&](int j) __attribute__((always_inline)) {
                if (j >= i) {
                    double s = 0.0;
                    for (int a = 0; a < d; a++)
                        if (y[a] != 0.0)
                            s += y[a] * A[a][j];
                    col[j] = s;
                }
            });
            lds_vec::ForEachIndex<kM>(kM, [&](int j) __attribute__((always_inline)) {
                if (j >= i)
                    A[j][i] = col[j];
            });
        });
        lds_vec::ForEachIndex<kM>(kM, [&](int i) __attribute__((always_inline)) {
            lds_vec::ForEachIndex<kM>(kM, [&](int j) __attribute__((always_inline)) {
                if (j > i)
                    A[i][j] = A[j][i];
            });
        });
    } else {
        LdsSymCongruenceInPlace(m, N, A, C, y);
    }
}


/* ==== the simulation smoother's and the weights' backward products ========
 * Sums that leave out the terms whose coefficient is exactly zero (a sparse
 * transition keeps most of the entries of L = T - K Z at zero): skipping
 * them is what the recursions promise, and it keeps a -0.0 that adding a
 * +0.0 term would turn into +0.0.  Each element receives its terms one at a
 * time, in the order stated. */

/* out[i][c] = start[i][c] + X[k][i] Y[k][c] summed over k = 0..n-1 in
 * increasing order, the terms with X[k][i] == 0 left out, for
 * i = 0..rows-1, c = 0..cols-1 (start null: from 0.0): out = start + X' Y,
 * row i the combination of the rows of Y with column i of X as
 * coefficients.  Reads X rows 0..n-1 (rows each), Y rows 0..n-1 (cols
 * each) and start rows 0..rows-1 (cols each); writes out rows 0..rows-1
 * (cols each), which may be the rows of start themselves but must not
 * overlap anything else read.  n, rows, cols >= 0.  [two copies] */
LDS_KERNEL(LdsTransposeProductFrom, (int n, int rows, int cols, double *const *X,
                                     double *const *Y, double *const *start, double **out));

/* Y[r][c] = Y[r][c] + x[r] y[c] for r = 0..rows-1 with x[r] != 0 and
 * c = 0..cols-1: adds the outer product x y' (rows with a zero x[r] are
 * not touched).  Reads x[0..rows-1] and y[0..cols-1], which must not
 * overlap the rows of Y; writes Y rows 0..rows-1 (cols each).
 * rows >= 0, cols >= 0.  [two copies] */
LDS_KERNEL(LdsAddOuter, (int rows, int cols, const double *x, const double *y, double **Y));

/* S[a][b] = S[a][b] + x[a] y[b] for 0 <= a <= b < n with x[a] != 0: the
 * upper triangle of LdsAddOuter for a square S (the lower triangle is not
 * touched).  Reads x[0..n-1] and y[0..n-1], which must not overlap the
 * rows of S.  n >= 0.  [two copies] */
LDS_KERNEL(LdsAddOuterUpper, (int n, const double *x, const double *y, double **S));


/* LdsTransposeProductFrom; for a state count kM > 0 known at compile time
 * (rows = cols = kM) the loops are written out in the caller, each row's
 * sums kept in registers. */
template <int kM>
LDS_INLINE void LdsTransposeProductFromOf(int n, int rows, int cols, double *const *X,
                                          double *const *Y, double *const *start, double **out)
{
    if constexpr (kM > 0) {
        for (int i = 0; i < kM; i++) {
            double acc[kM];
            lds_vec::ForEachIndex<kM>(kM, [&](int c) __attribute__((always_inline)) {
                acc[c] = start ? start[i][c] : 0.0;
            });
            for (int k = 0; k < n; k++) {
                const double x = X[k][i];
                if (x == 0.0)
                    continue;
                const double *y = Y[k];
                lds_vec::ForEachIndex<kM>(kM, [&](int c) __attribute__((always_inline)) {
                    acc[c] += x * y[c];
                });
            }
            lds_vec::ForEachIndex<kM>(kM, [&](int c) __attribute__((always_inline)) {
                out[i][c] = acc[c];
            });
        }
    } else {
        LdsTransposeProductFrom(n, rows, cols, X, Y, start, out);
    }
}

/* LdsAddOuter; for kM > 0 (cols = kM) written out in the caller. */
template <int kM>
LDS_INLINE void LdsAddOuterOf(int rows, int cols, const double *x, const double *y, double **Y)
{
    if constexpr (kM > 0) {
        for (int r = 0; r < rows; r++) {
            const double a = x[r];
            if (a == 0.0)
                continue;
            double *out = Y[r];
            lds_vec::ForEachIndex<kM>(kM, [&](int c) __attribute__((always_inline)) {
                out[c] += a * y[c];
            });
        }
    } else {
        LdsAddOuter(rows, cols, x, y, Y);
    }
}

/* LdsAddOuterUpper; for kM > 0 (n = kM) written out in the caller. */
template <int kM>
LDS_INLINE void LdsAddOuterUpperOf(int n, const double *x, const double *y, double **S)
{
    if constexpr (kM > 0) {
        lds_vec::ForEachIndex<kM>(kM, [&](int a) __attribute__((always_inline)) {
            const double xa = x[a];
            if (xa == 0.0)
                return;
            lds_vec::ForEachIndex<kM>(kM, [&](int b) __attribute__((always_inline)) {
                if (b >= a)
                    S[a][b] += xa * y[b];
            });
        });
    } else {
        LdsAddOuterUpper(n, x, y, S);
    }
}

#undef LDS_KERNEL

#endif
