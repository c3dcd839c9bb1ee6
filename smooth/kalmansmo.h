/*
 * kalmansmo.h - the smoothing recursion of smooth/kalmansmo.cpp run on a
 * host-call frame, for the host functions that smooth after their filter
 * run: KalmanSmo, LdsLikSco and LdsCondDens.  Internal.
 */
#ifndef VANTREL_SMOOTH_KALMANSMO_H
#define VANTREL_SMOOTH_KALMANSMO_H

#include "model/hostcall.h"
#include "smooth/smooth.h"

/* UnivKalmanSmo (N = 1) or MultiKalmanSmo over the filter store `store`
 * with the frame's model and its P-work and A-work as S and W; acc and out
 * as those routines take them (each may be null).  Inline: called out of
 * line, it changed how the link-time optimiser placed the smoother's time
 * loop, and KalmanSmo on the structural benchmark ran 15 to 20% slower. */
inline void LdsCallKalmanSmo(LdsCall *c, double **store, double **acc, double **out)
{
    if (c->N == 1)
        UnivKalmanSmo(c->n, c->m, c->sys, c->idxSys, c->X, c->pwork, c->awork, store, acc,
                      out);
    else
        MultiKalmanSmo(c->N, c->n, c->m, c->sys, c->idxSys, c->X, c->pwork, c->awork, store,
                       acc, out);
}

#endif
