/*
 * ldsweights.cpp - LdsWeights: the weights with which each observation of
 * one series enters the predicted, filtered or smoothed state at a target
 * time point.  The target is marked in a pattern matrix that stands in
 * for the data.  No copies are made: the time-varying values go into the
 * caller's own Sys and Var.
 */
#include <limits>

#include "filter/filter.h"
#include "filter/filtercall.h"
#include "host/host.h"
#include "model/check.h"
#include "model/hostcall.h"
#include "model/scalar.h"
#include "weights/weights.h"

namespace {

enum { SEL_PREDICTED = 0, SEL_SMOOTHED = 1, SEL_FILTER_ONLY = 3, SEL_FILTERED = 5 };

const int kPatternArg = 1;

/* A pattern element equal to this is missing for the filter. */
const double kMissingMark = -1.0;

/* A-work rows beyond d+2: the diagonal of Var as the call received it. */
const int kDiagonalRows = 1;

const char kMsgSelection[] = "LdsWeights(): no valid selection in first argument";
const char kMsgUnknown[] = "LdsWeights(): unknown error";

const int kValidSelections[] = {SEL_PREDICTED, SEL_SMOOTHED, SEL_FILTER_ONLY, SEL_FILTERED};

/* Storage of one call beyond the frame's. */
struct WeightStorage {
    double **pattern;  /* N x n copy of the pattern, -1.0 made NaN */
    double **pwork2;   /* (d+1) x d, P_tau (codes 1 and 5) */
    double **scratch;  /* 2d x (n+1), g_t (code 1) */
};

double **AllocMatrix(long long rows, long long cols)
{
    const long long limit = std::numeric_limits<int>::max();
    if (rows < 0 || cols < 0 || rows > limit || cols > limit ||
        (cols > 0 && rows > limit / cols))
        return nullptr;
    return MatAllocBlock(static_cast<int>(rows), static_cast<int>(cols));
}

int fAllocStorage(const LdsCall *c, int sel, WeightStorage *s)
{
    s->pattern = AllocMatrix(c->N, c->n);
    if (!s->pattern)
        return 0;
    if (sel == SEL_SMOOTHED || sel == SEL_FILTERED) {
        s->pwork2 = AllocMatrix(c->d + 1LL, c->d);
        if (!s->pwork2)
            return 0;
    }
    if (sel == SEL_SMOOTHED) {
        s->scratch = AllocMatrix(2LL * c->d, c->n + 1LL);
        if (!s->scratch)
            return 0;
    }
    return 1;
}

void FreeStorage(WeightStorage *s)
{
    double **all[] = {s->pattern, s->pwork2, s->scratch};
    for (double **m : all)
        if (m)
            MatFreeBlock(m);
    s->pattern = s->pwork2 = s->scratch = nullptr;
}

/* The target: the first element, series by series and within a series by
 * time, that is neither 0.0 nor NaN; series N-1 at time n-1 when none is. */
void FindTarget(int N, int n, double **pattern, int *pi, int *ptau)
{
    for (int i = 0; i < N; i++)
        for (int t = 0; t < n; t++)
            if (pattern[i][t] != 0.0 && !FIsNaN(pattern[i][t])) {
                *pi = i;
                *ptau = t;
                return;
            }
    *pi = N - 1;
    *ptau = n - 1;
}

/* What the filter runs on: NaN for a missing element (NaN or -1.0), 0.0
 * for every other one.  The weights depend only on which elements are
 * missing, and an infinite or huge marked value must not reach the
 * filter as an observation. */
void CopyPattern(int N, int n, double **from, double **to)
{
    for (int i = 0; i < N; i++)
        for (int t = 0; t < n; t++) {
            if (from[i][t] == kMissingMark || FIsNaN(from[i][t]))
                SetNaN(&to[i][t]);
            else
                to[i][t] = 0.0;
        }
}

/* Observations the filter counts before time point tau, less the diffuse
 * elements: every observed element for several series; for one series
 * only those with a positive 1/F, which the store holds in row m+1. */
int iCountBefore(const LdsCall *c, int tau)
{
    int cnt = 0;
    if (c->N == 1) {
        for (int t = 0; t < tau; t++)
            cnt += c->store[c->m + 1][t] > 0.0;
    } else {
        for (int i = 0; i < c->N; i++)
            for (int t = 0; t < tau; t++)
                cnt += !FIsNaN(c->data[i][t]);
    }
    if (!c->init)
        return cnt - c->m;
    for (int i = 0; i < c->m; i++)
        cnt -= c->init[i][i] < 0.0;
    return cnt;
}

/* P_tau into pwork2: the filter again over time points 0..tau-1.  The run
 * repeats the first tau steps of the full run, so its Var diagonal is put
 * back to what the full run started from (Vbig is taken from it).  Result
 * 1, or 0 when the run failed other than by counting no more observations
 * than diffuse elements, which only leaves the variance of the last step
 * (the initial one at tau = 0).  The run sets the sum of squares to 0 as
 * it begins: a NaN left in it means it never began (the filter for
 * several series could not allocate) or met values that are not finite. */
int fRunUpToTarget(LdsCall *c, int tau, double **pwork2, const double *diagonal)
{
    if (c->idxVar)
        for (int i = 0; i < c->d; i++)
            if (c->idxVar[i][i] >= 0)
                c->var[i][i] = diagonal[i];
    double *mean = c->awork[c->d + 1];
    double sumSq;
    SetNaN(&sumSq);
    int ok;
    if (c->N == 1)
        ok = fUnivKalmanFil(tau, c->data[0], c->m, c->sys, c->var, mean, c->idxSys,
                            c->idxVar, c->idxMean, c->X, c->init, pwork2, c->awork,
                            nullptr, nullptr, &sumSq, nullptr);
    else
        ok = fMultiKalmanFil(c->N, tau, c->data, c->m, c->sys, c->var, mean, c->idxSys,
                             c->idxVar, c->idxMean, c->X, c->init, pwork2, c->awork,
                             nullptr, nullptr, &sumSq, nullptr);
    return ok || (!FIsNaN(sumSq) && iCountBefore(c, tau) < 1);
}

void RunWeights(LdsCall *c, int sel, int i, int tau, WeightStorage *s, double **result)
{
    const int N = c->N, n = c->n, m = c->m;
    if (sel == SEL_PREDICTED) {
        if (N == 1)
            fUnivWeightPred(n, tau, m, c->sys, c->idxSys, c->X, c->pwork, c->awork,
                            c->store, result);
        else
            fMultiWeightPred(N, n, tau, i, m, c->sys, c->idxSys, c->X, c->pwork, c->awork,
                             c->store, result);
    } else if (sel == SEL_FILTERED) {
        if (N == 1)
            fUnivWeightFil(n, tau, m, c->sys, c->idxSys, c->X, c->pwork, c->awork,
                           c->store, s->pwork2, result);
        else
            fMultiWeightFil(N, n, tau, i, m, c->sys, c->idxSys, c->X, c->pwork, c->awork,
                            c->store, s->pwork2, result);
    } else {
        if (N == 1)
            fUnivWeightSmo(n, tau, m, c->sys, c->idxSys, c->X, c->pwork, c->awork,
                           c->store, s->scratch, s->pwork2, result);
        else
            fMultiWeightSmo(N, n, tau, i, m, c->sys, c->idxSys, c->X, c->pwork, c->awork,
                            c->store, s->scratch, s->pwork2, result);
    }
}

}  // namespace

void FnLdsWeights(KelVALUE *rtn, KelVALUE *args, int count)
{
    /* Without any argument the form check below reports the short call. */
    const int sel = iLdsCallCode(args, count, SEL_PREDICTED, kValidSelections, 4, kMsgSelection);

    LdsCall c;
    LdsCallCheckNoCopy(&c, "LdsWeights", args, count, kPatternArg, LDS_LAYOUT_DATA);
    const int n = c.n, d = c.d;

    double **result = nullptr;
    if (static_cast<long long>(d) * n <= std::numeric_limits<int>::max()) {
        KelLibValMatMalloc(rtn, d, n);
        LdsCallReleaseOnFailure(&c, rtn);
        result = rtn->v.mval.data;
    }
    int i = 0, tau = 0;
    WeightStorage s = {nullptr, nullptr, nullptr};
    if (!result || !fLdsCallOpen(&c, kDiagonalRows, 1) || !fAllocStorage(&c, sel, &s)) {
        c.status = LDS_NOMEM;
    } else if (n < 1) {
        /* No time point, so no observation for the filter to count. */
        c.status = LDS_FAILED;
    } else {
        FindTarget(c.N, n, c.data, &i, &tau);
        CopyPattern(c.N, n, c.data, s.pattern);
        c.data = s.pattern;
        double *diagonal = c.awork[d + 2];
        for (int k = 0; k < d; k++)
            diagonal[k] = c.var[k][k];

        fLdsCallFilter(&c, c.store, nullptr, nullptr, nullptr);
        if (c.status == LDS_OK && (sel == SEL_SMOOTHED || sel == SEL_FILTERED) &&
            !fRunUpToTarget(&c, tau, s.pwork2, diagonal))
            c.status = LDS_FAILED;
        if (c.status == LDS_OK) {
            if (sel == SEL_FILTER_ONLY)
                MatZero(result, d, n);
            else
                RunWeights(&c, sel, i, tau, &s, result);
            LdsCallRequireFinite(&c, result, d, n, 0);
        }
    }
    const int failed = c.status == LDS_FAILED;
    FreeStorage(&s);
    LdsCallClose(&c);
    LdsCallReport(&c, rtn, nullptr);
    if (failed)
        KelRunErrorMessage(kMsgUnknown);
}
