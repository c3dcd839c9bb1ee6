/*
 * kernels_ref.cpp - the plain scalar references of the optimised kernels
 * (kernels.h): each formula as written, one sum at a time, in the order
 * the contract states.  They give the kernels' bits and are what
 * tests/kernels holds the kernels against; the recursions call the
 * optimised kernels.
 */
#include "model/kernels.h"

void LdsQuadFormsSymRef(int rows, int n, double *const *X, double **A, double *q)
{
    for (int r = 0; r < rows; r++)
        q[r] = dInnerProd(n, X[r], A);
}

void LdsColumnCombinationRef(int n, int from, int to, const double *x, double **A, double *out)
{
    for (int i = from; i < to; i++) {
        double s = 0.0;
        for (int j = 0; j < n; j++)
            s += x[j] * A[j][i];
        out[i - from] = s;
    }
}

void LdsMatVecFromRef(int rows, int n, double **A, const double *x, const double *start,
                      double *out)
{
    for (int i = 0; i < rows; i++) {
        double s = start[i];
        for (int k = 0; k < n; k++)
            s += A[i][k] * x[k];
        out[i] = s;
    }
}

void LdsMatTVecFromRef(int rows, int n, const double *At, int stride, const double *x,
                       const double *start, double *out)
{
    for (int i = 0; i < rows; i++) {
        double s = start[i];
        for (int k = 0; k < n; k++)
            s += At[std::size_t(k) * std::size_t(stride) + i] * x[k];
        out[i] = s;
    }
}

void LdsScaleRowRef(int n, double *x, double f)
{
    for (int j = 0; j < n; j++)
        x[j] = x[j] * f;
}

void LdsSymSubColRowRef(int m, double **P)
{
    for (int i = 0; i < m; i++)
        for (int j = i; j < m; j++)
            P[i][j] = P[i][j] - P[i][m] * P[m][j];
    for (int i = 0; i < m; i++)
        for (int j = i + 1; j < m; j++)
            P[j][i] = P[i][j];
}

void LdsGainRowsRef(int N, int m, double **W)
{
    for (int i = 0; i < m; i++)
        for (int j = 0; j < N; j++) {
            double s = 0.0;
            for (int k = 0; k < N; k++)
                s += W[m + k][i] * W[m + k][m + j];
            W[i][m + j] = s;
        }
}

void LdsSymSubProductRef(int N, int m, double **W)
{
    for (int i = 0; i < m; i++)
        for (int j = i; j < m; j++) {
            double s = 0.0;
            for (int k = 0; k < N; k++)
                s += W[i][m + k] * W[m + k][j];
            W[i][j] = W[i][j] - s;
        }
    for (int i = 0; i < m; i++)
        for (int j = i + 1; j < m; j++)
            W[j][i] = W[i][j];
}

void LdsSymFromLowerRef(int n, double **A, double **B)
{
    for (int i = 0; i < n; i++)
        for (int j = 0; j <= i; j++)
            B[i][j] = B[j][i] = A[i][j];
}

/* ---- the smoothing variance ---------------------------------------------- */

void LdsSymCongruenceInPlaceRef(int m, int N, double **A, double **C, double *y)
{
    const int d = m + N;
    for (int i = 0; i < m; i++) {
        for (int c = 0; c < m; c++) {
            double s = 0.0;
            for (int b = 0; b < m; b++)
                if (A[b][i] != 0.0)
                    s += A[b][i] * C[b][c];
            y[c] = s;
        }
        for (int k = 0; k < N; k++) {
            double s = 0.0;
            for (int l = 0; l < N; l++)
                s += A[m + k][m + l] * A[m + l][i];
            y[m + k] = s;
        }
        /* The sum for j = i, the only one that reads column i, comes
         * before any of the column is written. */
        for (int j = i; j < m; j++) {
            double s = 0.0;
            for (int a = 0; a < d; a++)
                if (y[a] != 0.0)
                    s += y[a] * A[a][j];
            A[j][i] = s;
        }
    }
    for (int i = 0; i < m; i++)
        for (int j = i + 1; j < m; j++)
            A[i][j] = A[j][i];
}

/* ==== the simulation smoother's and the weights' backward products ======== */

void LdsTransposeProductFromRef(int n, int rows, int cols, double *const *X, double *const *Y,
                                double *const *start, double **out)
{
    for (int i = 0; i < rows; i++)
        for (int c = 0; c < cols; c++) {
            double s = start ? start[i][c] : 0.0;
            for (int k = 0; k < n; k++)
                if (X[k][i] != 0.0)
                    s = s + X[k][i] * Y[k][c];
            out[i][c] = s;
        }
}

void LdsAddOuterRef(int rows, int cols, const double *x, const double *y, double **Y)
{
    for (int r = 0; r < rows; r++)
        if (x[r] != 0.0)
            for (int c = 0; c < cols; c++)
                Y[r][c] = Y[r][c] + x[r] * y[c];
}

void LdsAddOuterUpperRef(int n, const double *x, const double *y, double **S)
{
    for (int a = 0; a < n; a++)
        if (x[a] != 0.0)
            for (int b = a; b < n; b++)
                S[a][b] = S[a][b] + x[a] * y[b];
}
