// products.cpp - the products of the stand-in Kel matrix library: MatZero,
// MatI, MatAdd, MatAB and the symmetric products MatBSBt and MatBtSB.
//
// The products are written for the small matrices of state space models:
// zero entries of the outer factor (a sparse transition, a selection row)
// are skipped, and symmetric results are computed on one triangle and
// copied to the other.  Their blocks of four come from the library's
// vector header (vec/vecops.h), and the larger ones are built in a wide
// and a baseline copy there; neither changes a bit.
//
// Threads: the products keep the patterns of recent outer factors per
// thread (thread_local), so concurrent calls from several threads are
// safe; see kelhost.h for the host's thread model as a whole.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "kelhost/kelhost.h"
#include "vec/vecops.h"

namespace {

// Work arrays of the products live on the stack up to this many elements,
// beyond it on the heap.
constexpr std::size_t kStackElems = 1024;

template <class T>
struct Buffer {
    T small[kStackElems];
    std::vector<T> large;
    T *get(std::size_t n) {
        if (n <= kStackElems) return small;
        large.resize(n);
        return large.data();
    }
};

using lds_vec::ForTail;
using lds_vec::LoadQuad;
using lds_vec::Quad;
using lds_vec::QuadBits;
using lds_vec::StoreQuad;

// t[0..n) = b * s[0..n), or 0.0 + b * s[0..n) with kFromZero, which is the
// first term of a sum started at zero (it turns -0.0 into +0.0).  n is a
// multiple of four unless kTail.
template <bool kFromZero, bool kTail>
LDS_INLINE void rowScale(double *t, const double *s, double b, int n) {
    const Quad zero = {0.0, 0.0, 0.0, 0.0};
    int l = 0;
    for (; l + 4 <= n; l += 4)
        StoreQuad(t + l, kFromZero ? zero + b * LoadQuad(s + l) : b * LoadQuad(s + l));
    if (kTail)
        ForTail(l, n, [&](int k) { t[k] = kFromZero ? 0.0 + b * s[k] : b * s[k]; });
}

// t[0..n) += b * s[0..n); n is a multiple of four unless kTail.
template <bool kTail>
LDS_INLINE void rowAddScaled(double *t, const double *s, double b, int n) {
    int l = 0;
    for (; l + 4 <= n; l += 4) StoreQuad(t + l, LoadQuad(t + l) + b * LoadQuad(s + l));
    if (kTail)
        ForTail(l, n, [&](int k) { t[k] += b * s[k]; });
}

using lds_vec::RoundUpToQuad;

// dst (4 x 4, row stride ds) = transpose of src (4 x 4, row stride ss).
LDS_INLINE void transposeQuads(const double *src, std::size_t ss, double *dst, std::size_t ds) {
    Quad r[4] = {LoadQuad(src), LoadQuad(src + ss), LoadQuad(src + 2 * ss), LoadQuad(src + 3 * ss)};
    lds_vec::TransposeQuads(r);
    for (int k = 0; k < 4; ++k) StoreQuad(dst + k * ds, r[k]);
}

// Lanes 0..k of a, the rest of b.
LDS_INLINE Quad blendQuads(Quad a, Quad b, int k) { return lds_vec::BlendBelow(a, b, k + 1); }

// True when the four doubles at p are all +0.0 or -0.0.
LDS_INLINE bool quadIsZero(const double *p) {
    std::uint64_t u[4];
    std::memcpy(u, p, sizeof u);
    std::uint64_t any = u[0] | u[1] | u[2] | u[3];
    return (any << 1) == 0;  // the shift drops the sign bits
}

// Appends the columns of the non-zero entries of b[0..c) to pat; returns
// the new count.  Blocks of four zeros, the common case in a sparse
// transition, are passed over at once.
LDS_INLINE int appendPattern(const double *b, int c, int *pat, int nnz) {
    int k = 0;
    for (; k + 4 <= c; k += 4) {
        if (quadIsZero(b + k)) continue;
        for (int q = k; q < k + 4; ++q)
            if (b[q] != 0.0) pat[nnz++] = q;
    }
    for (; k < c; ++k)
        if (b[k] != 0.0) pat[nnz++] = k;
    return nnz;
}

// Ors the bitwise differences of a[0..n) and b[0..n) into quads and tail.
LDS_INLINE void orDifferences(const double *a, const double *b, int n, QuadBits &quads,
                              std::uint64_t &tail) {
    int k = 0;
    for (; k + 4 <= n; k += 4) quads |= lds_vec::LoadBits(a + k) ^ lds_vec::LoadBits(b + k);
    ForTail(k, n, [&](int q) {
        std::uint64_t x, y;
        std::memcpy(&x, a + q, sizeof x);
        std::memcpy(&y, b + q, sizeof y);
        tail |= x ^ y;
    });
}

// Outer factors (and sums) with up to this many columns get code compiled
// for their column count.
constexpr int kFixedColumns = 16;

template <int kMax, class F>
LDS_INLINE bool withCompileTimeCount(int n, F f) {
    return lds_vec::WithCompileTimeCount<kMax>(n, f);
}

// The non-zero pattern of a recent outer factor, with a copy of the matrix
// it was read from.  A model usually keeps its system matrix over a whole
// run, so the matrix of a product mostly matches one of these bit for bit
// and its pattern is taken from here instead of being scanned again.  For
// B' S B the outer factor is B', kept here as well, so that it need not be
// formed again either.
struct OuterPattern {
    int rows = -1, cols = 0;      // of the matrix B the caller passed
    bool transposed = false;      // outer factor B' rather than B
    std::vector<double> values;   // B, rows x cols, row after row
    std::vector<double> outer;    // B' (cols x rows) when transposed
    std::vector<double *> outerRows;
    std::vector<int> columns;     // columns of the non-zero entries of the
    std::vector<int> rowStart;    // outer factor; row i: columns[rowStart[i]
                                  // .. rowStart[i+1])
    // A square outer factor whose only non-zero entries are on its diagonal:
    // those entries (0.0 for an empty row) and all-ones lanes for the rows
    // that have one, both padded with zeros to a multiple of four.
    bool diagonal = false;
    std::vector<double> diagonalEntries;
    std::vector<std::int64_t> diagonalKept;
    unsigned long lastUse = 0;
};

// Number of patterns kept per thread: enough for the few factors a filter
// or smoother step alternates between.
constexpr int kKeptPatterns = 4;
// Matrices with more elements than this are scanned on every call; beside
// their product the scan costs little, and a copy would cost memory.
constexpr std::size_t kKeptPatternElems = 4096;

// One thread-local object, so that a product looks up its thread's storage
// once rather than for each of its parts.
struct KeptPatterns {
    OuterPattern patterns[kKeptPatterns];
    unsigned long clock = 0;
};
thread_local KeptPatterns t_kept;

// c = kCols unless kCols is 0.
template <int kCols>
LDS_INLINE bool matches(const OuterPattern &p, double *const *B, int r,
                                                   int cRun, bool transposed) {
    const int c = kCols ? kCols : cRun;
    if (p.rows != r || p.cols != c || p.transposed != transposed) return false;
    // A mismatch is rare, so the rows are not tested one by one.
    QuadBits quads = {0, 0, 0, 0};
    std::uint64_t tail = 0;
    const double *kept = p.values.data();
    for (int i = 0; i < r; ++i) orDifferences(B[i], kept + std::size_t(i) * c, c, quads, tail);
    return (lds_vec::OrOfLanes(quads) | tail) == 0;
}

// Reads B (r x c) into p: its copy, the outer factor (B or B') and that
// factor's pattern.
void scanPattern(double *const *B, int r, int c, bool transposed, OuterPattern &p) {
    const std::size_t elems = std::size_t(r) * std::size_t(c);
    p.rows = r;
    p.cols = c;
    p.transposed = transposed;
    p.values.resize(elems);
    for (int i = 0; i < r; ++i)
        std::memcpy(p.values.data() + std::size_t(i) * c, B[i], std::size_t(c) * sizeof(double));
    int outerRows = r, outerCols = c;
    const double *const *rowsOf = B;
    if (transposed) {
        outerRows = c;
        outerCols = r;
        p.outer.resize(elems);
        p.outerRows.resize(std::size_t(c));
        for (int i = 0; i < c; ++i) {
            double *row = p.outer.data() + std::size_t(i) * r;
            p.outerRows[i] = row;
            for (int k = 0; k < r; ++k) row[k] = B[k][i];
        }
        rowsOf = p.outerRows.data();
    }
    p.columns.resize(elems);
    p.rowStart.resize(std::size_t(outerRows) + 1);
    int nnz = 0;
    for (int i = 0; i < outerRows; ++i) {
        p.rowStart[i] = nnz;
        nnz = appendPattern(rowsOf[i], outerCols, p.columns.data(), nnz);
    }
    p.rowStart[outerRows] = nnz;
    p.diagonal = outerRows == outerCols;
    for (int i = 0; i < outerRows && p.diagonal; ++i) {
        const int count = p.rowStart[i + 1] - p.rowStart[i];
        p.diagonal = count == 0 || (count == 1 && p.columns[p.rowStart[i]] == i);
    }
    if (!p.diagonal) return;
    const std::size_t padded = std::size_t(RoundUpToQuad(outerRows));
    p.diagonalEntries.assign(padded, 0.0);
    p.diagonalKept.assign(padded, 0);
    for (int i = 0; i < outerRows; ++i)
        if (p.rowStart[i + 1] > p.rowStart[i]) {
            p.diagonalEntries[i] = rowsOf[i][i];
            p.diagonalKept[i] = -1;
        }
}

// The pattern of B (r x c), or of B' when transposed: a kept one when B
// matches it, else a fresh scan, kept in place of the least recently used
// one, or in `own` when B is too large to keep.
LDS_INLINE const OuterPattern &keptPattern(double *const *B, int r, int c, bool transposed, OuterPattern &own) {
    if (std::size_t(r) * std::size_t(c) > kKeptPatternElems) {
        scanPattern(B, r, c, transposed, own);
        return own;
    }
    KeptPatterns &kept = t_kept;
    OuterPattern *oldest = &kept.patterns[0];
    for (OuterPattern &p : kept.patterns) {
        bool same = false;
        auto fixed = [&](auto k) __attribute__((always_inline)) {
            same = matches<decltype(k)::value>(p, B, r, c, transposed);
        };
        if (!withCompileTimeCount<kFixedColumns>(c, fixed)) same = matches<0>(p, B, r, c, transposed);
        if (same) {
            p.lastUse = ++kept.clock;
            return p;
        }
        if (p.lastUse < oldest->lastUse) oldest = &p;
    }
    scanPattern(B, r, c, transposed, *oldest);
    oldest->lastUse = ++kept.clock;
    return *oldest;
}

// out[0..4Q+T) = the sum over e = 0..count-1 of b[col[e]] * rowOf(col[e]),
// in increasing e, the first term alone (kFromZero: 0.0 plus the first
// term); count >= 1.  The partial sums stay in registers across the terms
// instead of going through out each time.
template <int Q, int T, bool kFromZero, class RowOf>
LDS_INLINE void sumOfScaledRows(const double *b, const int *col,
                                                           int count, RowOf rowOf, double *out) {
    const Quad zero = {0.0, 0.0, 0.0, 0.0};
    Quad acc[Q > 0 ? Q : 1];
    double tail[T > 0 ? T : 1];
    {
        const double f = b[col[0]];
        const double *s = rowOf(col[0]);
        for (int q = 0; q < Q; ++q)
            acc[q] = kFromZero ? zero + f * LoadQuad(s + 4 * q) : f * LoadQuad(s + 4 * q);
        for (int k = 0; k < T; ++k) tail[k] = kFromZero ? 0.0 + f * s[4 * Q + k] : f * s[4 * Q + k];
    }
    for (int e = 1; e < count; ++e) {
        const double f = b[col[e]];
        const double *s = rowOf(col[e]);
        for (int q = 0; q < Q; ++q) acc[q] += f * LoadQuad(s + 4 * q);
        for (int k = 0; k < T; ++k) tail[k] += f * s[4 * Q + k];
    }
    for (int q = 0; q < Q; ++q) StoreQuad(out + 4 * q, acc[q]);
    for (int k = 0; k < T; ++k) out[4 * Q + k] = tail[k];
}

// result (r x r, symmetric) = B S B' for B r x c given by its rows, S c x c.
// Element (i, j), i <= j, is summed over the columns l of B in increasing
// order, with terms whose B factor is zero left out; the upper triangle is
// a copy of the lower one, so the result is exactly symmetric.
//
// Both passes are row updates on work arrays whose rows are padded to a
// multiple of four: first row i of X = B S as the sum over the non-zero
// B[i][k] of B[i][k] S[k]; then, with W = X', row j of the lower triangle L
// as the sum over the non-zero B[j][l] of B[j][l] W[l][0..j] (run on to the
// end of its block of four).  The transpositions go by 4 x 4 blocks.

// f(0), ..., f(n - 1), as straight-line code when kCount (= n) is known at
// compile time, so that whatever f computes from its index folds away.
using lds_vec::ForEachIndex;

// The pattern of a row without zeros, for up to kFixedColumns columns.
constexpr int kAllColumns[kFixedColumns] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
static_assert(kFixedColumns == 16, "kAllColumns lists every column up to kFixedColumns");

// The first pass: X (rp x cp, rows r..rp-1 zero) and its transpose W
// (cp x rp).  kColumns, when not 0, is c known at compile time: the row
// updates then unroll completely and their tails need no dispatch.
template <int kColumns>
LDS_INLINE void productRows(const OuterPattern &pattern,
                                                       double *const *B, int r, double **S,
                                                       int cRun, double *x, double *w) {
    const int c = kColumns ? kColumns : cRun;
    const int rp = RoundUpToQuad(r), cp = RoundUpToQuad(c);
    const int *pat = pattern.columns.data();
    const int *off = pattern.rowStart.data();   // row j: pat[off[j]..off[j+1])

    const Quad zero = {0.0, 0.0, 0.0, 0.0};
    for (int i = 0; i < r; ++i) {
        double *xi = x + std::size_t(i) * cp;
        const double *bi = B[i];
        StoreQuad(xi + cp - 4, zero);   // the padding; the row overwrites the rest
        int e = off[i];
        const int end = off[i + 1];
        if (e == end) {
            for (int l = 0; l < cp; l += 4) StoreQuad(xi + l, zero);
            continue;
        }
        if (kColumns && end - e == kColumns) {
            // A row without zeros: its columns are 0..c-1, so the loop over
            // them can unroll without reading the pattern.
            sumOfScaledRows<kColumns / 4, kColumns % 4, false>(
                bi, kAllColumns, kColumns, [S](int l) { return S[l]; }, xi);
            continue;
        }
        if (kColumns) {
            sumOfScaledRows<kColumns / 4, kColumns % 4, false>(
                bi, pat + e, end - e, [S](int l) { return S[l]; }, xi);
            continue;
        }
        rowScale<false, true>(xi, S[pat[e]], bi[pat[e]], c);
        for (++e; e < end; ++e) rowAddScaled<true>(xi, S[pat[e]], bi[pat[e]], c);
    }
    for (int i = r; i < rp; ++i)
        for (int l = 0; l < cp; l += 4) StoreQuad(x + std::size_t(i) * cp + l, zero);
    for (int i = 0; i < rp; i += 4)
        for (int l = 0; l < cp; l += 4)
            transposeQuads(x + std::size_t(i) * cp + l, cp, w + std::size_t(l) * rp + i, rp);
}

template <int kRows>
LDS_INLINE void assembleSymmetric(int rRun, bool fromUpper,
                                                             double *lower, double *upper,
                                                             double **result);

// The second pass from W (cp x rp): L into lower, L' into upper (both
// rp x rp), then the result.  kRows, when not 0, is r known at compile
// time: the loops over rows then become straight-line code, with each
// row's length and the place of its diagonal block fixed.
template <int kRows>
LDS_INLINE void symmetricResult(const OuterPattern &pattern,
                                                           double *const *B, int rRun,
                                                           const double *w, double *lower,
                                                           double *upper, double **result) {
    const int r = kRows ? kRows : rRun;
    const int rp = RoundUpToQuad(r);
    const int *pat = pattern.columns.data();
    const int *off = pattern.rowStart.data();
    const Quad zero = {0.0, 0.0, 0.0, 0.0};

    auto rowOfL = [&](int j) __attribute__((always_inline)) {
        double *lj = lower + std::size_t(j) * rp;
        const int n = (j & ~3) + 4;
        if (j >= r || off[j] == off[j + 1]) {
            for (int i = 0; i < n; i += 4) StoreQuad(lj + i, zero);
            return;
        }
        const double *bj = B[j];
        auto rowOfW = [&](int l) { return w + std::size_t(l) * rp; };
        const int *cols = pat + off[j], count = off[j + 1] - off[j];
        switch (n / 4) {   // rows of up to four blocks keep their sums in registers
        case 1: sumOfScaledRows<1, 0, true>(bj, cols, count, rowOfW, lj); return;
        case 2: sumOfScaledRows<2, 0, true>(bj, cols, count, rowOfW, lj); return;
        case 3: sumOfScaledRows<3, 0, true>(bj, cols, count, rowOfW, lj); return;
        case 4: sumOfScaledRows<4, 0, true>(bj, cols, count, rowOfW, lj); return;
        default: break;
        }
        int l = pat[off[j]];
        rowScale<true, false>(lj, w + std::size_t(l) * rp, bj[l], n);
        for (int e = off[j] + 1; e < off[j + 1]; ++e) {
            l = pat[e];
            rowAddScaled<false>(lj, w + std::size_t(l) * rp, bj[l], n);
        }
    };
    ForEachIndex<kRows ? RoundUpToQuad(kRows) : 0>(rp, rowOfL);
    assembleSymmetric<kRows>(r, false, lower, upper, result);
}

// The result from L (lower, rp x rp) or, with fromUpper, from L' (upper):
// first the other one, over the blocks on and below (above) the diagonal
// only, by 4 x 4 transposes, then the rows of the result.
template <int kRows>
LDS_INLINE void assembleSymmetric(int rRun, bool fromUpper,
                                                             double *lower, double *upper,
                                                             double **result) {
    const int r = kRows ? kRows : rRun;
    const int rp = RoundUpToQuad(r);
    for (int j = 0; j < rp; j += 4)
        for (int i = 0; i <= j; i += 4) {
            double *l = lower + std::size_t(j) * rp + i, *u = upper + std::size_t(i) * rp + j;
            if (fromUpper)
                transposeQuads(u, rp, l, rp);
            else
                transposeQuads(l, rp, u, rp);
        }

    // Row j of the result: L left of its diagonal block, L' right of it, and
    // in the diagonal block L up to column j and L' after it.
    const int rq = r & ~3;   // columns of the result held in whole blocks of four
    auto rowOfResult = [&](int j) __attribute__((always_inline)) {
        const double *lj = lower + std::size_t(j) * rp, *uj = upper + std::size_t(j) * rp;
        double *out = result[j];
        const int diag = j & ~3;
        if (diag < rq) {
            int i = 0;
            for (; i < diag; i += 4) StoreQuad(out + i, LoadQuad(lj + i));
            StoreQuad(out + diag, blendQuads(LoadQuad(lj + diag), LoadQuad(uj + diag), j - diag));
            for (i = diag + 4; i < rq; i += 4) StoreQuad(out + i, LoadQuad(uj + i));
            ForTail(rq, r, [&](int k) { out[k] = uj[k]; });
        } else {
            int i = 0;
            for (; i < rq; i += 4) StoreQuad(out + i, LoadQuad(lj + i));
            Quad q = blendQuads(LoadQuad(lj + diag), LoadQuad(uj + diag), j - diag);
            ForTail(i, r, [&](int k) { out[k] = q[k - diag]; });
        }
    };
    ForEachIndex<kRows>(r, rowOfResult);
}

// The result for a diagonal outer factor b (pattern.diagonal, r = c): the
// general path's sum for element (i, j), i <= j, has the single term
// 0.0 + b_j (b_i S[i][j]), and is +0.0 when row i or j of b is empty.  L'
// is formed row by row from the rows of S, then L and the result as in the
// general path.
template <int kRows>
LDS_INLINE void diagonalResult(const OuterPattern &pattern, int rRun,
                                                          double **S, double *lower,
                                                          double *upper, double **result) {
    const int r = kRows ? kRows : rRun;
    const int rp = RoundUpToQuad(r), rq = r & ~3;
    const double *b = pattern.diagonalEntries.data();
    const std::int64_t *kept = pattern.diagonalKept.data();
    const Quad zero = {0.0, 0.0, 0.0, 0.0};

    auto rowOfUpper = [&](int i) __attribute__((always_inline)) {
        double *ui = upper + std::size_t(i) * rp;
        if (i >= r) {
            for (int j = 0; j < rp; j += 4) StoreQuad(ui + j, zero);
            return;
        }
        const double *si = S[i];
        const double bi = b[i];
        const bool empty = kept[i] == 0;
        auto quadOf = [&](Quad sq, int j) __attribute__((always_inline)) {
            const Quad x = empty ? zero : bi * sq;   // B S, or its zero row
            const Quad u = zero + LoadQuad(b + j) * x;
            return lds_vec::SelectKept(kept + j, u, zero);
        };
        int j = i & ~3;
        for (; j < rq; j += 4) StoreQuad(ui + j, quadOf(LoadQuad(si + j), j));
        if (j < rp) {
            Quad sq = zero;
            ForTail(j, r, [&](int k) { sq[k - j] = si[k]; });
            StoreQuad(ui + j, quadOf(sq, j));
        }
    };
    ForEachIndex<kRows ? RoundUpToQuad(kRows) : 0>(rp, rowOfUpper);
    assembleSymmetric<kRows>(r, true, lower, upper, result);
}

LDS_INLINE void diagonalProductBody(const OuterPattern &pattern, int r, double **S,
                                    double *lower, double *upper, double **result) {
    auto fixed = [&](auto k) __attribute__((always_inline)) {
        diagonalResult<decltype(k)::value>(pattern, r, S, lower, upper, result);
    };
    if (!withCompileTimeCount<kFixedColumns>(r, fixed))
        diagonalResult<0>(pattern, r, S, lower, upper, result);
}

// Kept out of line, so that the general path's code stays as it is.
LDS_TWO_COPIES(__attribute__((noinline)) void, diagonalProduct,
               (const OuterPattern &pattern, int r, double **S, double *lower, double *upper,
                double **result),
               (pattern, r, S, lower, upper, result))

// B S B' for B r x c, or with transposed B' S B (S r x r), on the kept
// pattern of B.
LDS_INLINE void symmetricProductBody(double *const *B, int r, double **S, int c,
                                     bool transposed, double **result) {
    OuterPattern own;
    const OuterPattern &pattern = keptPattern(B, r, c, transposed, own);
    double *const *outer = transposed ? pattern.outerRows.data() : B;
    const int outerRows = transposed ? c : r, inner = transposed ? r : c;

    const int rp = RoundUpToQuad(outerRows), cp = RoundUpToQuad(inner), wide = rp > cp ? rp : cp;
    const std::size_t area = std::size_t(rp) * std::size_t(wide);
    Buffer<double> xBuf, wBuf;
    double *x = xBuf.get(area);   // X (rp x cp), then L (rp x rp)
    double *w = wBuf.get(area);   // W = X' (cp x rp), then L' (rp x rp)

    if (pattern.diagonal) {
        LDS_COPY(diagonalProduct, (pattern, outerRows, S, x, w, result));
        return;
    }
    auto first = [&](auto k) __attribute__((always_inline)) {
        productRows<decltype(k)::value>(pattern, outer, outerRows, S, inner, x, w);
    };
    if (!withCompileTimeCount<kFixedColumns>(inner, first))
        productRows<0>(pattern, outer, outerRows, S, inner, x, w);
    auto second = [&](auto k) __attribute__((always_inline)) {
        symmetricResult<decltype(k)::value>(pattern, outer, outerRows, w, x, w, result);
    };
    if (!withCompileTimeCount<kFixedColumns>(outerRows, second))
        symmetricResult<0>(pattern, outer, outerRows, w, x, w, result);
}

LDS_TWO_COPIES(void, symmetricProduct,
               (double *const *B, int r, double **S, int c, bool transposed, double **result),
               (B, r, S, c, transposed, result))

void symmetricProduct(double *const *B, int r, double **S, int c, bool transposed,
                      double **result) {
    LDS_COPY(symmetricProduct, (B, r, S, c, transposed, result));
}

// result = A + factor B over rows x cols (cols = kCols unless kCols is 0;
// with kUnit the factor is 1.0 and not multiplied), in blocks of four, each
// loaded before it is stored, so that result may be A or B itself.
template <int kCols, bool kUnit, int kRows = 0>
LDS_INLINE void addBlocks(double **A, int rowsRun, int colsRun, double **B,
                                                     double factor, double **result) {
    const int cols = kCols ? kCols : colsRun;
    const int rows = kRows ? kRows : rowsRun;
    const int whole = cols & ~3;
    for (int i = 0; i < rows; ++i) {
        const double *a = A[i], *b = B[i];
        double *r = result[i];
        int j = 0;
        for (; j < whole; j += 4)
            StoreQuad(r + j, kUnit ? LoadQuad(a + j) + LoadQuad(b + j)
                                   : LoadQuad(a + j) + factor * LoadQuad(b + j));
        ForTail(j, cols, [&](int k) { r[k] = kUnit ? a[k] + b[k] : a[k] + factor * b[k]; });
    }
}

// Square blocks up to this size are added by code compiled for their size.
constexpr int kSmallSquare = 4;

// Largest outer factor (rows and columns) taken by the small-product path.
constexpr int kSmallOuter = 4;

// The same sums as symmetricProduct for an r x c outer factor with r, c <=
// kSmallOuter, element b(i, k) of which is read through the accessor, so
// that B' S B needs no transposed copy: plain scalar loops, without the
// padding and transposition that pay off only for larger factors.
template <class Outer>
void smallSymmetricProduct(Outer b, int r, double **S, int c, double **result) {
    double x[kSmallOuter][kSmallOuter];  // B S
    for (int i = 0; i < r; ++i) {
        bool empty = true;  // the first term initialises the row
        for (int k = 0; k < c; ++k) {
            double bik = b(i, k);
            if (bik == 0.0) continue;
            const double *sk = S[k];
            for (int l = 0; l < c; ++l) x[i][l] = empty ? bik * sk[l] : x[i][l] + bik * sk[l];
            empty = false;
        }
        if (empty)
            for (int l = 0; l < c; ++l) x[i][l] = 0.0;
    }
    for (int j = 0; j < r; ++j)
        for (int i = 0; i <= j; ++i) {
            double sum = 0.0;
            for (int l = 0; l < c; ++l) {
                double bjl = b(j, l);
                if (bjl != 0.0) sum += x[i][l] * bjl;
            }
            result[i][j] = result[j][i] = sum;
        }
}

// smallSymmetricProduct on the rows of B, kept out of line so that the
// one-state path of MatBSBt does not pay for its stack frame.
__attribute__((noinline)) void smallProductOfRows(double *const *B, int r, double **S, int c,
                                                  double **result) {
    smallSymmetricProduct([B](int i, int k) { return B[i][k]; }, r, S, c, result);
}

// x b, with b = 1.0 taken as the exact product x it is (for every x an
// operation can produce; a signalling NaN would come back unquietened): a
// filter step waits for these products, and entries of one are common in
// transition and observation rows.  A branch, not a select, so that the
// multiplication leaves the dependency chain.
LDS_INLINE double timesEntry(double x, double b) {
    if (__builtin_expect(b == 1.0, 1)) return x;
    return x * b;
}

// +0.0, out of line, so that the branch to it stays a branch.
__attribute__((noinline, cold)) double positiveZero() { return 0.0; }

// 0.0 + x, the start of a sum with its one term, for the same reason by a
// branch: for every x an operation can produce it is x itself, except -0.0,
// which it turns into +0.0.  A select would wait for the comparison.
LDS_INLINE double fromZero(double x) {
    if (__builtin_expect(x == 0.0, 0)) return positiveZero();
    return x;
}

// One state (c == 1): the same sums as symmetricProduct, zero entries of B
// left out and each sum started at 0.0, without the loops and buffers.
// kRows, when not 0, is r known at compile time.
template <int kRows>
LDS_INLINE void oneColumnProduct(double *const *B, int rRun, double **S,
                                                            double **result) {
    const int r = kRows ? kRows : rRun;
    const double s = S[0][0];
    ForEachIndex<kRows>(r, [&](int i) __attribute__((always_inline)) {
        const double bi = B[i][0], t = bi == 0.0 ? 0.0 : timesEntry(s, bi);
        ForEachIndex<kRows>(r, [&](int j) __attribute__((always_inline)) {
            if (j < i) return;
            const double bj = B[j][0];
            result[i][j] = result[j][i] = bj == 0.0 ? 0.0 : fromZero(timesEntry(t, bj));
        });
    });
}

// Rows up to which the one-state product is compiled for its row count.
constexpr int kOneColumnFixedRows = 4;

void symmetricProductOneColumn(double *const *B, int r, double **S, double **result) {
    auto fixed = [&](auto k) __attribute__((always_inline)) {
        oneColumnProduct<decltype(k)::value>(B, r, S, result);
    };
    if (!withCompileTimeCount<kOneColumnFixedRows>(r, fixed)) oneColumnProduct<0>(B, r, S, result);
}


LDS_INLINE double **MatAddBody(double **A, int rows, int cols, double **B, double factor,
                               double **result) {
    if (factor != 1.0) {
        addBlocks<0, false>(A, rows, cols, B, factor, result);
        return result;
    }
    // The variance blocks of small models: rows as well as columns compiled.
    if (rows == cols && rows <= kSmallSquare) {
        auto square = [&](auto k) __attribute__((always_inline)) {
            addBlocks<decltype(k)::value, true, decltype(k)::value>(A, rows, cols, B, factor, result);
        };
        if (withCompileTimeCount<kSmallSquare>(rows, square)) return result;
    }
    auto fixed = [&](auto k) __attribute__((always_inline)) {
        addBlocks<decltype(k)::value, true>(A, rows, cols, B, factor, result);
    };
    if (!withCompileTimeCount<kFixedColumns>(cols, fixed)) addBlocks<0, true>(A, rows, cols, B, factor, result);
    return result;
}

LDS_TWO_COPIES(double **, MatAdd,
               (double **A, int rows, int cols, double **B, double factor, double **result),
               (A, rows, cols, B, factor, result))

}  // namespace

extern "C" {

void MatZero(double **m, int rows, int cols) {
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) m[i][j] = 0.0;
}

void MatI(double **m, int n) {
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) m[i][j] = i == j ? 1.0 : 0.0;
}

double **MatAdd(double **A, int rows, int cols, double **B, double factor, double **result) {
    return LDS_COPY(MatAdd, (A, rows, cols, B, factor, result));
}

double **MatAB(double **A, int rA, int cA, double **B, int cB, double **result) {
    for (int i = 0; i < rA; ++i) {
        double *r = result[i];
        for (int j = 0; j < cB; ++j) r[j] = 0.0;
        for (int k = 0; k < cA; ++k) {
            double a = A[i][k];
            if (a == 0.0) continue;
            const double *b = B[k];
            for (int j = 0; j < cB; ++j) r[j] += a * b[j];
        }
    }
    return result;
}

double **MatBSBt(double **B, int rB, double **S, int cB, double **result) {
    if (cB == 1)
        symmetricProductOneColumn(B, rB, S, result);
    else if (rB <= kSmallOuter && cB <= kSmallOuter)
        smallProductOfRows(B, rB, S, cB, result);
    else
        symmetricProduct(B, rB, S, cB, false, result);
    return result;
}

double **MatBtSB(double **B, int rB, double **S, int cB, double **result) {
    if (rB <= kSmallOuter && cB <= kSmallOuter) {
        smallSymmetricProduct([B](int i, int k) { return B[k][i]; }, cB, S, rB, result);
        return result;
    }
    // B' S B is the same product on the rows of B', which the pattern keeps.
    symmetricProduct(B, rB, S, cB, true, result);
    return result;
}

}  // extern "C"
