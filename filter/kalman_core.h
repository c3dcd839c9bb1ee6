/*
 * kalman_core.h - the pieces of one filter step that the filters for one
 * and for several series and the moment forward passes share: the starting
 * values, the prediction, the beginning and end of a run, the store column
 * of a time point without observations (filter/kalman_core.cpp).  The
 * steps of each filter are in filter/multifil.h and filter/univfil.h.
 * Internal.
 *
 * P-work is (d+1) x d: rows 0..d-1 the augmented variance W (leading
 * m x m block = P_t), row d the augmented mean a.  A-work rows 0..d-1
 * receive Sys P Sys', row d the predicted augmented mean.
 */
#ifndef VANTREL_FILTER_KALMAN_CORE_H
#define VANTREL_FILTER_KALMAN_CORE_H

#include "host/kel.h"
#include "model/kernels.h"
#include "model/scalar.h"

/* Factor of the variance given to diffuse initial elements. */
#define LDS_VBIG_FACTOR 9999999.99

/* Vbig = LDS_VBIG_FACTOR * max(1, Var[i][i], i < d); NaN diagonal elements
 * are passed over. */
double dLdsVbig(int d, double **Var);

/* Starting values in P-work from Init ((m+1) x m, or null: a = 0 and
 * P = vbig I).  Clears all d+1 rows of P-work first.  A negative diagonal
 * element of Init marks a diffuse element (variance vbig, no covariances
 * with earlier elements).  Returns D, the number of diffuse elements. */
int iLdsFilterStart(int m, int d, double **Init, double vbig, double **Pwork);

/* Sys' for the mean prediction of a run in which Sys stays as it is, so
 * that the prediction reads the columns of Sys as rows of blocks of four:
 * sysT[k * LDS_TVEC_MAX_ROWS + i] = Sys[i][k], zero past row d.  rows is
 * d, or 0 when the run predicts from Sys itself: Sys varies over time, or
 * d is below one block of four or above LDS_TVEC_MAX_ROWS, or m above it. */
struct LdsMeanPlan {
    /* Cache-line aligned, so that no block of four spans two lines. */
    alignas(64) double sysT[LDS_TVEC_MAX_ROWS * LDS_TVEC_MAX_ROWS];
    int rows;
};
/* Fills plan from Sys (d x m) for a run with the time-varying table IdxSys
 * (null when Sys is fixed). */
void LdsMeanPlanInit(LdsMeanPlan *plan, int m, int d, double **Sys, int **IdxSys);
/* The mean of the prediction: Awork[d][i] = Mean[i] + sum_k Sys[i][k] a[k]
 * (from Mean[i], in increasing k; read from plan when it is given and holds
 * Sys'). */
void LdsPredictMean(int m, int d, double **Sys, const double *Mean, double **Pwork,
                    double **Awork, const LdsMeanPlan *plan);

/* Prediction: the mean as LdsPredictMean, Awork[0..d-1] = Sys P Sys',
 * W = Awork + 1.0 Var. */
void LdsPredict(int m, int d, double **Sys, double **Var, const double *Mean,
                double **Pwork, double **Awork, const LdsMeanPlan *plan);

/* LdsPredict, and its mean alone; kM, when not 0, is m for one series
 * (d = kM + 1).  Below one block of four in d the mean goes by rows, as
 * LdsPredictMean's does at that size, compiled for the count. */
template <int kM>
LDS_INLINE void LdsPredictMeanOf(int mRun, int d, double **Sys, const double *Mean,
                                 double **Pwork, double **Awork, const LdsMeanPlan *plan)
{
    const int m = kM ? kM : mRun;
    /* a* = Sys a + Mean, the state and the observation together. */
    if constexpr (kM > 0 && kM + 1 < 4)
        LdsMatVecFromOf<kM + 1, kM>(d, m, Sys, Pwork[d], Mean, Awork[d]);
    else
        LdsPredictMean(m, d, Sys, Mean, Pwork, Awork, plan);
}

template <int kM>
LDS_INLINE void LdsPredictOf(int mRun, int d, double **Sys, double **Var, const double *Mean,
                             double **Pwork, double **Awork, const LdsMeanPlan *plan)
{
    const int m = kM ? kM : mRun;
    LdsPredictMeanOf<kM>(m, d, Sys, Mean, Pwork, Awork, plan);
    /* W = Sys P Sys' + Var. */
    MatBSBt(Sys, d, Pwork, m, Awork);
    MatAdd(Awork, d, d, Var, 1.0, Pwork);
}

/* Starts a filter run: vbig from Var as it stands, starting values in
 * P-work (iLdsFilterStart), *pLogDet = -D log(vbig) and *pSumSq = 0 (each
 * when given).  Returns the starting count -D. */
int iLdsFilterBegin(int m, int d, double **Var, double **Init, double **Pwork,
                    double *pLogDet, double *pSumSq);

/* Ends a filter run: 0 when cnt < 1 (accumulators left as they are);
 * otherwise *pSumSq /= cnt, and 0 when *pLogDet or *pSumSq is then not
 * finite, else *pCount = cnt (each when given) and 1. */
int fLdsFilterEnd(int cnt, double *pLogDet, double *pSumSq, int *pCount);

/* 1 when what a run leaves in P-work, the leading m x m block (P_{n+1})
 * and the first m entries of row d (a_{n+1}), is finite. */
int fLdsStateFinite(int m, int d, double **Pwork);

/* An N-pointer view (MatAllocBlock(N, 0)) of the lower-right N x N block
 * of W, where F and then F^-1 live; null when it cannot be allocated.
 * Freed with MatFreeBlock. */
double **LdsAllocFinvView(int N, int m, double **W);

/* Store column t of a time point without any observation: NaN in the N
 * innovation rows, 0.0 in the other rows up to R. */
void LdsStoreMissing(int t, int N, int R, double **Store);

#endif
