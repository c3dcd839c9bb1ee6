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

#ifdef __cplusplus
}

#include "model/kernels.h"

/*
 * One step of the backward smoothing recursion, for the smoothers here and
 * for the simulation smoother and the observation weights (internal).
 *
 * S and W are (d+1) x d.  On entry to a step S holds the smoothing variance
 * N_t in its leading m x m block and the cumulant r_t in row d (entries
 * 0..m-1).  SmoothResidual loads column t of the filter store into S and
 * forms
 *   u_t = (r_t, s_t),  s_t = F^-1 v - K' r_t,           into W row d,
 *   D_t = [[N, -N K], [-K' N, F^-1 + K' N K]],          into W's d x d block;
 * SmoothBackStep then moves one time point back:
 *   r_{t-1} = Sys' u_t = T' r_t + Z' s_t,                into S row d,
 *   N_{t-1} = L' N_t L + Z' F^-1 Z,  L = T - K Z,        into S.
 * K is the stored gain (T P Z' F^-1 + C F^-1, premultiplied by the
 * transition), so the transition of t enters only through Sys.
 *
 * N_{t-1} equals Sys' D_t Sys, but that product expands to T'NT - T'NKZ -
 * Z'K'NT + Z'(F^-1 + K'NK)Z, whose terms cancel when L is small (a large
 * state variance against small observation noise): the smoothed state
 * variances P - P N P then lose most of their digits and may turn
 * negative.  L is therefore formed first, once per time point, and
 * N_{t-1} is built from it as [L; Z]' diag(N_t, F^-1) [L; Z], exactly
 * symmetric; the gains and F^-1 of a missing series are 0, so a missing
 * time point gives N_{t-1} = T' N_t T.
 */

/* Layout of the gains in S while a step runs: the store column of series k
 * in column m+k of S (several series), or the gain row and 1/F in row m
 * (one series). */
enum { SMO_LAYOUT_MULTI = 0, SMO_LAYOUT_UNIV = 1 };

/* r = 0 and N = 0: S cleared over all d+1 rows (d = m + N). */
void SmoothStart(int d, double **S);

/* u_t and D_t into W (row d and the leading d x d block) from column t of
 * the R x n store (read) and the r, N held in S; S rows 0..d-1 receive the
 * gains and F^-1 in the given layout, S[d][m..d-1] the innovations.  A NaN
 * innovation marks its series as missing: the innovation, its gains and
 * its row and column of F^-1 are read as 0.  layout is SMO_LAYOUT_UNIV
 * only for N = 1.  N >= 1, m >= 1. */
void SmoothResidual(int layout, int N, int m, double **store, int t,
                    double **S, double **W);

/* r_{t-1} = Sys' u_t into S row d (entries 0..m-1) and N_{t-1} = L' N_t L
 * + Z' F^-1 Z into S's leading m x m block; Sys (d x m, d = m + N) and W
 * (u_t and D_t, whose state block holds N_t) are read, as are the gains
 * and F^-1 that SmoothResidual left in S in the given layout.  W is left
 * as it was; the gains are not kept (S rows m..d-1, columns 0..m-1,
 * receive Z), F^-1 is. */
void SmoothBackStep(int layout, int N, int m, double **Sys, double **S, double **W);

/* The mean halves of the two: SmoothResidualMean loads S as SmoothResidual
 * does and forms u_t in W row d, leaving W's d x d block alone;
 * SmoothBackMean forms r_{t-1} = Sys' u_t into S row d as SmoothBackStep
 * does, leaving N alone.  For a caller that knows D_t and N_{t-1} already
 * (a recursion that has settled). */
void SmoothResidualMean(int layout, int N, int m, double **store, int t, double **S,
                        double **W);
void SmoothBackMean(int N, int m, double **Sys, double **S, double **W);
/* Gain K[i][k] and inverse variance F^-1[k][l] as SmoothResidual left
 * them in S. */
inline double SmoothGain(int layout, int m, double **S, int i, int k)
{
    return layout == SMO_LAYOUT_UNIV ? S[m][i] : S[i][m + k];
}

inline double SmoothFinv(int m, double **S, int k, int l)
{
    return S[m + k][m + l];
}

/* L[b][i] = T[b][i] - sum_k K[b][k] Z[k][i], summed over increasing k. */
inline double SmoothL(int layout, int N, int m, double **Sys, double **S, int b, int i)
{
    double kz = 0.0;
    for (int k = 0; k < N; k++)
        kz += SmoothGain(layout, m, S, b, k) * Sys[m + k][i];
    return Sys[b][i] - kz;
}

/* SmoothBackStep; kM, when not 0, is m known at compile time (see
 * kLdsCompiledStates in model/kernels.h).
 *
 * L is formed once, by rows, into S's leading block (N_t stays in W's),
 * and Z is copied below it into S rows m..d-1, columns 0..m-1, over the
 * gains of one series (no longer needed) and beside F^-1; the kernel then
 * forms [L; Z]' diag(N_t, F^-1) [L; Z] in place, with S row d as its
 * workspace, before r takes that row. */
template <int kM>
LDS_INLINE void SmoothBackStepOf(int layout, int N, int mRun, double **Sys, double **S,
                                 double **W)
{
    const int m = kM ? kM : mRun;
    const int d = m + N;
    /* L = T - K Z, row b from the gains of state b; S[b][m..d-1] holds
     * them for several series and is not written here. */
    for (int b = 0; b < m; b++)
        for (int i = 0; i < m; i++)
            S[b][i] = SmoothL(layout, N, m, Sys, S, b, i);
    for (int k = 0; k < N; k++)
        for (int i = 0; i < m; i++)
            S[m + k][i] = Sys[m + k][i];
    LdsSymCongruenceInPlaceOf<kM>(m, N, S, W, S[d]);
    /* r = Sys' u, each element summed over increasing k. */
    LdsColumnCombinationOf<kM>(d, 0, m, W[d], Sys, S[d]);
}

#endif

/* ---- model recursion -------------------------------------------------- */
#ifdef __cplusplus
extern "C" {
#endif

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
