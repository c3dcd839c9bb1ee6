// matrix.cpp - the stand-in Kel matrix library: storage, the small dense
// products the library relies on, inversion, LDL' decomposition, rank and
// standard normal draws.
//
// The products are written for the small matrices of state space models:
// zero entries of the outer factor (a sparse transition, a selection row)
// are skipped, and symmetric results are computed on one triangle and
// copied to the other.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "kelhost/kelhost.h"
#include "kelhost/storage.h"

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

// The products are built twice on x86-64, for AVX2 and for the baseline, and
// the loader picks one.  Neither uses fused multiply-adds (ISO mode keeps
// floating-point contraction off) nor reorders a sum, so both give the same
// bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define KELHOST_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define KELHOST_WIDE_VECTORS
#endif

// Row updates of the products in blocks of four doubles (one AVX2 register;
// two SSE2 registers in the baseline build) and a scalar tail.  Each element
// gets the same single product and addition as the plain loop, so neither
// width changes a bit.
typedef double Quad __attribute__((vector_size(4 * sizeof(double))));
typedef std::int64_t Lanes __attribute__((vector_size(4 * sizeof(std::int64_t))));

inline __attribute__((always_inline)) Quad loadQuad(const double *p) {
    Quad q;
    std::memcpy(&q, p, sizeof q);
    return q;
}

inline __attribute__((always_inline)) void storeQuad(double *p, Quad q) {
    std::memcpy(p, &q, sizeof q);
}

// f(k) for each k in [from, to), a range of at most three elements: the
// tails of the loops over blocks of four, spelt out so that the compiler does
// not wrap each in a vectorised loop of its own.
template <class F>
inline __attribute__((always_inline)) void forTail(int from, int to, F f) {
    switch (to - from) {
    case 3: f(from + 2); [[fallthrough]];
    case 2: f(from + 1); [[fallthrough]];
    case 1: f(from); break;
    default: break;
    }
}

// t[0..n) = b * s[0..n), or 0.0 + b * s[0..n) with kFromZero, which is the
// first term of a sum started at zero (it turns -0.0 into +0.0).  n is a
// multiple of four unless kTail.
template <bool kFromZero, bool kTail>
inline __attribute__((always_inline)) void rowScale(double *t, const double *s, double b, int n) {
    const Quad zero = {0.0, 0.0, 0.0, 0.0};
    int l = 0;
    for (; l + 4 <= n; l += 4)
        storeQuad(t + l, kFromZero ? zero + b * loadQuad(s + l) : b * loadQuad(s + l));
    if (kTail)
        forTail(l, n, [&](int k) { t[k] = kFromZero ? 0.0 + b * s[k] : b * s[k]; });
}

// t[0..n) += b * s[0..n); n is a multiple of four unless kTail.
template <bool kTail>
inline __attribute__((always_inline)) void rowAddScaled(double *t, const double *s, double b, int n) {
    int l = 0;
    for (; l + 4 <= n; l += 4) storeQuad(t + l, loadQuad(t + l) + b * loadQuad(s + l));
    if (kTail)
        forTail(l, n, [&](int k) { t[k] += b * s[k]; });
}

constexpr int roundUpToQuad(int n) { return (n + 3) & ~3; }

// dst (4 x 4, row stride ds) = transpose of src (4 x 4, row stride ss).
inline __attribute__((always_inline)) void transposeQuads(const double *src, std::size_t ss,
                                                          double *dst, std::size_t ds) {
    Quad a = loadQuad(src), b = loadQuad(src + ss);
    Quad c = loadQuad(src + 2 * ss), d = loadQuad(src + 3 * ss);
    Quad ab02 = __builtin_shuffle(a, b, Lanes{0, 4, 2, 6});
    Quad ab13 = __builtin_shuffle(a, b, Lanes{1, 5, 3, 7});
    Quad cd02 = __builtin_shuffle(c, d, Lanes{0, 4, 2, 6});
    Quad cd13 = __builtin_shuffle(c, d, Lanes{1, 5, 3, 7});
    storeQuad(dst, __builtin_shuffle(ab02, cd02, Lanes{0, 1, 4, 5}));
    storeQuad(dst + ds, __builtin_shuffle(ab13, cd13, Lanes{0, 1, 4, 5}));
    storeQuad(dst + 2 * ds, __builtin_shuffle(ab02, cd02, Lanes{2, 3, 6, 7}));
    storeQuad(dst + 3 * ds, __builtin_shuffle(ab13, cd13, Lanes{2, 3, 6, 7}));
}

// Lanes 0..k of a, the rest of b.
inline __attribute__((always_inline)) Quad blendQuads(Quad a, Quad b, int k) {
    const Lanes lane = {0, 1, 2, 3};
    return lane <= k ? a : b;
}

// True when the four doubles at p are all +0.0 or -0.0.
inline __attribute__((always_inline)) bool quadIsZero(const double *p) {
    std::uint64_t u[4];
    std::memcpy(u, p, sizeof u);
    std::uint64_t any = u[0] | u[1] | u[2] | u[3];
    return (any << 1) == 0;  // the shift drops the sign bits
}

// Appends the columns of the non-zero entries of b[0..c) to pat; returns
// the new count.  Blocks of four zeros, the common case in a sparse
// transition, are passed over at once.
inline __attribute__((always_inline)) int appendPattern(const double *b, int c, int *pat, int nnz) {
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

typedef std::uint64_t Bits __attribute__((vector_size(4 * sizeof(std::uint64_t))));

// Ors the bitwise differences of a[0..n) and b[0..n) into quads and tail.
inline __attribute__((always_inline)) void orDifferences(const double *a, const double *b, int n,
                                                         Bits &quads, std::uint64_t &tail) {
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        Bits x, y;
        std::memcpy(&x, a + k, sizeof x);
        std::memcpy(&y, b + k, sizeof y);
        quads |= x ^ y;
    }
    forTail(k, n, [&](int q) {
        std::uint64_t x, y;
        std::memcpy(&x, a + q, sizeof x);
        std::memcpy(&y, b + q, sizeof y);
        tail |= x ^ y;
    });
}

// Outer factors (and sums) with up to this many columns get code compiled
// for their column count.
constexpr int kFixedColumns = 16;

template <class F, int... kNs>
inline __attribute__((always_inline)) bool withCountFrom(int n, F &f, std::integer_sequence<int, kNs...>) {
    return ((n == kNs + 1 ? (f(std::integral_constant<int, kNs + 1>()), true) : false) || ...);
}

// f(std::integral_constant<int, n>()) and true when 1 <= n <= kMax, else
// false: a loop over a small run-time count, compiled for each count so that
// it unrolls completely.  f must be always_inline, so that it is built for
// the same instruction set as its caller.
template <int kMax, class F>
inline __attribute__((always_inline)) bool withCompileTimeCount(int n, F f) {
    return withCountFrom(n, f, std::make_integer_sequence<int, kMax>());
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
inline __attribute__((always_inline)) bool matches(const OuterPattern &p, double *const *B, int r,
                                                   int cRun, bool transposed) {
    const int c = kCols ? kCols : cRun;
    if (p.rows != r || p.cols != c || p.transposed != transposed) return false;
    // A mismatch is rare, so the rows are not tested one by one.
    Bits quads = {0, 0, 0, 0};
    std::uint64_t tail = 0;
    const double *kept = p.values.data();
    for (int i = 0; i < r; ++i) orDifferences(B[i], kept + std::size_t(i) * c, c, quads, tail);
    return (quads[0] | quads[1] | quads[2] | quads[3] | tail) == 0;
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
    const std::size_t padded = std::size_t(roundUpToQuad(outerRows));
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
inline __attribute__((always_inline)) const OuterPattern &keptPattern(double *const *B, int r, int c, bool transposed, OuterPattern &own) {
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
inline __attribute__((always_inline)) void sumOfScaledRows(const double *b, const int *col,
                                                           int count, RowOf rowOf, double *out) {
    const Quad zero = {0.0, 0.0, 0.0, 0.0};
    Quad acc[Q > 0 ? Q : 1];
    double tail[T > 0 ? T : 1];
    {
        const double f = b[col[0]];
        const double *s = rowOf(col[0]);
        for (int q = 0; q < Q; ++q)
            acc[q] = kFromZero ? zero + f * loadQuad(s + 4 * q) : f * loadQuad(s + 4 * q);
        for (int k = 0; k < T; ++k) tail[k] = kFromZero ? 0.0 + f * s[4 * Q + k] : f * s[4 * Q + k];
    }
    for (int e = 1; e < count; ++e) {
        const double f = b[col[e]];
        const double *s = rowOf(col[e]);
        for (int q = 0; q < Q; ++q) acc[q] += f * loadQuad(s + 4 * q);
        for (int k = 0; k < T; ++k) tail[k] += f * s[4 * Q + k];
    }
    for (int q = 0; q < Q; ++q) storeQuad(out + 4 * q, acc[q]);
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
template <class F, int... kIs>
inline __attribute__((always_inline)) void forEachIndexOf(F &f, std::integer_sequence<int, kIs...>) {
    (f(kIs), ...);
}
template <int kCount, class F>
inline __attribute__((always_inline)) void forEachIndex(int n, F f) {
    if constexpr (kCount > 0)
        forEachIndexOf(f, std::make_integer_sequence<int, kCount>());
    else
        for (int i = 0; i < n; ++i) f(i);
}

// The pattern of a row without zeros, for up to kFixedColumns columns.
constexpr int kAllColumns[kFixedColumns] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
static_assert(kFixedColumns == 16, "kAllColumns lists every column up to kFixedColumns");

// The first pass: X (rp x cp, rows r..rp-1 zero) and its transpose W
// (cp x rp).  kColumns, when not 0, is c known at compile time: the row
// updates then unroll completely and their tails need no dispatch.
template <int kColumns>
inline __attribute__((always_inline)) void productRows(const OuterPattern &pattern,
                                                       double *const *B, int r, double **S,
                                                       int cRun, double *x, double *w) {
    const int c = kColumns ? kColumns : cRun;
    const int rp = roundUpToQuad(r), cp = roundUpToQuad(c);
    const int *pat = pattern.columns.data();
    const int *off = pattern.rowStart.data();   // row j: pat[off[j]..off[j+1])

    const Quad zero = {0.0, 0.0, 0.0, 0.0};
    for (int i = 0; i < r; ++i) {
        double *xi = x + std::size_t(i) * cp;
        const double *bi = B[i];
        storeQuad(xi + cp - 4, zero);   // the padding; the row overwrites the rest
        int e = off[i];
        const int end = off[i + 1];
        if (e == end) {
            for (int l = 0; l < cp; l += 4) storeQuad(xi + l, zero);
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
        for (int l = 0; l < cp; l += 4) storeQuad(x + std::size_t(i) * cp + l, zero);
    for (int i = 0; i < rp; i += 4)
        for (int l = 0; l < cp; l += 4)
            transposeQuads(x + std::size_t(i) * cp + l, cp, w + std::size_t(l) * rp + i, rp);
}

template <int kRows>
inline __attribute__((always_inline)) void assembleSymmetric(int rRun, bool fromUpper,
                                                             double *lower, double *upper,
                                                             double **result);

// The second pass from W (cp x rp): L into lower, L' into upper (both
// rp x rp), then the result.  kRows, when not 0, is r known at compile
// time: the loops over rows then become straight-line code, with each
// row's length and the place of its diagonal block fixed.
template <int kRows>
inline __attribute__((always_inline)) void symmetricResult(const OuterPattern &pattern,
                                                           double *const *B, int rRun,
                                                           const double *w, double *lower,
                                                           double *upper, double **result) {
    const int r = kRows ? kRows : rRun;
    const int rp = roundUpToQuad(r);
    const int *pat = pattern.columns.data();
    const int *off = pattern.rowStart.data();
    const Quad zero = {0.0, 0.0, 0.0, 0.0};

    auto rowOfL = [&](int j) __attribute__((always_inline)) {
        double *lj = lower + std::size_t(j) * rp;
        const int n = (j & ~3) + 4;
        if (j >= r || off[j] == off[j + 1]) {
            for (int i = 0; i < n; i += 4) storeQuad(lj + i, zero);
            return;
        }
        const double *bj = B[j];
        auto rowOfW = [w, rp](int l) { return w + std::size_t(l) * rp; };
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
    forEachIndex<kRows ? roundUpToQuad(kRows) : 0>(rp, rowOfL);
    assembleSymmetric<kRows>(r, false, lower, upper, result);
}

// The result from L (lower, rp x rp) or, with fromUpper, from L' (upper):
// first the other one, over the blocks on and below (above) the diagonal
// only, by 4 x 4 transposes, then the rows of the result.
template <int kRows>
inline __attribute__((always_inline)) void assembleSymmetric(int rRun, bool fromUpper,
                                                             double *lower, double *upper,
                                                             double **result) {
    const int r = kRows ? kRows : rRun;
    const int rp = roundUpToQuad(r);
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
            for (; i < diag; i += 4) storeQuad(out + i, loadQuad(lj + i));
            storeQuad(out + diag, blendQuads(loadQuad(lj + diag), loadQuad(uj + diag), j - diag));
            for (i = diag + 4; i < rq; i += 4) storeQuad(out + i, loadQuad(uj + i));
            forTail(rq, r, [&](int k) { out[k] = uj[k]; });
        } else {
            int i = 0;
            for (; i < rq; i += 4) storeQuad(out + i, loadQuad(lj + i));
            Quad q = blendQuads(loadQuad(lj + diag), loadQuad(uj + diag), j - diag);
            forTail(i, r, [&](int k) { out[k] = q[k - diag]; });
        }
    };
    forEachIndex<kRows>(r, rowOfResult);
}

// The result for a diagonal outer factor b (pattern.diagonal, r = c): the
// general path's sum for element (i, j), i <= j, has the single term
// 0.0 + b_j (b_i S[i][j]), and is +0.0 when row i or j of b is empty.  L'
// is formed row by row from the rows of S, then L and the result as in the
// general path.
template <int kRows>
inline __attribute__((always_inline)) void diagonalResult(const OuterPattern &pattern, int rRun,
                                                          double **S, double *lower,
                                                          double *upper, double **result) {
    const int r = kRows ? kRows : rRun;
    const int rp = roundUpToQuad(r), rq = r & ~3;
    const double *b = pattern.diagonalEntries.data();
    const std::int64_t *kept = pattern.diagonalKept.data();
    const Quad zero = {0.0, 0.0, 0.0, 0.0};

    auto rowOfUpper = [&](int i) __attribute__((always_inline)) {
        double *ui = upper + std::size_t(i) * rp;
        if (i >= r) {
            for (int j = 0; j < rp; j += 4) storeQuad(ui + j, zero);
            return;
        }
        const double *si = S[i];
        const double bi = b[i];
        const bool empty = kept[i] == 0;
        auto quadOf = [&](Quad sq, int j) __attribute__((always_inline)) {
            const Quad x = empty ? zero : bi * sq;   // B S, or its zero row
            const Quad u = zero + loadQuad(b + j) * x;
            Lanes keep;
            std::memcpy(&keep, kept + j, sizeof keep);
            return keep != 0 ? u : zero;
        };
        int j = i & ~3;
        for (; j < rq; j += 4) storeQuad(ui + j, quadOf(loadQuad(si + j), j));
        if (j < rp) {
            Quad sq = zero;
            forTail(j, r, [&](int k) { sq[k - j] = si[k]; });
            storeQuad(ui + j, quadOf(sq, j));
        }
    };
    forEachIndex<kRows ? roundUpToQuad(kRows) : 0>(rp, rowOfUpper);
    assembleSymmetric<kRows>(r, true, lower, upper, result);
}

// Kept out of line, so that the general path's code stays as it is.
KELHOST_WIDE_VECTORS __attribute__((noinline))
void diagonalProduct(const OuterPattern &pattern, int r, double **S, double *lower,
                     double *upper, double **result) {
    auto fixed = [&](auto k) __attribute__((always_inline)) {
        diagonalResult<decltype(k)::value>(pattern, r, S, lower, upper, result);
    };
    if (!withCompileTimeCount<kFixedColumns>(r, fixed))
        diagonalResult<0>(pattern, r, S, lower, upper, result);
}

// B S B' for B r x c, or with transposed B' S B (S r x r), on the kept
// pattern of B.
KELHOST_WIDE_VECTORS
void symmetricProduct(double *const *B, int r, double **S, int c, bool transposed,
                      double **result) {
    OuterPattern own;
    const OuterPattern &pattern = keptPattern(B, r, c, transposed, own);
    double *const *outer = transposed ? pattern.outerRows.data() : B;
    const int outerRows = transposed ? c : r, inner = transposed ? r : c;

    const int rp = roundUpToQuad(outerRows), cp = roundUpToQuad(inner), wide = rp > cp ? rp : cp;
    const std::size_t area = std::size_t(rp) * std::size_t(wide);
    Buffer<double> xBuf, wBuf;
    double *x = xBuf.get(area);   // X (rp x cp), then L (rp x rp)
    double *w = wBuf.get(area);   // W = X' (cp x rp), then L' (rp x rp)

    if (pattern.diagonal) {
        diagonalProduct(pattern, outerRows, S, x, w, result);
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

// result = A + factor B over rows x cols (cols = kCols unless kCols is 0;
// with kUnit the factor is 1.0 and not multiplied), in blocks of four, each
// loaded before it is stored, so that result may be A or B itself.
template <int kCols, bool kUnit, int kRows = 0>
inline __attribute__((always_inline)) void addBlocks(double **A, int rowsRun, int colsRun, double **B,
                                                     double factor, double **result) {
    const int cols = kCols ? kCols : colsRun;
    const int rows = kRows ? kRows : rowsRun;
    const int whole = cols & ~3;
    for (int i = 0; i < rows; ++i) {
        const double *a = A[i], *b = B[i];
        double *r = result[i];
        int j = 0;
        for (; j < whole; j += 4)
            storeQuad(r + j, kUnit ? loadQuad(a + j) + loadQuad(b + j)
                                   : loadQuad(a + j) + factor * loadQuad(b + j));
        forTail(j, cols, [&](int k) { r[k] = kUnit ? a[k] + b[k] : a[k] + factor * b[k]; });
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
inline __attribute__((always_inline)) double timesEntry(double x, double b) {
    if (__builtin_expect(b == 1.0, 1)) return x;
    return x * b;
}

// +0.0, out of line, so that the branch to it stays a branch.
__attribute__((noinline, cold)) double positiveZero() { return 0.0; }

// 0.0 + x, the start of a sum with its one term, for the same reason by a
// branch: for every x an operation can produce it is x itself, except -0.0,
// which it turns into +0.0.  A select would wait for the comparison.
inline __attribute__((always_inline)) double fromZero(double x) {
    if (__builtin_expect(x == 0.0, 0)) return positiveZero();
    return x;
}

// One state (c == 1): the same sums as symmetricProduct, zero entries of B
// left out and each sum started at 0.0, without the loops and buffers.
// kRows, when not 0, is r known at compile time.
template <int kRows>
inline __attribute__((always_inline)) void oneColumnProduct(double *const *B, int rRun, double **S,
                                                            double **result) {
    const int r = kRows ? kRows : rRun;
    const double s = S[0][0];
    forEachIndex<kRows>(r, [&](int i) __attribute__((always_inline)) {
        const double bi = B[i][0], t = bi == 0.0 ? 0.0 : timesEntry(s, bi);
        forEachIndex<kRows>(r, [&](int j) __attribute__((always_inline)) {
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

// Size of the stack buffer for pivot indices; larger inversions use the heap.
constexpr int kSmallPivots = 32;

// Relative threshold below which an inversion pivot counts as zero, in units
// of n * machine epsilon times the largest magnitude of the matrix.
double singularTolerance(double **A, int n) {
    double big = 0.0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            double a = std::fabs(A[i][j]);
            if (a > big) big = a;
        }
    return big * n * DBL_EPSILON;
}

}  // namespace

extern "C" {

double **MatAllocBlock(int rows, int cols) {
    if (kelhost::injectFailure()) return nullptr;
    return reinterpret_cast<double **>(
        kelhost::allocBlock(rows, cols, sizeof(double), kelhost::BlockKind::Tracked));
}

void MatFreeBlock(double **m) { kelhost::freeBlock(reinterpret_cast<void **>(m)); }

void **TabAllocPlain(int rows, int cols, int size) {
    if (size <= 0 || kelhost::injectFailure()) return nullptr;
    return kelhost::allocBlock(rows, cols, std::size_t(size), kelhost::BlockKind::Tracked);
}

void TabFreePlain(void **table, int, int) { kelhost::freeBlock(table); }

void MatZero(double **m, int rows, int cols) {
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) m[i][j] = 0.0;
}

void MatI(double **m, int n) {
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) m[i][j] = i == j ? 1.0 : 0.0;
}

KELHOST_WIDE_VECTORS
double **MatAdd(double **A, int rows, int cols, double **B, double factor, double **result) {
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

KELHOST_WIDE_VECTORS
int IInvDet(double **A, int n, double *logdet, int *nonsingular) {
    // Gauss-Jordan elimination with partial (row) pivoting, in place; the
    // row interchanges become column interchanges of the inverse.
    if (logdet) *logdet = 0.0;
    if (nonsingular) *nonsingular = 0;
    if (n < 1) return 1;
    int small[kSmallPivots];
    std::vector<int> large;
    int *perm = small;
    if (n > kSmallPivots) {
        large.resize(std::size_t(n));
        perm = large.data();
    }
    double tol = singularTolerance(A, n);
    double ld = 0.0;
    for (int k = 0; k < n; ++k) {
        int p = k;
        double best = std::fabs(A[k][k]);
        for (int i = k + 1; i < n; ++i) {
            double a = std::fabs(A[i][k]);
            if (a > best) { best = a; p = i; }
        }
        if (!(best > tol)) return 1;  // also catches NaN
        perm[k] = p;
        const int whole = n & ~3;
        if (p != k) {
            double *a = A[k], *b = A[p];
            int j = 0;
            for (; j < whole; j += 4) {
                Quad x = loadQuad(a + j);
                storeQuad(a + j, loadQuad(b + j));
                storeQuad(b + j, x);
            }
            for (; j < n; ++j) std::swap(a[j], b[j]);
        }
        // Column k of row k becomes 1.0 and of the other rows 0.0 before the
        // row operations; inside the blocks of four it is set in the register,
        // so that no block is read back right after one of its elements was
        // written.
        const Lanes lane = {0, 1, 2, 3};
        const int kb = k & ~3;
        const Lanes atK = lane == (k - kb);
        double *rk = A[k];
        double pivot = rk[k];
        ld += std::log(std::fabs(pivot));
        double inv = 1.0 / pivot;
        const Quad one = {1.0, 1.0, 1.0, 1.0}, zero = {0.0, 0.0, 0.0, 0.0};
        int j = 0;
        for (; j < whole; j += 4) {
            Quad q = loadQuad(rk + j);
            if (j == kb) q = atK ? one : q;
            storeQuad(rk + j, q * inv);
        }
        if (k >= whole) rk[k] = 1.0;
        for (; j < n; ++j) rk[j] *= inv;
        for (int i = 0; i < n; ++i) {
            if (i == k) continue;
            double *ri = A[i];
            double f = ri[k];
            if (f == 0.0) continue;
            for (j = 0; j < whole; j += 4) {
                Quad q = loadQuad(ri + j);
                if (j == kb) q = atK ? zero : q;
                storeQuad(ri + j, q - f * loadQuad(rk + j));
            }
            if (k >= whole) ri[k] = 0.0;
            for (; j < n; ++j) ri[j] -= f * rk[j];
        }
    }
    // The row interchanges make this the inverse of P A; A^-1 = (P A)^-1 P
    // undoes them as column interchanges in reverse order.
    for (int k = n - 1; k >= 0; --k) {
        int p = perm[k];
        if (p == k) continue;
        for (int i = 0; i < n; ++i) { double x = A[i][k]; A[i][k] = A[i][p]; A[i][p] = x; }
    }
    if (logdet) *logdet = ld;
    if (nonsingular) *nonsingular = 1;
    return 0;
}

int ILDLdec(double **A, double *d, int n) {
    // A = L D L' column by column from the lower triangle; d[j] = 1 / D_j.
    for (int j = 0; j < n; ++j) {
        double Dj = A[j][j];
        for (int k = 0; k < j; ++k) Dj -= A[j][k] * A[j][k] / d[k];
        if (!(Dj > 0.0) || !std::isfinite(Dj)) return 1;
        d[j] = 1.0 / Dj;
        for (int i = j + 1; i < n; ++i) {
            double s = A[i][j];
            for (int k = 0; k < j; ++k) s -= A[i][k] * A[j][k] / d[k];
            A[i][j] = s / Dj;
        }
    }
    return 0;
}

int IMatRank(double **A, int rows, int cols, int, double tol) {
    // One-sided Jacobi: orthogonalise the columns of a copy; the column norms
    // are the singular values.
    if (rows < 1 || cols < 1) return 0;
    std::vector<double> U(std::size_t(rows) * std::size_t(cols));
    auto u = [&](int i, int j) -> double & { return U[std::size_t(j) * rows + i]; };
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) u(i, j) = A[i][j];
    const int kMaxSweeps = 60;
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        bool rotated = false;
        for (int p = 0; p < cols - 1; ++p)
            for (int q = p + 1; q < cols; ++q) {
                double alpha = 0.0, beta = 0.0, gamma = 0.0;
                for (int i = 0; i < rows; ++i) {
                    alpha += u(i, p) * u(i, p);
                    beta += u(i, q) * u(i, q);
                    gamma += u(i, p) * u(i, q);
                }
                if (gamma == 0.0 || std::fabs(gamma) <= DBL_EPSILON * std::sqrt(alpha * beta))
                    continue;
                rotated = true;
                double zeta = (beta - alpha) / (2.0 * gamma);
                double t = (zeta >= 0 ? 1.0 : -1.0) /
                           (std::fabs(zeta) + std::sqrt(1.0 + zeta * zeta));
                double c = 1.0 / std::sqrt(1.0 + t * t), s = c * t;
                for (int i = 0; i < rows; ++i) {
                    double x = u(i, p), y = u(i, q);
                    u(i, p) = c * x - s * y;
                    u(i, q) = s * x + c * y;
                }
            }
        if (!rotated) break;
    }
    std::vector<double> sv(std::size_t(cols), 0.0);
    double big = 0.0;
    for (int j = 0; j < cols; ++j) {
        double s = 0.0;
        for (int i = 0; i < rows; ++i) s += u(i, j) * u(i, j);
        sv[std::size_t(j)] = std::sqrt(s);
        if (sv[std::size_t(j)] > big) big = sv[std::size_t(j)];
    }
    if (!(big > 0.0)) return 0;
    int rank = 0;
    for (double s : sv)
        if (s > tol * big) ++rank;
    return rank;
}

}  // extern "C"

// ---- random numbers ---------------------------------------------------------
// xoshiro256** (Blackman and Vigna), seeded through splitmix64; standard
// normals by the Marsaglia polar method, the second value of each pair kept
// for the next call.
namespace {

std::uint64_t g_state[4];
bool g_seeded = false;
bool g_haveSpare = false;
double g_spare = 0.0;
constexpr unsigned long long kDefaultSeed = 20080901ULL;

std::uint64_t splitmix64(std::uint64_t &x) {
    std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

std::uint64_t next() {
    if (!g_seeded) kelhost_seed(kDefaultSeed);
    std::uint64_t result = rotl(g_state[1] * 5, 7) * 9;
    std::uint64_t t = g_state[1] << 17;
    g_state[2] ^= g_state[0];
    g_state[3] ^= g_state[1];
    g_state[1] ^= g_state[2];
    g_state[0] ^= g_state[3];
    g_state[2] ^= t;
    g_state[3] = rotl(g_state[3], 45);
    return result;
}

// Uniform on (-1, 1) from the top 53 bits.
double uniformSigned() { return double(next() >> 11) * (2.0 / 9007199254740992.0) - 1.0; }

}  // namespace

extern "C" {

void kelhost_seed(unsigned long long seed) {
    std::uint64_t x = seed;
    for (auto &s : g_state) s = splitmix64(x);
    g_seeded = true;
    g_haveSpare = false;
}

double DRanNormalPM(void) {
    if (g_haveSpare) {
        g_haveSpare = false;
        return g_spare;
    }
    double u, v, s;
    do {
        u = uniformSigned();
        v = uniformSigned();
        s = u * u + v * v;
    } while (s >= 1.0 || s == 0.0);
    double f = std::sqrt(-2.0 * std::log(s) / s);
    g_spare = v * f;
    g_haveSpare = true;
    return u * f;
}

void MatRann(double **m, int rows, int cols) {
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) m[i][j] = DRanNormalPM();
}

}  // extern "C"
