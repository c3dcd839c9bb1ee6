/*
 * kalmanfil.cpp - KalmanFil: the filter store of one run as the result
 * matrix, for inspection or for the smoother.
 */
#include "filter/filter.h"
#include "filter/filtercall.h"
#include "model/check.h"
#include "model/hostcall.h"

void FnKalmanFil(KelVALUE *rtn, KelVALUE *args, int count)
{
    LdsCall c;
    LdsCallCheck(&c, "KalmanFil", args, count, 0, LDS_LAYOUT_DATA);

    KelLibValMatMalloc(rtn, c.R, c.n);
    LdsCallReleaseOnFailure(&c, rtn);
    double **store = rtn->v.mval.data;
    if (!store)
        c.status = LDS_NOMEM;
    else if (fLdsCallOpen(&c, 0, 0))
        fLdsCallFilter(&c, store, nullptr, nullptr, nullptr);
    /* NaN innovations mark the time points without observations. */
    if (store)
        LdsCallRequireFinite(&c, store, c.R, c.n, c.N);
    LdsCallClose(&c);
    LdsCallReport(&c, rtn,
                  "KalmanFil(): non-positive semi-definite innovation variance matrix");
}
