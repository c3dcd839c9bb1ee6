/*
 * multifil.cpp - the Kalman filter for several series on the stacked form.
 *
 * One product with the d x m system matrix gives the predicted state and
 * the predicted observations together, and the d x d matrix W in P-work
 * holds the next state variance A, the covariance M of next state and
 * observations and the innovation variance F.  After the update the
 * upper-right block of W holds the gain K = M F^-1, the lower-left block
 * still holds M', and the lower-right block holds F^-1.
 */
#include "filter/multifil.h"

#include <cmath>

#include "filter/filter.h"
#include "filter/kalman_core.h"
#include "model/check.h"
#include "model/kernels.h"
#include "model/scalar.h"
#include "model/timevarying.h"

/* A missing element gets a unit row and column in F, so that F stays
 * invertible and its inverse has a unit row and column that are cleared
 * after the inversion.  Returns the number of observed elements. */
int iMultiInnovations(int N, int m, int t, double **Y, double **W, double *a,
                      const double *apred)
{
    const int d = m + N;
    int observed = 0;

    for (int i = 0; i < N; i++) {
        double y = Y[i][t];
        if (FIsNaN(y)) {
            for (int j = 0; j < d; j++)
                W[m + i][j] = W[j][m + i] = 0.0;
            W[m + i][m + i] = 1.0;
            SetNaN(&a[m + i]);
            continue;
        }
        observed++;
        a[m + i] = y - apred[m + i];
    }
    return observed;
}

void MultiClearMissing(int N, int m, double **Finv, double *a)
{
    for (int i = 0; i < N; i++) {
        if (FIsNaN(a[m + i])) {
            Finv[i][i] = 0.0;
            a[m + i] = 0.0;
        }
    }
}

void MultiStoreColumn(int N, int m, int t, double **W, const double *a,
                      double **Store)
{
    int r = 0;
    for (int i = 0; i < N; i++)
        Store[r++][t] = a[m + i];
    for (int j = 0; j < N; j++) {
        for (int i = 0; i < m; i++)
            Store[r++][t] = W[i][m + j];
        for (int k = 0; k <= j; k++)
            Store[r++][t] = W[m + k][m + j];
    }
}

void MultiSkipTimePoint(int N, int m, int R, int t, double **Store, double *a,
                        const double *apred)
{
    if (Store)
        LdsStoreMissing(t, N, R, Store);
    for (int i = 0; i < m; i++)
        a[i] = apred[i];
}

int fMultiInvertGain(int N, int m, double **Finv, double **W, double *a,
                     double *pLogDet)
{
    double logdet = 0.0;
    int nonsingular = 0;
    int failed = IInvDet(Finv, N, &logdet, &nonsingular);
    /* A non-zero result with the flag still set would leave F^-1 in an
     * unknown state, so either report counts as failure. */
    if (!nonsingular || failed)
        return 0;
    if (pLogDet)
        *pLogDet += logdet;
    MultiClearMissing(N, m, Finv, a);
    /* K = M F^-1 into the upper-right block; M is read as M' from the
     * lower-left block, which the gain does not overwrite. */
    LdsGainRows(N, m, W);
    return 1;
}

/* a = a* + K v and P = A - K M', K the upper-right block of W and M' its
 * lower-left block; each sum over the series in increasing order from 0.0. */
void MultiUpdate(int N, int m, double **W, double *a, const double *apred)
{
    const double *v = a + m;
    for (int i = 0; i < m; i++)
        a[i] = apred[i] + dVecVec(N, W[i] + m, v);
    LdsSymSubProduct(N, m, W);
}

int fMultiKalmanFil(int N, int n, double **Y, int m, double **Sys,
                    double **Var, double *Mean, int **IdxSys, int **IdxVar,
                    int *IdxMean, double **X, double **Init, double **Pwork,
                    double **Awork, double **Store, double *pLogDet,
                    double *pSumSq, int *pCount)
{
    const int d = m + N;
    const int R = Store ? iLdsStoreRows(N, m) : 0;
    double **W = Pwork;
    double *a = Pwork[d];
    const double *apred = Awork[d];

    double **Finv = LdsAllocFinvView(N, m, W);
    if (!Finv)
        return 0;

    int cnt = iLdsFilterBegin(m, d, Var, Init, Pwork, pLogDet, pSumSq);

    for (int t = 0; t < n; t++) {
        LdsApplyTV(t, m, d, Sys, Var, Mean, IdxSys, IdxVar, IdxMean, X);
        /* No mean plan here: with it this step ran fewer instructions but
         * measured about 4% slower on an N = 4, m = 8 model, in interleaved
         * timings, while the moment forward pass gained 10% from it. */
        LdsPredict(m, d, Sys, Var, Mean, Pwork, Awork, nullptr);

        int observed = iMultiInnovations(N, m, t, Y, W, a, apred);
        cnt += observed;
        if (observed == 0) {
            MultiSkipTimePoint(N, m, R, t, Store, a, apred);
            continue;
        }
        if (!fMultiInvertGain(N, m, Finv, W, a, pLogDet)) {
            MatFreeBlock(Finv);
            return 0;
        }
        if (pSumSq)
            *pSumSq += dInnerProd(N, a + m, Finv);
        if (Store)
            MultiStoreColumn(N, m, t, W, a, Store);
        MultiUpdate(N, m, W, a, apred);
    }

    MatFreeBlock(Finv);
    return fLdsFilterEnd(cnt, pLogDet, pSumSq, pCount);
}
