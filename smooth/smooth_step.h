/*
 * smooth_step.h - one step of the backward smoothing recursion
 * (smooth/smooth_step.cpp), for the smoothers of smooth/ and for the
 * score.  Internal: it builds on the kernel layer (model/kernels.h), which
 * the exported smooth/smooth.h does not include.
 */
#ifndef VANTREL_SMOOTH_SMOOTH_STEP_H
#define VANTREL_SMOOTH_SMOOTH_STEP_H

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
