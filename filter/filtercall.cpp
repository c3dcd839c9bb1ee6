/*
 * filtercall.cpp - the host-call frame's filter run: the filter for one
 * series or for several on the frame's data, model and working storage.
 */
#include "filter/filtercall.h"

#include "filter/filter.h"

int fLdsCallFilter(LdsCall *c, double **store, double *pLogDet, double *pSumSq,
                   int *pCount)
{
    double *mean = c->awork[c->d + 1];
    if (c->N == 1)
        c->status = fUnivKalmanFil(c->n, c->data ? c->data[0] : nullptr, c->m, c->sys,
                                   c->var, mean, c->idxSys, c->idxVar, c->idxMean,
                                   c->X, c->init, c->pwork, c->awork, store, pLogDet,
                                   pSumSq, pCount);
    else
        c->status = fMultiKalmanFil(c->N, c->n, c->data, c->m, c->sys, c->var, mean,
                                    c->idxSys, c->idxVar, c->idxMean, c->X, c->init,
                                    c->pwork, c->awork, store, pLogDet, pSumSq, pCount);
    return c->status;
}
