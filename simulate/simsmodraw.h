/*
 * simsmodraw.h - the simulation smoother's draw run on a host-call frame
 * (simulate/simsmodraw.cpp), for SimSmoDraw and LdsCondDens.  Internal.
 */
#ifndef VANTREL_SIMULATE_SIMSMODRAW_H
#define VANTREL_SIMULATE_SIMSMODRAW_H

#include "model/hostcall.h"

/* UnivSimSmoDraw (N = 1) or MultiSimSmoDraw with the frame's model and its
 * A-work as B; A, store, r, flags, C, wgt, z and out as those routines take
 * them. */
void LdsCallSimSmoDraw(LdsCall *c, double **A, double **store, int r, const int *flags,
                       double **C, double **wgt, double **z, double **out);

#endif
