/*
 * kalmansmo.h - the smoothing recursion run on a host-call frame
 * (smooth/kalmansmo.cpp), for the host functions that smooth after their
 * filter run: KalmanSmo, LdsLikSco and LdsCondDens.  Internal.
 */
#ifndef VANTREL_SMOOTH_KALMANSMO_H
#define VANTREL_SMOOTH_KALMANSMO_H

#include "model/hostcall.h"

/* UnivKalmanSmo (N = 1) or MultiKalmanSmo over the filter store `store`
 * with the frame's model and its P-work and A-work as S and W; acc and out
 * as those routines take them (each may be null). */
void LdsCallKalmanSmo(LdsCall *c, double **store, double **acc, double **out);

#endif
