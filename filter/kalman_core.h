/*
 * kalman_core.h - the pieces of one filter step that the filters for one
 * and for several series and the moment forward passes share, and the
 * host-call frame's filter run.  Internal.
 *
 * P-work is (d+1) x d: rows 0..d-1 the augmented variance W (leading
 * m x m block = P_t), row d the augmented mean a.  A-work rows 0..d-1
 * receive Sys P Sys', row d the predicted augmented mean.
 */
#ifndef VANTREL_FILTER_KALMAN_CORE_H
#define VANTREL_FILTER_KALMAN_CORE_H

#include "host/kel.h"
#include "model/hostcall.h"
#include "model/kernels.h"
#include "model/model.h"

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

/* Steps of the filter for several series, shared with the moment forward
 * pass.  W is the augmented block of P-work, a its last row, apred the
 * predicted augmented mean (A-work row d). */

/* Innovations of time point t into a[m..d-1]; a missing element gets a
 * unit row and column in W and a NaN innovation.  Returns the number of
 * observed elements. */
int iMultiInnovations(int N, int m, int t, double **Y, double **W, double *a,
                      const double *apred);

/* After the inversion: missing elements get F^-1[i][i] = 0 and v[i] = 0. */
void MultiClearMissing(int N, int m, double **Finv, double *a);

/* Column t of the filter store from W and the innovations. */
void MultiStoreColumn(int N, int m, int t, double **W, const double *a,
                      double **Store);

/* a = a* + K v and P = A - K M'. */
void MultiUpdate(int N, int m, double **W, double *a, const double *apred);

/* A time point without observations: a = a*, P stays the predicted block,
 * store column t (R rows, when Store is given) NaN over zeros. */
void MultiSkipTimePoint(int N, int m, int R, int t, double **Store, double *a,
                        const double *apred);

/* F^-1 in place through the view, log|F| added to *pLogDet (when given),
 * missing elements cleared and the gain formed.  0 when F is singular. */
int fMultiInvertGain(int N, int m, double **Finv, double **W, double *a,
                     double *pLogDet);

/* Column t of the one-series store from v and P-work row m, which holds
 * the gain row K followed by 1/F. */
void UnivStoreColumn(int m, int t, double v, const double *krow,
                     double **Store);

/* The innovation v and 1/F of one step of the filter for one series. */
struct UnivInnovation {
    double v, finv;
};

/* The innovation step for one series, on the augmented P-work whose row
 * and column m hold M' and M and whose [m][m] holds F:
 *   v = y - a*[m] (into a[m]),  1/F into P[m][m],  K = M / F into row m
 * (column m keeps M).  0 when F is 0 or NaN: a NaN variance would poison
 * every later step while the run still reported success, so it fails like
 * a zero one.  kM as in LdsPredictOf; the gains are also left in
 * gains[0..kM-1] for LdsUnivUpdateOf. */
template <int kM>
LDS_INLINE int LdsUnivInnovationOf(int mRun, double y, double **P, double *a,
                                   const double *apred, UnivInnovation *out, double *gains)
{
    const int m = kM ? kM : mRun;
    const double v = y - apred[m];
    a[m] = v;
    const double F = P[m][m];
    if (F == 0.0 || FIsNaN(F))
        return 0;
    const double finv = 1.0 / F;
    P[m][m] = finv;
    *out = UnivInnovation{v, finv};
    LdsScaleRowOf<kM>(m, P[m], finv, gains);
    return 1;
}

/* The update for one series: a = a* + K v and P = A - M K', the gain K
 * taken from gains when kM is not 0, else from row m. */
template <int kM>
LDS_INLINE void LdsUnivUpdateOf(int mRun, double **P, double *a, const double *apred,
                                double v, const double *gains)
{
    const int m = kM ? kM : mRun;
    const double *K = kM ? gains : P[m];
    LdsAddScaledOf<kM>(m, apred, K, v, a);
    LdsSymSubColRowOf<kM>(m, P, gains);
}

/* A missing observation: the whole augmented mean (innovation slot
 * included) takes the prediction, store column t NaN over zeros. */
void UnivSkipTimePoint(int m, int t, double **Store, double *a,
                       const double *apred);

/* Runs fUnivKalmanFil (N = 1) or fMultiKalmanFil on the frame's data,
 * model and working storage with the given store (may be null) and
 * accumulators (each may be null).  status = the filter's result. */
int fLdsCallFilter(LdsCall *c, double **store, double *pLogDet,
                   double *pSumSq, int *pCount);

/* The Gaussian log-likelihood from a run's accumulators: the count cnt, the
 * log-determinant sum and the mean square s2, as
 * -0.5 ((cnt log(2 pi) + logdet) + cnt s2). */
double dLdsLogLik(int cnt, double logdet, double s2);

#endif
