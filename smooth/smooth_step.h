/*
 * smooth_step.h - the pieces of one backward smoothing step that the
 * smoothing recursion, the state smoother and the disturbance smoother
 * share.  Internal.
 *
 * S and W are (d+1) x d.  On entry to a step S holds the smoothing
 * variance N in its leading m x m block and the cumulant r in row d
 * (entries 0..m-1).  A step loads column t of the filter store into S,
 * forms u_t in row d of W and D_t in W's leading d x d block, and then
 * moves r and N one time point back.
 */
#ifndef VANTREL_SMOOTH_SMOOTH_STEP_H
#define VANTREL_SMOOTH_SMOOTH_STEP_H

#include "host/kel.h"
#include "model/model.h"
#include "model/vecops.h"

/* Layout of the gains in S while a step runs: the store column of series k
 * in column m+k of S (several series), or the gain row and 1/F in row m
 * (one series). */
enum { SMO_LAYOUT_MULTI = 0, SMO_LAYOUT_UNIV = 1 };

/* r = 0 and N = 0: S cleared over all d+1 rows. */
void SmoothStart(int d, double **S);

/* u_t and D_t in W from store column t and the r, N held in S.  A NaN
 * innovation marks its series as missing: the innovation, its gains and
 * its row and column of F^-1 are read as 0.  layout is SMO_LAYOUT_UNIV
 * only for N = 1. */
void SmoothResidual(int layout, int N, int m, double **store, int t,
                    double **S, double **W);

/* r_{t-1} = Sys' u_t into S row d and N_{t-1} = Sys' D_t Sys into S's
 * leading m x m block. */
void SmoothBackStep(int m, int d, double **Sys, double **S, double **W);

/* LdsColumnCombination; for kM (m known at compile time, below one block
 * of four, not 0) written out here, without the call: the same sums in the
 * same order. */
template <int kM>
LDS_INLINE void SmoothColumnsOf(int n, int from, int to, const double *x, double **A,
                                double *out)
{
    static_assert(kM < 4, "larger models take the kernel");
    if constexpr (kM > 0)
        lds_vec::ColumnCombination<false>(n, from, to, x, A, out);
    else
        LdsColumnCombination(n, from, to, x, A, out);
}

/* SmoothBackStep, r summed by SmoothColumnsOf<kM>. */
template <int kM>
LDS_INLINE void SmoothBackStepOf(int m, int d, double **Sys, double **S, double **W)
{
    /* r = Sys' u, each element summed over increasing k. */
    SmoothColumnsOf<kM>(d, 0, m, W[d], Sys, S[d]);
    MatBtSB(Sys, d, W, m, S);
}

#endif
