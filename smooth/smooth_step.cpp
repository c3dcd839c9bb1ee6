/*
 * smooth_step.cpp - one step of the backward smoothing recursion:
 * u_t = (r_t, s_t) with s_t = F^-1 v - K' r_t, its variance
 * D_t = [[N, -N K], [-K' N, F^-1 + K' N K]], and the move back to
 * r_{t-1} = Sys' u_t, N_{t-1} = L' N L + Z' F^-1 Z with L = T - K Z.
 */
#include "smooth/smooth_step.h"

#include "host/kel.h"
#include "model/kernels.h"
#include "model/scalar.h"

namespace {

/* Several series: column m+k of S receives the store column of series k,
 * the gains K[.][k] in rows 0..m-1 and F^-1 in rows m..d-1 (made symmetric);
 * the innovations go to S[d][m..d-1], beside r. */
void LoadMulti(int N, int m, double **store, int t, double **S)
{
    const int d = m + N;
    int row = N;
    for (int k = 0; k < N; k++) {
        const int kmiss = FIsNaN(store[k][t]);
        S[d][m + k] = kmiss ? 0.0 : store[k][t];
        for (int i = 0; i < m; i++, row++)
            S[i][m + k] = kmiss ? 0.0 : store[row][t];
        /* Row k of F^-1 is stored in the later columns; clearing it there
         * as well keeps a missing series out of every product. */
        for (int l = 0; l <= k; l++, row++) {
            double x = (kmiss || FIsNaN(store[l][t])) ? 0.0 : store[row][t];
            S[m + l][m + k] = S[m + k][m + l] = x;
        }
    }
}

/* One series: the gain row K and 1/F in row m of S, the innovation in
 * S[d][m]. */
void LoadUniv(int m, double **store, int t, double **S)
{
    const int d = m + 1;
    const int miss = FIsNaN(store[0][t]);
    for (int i = 0; i <= m; i++)
        S[m][i] = miss ? 0.0 : store[1 + i][t];
    S[d][m] = miss ? 0.0 : store[0][t];
}

/* u = (r, F^-1 v - K' r); the innovations sit in S[d][m..d-1]. */
void FormResidual(int layout, int N, int m, double **S, double **W)
{
    const int d = m + N;
    const double *r = S[d];
    double *u = W[d];
    for (int i = 0; i < m; i++)
        u[i] = r[i];
    for (int k = 0; k < N; k++) {
        double fv = 0.0;
        for (int l = 0; l < N; l++)
            fv += SmoothFinv(m, S, k, l) * r[m + l];
        double kr = 0.0;
        for (int i = 0; i < m; i++)
            kr += SmoothGain(layout, m, S, i, k) * r[i];
        u[m + k] = fv - kr;
    }
}

/* States up to which the gains of one series are gathered on the stack for
 * the cross block; beyond it the cross block is summed element by element. */
const int kGatheredGains = 64;

/* Row m+k of the cross block, W[m+k][i] = -sum_l N[i][l] K[l][k] in
 * increasing l from 0.0, and its mirror W[i][m+k], element by element. */
LDS_INLINE void CrossRowByElements(int layout, int m, int k, double **S, double **W)
{
    for (int i = 0; i < m; i++) {
        double s = 0.0;
        for (int l = 0; l < m; l++)
            s += S[i][l] * SmoothGain(layout, m, S, l, k);
        W[i][m + k] = W[m + k][i] = -s;
    }
}

/* The same row by the matrix-vector kernel, from zeros. */
LDS_INLINE void CrossRowByBlocks(int layout, int m, int k, double **S, double **W)
{
    double *row = W[m + k];
    double gathered[kGatheredGains];
    const double *gain = S[m];
    if (layout != SMO_LAYOUT_UNIV) {
        for (int l = 0; l < m; l++)
            gathered[l] = SmoothGain(layout, m, S, l, k);
        gain = gathered;
    }
    for (int i = 0; i < m; i++)
        row[i] = 0.0;
    LdsMatVecFrom(m, m, S, gain, row, row);
    for (int i = 0; i < m; i++)
        W[i][m + k] = row[i] = -row[i];
}

/* D_t: N itself, the cross block -N K and F^-1 + K' N K.  Below one block
 * of four states the blocked kernels would only add calls. */
void FormVariance(int layout, int N, int m, double **S, double **W)
{
    if (m < 4) {
        for (int i = 0; i < m; i++)
            for (int j = 0; j <= i; j++)
                W[i][j] = W[j][i] = S[i][j];
        for (int k = 0; k < N; k++)
            CrossRowByElements(layout, m, k, S, W);
    } else {
        LdsSymFromLower(m, S, W);
        const bool gathered = layout == SMO_LAYOUT_UNIV || m <= kGatheredGains;
        for (int k = 0; k < N; k++) {
            if (gathered)
                CrossRowByBlocks(layout, m, k, S, W);
            else
                CrossRowByElements(layout, m, k, S, W);
        }
    }
    for (int k = 0; k < N; k++) {
        for (int j = k; j < N; j++) {
            double x = SmoothFinv(m, S, k, j);
            for (int l = 0; l < m; l++)
                x -= W[m + k][l] * SmoothGain(layout, m, S, l, j);
            W[m + k][m + j] = W[m + j][m + k] = x;
        }
    }
}

}  // namespace

void SmoothStart(int d, double **S)
{
    MatZero(S, d + 1, d);
}

void SmoothResidual(int layout, int N, int m, double **store, int t,
                    double **S, double **W)
{
    if (layout == SMO_LAYOUT_UNIV)
        LoadUniv(m, store, t, S);
    else
        LoadMulti(N, m, store, t, S);
    FormResidual(layout, N, m, S, W);
    FormVariance(layout, N, m, S, W);
}

void SmoothResidualMean(int layout, int N, int m, double **store, int t, double **S,
                        double **W)
{
    if (layout == SMO_LAYOUT_UNIV)
        LoadUniv(m, store, t, S);
    else
        LoadMulti(N, m, store, t, S);
    FormResidual(layout, N, m, S, W);
}

void SmoothBackMean(int N, int m, double **Sys, double **S, double **W)
{
    LdsColumnCombinationOf<0>(m + N, 0, m, W[m + N], Sys, S[m + N]);
}

void SmoothBackStep(int layout, int N, int m, double **Sys, double **S, double **W)
{
    SmoothBackStepOf<0>(layout, N, m, Sys, S, W);
}
