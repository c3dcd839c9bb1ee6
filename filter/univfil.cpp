/*
 * univfil.cpp - the Kalman filter for one series.  The same recursion as
 * the filter for several series, with the scalar innovation variance
 * inverted by a division; P-work row m then holds the gain K = M / F while
 * column m keeps M.
 */
#include "filter/univfil.h"

#include <cmath>
#include <cstring>

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

/* One observed step of a settled variance recursion: the state variance
 * the step starts from, and what it leaves in P-work row m (the gain and
 * 1/F) with the logarithm of 1/F (0 when 1/F is not positive). */
template <int kM>
struct SettledStep {
    double P[kM][kM];
    double row[kM + 1];
    double logFinv;
};

/* Longest cycle looked for: the local level settles into a cycle of three
 * states of the last bit as often as onto one. */
constexpr int kCycle = 4;

/* The time loop of the filter; kM as in LdsPredictOf.  Returns 0 on a zero
 * or NaN innovation variance.
 *
 * Steady state: with Sys and Var fixed, an observed step's variance
 * recursion depends on nothing but the state variance it starts from.  Once
 * the variance an observed step leaves equals, bit for bit, the one an
 * observed step c = 1..kCycle steps before it started from (with only
 * observed steps between), the recursion repeats those c steps for as long
 * as observations follow.  Those steps then predict and update only the
 * mean, with the gain and 1/F kept from their first round; the results are
 * the same bits.  A missing observation and the last time point take the
 * full step again from the variance their step starts from, so P-work and
 * A-work end as without the shortcut.  Only for compiled state counts:
 * larger models keep a last-bit jitter in P and never settle. */
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
    constexpr int kSteps = kM > 0 ? kCycle : 1, kK = kM > 0 ? kM : 1;
    const bool canSettle = kM > 0 && !IdxSys && !IdxVar;
    SettledStep<kK> ring[kSteps];
    int run = 0;                  /* observed full steps in ring, in a row */
    int cycle = 0, first = 0, phase = 0;  /* settled: c, its first slot, position */

    for (int t = 0; t < n; t++) {
        LdsApplyTV(t, m, d, Sys, Var, Mean, IdxSys, IdxVar, IdxMean, X);
        if (cycle) {
            const SettledStep<kK> &st = ring[(first + phase) % kSteps];
            if (!FIsNaN(y[t]) && t < n - 1) {
                LdsPredictMeanOf<kM>(m, d, Sys, Mean, Pwork, Awork, plan);
                const double v = y[t] - apred[m], finv = st.row[m];
                a[m] = v;
                if (Store)
                    UnivStoreColumn(m, t, v, st.row, Store);
                LdsAddScaledOf<kM>(m, apred, st.row, v, a);
                if (finv > 0.0) {
                    s.cnt++;
                    s.logDet = s.logDet - st.logFinv;
                    s.sumSq = s.sumSq + v * v * finv;
                }
                phase = phase + 1 == cycle ? 0 : phase + 1;
                continue;
            }
            /* Back to the full step, from the variance this step starts
             * from. */
            for (int i = 0; i < m; i++)
                for (int j = 0; j < m; j++)
                    P[i][j] = st.P[i][j];
            cycle = 0;
            run = 0;
        }
        SettledStep<kK> &rec = ring[run % kSteps];
        if (canSettle)
            for (int i = 0; i < m; i++)
                std::memcpy(rec.P[i], P[i], sizeof rec.P[i]);
        LdsPredictOf<kM>(m, d, Sys, Var, Mean, Pwork, Awork, plan);

        if (FIsNaN(y[t])) {
            run = 0;
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
        const double logFinv = finv > 0.0 ? std::log(finv) : 0.0;
        if (finv > 0.0) {
            s.cnt++;
            s.logDet = s.logDet - logFinv;
            s.sumSq = s.sumSq + v * v * finv;
        }
        if (canSettle) {
            std::memcpy(rec.row, P[m], sizeof rec.row);
            rec.logFinv = logFinv;
            run++;
            for (int c = 1; c <= kSteps && c <= run && !cycle; c++) {
                const SettledStep<kK> &back = ring[(run - c) % kSteps];
                bool same = true;
                for (int i = 0; i < m && same; i++)
                    same = std::memcmp(P[i], back.P[i], sizeof back.P[i]) == 0;
                if (same) {
                    cycle = c;
                    first = (run - c) % kSteps;
                    phase = 0;
                }
            }
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
