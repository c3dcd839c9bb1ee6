/*
 * filtercall.h - the host-call frame's filter run (filter/filtercall.cpp).
 * Internal.
 */
#ifndef VANTREL_FILTER_FILTERCALL_H
#define VANTREL_FILTER_FILTERCALL_H

#include "model/hostcall.h"

/* Runs fUnivKalmanFil (N = 1) or fMultiKalmanFil on the frame's data,
 * model and working storage with the given store (may be null) and
 * accumulators (each may be null).  status = the filter's result. */
int fLdsCallFilter(LdsCall *c, double **store, double *pLogDet,
                   double *pSumSq, int *pCount);

#endif
