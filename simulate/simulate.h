/*
 * simulate.h - the simulation smoother (weights and draws of disturbances
 * conditional on all observations) and the conditional densities: smoothed
 * or drawn states, signals and disturbances in one call.
 *
 * Dimensions: m states, N series, p = m + N, n time points.  The filter
 * store is the R x n output of fMultiKalmanFil / fUnivKalmanFil.  A
 * selection picks r of the p elements of the disturbance u_t; flags[i] is 1
 * for a selected element, and the k-th selected element (in increasing
 * index order) is i_k.
 *
 * Weight store: (p r + r (r+1)/2) x n.  Column t holds, for k = 0..r-1 in
 * turn, row k of the normalised weights Wn_t (p values), then M_t[k..r-1][k]
 * (r - k values) of the lower triangular factor M_t with M_t M_t' = C_t, the
 * conditional variance of the selected elements.
 */
#ifndef VANTREL_SIMULATE_SIMULATE_H
#define VANTREL_SIMULATE_SIMULATE_H

#include "host/api.h"
#include "host/kel.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * iMultiSimSmoWgt: backward pass of the simulation smoother weights from
 * t = n-1 to 0.  Result 0, or the non-zero result of ILDLdec at the first
 * time point whose conditional variance C_t cannot be decomposed (the pass
 * stops there).  The smoothing variance is carried as
 * S_{t-1} = L' S L + Z' F^-1 Z + (Wn Sys)'(Wn Sys), L = T - K Z made first.
 *   N, n, m     series, time points, states
 *   Sys         p x m, overwritten from IdxSys/X
 *   Var         p x p, overwritten from IdxVar/X
 *   IdxSys      p x m int table or null; IdxVar p x p or null; X
 *               time-varying data (read only when a table is given)
 *   A           (p+1) x p workspace; on return its leading m x m block
 *               holds S_{-1}, the final backward matrix (after a full pass)
 *   B           3p x p workspace
 *   store       R x n filter store, read
 *   r           number of selected elements, 1 <= r <= p
 *   flags       p ints, read
 *   C           r x r workspace
 *   wgt         (p r + r (r+1)/2) x n weight store, written
 */
VANTREL_API int iMultiSimSmoWgt(int N, int n, int m, double **Sys, double **Var,
                                int **IdxSys, int **IdxVar, double **X,
                                double **A, double **B, double **store, int r,
                                const int *flags, double **C, double **wgt);

/* iUnivSimSmoWgt: the same for N = 1 (store (m+2) x n). */
VANTREL_API int iUnivSimSmoWgt(int n, int m, double **Sys, double **Var,
                               int **IdxSys, int **IdxVar, double **X,
                               double **A, double **B, double **store, int r,
                               const int *flags, double **C, double **wgt);

/*
 * MultiSimSmoDraw: one draw of the selected disturbances from the weight
 * store and r x n standard normal numbers, backward from t = n-1.
 *   N, n, m, Sys, Var, IdxSys, IdxVar, X   as iMultiSimSmoWgt
 *   A, C        not used: the draw reads the weight store in place (may
 *               be null)
 *   V           2 x p workspace
 *   store       R x n filter store, read
 *   r, flags    the selection of the weight store
 *   wgt         weight store, read
 *   z           r x n normal numbers, read (column t at time point t)
 *   out         p x (n+1), written: column t+1 the draw of u_t (0 for the
 *               elements not selected), column 0 the final backward vector
 *               s_{-1} in rows 0..m-1 and 0 below.  out may share storage
 *               with z when column t of z lies in column t of out (z is
 *               read at t before column t+1 is written).
 */
VANTREL_API void MultiSimSmoDraw(int N, int n, int m, double **Sys, double **Var,
                                 int **IdxSys, int **IdxVar, double **X,
                                 double **A, double **V, double **store, int r,
                                 const int *flags, double **C, double **wgt,
                                 double **z, double **out);

/* UnivSimSmoDraw: the same for N = 1. */
VANTREL_API void UnivSimSmoDraw(int n, int m, double **Sys, double **Var,
                                int **IdxSys, int **IdxVar, double **X,
                                double **A, double **V, double **store, int r,
                                const int *flags, double **C, double **wgt,
                                double **z, double **out);

/* Modes of LdsSignalSmo. */
enum {
    LDS_SIGNAL_DRAW = 0,      /* U holds drawn disturbances */
    LDS_SIGNAL_SMOOTH = 1,    /* U holds the smoothed residuals u_t */
    LDS_SIGNAL_DRAW_INIT = 2  /* LDS_SIGNAL_DRAW, plus a drawn deviation of
                                 the initial state in rows p..p+m-1 of
                                 U's column 0 */
};

/*
 * LdsSignalSmo: forward pass from a backward vector and disturbances to
 * states (rows 0..m-1) and signals c_t + Z_t a_t (rows m..p-1) of `out`.
 * The initial state is a_1 + P_1 s, s = U's column 0 (rows 0..m-1), with a_1
 * and P_1 the filter's start from Init (null: 0 and Vbig I; Vbig from Var as
 * passed).  The next state is c_t + T_t a_t plus, in the draw modes,
 * U[0..m-1][t+1], and in LDS_SIGNAL_SMOOTH the state rows of Var_t u_t with
 * u_t = U[0..p-1][t+1].
 *   mode        one of LDS_SIGNAL_*
 *   N, n, m     series, time points, states
 *   Sys, Var    p x m, p x p; overwritten from IdxSys/IdxVar/X
 *   Mean        p doubles, overwritten from IdxMean/X
 *   IdxSys, IdxVar, IdxMean, X   as for the filter (each may be null)
 *   Init        (m+1) x m, read, or null
 *   work        (p+1) x p workspace
 *   U           rows 0..m-1 (0..p-1 when smoothing; p..p+m-1 of column 0
 *               in LDS_SIGNAL_DRAW_INIT) of n+1 columns, read
 *   out         p x n, written
 */
VANTREL_API void LdsSignalSmo(int mode, int N, int n, int m, double **Sys,
                              double **Var, double *Mean, int **IdxSys,
                              int **IdxVar, int *IdxMean, double **X,
                              double **Init, double **work, double **U,
                              double **out);

/* SimSmoWgt(sel, store, Sys, Var [, Init, Mean, IdxSys, IdxVar, IdxMean,
 * X]): the weight store of the elements whose diagonal in the p x p sel is
 * non-zero or NaN.  Time-varying values are written into the caller's Sys
 * and Var.  On a failed decomposition: "SimSmoWgt(): choleski decomposition
 * failed" (printed whatever the warning switch says) and the int 0. */
VANTREL_API void FnSimSmoWgt(KelVALUE *rtn, KelVALUE *args, int count);

/* SimSmoDraw(sel, z, wgt, store, Sys, Var [, ...]): one draw, p x (n+1),
 * from r x n normal numbers z and the weight store of SimSmoWgt.
 * Time-varying values are written into the caller's Sys and Var.  A draw
 * that is not finite everywhere is released: "SimSmoDraw(): draw not
 * finite" and the int 0. */
VANTREL_API void FnSimSmoDraw(KelVALUE *rtn, KelVALUE *args, int count);

/* LdsCondDens(code, data, Sys, Var [, ...]): p x n.  Code 1 smoothed states
 * and signals, 2 one draw of them, 3 smoothed disturbances, 4 one draw of
 * the state disturbances with the implied observation disturbances.  Codes
 * 2 and 4 take r (n+1) + m normal numbers from the host's generator.  A
 * result that is not finite (code 4: apart from the NaN of a missing
 * observation in rows m..p-1) counts as a numerical failure: the int 0 with
 * the warning "LdsCondDens(): non-positive semi-definite innovation
 * variance matrix". */
VANTREL_API void FnLdsCondDens(KelVALUE *rtn, KelVALUE *args, int count);

#ifdef __cplusplus
}
#endif

#endif
