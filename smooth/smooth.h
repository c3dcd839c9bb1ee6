/*
 * smooth.h - the backward smoothing recursion, moment estimation of states,
 * signals and disturbances, and the state and disturbance smoothers.
 *
 * Dimensions: m states, N series, d = m + N, n time points.  The filter
 * store is the R x n output of fMultiKalmanFil / fUnivKalmanFil.
 */
#ifndef VANTREL_SMOOTH_SMOOTH_H
#define VANTREL_SMOOTH_SMOOTH_H

#include "host/api.h"
#include "host/kel.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * MultiKalmanSmo: backward recursion over the filter store from t = n-1 to
 * 0, giving u_t = (r_t, s_t) and its variance D_t.
 *   Sys     d x m, overwritten from IdxSys/X (IdxSys may be null)
 *   S, W    (d+1) x d workspaces; on return S's leading m x m block holds
 *           the final N and its row d the final cumulant r
 *   store   R x n, read
 *   acc     d x d, written: sum over t of (u_t u_t' - D_t), or null
 *   out     2d x (n+1), written, or null: column t+1 = u_t and diag(D_t),
 *           column 0 = r_{-1}, zeros, diag(N_{-1}), zeros
 */
VANTREL_API void MultiKalmanSmo(int N, int n, int m, double **Sys, int **IdxSys,
                                double **X, double **S, double **W,
                                double **store, double **acc, double **out);

/* UnivKalmanSmo: the same for N = 1. */
VANTREL_API void UnivKalmanSmo(int n, int m, double **Sys, int **IdxSys,
                               double **X, double **S, double **W,
                               double **store, double **acc, double **out);

/*
 * fMultiStatePred / fUnivStatePred: forward pass of moment estimation.
 * filtered = 1 gives filtered moments, 0 predicted ones, in the 2d x n
 * moment matrix; the filter store (R x n) is filled for the smoothers;
 * cov (m(m-1)/2 x n, may be null) receives the strict upper triangle of
 * P_t row by row.  Pwork (d+1) x d; Awork (d+N+2) x d, row d+1 = Mean.
 * Result 1, or 0 on an innovation variance without a finite non-zero
 * inverse (N = 1) or a singular one, or when P_{n+1} or a_{n+1} is not
 * finite.
 */
VANTREL_API int fMultiStatePred(int filtered, int N, int n, double **Y, int m,
                                double **Sys, double **Var, double *Mean,
                                int **IdxSys, int **IdxVar, int *IdxMean,
                                double **X, double **Init, double **Pwork,
                                double **Awork, double **store,
                                double **moment, double **cov);
VANTREL_API int fUnivStatePred(int filtered, int n, double *y, int m,
                               double **Sys, double **Var, double *Mean,
                               int **IdxSys, int **IdxVar, int *IdxMean,
                               double **X, double **Init, double **Pwork,
                               double **Awork, double **store,
                               double **moment, double **cov);

/* State smoother: smoothed state and signal means and variances into
 * momentOut from the predicted moments in momentIn (may be the same). */
VANTREL_API void MultiStateSmo(int N, int n, int m, double **Sys, int **IdxSys,
                               double **X, double **S, double **W,
                               double **store, double **momentIn,
                               double **cov, double **momentOut);
VANTREL_API void UnivStateSmo(int n, int m, double **Sys, int **IdxSys,
                              double **X, double **S, double **W,
                              double **store, double **momentIn,
                              double **cov, double **momentOut);

/* Disturbance smoother: smoothed disturbance means and variances. */
VANTREL_API void MultiDisturbSmo(int N, int n, int m, double **Sys,
                                 double **Var, int **IdxSys, int **IdxVar,
                                 double **X, double **S, double **W,
                                 double **store, double **moment);
VANTREL_API void UnivDisturbSmo(int n, int m, double **Sys, double **Var,
                                int **IdxSys, int **IdxVar, double **X,
                                double **S, double **W, double **store,
                                double **moment);

/* KalmanSmo(store, Sys, Var [, ...]): the 2d x (n+1) smoother output. */
VANTREL_API void FnKalmanSmo(KelVALUE *rtn, KelVALUE *args, int count);

/* LdsMomentEst(sel, [&moments,] data, Sys, Var [, ...]): (m+1) x m result. */
VANTREL_API void FnLdsMomentEst(KelVALUE *rtn, KelVALUE *args, int count);

/* ---- model recursion -------------------------------------------------- */

/*
 * LdsRecursion: runs the model forward from given disturbances.  Returns 1.
 *   N, n, m   series, time points, states (d = m + N)
 *   Sys       d x m, overwritten from the triple table and X
 *   Var       d x d, read for Vbig, overwritten from the triple table and X
 *   Mean      d doubles (row 2 of work), overwritten likewise
 *   triples   8 x (c+1) table of fLdsTVIndex, or null; X time-varying
 *             data (read), or null; neither is used unless both are given
 *   Init      (m+1) x m, read, or null (alpha_0 = Vbig e_0)
 *   work      3 x d: row 0 the augmented vector, row 1 the prediction,
 *             row 2 Mean
 *   E         d x (n+1), read: column 0 the initial disturbance (rows
 *             0..m-1), column t+1 the disturbance of time point t
 *   Y         d x (n+1), written: column 0 alpha_0 over N zeros, column
 *             t+1 alpha_{t+1} over y_t
 */
VANTREL_API int LdsRecursion(int N, int n, int m, double **Sys, double **Var,
                             double *Mean, int **triples, double **X,
                             double **Init, double **work, double **E,
                             double **Y);

/* LdsRecursion(E, Sys, Var [, Init, Mean, IdxSys, IdxVar, IdxMean, X]):
 * the d x (n+1) result Y for a d x (n+1) disturbance matrix E.  A result
 * that is not finite everywhere is released: "LdsRecursion(): result not
 * finite" and the int 0. */
VANTREL_API void FnLdsRecursion(KelVALUE *rtn, KelVALUE *args, int count);

#ifdef __cplusplus
}
#endif

#endif
