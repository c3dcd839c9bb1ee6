/*
 * kernels_smooth.cpp - the smoothing variance's congruence
 * (LdsSymCongruenceInPlace, model/kernels.h); its plain reference is in
 * kernels_ref.cpp.
 */
#include "model/kernels.h"


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
