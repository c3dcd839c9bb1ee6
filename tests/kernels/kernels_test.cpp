// The optimised kernels of model/kernels.h against their plain scalar
// references, bit for bit, over the sizes they accept: every count up to
// past the compiled ones (16) and the blocks of four, and more than 64
// states with several series.  Each kernel runs as the recursions call it
// and, where built, as its wide and its baseline copy.  The whole of every
// matrix is compared, so a write outside the contract shows as well.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model/kernels.h"

namespace {

// A rows x cols matrix whose rows are separate allocations of exactly cols
// doubles, so that a sanitizer build sees any access past a row.
struct Mat {
    std::vector<std::vector<double>> data;
    std::vector<double *> rows;
    Mat(int r, int c, std::mt19937_64 &rng) : data(r, std::vector<double>(c)) {
        // Magnitudes over forty binary orders, so that the order of every
        // sum shows in its last bits.
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        std::uniform_int_distribution<int> e(-20, 20);
        for (auto &row : data)
            for (double &x : row) x = std::ldexp(u(rng), e(rng));
        point();
    }
    Mat(const Mat &o) : data(o.data) { point(); }
    void point() {
        rows.clear();
        for (auto &row : data) rows.push_back(row.data());
    }
    double **p() { return rows.data(); }
};

bool sameBits(const Mat &a, const Mat &b) {
    for (std::size_t i = 0; i < a.data.size(); ++i)
        if (!a.data[i].empty() && std::memcmp(a.data[i].data(), b.data[i].data(), a.data[i].size() * sizeof(double)))
            return false;
    return true;
}

// The copies of one kernel: as called, and the wide and baseline builds.
template <class F>
struct Copy {
    const char *name;
    F fn;
};
#ifdef LDS_WIDE_COPIES
#define COPIES(k)                                                                \
    std::vector<Copy<decltype(&k)>> {                                            \
        {#k, k}, {#k "Base", k##Base}, {#k "Wide", lds_vec::kWideVectors ? k##Wide : k##Base} \
    }
#else
#define COPIES(k) std::vector<Copy<decltype(&k)>>{{#k, k}}
#endif

// Counts 0..20 and two beyond 64.
std::vector<int> counts() {
    std::vector<int> c;
    for (int n = 0; n <= 20; ++n) c.push_back(n);
    c.push_back(65);
    c.push_back(70);
    return c;
}

// Runs `run(copy, M)` on a copy of `in` for the reference and each copy and
// expects the same bits everywhere.
template <class F, class Run>
void expectSame(const std::vector<Copy<F>> &copies, F ref, const Mat &in, Run run,
                const std::string &what) {
    Mat want(in);
    run(ref, want);
    for (const Copy<F> &c : copies) {
        Mat got(in);
        run(c.fn, got);
        EXPECT_TRUE(sameBits(want, got)) << c.name << " " << what;
    }
}

TEST(Kernels, ProductsMatchTheirReferences) {
    std::mt19937_64 rng(20080901);
    for (int n : counts()) {
        // One matrix holds all inputs; the row after the operands is the output.
        for (int rows : {1, 3, 4, 5, 13, 16, 20, 67}) {
            if (rows > 16 && n > 20) continue;
            const std::string at = "rows " + std::to_string(rows) + " n " + std::to_string(n);
            const int w = std::max({n, rows, 1});
            // Quadratic forms: rows 0..rows-1 X, row rows q, then A.
            Mat Q(rows + 1 + n, w, rng);
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < i; ++j) Q.data[rows + 1 + i][j] = Q.data[rows + 1 + j][i];
            expectSame(COPIES(LdsQuadFormsSym), LdsQuadFormsSymRef, Q,
                       [&](auto f, Mat &M) { f(rows, n, M.p(), M.p() + rows + 1, M.data[rows].data()); },
                       "QuadFormsSym " + at);
            // A x + start: row 0 x, row 1 start and out, then A.
            Mat R(rows + 2, w, rng);
            expectSame(COPIES(LdsMatVecFrom), LdsMatVecFromRef, R,
                       [&](auto f, Mat &M) {
                           f(rows, n, M.p() + 2, M.data[0].data(), M.data[1].data(), M.data[1].data());
                       },
                       "MatVecFrom " + at);
            // x' A over columns [from, to).
            for (int from : {0, 1, 3}) {
                const int to = std::min(from + rows, n);
                if (to < from) continue;
                Mat C(n + 2, std::max(n, 1), rng);
                expectSame(COPIES(LdsColumnCombination), LdsColumnCombinationRef, C,
                           [&](auto f, Mat &M) { f(n, from, to, M.data[n].data(), M.p(), M.data[n + 1].data()); },
                           "ColumnCombination from " + std::to_string(from) + " " + at);
            }
            // The transposed product: rows <= 16, At padded to blocks of four.
            if (rows <= LDS_TVEC_MAX_ROWS && n > 0) {
                const int stride = lds_vec::RoundUpToQuad(rows);
                Mat T(3, std::max(stride * n, std::max(n, rows)), rng);
                expectSame(COPIES(LdsMatTVecFrom), LdsMatTVecFromRef, T,
                           [&](auto f, Mat &M) {
                               f(rows, n, M.data[0].data(), stride, M.data[1].data(),
                                 M.data[2].data(), M.data[2].data());
                           },
                           "MatTVecFrom " + at);
            }
        }
    }
}

TEST(Kernels, VarianceUpdatesMatchTheirReferences) {
    std::mt19937_64 rng(20080902);
    for (int m : counts()) {
        const std::string at = "m " + std::to_string(m);
        Mat row(1, m, rng);
        expectSame(COPIES(LdsScaleRow), LdsScaleRowRef, row,
                   [&](auto f, Mat &M) { f(m, M.data[0].data(), 0.37); }, "ScaleRow " + at);
        Mat P(m + 1, m + 1, rng);
        expectSame(COPIES(LdsSymSubColRow), LdsSymSubColRowRef, P,
                   [&](auto f, Mat &M) { f(m, M.p()); }, "SymSubColRow " + at);
        Mat SB(2 * m, m, rng);
        expectSame(COPIES(LdsSymFromLower), LdsSymFromLowerRef, SB,
                   [&](auto f, Mat &M) { f(m, M.p(), M.p() + m); }, "SymFromLower " + at);
        for (int N : {1, 2, 3, 4, 5, 16, 17, 20}) {
            Mat W(m + N, m + N, rng);
            const std::string atN = at + " N " + std::to_string(N);
            expectSame(COPIES(LdsGainRows), LdsGainRowsRef, W,
                       [&](auto f, Mat &M) { f(N, m, M.p()); }, "GainRows " + atN);
            expectSame(COPIES(LdsSymSubProduct), LdsSymSubProductRef, W,
                       [&](auto f, Mat &M) { f(N, m, M.p()); }, "SymSubProduct " + atN);
        }
    }
}

// The references themselves against the formulas on a case small enough to
// hold by hand: P = [[2, 1], [1, 3]] less M K' with M = (1, 2), K = (0.5, 4).
TEST(Kernels, ReferencesFollowTheirFormulas) {
    std::vector<double> r0 = {2.0, 1.0, 1.0}, r1 = {1.0, 3.0, 2.0}, r2 = {0.5, 4.0, 9.0};
    double *P[] = {r0.data(), r1.data(), r2.data()};
    LdsSymSubColRowRef(2, P);
    EXPECT_EQ(r0[0], 2.0 - 1.0 * 0.5);
    EXPECT_EQ(r0[1], 1.0 - 1.0 * 4.0);
    EXPECT_EQ(r1[0], r0[1]);
    EXPECT_EQ(r1[1], 3.0 - 2.0 * 4.0);
    // The gain rows: W = [[., ., .], [a, b, .], [c, d, e]] style with m = 1,
    // N = 2: W[0][1 + j] = sum_k W[1 + k][0] W[1 + k][1 + j].
    std::vector<double> w0 = {0, 0, 0}, w1 = {2.0, 1.0, 0.5}, w2 = {3.0, 0.5, 4.0};
    double *W[] = {w0.data(), w1.data(), w2.data()};
    LdsGainRowsRef(2, 1, W);
    EXPECT_EQ(w0[1], 2.0 * 1.0 + 3.0 * 0.5);
    EXPECT_EQ(w0[2], 2.0 * 0.5 + 3.0 * 4.0);
}

// ---- the smoothing variance ------------------------------------------------

// The in-place congruence [L; Z]' diag(C, E) [L; Z]: L with the zeros of a
// sparse transition (which the kernel skips), C with a zero row, and, for
// one of the series counts, E = 0 as at a missing time point.
TEST(Kernels, SmoothingVarianceMatchesItsReference) {
    std::mt19937_64 rng(20080903);
    for (int m : counts()) {
        for (int N : {0, 1, 2, 3, 4, 5, 16, 17}) {
            const int d = m + N;
            const std::string at = "m " + std::to_string(m) + " N " + std::to_string(N);
            // Rows 0..d-1 A, row d y, rows d+1.. C.
            Mat M0(d + 1 + m, std::max(d, 1), rng);
            for (int i = 0; i < m; ++i)
                for (int j = 0; j < m; ++j)
                    if ((i * 7 + j * 3) % 5 < 2) M0.data[i][j] = 0.0;
            for (int i = 0; i < m; ++i)
                for (int j = 0; j < i; ++j) M0.data[d + 1 + i][j] = M0.data[d + 1 + j][i];
            if (m > 2)
                for (int j = 0; j < m; ++j) M0.data[d + 1 + 2][j] = M0.data[d + 1 + j][2] = 0.0;
            for (int k = 0; k < N; ++k)
                for (int l = 0; l < N; ++l)
                    M0.data[m + k][m + l] = N == 3 ? 0.0 : M0.data[m + std::max(k, l)][m + std::min(k, l)];
            expectSame(COPIES(LdsSymCongruenceInPlace), LdsSymCongruenceInPlaceRef, M0,
                       [&](auto f, Mat &M) { f(m, N, M.p(), M.p() + d + 1, M.data[d].data()); },
                       "SymCongruenceInPlace " + at);
        }
    }
    // The reference against the formula: m = 2, N = 1, L = [[1, 2], [0, 3]],
    // Z = (1, -1), C = [[2, 1], [1, 4]], E = 0.5.
    std::vector<double> a0 = {1.0, 2.0, 0.0}, a1 = {0.0, 3.0, 0.0}, a2 = {1.0, -1.0, 0.5};
    std::vector<double> c0 = {2.0, 1.0}, c1 = {1.0, 4.0}, y(3);
    double *A[] = {a0.data(), a1.data(), a2.data()}, *C[] = {c0.data(), c1.data()};
    LdsSymCongruenceInPlaceRef(2, 1, A, C, y.data());
    // C L = [[2, 7], [1, 14]], L' C L = [[2, 7], [7, 56]], Z' E Z = 0.5
    // [[1, -1], [-1, 1]].
    EXPECT_EQ(a0[0], 2.5);
    EXPECT_EQ(a0[1], 6.5);
    EXPECT_EQ(a1[0], 6.5);
    EXPECT_EQ(a1[1], 56.5);
}

}  // namespace
