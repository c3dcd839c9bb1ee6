/*
 * statepred.cpp - the forward pass of moment estimation: the Kalman filter
 * of one or several series that also writes, per time point, the predicted
 * (or filtered) state and signal moments and fills the filter store for
 * the smoothers.
 *
 * A-work rows d+2..d+N+1 hold g_k = P_t Z_t[k]' for the filtering
 * correction; they are taken from P_t before it is propagated.
 */
#include "filter/kalman_core.h"
#include "filter/multifil.h"
#include "filter/univfil.h"
#include "host/kel.h"
#include "model/check.h"
#include "model/kernels.h"
#include "model/scalar.h"
#include "model/timevarying.h"
#include "smooth/smooth.h"

namespace {

/* First A-work row of the g vectors (after the predicted mean and Mean). */
const int kProjectionRow = 2;

/* Predicted state of time point t: mean, variance diagonal and, when cov
 * is given, the strict upper triangle of P row by row. */
void StateMoments(int m, int d, int t, double **Pwork, double **moment,
                  double **cov)
{
    for (int i = 0; i < m; i++) {
        moment[i][t] = Pwork[d][i];
        moment[d + i][t] = Pwork[i][i];
    }
    if (!cov)
        return;
    int row = 0;
    for (int i = 0; i < m; i++)
        for (int j = i + 1; j < m; j++)
            cov[row++][t] = Pwork[i][j];
}

/* g[k][i] = sum_j P[i][j] Z[k][j]. */
void ObservationProjection(int N, int m, double **Sys, double **P, double **g)
{
    for (int k = 0; k < N; k++) {
        const double *z = Sys[m + k];
        for (int i = 0; i < m; i++) {
            double s = 0.0;
            for (int j = 0; j < m; j++)
                s += P[i][j] * z[j];
            g[k][i] = s;
        }
    }
}

/* Everything before the observations are looked at: the predicted state
 * moments, the time-varying elements, g (when filtering), the prediction,
 * and the predicted signal with the diagonal of F_t. */
/* kM, when not 0, is m for one series, as in the filter's compiled steps. */
template <int kM = 0>
LDS_INLINE void PredictStep(int filtered, int N, int m, int t, double **Sys, double **Var,
                            double *Mean, int **IdxSys, int **IdxVar, int *IdxMean,
                            double **X, double **Pwork, double **Awork, double **moment,
                            double **cov, const LdsMeanPlan *plan)
{
    const int d = m + N;
    StateMoments(m, d, t, Pwork, moment, cov);
    LdsApplyTV(t, m, d, Sys, Var, Mean, IdxSys, IdxVar, IdxMean, X);
    if (filtered)
        ObservationProjection(N, m, Sys, Pwork, Awork + d + kProjectionRow);
    LdsPredictOf<kM>(m, d, Sys, Var, Mean, Pwork, Awork, plan);
    for (int k = 0; k < N; k++) {
        moment[m + k][t] = Awork[d][m + k];
        moment[d + m + k][t] = Pwork[m + k][m + k];
    }
}

/* Filtering correction of column t from g, F^-1 (zero rows and columns for
 * missing series) and v; Z P Z' is the observation block of Sys P Sys'
 * left in A-work. */
void FilterCorrection(int N, int m, int t, double **Finv, const double *v,
                      double **Awork, double **moment)
{
    const int d = m + N;
    double **g = Awork + d + kProjectionRow;
    for (int i = 0; i < m; i++) {
        double mean = 0.0, var = 0.0;
        for (int k = 0; k < N; k++) {
            double w = 0.0, q = 0.0;
            for (int l = 0; l < N; l++) {
                w += Finv[k][l] * v[l];
                q += Finv[k][l] * g[l][i];
            }
            mean += g[k][i] * w;
            var += g[k][i] * q;
        }
        moment[i][t] += mean;
        moment[d + i][t] -= var;
    }
    for (int j = 0; j < N; j++) {
        const double *zpz = Awork[m + j] + m;
        moment[m + j][t] += dVecMatVec(N, v, Finv, zpz);
        moment[d + m + j][t] -= dInnerProd(N, zpz, Finv);
    }
}

}  // namespace

int fMultiStatePred(int filtered, int N, int n, double **Y, int m, double **Sys,
                    double **Var, double *Mean, int **IdxSys, int **IdxVar,
                    int *IdxMean, double **X, double **Init, double **Pwork,
                    double **Awork, double **store, double **moment,
                    double **cov)
{
    const int d = m + N;
    const int R = iLdsStoreRows(N, m);
    double **W = Pwork;
    double *a = Pwork[d];
    const double *apred = Awork[d];

    double **Finv = LdsAllocFinvView(N, m, W);
    if (!Finv)
        return 0;

    LdsMeanPlan plan;
    LdsMeanPlanInit(&plan, m, d, Sys, IdxSys);
    iLdsFilterStart(m, d, Init, dLdsVbig(d, Var), Pwork);
    int ok = 1;
    for (int t = 0; t < n; t++) {
        PredictStep(filtered, N, m, t, Sys, Var, Mean, IdxSys, IdxVar, IdxMean,
                    X, Pwork, Awork, moment, cov, &plan);
        if (iMultiInnovations(N, m, t, Y, W, a, apred) == 0) {
            MultiSkipTimePoint(N, m, R, t, store, a, apred);
            continue;
        }
        if (!fMultiInvertGain(N, m, Finv, W, a, nullptr)) {
            ok = 0;
            break;
        }
        if (filtered)
            FilterCorrection(N, m, t, Finv, a + m, Awork, moment);
        if (store)
            MultiStoreColumn(N, m, t, W, a, store);
        MultiUpdate(N, m, W, a, apred);
    }
    MatFreeBlock(Finv);
    /* Predictions over missing observations test nothing on the way. */
    return ok && fLdsStateFinite(m, d, Pwork);
}

namespace {

/* The time loop of fUnivStatePred; kM as in LdsPredictOf. */
template <int kM>
LDS_INLINE int UnivPredSteps(int filtered, int n, const double *y, int mRun, double **Sys,
                             double **Var, double *Mean, int **IdxSys, int **IdxVar,
                             int *IdxMean, double **X, double **Pwork, double **Awork,
                             double **store, double **moment, double **cov,
                             const LdsMeanPlan *plan)
{
    const int m = kM ? kM : mRun, d = m + 1;
    double **P = Pwork;
    double *a = Pwork[d];
    const double *apred = Awork[d];
    /* 1 x 1 view of 1/F for the correction shared with several series. */
    double *finvRow = &P[m][m];
    double **Finv = &finvRow;

    for (int t = 0; t < n; t++) {
        PredictStep<kM>(filtered, 1, m, t, Sys, Var, Mean, IdxSys, IdxVar, IdxMean, X, Pwork,
                        Awork, moment, cov, plan);
        if (FIsNaN(y[t])) {
            UnivSkipTimePoint(m, t, store, a, apred);
            continue;
        }
        /* As in the filter, a NaN variance fails like a zero one rather
         * than spreading NaN through every later moment. */
        UnivInnovation in;
        double gains[kM > 0 ? kM : 1];
        if (!LdsUnivInnovationOf<kM>(m, y[t], P, a, apred, &in, gains))
            return 0;
        if (filtered)
            FilterCorrection(1, m, t, Finv, a + m, Awork, moment);
        if (store)
            UnivStoreColumn(m, t, in.v, P[m], store);
        LdsUnivUpdateOf<kM>(m, P, a, apred, in.v, gains);
    }
    return 1;
}

}  // namespace

int fUnivStatePred(int filtered, int n, double *y, int m, double **Sys,
                   double **Var, double *Mean, int **IdxSys, int **IdxVar,
                   int *IdxMean, double **X, double **Init, double **Pwork,
                   double **Awork, double **store, double **moment,
                   double **cov)
{
    const int d = m + 1;
    LdsMeanPlan plan;
    LdsMeanPlanInit(&plan, m, d, Sys, IdxSys);
    iLdsFilterStart(m, d, Init, dLdsVbig(d, Var), Pwork);
    const int ok = LdsWithCompiledStates(m, [&](auto k) __attribute__((always_inline)) {
        return UnivPredSteps<decltype(k)::value>(filtered, n, y, m, Sys, Var, Mean, IdxSys,
                                                 IdxVar, IdxMean, X, Pwork, Awork, store,
                                                 moment, cov, &plan);
    });
    /* Predictions over missing observations test nothing on the way. */
    return ok && fLdsStateFinite(m, d, Pwork);
}
