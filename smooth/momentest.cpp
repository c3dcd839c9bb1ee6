/*
 * momentest.cpp - LdsMomentEst: predicted, filtered or smoothed moments of
 * the state and the signal, or smoothed moments of the disturbances, for
 * every time point, and the (m+1) x m matrix of what is left after the last
 * step (P_{n+1} and a_{n+1}', or the final N and r').
 *
 * The moments are computed in a private matrix and copied into the
 * referenced variable only at the end: the variable may be the very one
 * passed as data or as part of the model, and allocating into it earlier
 * would free storage the run still reads.
 */
#include <cstring>
#include <limits>

#include "host/host.h"
#include "model/check.h"
#include "model/hostcall.h"
#include "smooth/smooth.h"

namespace {

enum {
    SEL_PREDICTED = 0,
    SEL_SMOOTHED_STATE = 1,
    SEL_SMOOTHED_DISTURB = 3,
    SEL_FILTERED = 5
};

const int kMomentRefArg = 1;
const int kMomentDataArg = 2;

const char kMsgSelection[] = "LdsMomentEst(): no valid selection in first argument";
const char kMsgInnovation[] =
    "LdsMomentEst(): non-positive semi-definite innovation variance matrix";

const int kValidSelections[] = {SEL_PREDICTED, SEL_SMOOTHED_STATE, SEL_SMOOTHED_DISTURB, SEL_FILTERED};

/* Private storage of one call: the 2d x n moments and, for the state
 * smoother, the m(m-1)/2 x n covariance store. */
struct MomentWork {
    double **moment;
    double **cov;
    int momentRows;
    int covRows;
};

/* Rows of the covariance store, or -1 when m(m-1)/2 does not fit an int. */
int iCovRows(int m)
{
    long long rows = static_cast<long long>(m) * (m - 1) / 2;
    return rows <= std::numeric_limits<int>::max() ? static_cast<int>(rows) : -1;
}

/* 1 when a rows x cols matrix has fewer than INT_MAX elements. */
int fSizeFits(long long rows, long long cols)
{
    return rows * cols <= std::numeric_limits<int>::max();
}

int fAllocMomentWork(int sel, int m, int d, int n, MomentWork *w)
{
    std::memset(w, 0, sizeof *w);
    if (!fSizeFits(2LL * d, n))
        return 0;
    w->momentRows = 2 * d;
    w->moment = MatAllocBlock(w->momentRows, n);
    if (!w->moment)
        return 0;
    if (sel != SEL_SMOOTHED_STATE)
        return 1;
    w->covRows = iCovRows(m);
    if (w->covRows < 0 || !fSizeFits(w->covRows, n))
        return 0;
    if (w->covRows == 0)
        return 1;
    w->cov = MatAllocBlock(w->covRows, n);
    return w->cov != nullptr;
}

void FreeMomentWork(MomentWork *w)
{
    if (w->moment)
        MatFreeBlock(w->moment);
    if (w->cov)
        MatFreeBlock(w->cov);
    w->moment = w->cov = nullptr;
}

int fForwardPass(LdsCall *c, int sel, MomentWork *w)
{
    const int filtered = sel == SEL_FILTERED;
    double *mean = c->awork[c->d + 1];
    if (c->N == 1)
        return fUnivStatePred(filtered, c->n, c->data ? c->data[0] : nullptr, c->m, c->sys, c->var,
                              mean, c->idxSys, c->idxVar, c->idxMean, c->X,
                              c->init, c->pwork, c->awork, c->store, w->moment,
                              w->cov);
    return fMultiStatePred(filtered, c->N, c->n, c->data, c->m, c->sys, c->var,
                           mean, c->idxSys, c->idxVar, c->idxMean, c->X, c->init,
                           c->pwork, c->awork, c->store, w->moment, w->cov);
}

void Smooth(LdsCall *c, int sel, MomentWork *w)
{
    if (sel == SEL_SMOOTHED_STATE) {
        if (c->N == 1)
            UnivStateSmo(c->n, c->m, c->sys, c->idxSys, c->X, c->pwork, c->awork,
                         c->store, w->moment, w->cov, w->moment);
        else
            MultiStateSmo(c->N, c->n, c->m, c->sys, c->idxSys, c->X, c->pwork,
                          c->awork, c->store, w->moment, w->cov, w->moment);
    } else if (sel == SEL_SMOOTHED_DISTURB) {
        if (c->N == 1)
            UnivDisturbSmo(c->n, c->m, c->sys, c->var, c->idxSys, c->idxVar, c->X,
                           c->pwork, c->awork, c->store, w->moment);
        else
            MultiDisturbSmo(c->N, c->n, c->m, c->sys, c->var, c->idxSys,
                            c->idxVar, c->X, c->pwork, c->awork, c->store,
                            w->moment);
    }
}

/* Result rows 0..m-1: P-work's leading m x m block; row m: its last row. */
void WriteResult(const LdsCall *c, double **result)
{
    for (int i = 0; i < c->m; i++)
        for (int j = 0; j < c->m; j++)
            result[i][j] = c->pwork[i][j];
    for (int j = 0; j < c->m; j++)
        result[c->m][j] = c->pwork[c->d][j];
}

/* The moments into the referenced variable; 0 when it cannot hold them. */
int fCopyMoments(KelVALUE *target, const MomentWork *w, int n)
{
    KelLibValMatMalloc(target, w->momentRows, n);
    double **dst = target->v.mval.data;
    if (!dst)
        return 0;
    for (int i = 0; i < w->momentRows; i++)
        for (int t = 0; t < n; t++)
            dst[i][t] = w->moment[i][t];
    return 1;
}

}  // namespace

void FnLdsMomentEst(KelVALUE *rtn, KelVALUE *args, int count)
{
    /* Without any argument the form check below reports the short call. */
    const int sel = iLdsCallCode(args, count, SEL_PREDICTED, kValidSelections, 4, kMsgSelection);

    LdsCall c;
    LdsCallCheck(&c, "LdsMomentEst", args, count, kMomentDataArg, LDS_LAYOUT_DATA);
    KelVALUE *target = nullptr;
    if ((args[kMomentRefArg].type & KEL_TAG_MASK) == KEL_REFERENCE) {
        KelLibCheckType(KEL_REFERENCE, args, kMomentRefArg, kMomentRefArg);
        target = LdsDeref(&args[kMomentRefArg]);
        LdsCallReleaseOnFailure(&c, target);
    }

    KelLibValMatMalloc(rtn, c.m + 1, c.m);
    LdsCallReleaseOnFailure(&c, rtn);
    double **result = rtn->v.mval.data;

    MomentWork w;
    std::memset(&w, 0, sizeof w);
    if (!result || !fLdsCallOpen(&c, c.N, 1) ||
        !fAllocMomentWork(sel, c.m, c.d, c.n, &w))
        c.status = LDS_NOMEM;
    else if (!fForwardPass(&c, sel, &w))
        c.status = LDS_FAILED;
    else {
        Smooth(&c, sel, &w);
        WriteResult(&c, result);
        LdsCallRequireFinite(&c, result, c.m + 1, c.m, 0);
        LdsCallRequireFinite(&c, w.moment, w.momentRows, c.n, 0);
        if (c.status == LDS_OK && target && !fCopyMoments(target, &w, c.n))
            c.status = LDS_NOMEM;
    }
    FreeMomentWork(&w);
    LdsCallClose(&c);
    LdsCallReport(&c, rtn, kMsgInnovation);
}
