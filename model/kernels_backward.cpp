/*
 * kernels_backward.cpp - the simulation smoother's and the weights'
 * backward products (model/kernels.h): transpose products from a start and
 * outer-product updates; their plain references are in kernels_ref.cpp.
 */
#include "model/kernels.h"

namespace {

using lds_vec::LoadQuad;
using lds_vec::Quad;
using lds_vec::StoreQuad;

const Quad kZero = {0.0, 0.0, 0.0, 0.0};

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
