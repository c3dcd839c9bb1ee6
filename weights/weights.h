/*
 * weights.h - observation weights of the predicted, filtered and smoothed
 * state: the coefficients with which the observation of one series at
 * each time point enters the estimate of the state at a target time tau.
 * The weights depend on the model and on which observations are missing,
 * not on the observed values.
 *
 * Dimensions: m states, N series, p = m + N, n time points.  The filter
 * store is the R x n output of fMultiKalmanFil / fUnivKalmanFil over all n
 * time points (R = N + N m + N (N+1)/2); a series whose stored innovation
 * is NaN counts as missing where stated.  With L_t = T_t - K_t Z_t:
 *
 *   predicted  w_t = L_{tau-1} ... L_{t+1} K_t e_i              (t < tau)
 *   filtered   w_tau = G e_i, G = P_tau Z_tau' F_tau^-1, and for t < tau
 *              (I - G Z_tau) times the predicted weight
 *   smoothed   for t < tau (I - P_tau N_{tau-1}) times the predicted
 *              weight; for t >= tau P_tau L_tau' ... L_{t-1}'
 *              (Z_t' F_t^-1 e_i - L_t' N_t K_t e_i), with
 *              N_{t-1} = L_t' N_t L_t + Z_t' F_t^-1 Z_t, N_{n-1} = 0.
 *
 * Result (p x n, cleared first): column t holds w_t in rows 0..m-1 and the
 * weights of the signal at tau, Z_tau w_t, in rows m..p-1.  Sys is
 * overwritten in place with its time-varying values (IdxSys, X); it is
 * left holding those of time point tau.  Each routine returns 1, or 0 (and
 * writes nothing) when tau is not in 0..n-1 or i not in 0..N-1.
 */
#ifndef VANTREL_WEIGHTS_WEIGHTS_H
#define VANTREL_WEIGHTS_WEIGHTS_H

#include "host/api.h"
#include "host/kel.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * fMultiWeightPred: weights of series i in the predicted state at tau.
 *   N, n, tau, i, m  sizes, target time point and series
 *   Sys       p x m, overwritten from IdxSys/X
 *   IdxSys    p x m int table or null; X time-varying data (read) or null
 *   Pwork     (p+1) x p, workspace
 *   Awork     (p+2) x p, workspace
 *   store     R x n, read; a series with a NaN innovation gets zero gains
 *   result    p x n, written
 */
VANTREL_API int fMultiWeightPred(int N, int n, int tau, int i, int m, double **Sys,
                                 int **IdxSys, double **X, double **Pwork,
                                 double **Awork, double **store, double **result);

/*
 * fMultiWeightFil: weights of series i in the filtered state at tau.
 * Arguments as fMultiWeightPred, and
 *   Pwork2    (p+1) x p; on entry its leading m x m block holds P_tau, the
 *             predicted state variance at tau; overwritten
 */
VANTREL_API int fMultiWeightFil(int N, int n, int tau, int i, int m, double **Sys,
                                int **IdxSys, double **X, double **Pwork,
                                double **Awork, double **store, double **Pwork2,
                                double **result);

/*
 * fMultiWeightSmo: weights of series i in the smoothed state at tau.
 * Arguments as fMultiWeightFil, and
 *   scratch   2p x (n+1), workspace (rows 0..m-1 of columns tau..n-1)
 */
VANTREL_API int fMultiWeightSmo(int N, int n, int tau, int i, int m, double **Sys,
                                int **IdxSys, double **X, double **Pwork,
                                double **Awork, double **store, double **scratch,
                                double **Pwork2, double **result);

/*
 * The same for one series (N = 1, i = 0); store is (m+2) x n.  The
 * predicted and filtered weights use the stored gains as they stand (the
 * filter stores zeros at a missing observation); the smoothed weights test
 * the stored innovation as the routines for several series do.
 */
VANTREL_API int fUnivWeightPred(int n, int tau, int m, double **Sys, int **IdxSys,
                                double **X, double **Pwork, double **Awork,
                                double **store, double **result);
VANTREL_API int fUnivWeightFil(int n, int tau, int m, double **Sys, int **IdxSys,
                               double **X, double **Pwork, double **Awork,
                               double **store, double **Pwork2, double **result);
VANTREL_API int fUnivWeightSmo(int n, int tau, int m, double **Sys, int **IdxSys,
                               double **X, double **Pwork, double **Awork,
                               double **store, double **scratch, double **Pwork2,
                               double **result);

/*
 * LdsWeights(sel, pattern, Sys, Var [, Init, Mean, IdxSys, IdxVar, IdxMean,
 * X]): the p x n weights of the state at the target for sel 0 (predicted),
 * 1 (smoothed) or 5 (filtered); sel 3 runs the filter and returns zeros.
 * pattern is N x n: NaN or -1.0 marks a missing observation; the target is
 * the first element, series by series, that is neither 0.0 nor NaN (else
 * series N-1 at time n-1).  No copies are made: the time-varying values
 * are written into the caller's Sys and Var.  Weights that are not finite
 * everywhere fail like a failed filter run: "LdsWeights(): unknown error".
 */
VANTREL_API void FnLdsWeights(KelVALUE *rtn, KelVALUE *args, int count);

#ifdef __cplusplus
}
#endif

#endif
