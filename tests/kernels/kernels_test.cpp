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
#include <type_traits>
#include <utility>
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

// f(std::integral_constant<int, k>()) for k = 1..kLdsCompiledStates.
template <class F, int... kIs>
void forEachCompiledCount(F f, std::integer_sequence<int, kIs...>) {
    (f(std::integral_constant<int, kIs + 1>()), ...);
}

// The backward products of the simulation smoother and the weights, which
// leave out the terms with a zero coefficient: a third of the coefficients
// are exact zeros and the rows they would touch hold -0.0, which a +0.0
// term would turn into +0.0.  Each copy and the compiled-count forms
// (1..kLdsCompiledStates) against the reference.
TEST(Kernels, BackwardProductsMatchTheirReferences) {
    std::mt19937_64 rng(20080903);
    auto sparsen = [&](std::vector<double> &v) {
        for (std::size_t j = 0; j < v.size(); ++j)
            if (rng() % 3 == 0) v[j] = 0.0;
    };
    auto negZeros = [&](std::vector<double> &v) {
        for (std::size_t j = 0; j < v.size(); j += 2) v[j] = -0.0;
    };
    for (int m : counts()) {
        for (int n : {0, 1, 2, 3, 4, 5, 16, 17, 20, 70}) {
            const std::string at = "m " + std::to_string(m) + " n " + std::to_string(n);
            // out = start + X' Y with X n x rows, Y n x m: rows 0..n-1 X,
            // n..2n-1 Y, then out, then a separate start; start is out
            // itself, those rows, or null.
            for (int rows : {1, 5, m}) {
                Mat C(2 * n + 2 * rows, std::max({m, rows, 1}), rng);
                for (int k = 0; k < n; ++k) sparsen(C.data[k]);
                for (int i = 0; i < rows; ++i) negZeros(C.data[2 * n + i]);
                for (int from : {0, 1, 2}) {
                    auto run = [&](auto f, Mat &M) {
                        double **out = M.p() + 2 * n;
                        double **start = from == 0 ? out : from == 1 ? out + rows : nullptr;
                        f(n, rows, m, M.p(), M.p() + n, start, out);
                    };
                    expectSame(COPIES(LdsTransposeProductFrom), LdsTransposeProductFromRef, C, run,
                               "TransposeProductFrom rows " + std::to_string(rows) + " start " +
                                   std::to_string(from) + " " + at);
                }
            }
            // Row 0 x (n), row 1 y (m), then Y (n x m).
            const int w = std::max({n, m, 1});
            Mat O(n + 2, w, rng);
            sparsen(O.data[0]);
            for (int r = 0; r < n; ++r) negZeros(O.data[2 + r]);
            expectSame(COPIES(LdsAddOuter), LdsAddOuterRef, O,
                       [&](auto f, Mat &M) { f(n, m, M.data[0].data(), M.data[1].data(), M.p() + 2); },
                       "AddOuter " + at);
        }
        // Row 0 x, row 1 y, then S (m x m).
        Mat U(m + 2, std::max(m, 1), rng);
        sparsen(U.data[0]);
        for (int r = 0; r < m; ++r) negZeros(U.data[2 + r]);
        expectSame(COPIES(LdsAddOuterUpper), LdsAddOuterUpperRef, U,
                   [&](auto f, Mat &M) { f(m, M.data[0].data(), M.data[1].data(), M.p() + 2); },
                   "AddOuterUpper m " + std::to_string(m));
    }
    // The compiled-count forms, as the recursions call them.
    auto compiled = [&](auto k) {
        constexpr int kM = decltype(k)::value;
        for (int n : {0, 1, 3, 5}) {
            const std::string at = "kM " + std::to_string(kM) + " n " + std::to_string(n);
            Mat C(2 * n + kM, kM, rng);
            for (int j = 0; j < n; ++j) sparsen(C.data[j]);
            for (int i = 0; i < kM; ++i) negZeros(C.data[2 * n + i]);
            for (bool fromOut : {true, false}) {
                Mat want(C), got(C);
                double **w = want.p() + 2 * n, **g = got.p() + 2 * n;
                LdsTransposeProductFromRef(n, kM, kM, want.p(), want.p() + n, fromOut ? w : nullptr, w);
                LdsTransposeProductFromOf<kM>(n, kM, kM, got.p(), got.p() + n, fromOut ? g : nullptr, g);
                EXPECT_TRUE(sameBits(want, got)) << "TransposeProductFromOf " << at;
            }
            Mat O(n + 2, std::max(n, kM), rng);
            sparsen(O.data[0]);
            Mat wantO(O), gotO(O);
            LdsAddOuterRef(n, kM, wantO.data[0].data(), wantO.data[1].data(), wantO.p() + 2);
            LdsAddOuterOf<kM>(n, kM, gotO.data[0].data(), gotO.data[1].data(), gotO.p() + 2);
            EXPECT_TRUE(sameBits(wantO, gotO)) << "AddOuterOf " << at;
        }
        Mat U(kM + 2, kM, rng);
        sparsen(U.data[0]);
        Mat wantU(U), gotU(U);
        LdsAddOuterUpperRef(kM, wantU.data[0].data(), wantU.data[1].data(), wantU.p() + 2);
        LdsAddOuterUpperOf<kM>(kM, gotU.data[0].data(), gotU.data[1].data(), gotU.p() + 2);
        EXPECT_TRUE(sameBits(wantU, gotU)) << "AddOuterUpperOf kM " << kM;
    };
    forEachCompiledCount(compiled, std::make_integer_sequence<int, kLdsCompiledStates>());
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
    // out + X' Y with X = (2, 0, 3)' (one column), the zero term
    // left out, so -0.0 in out stays -0.0 where the other terms are -0.0.
    std::vector<double> x0 = {2.0}, x1 = {0.0}, x2 = {3.0};
    std::vector<double> y0 = {1.0, -0.0}, y1 = {5.0, 7.0}, y2 = {-1.0, -0.0}, out = {0.5, -0.0};
    double *X[] = {x0.data(), x1.data(), x2.data()}, *Y[] = {y0.data(), y1.data(), y2.data()};
    double *O[] = {out.data()};
    LdsTransposeProductFromRef(3, 1, 2, X, Y, O, O);
    EXPECT_EQ(out[0], 0.5 + 2.0 * 1.0 + 3.0 * -1.0);
    EXPECT_TRUE(std::signbit(out[1]) && out[1] == 0.0);
    // The upper triangle of S + x y' with x = (0, 2): row 0 untouched.
    std::vector<double> s0 = {1.0, 2.0}, s1 = {3.0, 4.0}, xv = {0.0, 2.0}, yv = {5.0, 6.0};
    double *S[] = {s0.data(), s1.data()};
    LdsAddOuterUpperRef(2, xv.data(), yv.data(), S);
    EXPECT_EQ(s0[0], 1.0);
    EXPECT_EQ(s0[1], 2.0);
    EXPECT_EQ(s1[0], 3.0);
    EXPECT_EQ(s1[1], 4.0 + 2.0 * 6.0);
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
