/*
 * filter.h - the Kalman filter for several series and for one series, and
 * the host functions built directly on it.
 *
 * Dimensions: m states, N series, d = m + N, n time points.  The filter
 * store is R x n with R = N + N m + N (N+1)/2; column t holds the N
 * innovations, then for each series j the m entries of gain column j and
 * the j+1 entries F^-1[0..j][j] of the inverse innovation variance.
 * The stored gain is T P Z' F^-1 + C F^-1, premultiplied by the transition.
 */
#ifndef VANTREL_FILTER_FILTER_H
#define VANTREL_FILTER_FILTER_H

#include "host/api.h"
#include "host/kel.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * fMultiKalmanFil: Kalman filter over n time points of a model with N >= 2
 * series.  Result 1, or 0 when F_t is singular at some t, when the N-pointer
 * view cannot be allocated, when no more elements are observed than
 * there are diffuse initial elements, or when *pLogDet or *pSumSq ends up
 * not finite.
 *
 *   N, n        series and time points
 *   Y           N x n observations, read; NaN = missing
 *   m           states
 *   Sys         d x m, overwritten from IdxSys/X
 *   Var         d x d, overwritten from IdxVar/X
 *   Mean        d doubles, overwritten from IdxMean/X
 *   IdxSys      d x m int table or null; IdxVar d x d or null;
 *   IdxMean     d ints or null; X time-varying data or null
 *   Init        (m+1) x m, read, or null (fully diffuse start)
 *   Pwork       (d+1) x d, workspace; on success leading m x m = P_{n+1},
 *               row d[0..m-1] = a_{n+1}
 *   Awork       (d+2) x d, workspace (row d+1 is not touched)
 *   Store       R x n, written, or null
 *   pLogDet     sum of log|F_t| minus D log(Vbig), or null
 *   pSumSq      sum of v'F^-1 v divided by the count, or null
 *   pCount      observed elements minus diffuse elements, or null
 */
VANTREL_API int fMultiKalmanFil(int N, int n, double **Y, int m, double **Sys,
                                double **Var, double *Mean, int **IdxSys,
                                int **IdxVar, int *IdxMean, double **X,
                                double **Init, double **Pwork, double **Awork,
                                double **Store, double *pLogDet,
                                double *pSumSq, int *pCount);

/*
 * fUnivKalmanFil: the filter for one series; arguments as fMultiKalmanFil
 * without N and with the series y (n doubles) in place of Y.  Store is
 * (m+2) x n.  Result 0 at once when some F_t equals 0.0 or is a NaN, or
 * at the end when the count (observations with 1/F_t > 0, minus diffuse
 * elements) is not positive or an accumulator is not finite (a subnormal
 * F_t has an infinite inverse).
 */
VANTREL_API int fUnivKalmanFil(int n, double *y, int m, double **Sys,
                               double **Var, double *Mean, int **IdxSys,
                               int **IdxVar, int *IdxMean, double **X,
                               double **Init, double **Pwork, double **Awork,
                               double **Store, double *pLogDet,
                               double *pSumSq, int *pCount);

/* LdsLik(&loglik, &s2, data, Sys, Var [, Init, Mean, IdxSys, IdxVar,
 * IdxMean, X]): log-likelihood and variance estimate into the references;
 * returns 1, or 0 with a warning. */
VANTREL_API void FnLdsLik(KelVALUE *rtn, KelVALUE *args, int count);

/* LdsLikConc(&loglik, &s2, data, Sys, Var [, ...]): the log-likelihood with
 * the scale of the variances concentrated out. */
VANTREL_API void FnLdsLikConc(KelVALUE *rtn, KelVALUE *args, int count);

/* KalmanFil(data, Sys, Var [, ...]): the R x n filter store. */
VANTREL_API void FnKalmanFil(KelVALUE *rtn, KelVALUE *args, int count);

/* LdsLikSco(&loglik, [&s2,] &score, data, Sys, Var [, ...]): the
 * log-likelihood and the d x d score with respect to Var. */
VANTREL_API void FnLdsLikSco(KelVALUE *rtn, KelVALUE *args, int count);

#ifdef __cplusplus
}
#endif

#endif
