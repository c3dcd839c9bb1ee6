/*
 * vecops.h - inline building blocks of the vectorised kernels, for the
 * kernels themselves and for recursions that clone their own loops.
 *
 * A Quad is four doubles (one AVX2 register, two SSE2 registers).  Every
 * element of a Quad operation gets the same single IEEE product or sum as
 * the scalar loop it replaces, so no width changes a bit.  Functions marked
 * LDS_WIDE_VECTORS are built for AVX2 and for the baseline and the loader
 * picks one; contraction stays off in both.  They must have internal
 * linkage, so that no clone or resolver is exported.
 */
#ifndef VANTREL_MODEL_VECOPS_H
#define VANTREL_MODEL_VECOPS_H

#include <cstring>
#include <type_traits>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define LDS_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define LDS_WIDE_VECTORS
#endif

#define LDS_INLINE inline __attribute__((always_inline))

namespace lds_vec {

typedef double Quad __attribute__((vector_size(4 * sizeof(double))));
typedef long long Lanes __attribute__((vector_size(4 * sizeof(long long))));

/* Counts up to which the fixed-size loops below get code of their own. */
const int kFixedCount = 16;

template <class F, int... kNs>
LDS_INLINE bool WithCountFrom(int n, F &f, std::integer_sequence<int, kNs...>)
{
    return ((n == kNs + 1 ? (f(std::integral_constant<int, kNs + 1>()), true) : false) || ...);
}

/* f(std::integral_constant<int, n>()) and true when 1 <= n <= kFixedCount,
 * else false: a loop over a small run-time count, compiled for each count so
 * that it unrolls completely.  f must be always_inline, so that it is built
 * for the same instruction set as its caller. */
template <class F>
LDS_INLINE bool WithCompileTimeCount(int n, F f)
{
    return WithCountFrom(n, f, std::make_integer_sequence<int, kFixedCount>());
}

/* f(std::integral_constant<int, n>()) when 1 <= n <= kMax, else
 * f(std::integral_constant<int, 0>()), and f's result: a loop compiled for
 * each of a few small counts, with one general version for the rest. */
template <int kMax, class F>
LDS_INLINE auto WithCountUpTo(int n, F f)
{
    if constexpr (kMax == 0) {
        return f(std::integral_constant<int, 0>());
    } else {
        if (n == kMax)
            return f(std::integral_constant<int, kMax>());
        return WithCountUpTo<kMax - 1>(n, f);
    }
}

template <class F, int... kIs>
LDS_INLINE void ForEachIndexOf(F &f, std::integer_sequence<int, kIs...>)
{
    (f(kIs), ...);
}

/* f(0), ..., f(n - 1), as straight-line code when kCount (= n) is known at
 * compile time, so that whatever f computes from its index folds away. */
template <int kCount, class F>
LDS_INLINE void ForEachIndex(int n, F f)
{
    if constexpr (kCount > 0)
        ForEachIndexOf(f, std::make_integer_sequence<int, kCount>());
    else
        for (int i = 0; i < n; i++)
            f(i);
}

/* out[i] = start[i] + sum_k A[i][k] x[k] for i in [0, rows), one row at a
 * time, k = 0..n-1 in increasing order; kRows and kN, when not 0, are rows
 * and n known at compile time. */
template <int kRows, int kN>
LDS_INLINE void MatVecFromByRows(int rows, int n, double *const *A, const double *x,
                                 const double *start, double *out)
{
    ForEachIndex<kRows>(rows, [&](int i) __attribute__((always_inline)) {
        double s = start[i];
        const double *ai = A[i];
        ForEachIndex<kN>(n, [&](int k) __attribute__((always_inline)) { s += ai[k] * x[k]; });
        out[i] = s;
    });
}

/* dInnerProd(kN, x, A) for kN < 4, bit for bit: the sum from 0.0 over
 * increasing i of x[i] times row i's sum from 0.0 of A[i][j] x[j] over
 * increasing j. */
template <int kN>
LDS_INLINE double InnerProdFew(const double *x, double *const *A)
{
    static_assert(kN > 0 && kN < 4, "dInnerProd takes rows by blocks of four from four on");
    double s = 0.0;
    ForEachIndex<kN>(kN, [&](int i) __attribute__((always_inline)) {
        const double *ai = A[i];
        double row = 0.0;
        ForEachIndex<kN>(kN, [&](int j) __attribute__((always_inline)) { row += ai[j] * x[j]; });
        s += x[i] * row;
    });
    return s;
}

LDS_INLINE Quad LoadQuad(const double *p)
{
    Quad q;
    std::memcpy(&q, p, sizeof q);
    return q;
}

LDS_INLINE void StoreQuad(double *p, Quad q) { std::memcpy(p, &q, sizeof q); }

/* The columns of the 4 x 4 block whose rows are r[0..3], in r[0..3]. */
LDS_INLINE void TransposeQuads(Quad r[4])
{
    const Quad ab02 = __builtin_shuffle(r[0], r[1], Lanes{0, 4, 2, 6});
    const Quad ab13 = __builtin_shuffle(r[0], r[1], Lanes{1, 5, 3, 7});
    const Quad cd02 = __builtin_shuffle(r[2], r[3], Lanes{0, 4, 2, 6});
    const Quad cd13 = __builtin_shuffle(r[2], r[3], Lanes{1, 5, 3, 7});
    r[0] = __builtin_shuffle(ab02, cd02, Lanes{0, 1, 4, 5});
    r[1] = __builtin_shuffle(ab13, cd13, Lanes{0, 1, 4, 5});
    r[2] = __builtin_shuffle(ab02, cd02, Lanes{2, 3, 6, 7});
    r[3] = __builtin_shuffle(ab13, cd13, Lanes{2, 3, 6, 7});
}

/* Lanes 0..k-1 of a, the rest of b. */
LDS_INLINE Quad BlendBelow(Quad a, Quad b, int k)
{
    const Lanes lane = {0, 1, 2, 3};
    return lane < k ? a : b;
}

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
        StoreQuad(p, BlendBelow(LoadQuad(p), quadAt(c), i - c));
        return to;
    }
    return i;
}

/* out[i - from] = sum_j x[j] A[j][i], i in [from, to), j = 0..n-1 in
 * increasing order from 0.0, or with kSubtract out[i - from] minus that
 * sum; four columns advance together.  The last columns go as one block of
 * four when `before` elements ahead of out may be rewritten (StoreQuadRun),
 * else one at a time. */
template <bool kSubtract>
LDS_INLINE void ColumnCombination(int n, int from, int to, const double *x, double *const *A,
                                  double *out, int before = 0)
{
    const Quad zero = {0.0, 0.0, 0.0, 0.0};
    auto quadAt = [&](int c) __attribute__((always_inline)) {
        Quad acc = zero;
        for (int j = 0; j < n; j++)
            acc += x[j] * LoadQuad(A[j] + c);
        return kSubtract ? LoadQuad(out + (c - from)) - acc : acc;
    };
    for (int i = StoreQuadRun(from, to, before, out, quadAt); i < to; i++) {
        double s = 0.0;
        for (int j = 0; j < n; j++)
            s += x[j] * A[j][i];
        out[i - from] = kSubtract ? out[i - from] - s : s;
    }
}

/* Row i of the upper triangle of an m x m block: row[c..c+3] = quadAt(c)
 * for the blocks of four from the diagonal block on (the lanes left of the
 * diagonal kept as they are) up to the last whole block, then row[j] =
 * at(j) for the columns after it. */
template <class Q, class S>
LDS_INLINE void UpperTriangleRow(int i, int m, double *row, Q quadAt, S at)
{
    const int whole = m & ~3;
    int j = i & ~3;
    if (j < whole) {
        StoreQuad(row + j, BlendBelow(LoadQuad(row + j), quadAt(j), i - j));
        for (j += 4; j < whole; j += 4)
            StoreQuad(row + j, quadAt(j));
    }
    for (j = whole > i ? whole : i; j < m; j++)
        row[j] = at(j);
}

/* A[j][i] = A[i][j] for 0 <= i < j < n: the lower triangle of the leading
 * n x n block becomes a copy of the upper one.  Nothing outside the block
 * is read or written, so the rows may carry other data after column n.
 * Every row is written by blocks of four from column 0 and element by
 * element after its last whole block. */
LDS_INLINE void MirrorUpper(int n, double *const *A)
{
    const int whole = n & ~3;
    for (int jb = 0; jb < whole; jb += 4) {
        Quad r[4], t[4];
        for (int k = 0; k < 4; k++)
            r[k] = t[k] = LoadQuad(A[jb + k] + jb);
        TransposeQuads(t);
        for (int k = 1; k < 4; k++)
            StoreQuad(A[jb + k] + jb, BlendBelow(t[k], r[k], k));
        for (int ib = jb + 4; ib < whole; ib += 4) {
            Quad q[4];
            for (int k = 0; k < 4; k++)
                q[k] = LoadQuad(A[jb + k] + ib);
            TransposeQuads(q);
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

/* B = the symmetric matrix whose lower triangle, diagonal included, is that
 * of A, over the leading n x n blocks: B[i][j] = B[j][i] = A[i][j] for
 * j <= i.  A's upper triangle is not read; A and B must not overlap.
 * B's rows are written by blocks of four from column 0 and element by
 * element after the last whole block. */
LDS_INLINE void SymmetricFromLower(int n, double *const *A, double *const *B)
{
    const int whole = n & ~3;
    for (int jb = 0; jb < whole; jb += 4) {
        for (int ib = 0; ib < jb; ib += 4) {
            Quad q[4];
            for (int k = 0; k < 4; k++) {
                q[k] = LoadQuad(A[jb + k] + ib);
                StoreQuad(B[jb + k] + ib, q[k]);
            }
            TransposeQuads(q);
            for (int k = 0; k < 4; k++)
                StoreQuad(B[ib + k] + jb, q[k]);
        }
        Quad r[4], t[4];
        for (int k = 0; k < 4; k++)
            r[k] = t[k] = LoadQuad(A[jb + k] + jb);
        TransposeQuads(t);
        for (int k = 0; k < 4; k++)
            StoreQuad(B[jb + k] + jb, BlendBelow(r[k], t[k], k + 1));
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

} // namespace lds_vec

#endif
