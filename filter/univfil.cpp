/*
 * univfil.cpp - the Kalman filter for one series.  The same recursion as
 * the filter for several series, with the scalar innovation variance
 * inverted by a division; P-work row m then holds the gain K = M / F while
 * column m keeps M.
 */
#include "filter/univfil.h"

#include <cmath>

#include "filter/filter.h"
#include "filter/kalman_core.h"
#include "model/kernels.h"
#include "model/scalar.h"
#include "model/timevarying.h"

/* Rows of the store for one series: innovation, m gains, 1/F. */
static int iUnivStoreRows(int m) { return m + 2; }

void UnivStoreColumn(int m, int t, double v, const double *krow,
                     double **Store)
{
    Store[0][t] = v;
    for (int i = 0; i <= m; i++)
        Store[1 + i][t] = krow[i];
}

void UnivSkipTimePoint(int m, int t, double **Store, double *a,
                       const double *apred)
{
    /* The innovation slot takes the predicted observation; the variance
     * stays as predicted. */
    for (int i = 0; i <= m; i++)
        a[i] = apred[i];
    if (Store)
        LdsStoreMissing(t, 1, iUnivStoreRows(m), Store);
}

namespace {

/* Accumulators of a run, kept in registers over the loop. */
struct RunSums {
    int cnt;
    double logDet, sumSq;
};

/* The time loop of the filter; kM as in LdsPredictOf.  Returns 0 on a zero
 * or NaN innovation variance. */
template <int kM>
LDS_INLINE int RunSteps(int n, const double *y, int mRun, double **Sys, double **Var,
                        double *Mean, int **IdxSys, int **IdxVar, int *IdxMean,
                        double **X, double **Pwork, double **Awork, double **Store,
                        const LdsMeanPlan *plan, RunSums *sums)
{
    const int m = kM ? kM : mRun, d = m + 1;
    double **P = Pwork;
    double *a = Pwork[d];
    const double *apred = Awork[d];
    RunSums s = *sums;

    for (int t = 0; t < n; t++) {
        LdsApplyTV(t, m, d, Sys, Var, Mean, IdxSys, IdxVar, IdxMean, X);
        LdsPredictOf<kM>(m, d, Sys, Var, Mean, Pwork, Awork, plan);

        if (FIsNaN(y[t])) {
            UnivSkipTimePoint(m, t, Store, a, apred);
            continue;
        }
        /* v = y - Z a*, F, K = M / F. */
        UnivInnovation in;
        double gains[kM > 0 ? kM : 1];
        if (!LdsUnivInnovationOf<kM>(m, y[t], P, a, apred, &in, gains)) {
            *sums = s;
            return 0;
        }
        const double v = in.v, finv = in.finv;
        if (Store)
            UnivStoreColumn(m, t, v, P[m], Store);
        /* a = a* + K v, P = A - M K'.  The update comes before the sums,
         * so that the next prediction, which waits for it, does not also
         * wait for the logarithm. */
        LdsUnivUpdateOf<kM>(m, P, a, apred, v, gains);

        /* Only a positive finite F counts; a negative or infinite one is
         * still used for the update. */
        if (finv > 0.0) {
            s.cnt++;
            s.logDet = s.logDet - std::log(finv);
            s.sumSq = s.sumSq + v * v * finv;
        }
    }
    *sums = s;
    return 1;
}

} // namespace

int fUnivKalmanFil(int n, double *y, int m, double **Sys, double **Var,
                   double *Mean, int **IdxSys, int **IdxVar, int *IdxMean,
                   double **X, double **Init, double **Pwork, double **Awork,
                   double **Store, double *pLogDet, double *pSumSq,
                   int *pCount)
{
    const int d = m + 1;
    LdsMeanPlan plan;
    LdsMeanPlanInit(&plan, m, d, Sys, IdxSys);
    RunSums sums = {iLdsFilterBegin(m, d, Var, Init, Pwork, pLogDet, pSumSq), 0.0, 0.0};
    if (pLogDet)
        sums.logDet = *pLogDet;

    const int ok = LdsWithCompiledStates(m, [&](auto k) __attribute__((always_inline)) {
        return RunSteps<decltype(k)::value>(n, y, m, Sys, Var, Mean, IdxSys, IdxVar, IdxMean, X,
                                            Pwork, Awork, Store, &plan, &sums);
    });
    if (pLogDet)
        *pLogDet = sums.logDet;
    if (pSumSq)
        *pSumSq = sums.sumSq;
    if (!ok)
        return 0;
    return fLdsFilterEnd(sums.cnt, pLogDet, pSumSq, pCount);
}
