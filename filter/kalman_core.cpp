/*
 * kalman_core.cpp - the parts of a filter step that do not depend on the
 * number of series (start values, the stacked prediction, the beginning and
 * end of a run).
 */
#include "filter/kalman_core.h"

#include <cmath>

#include "host/kel.h"
#include "model/check.h"
#include "model/scalar.h"

double dLdsVbig(int d, double **Var)
{
    double largest = 1.0;
    for (int i = 0; i < d; i++) {
        /* A NaN never compares greater, so it is passed over. */
        if (Var[i][i] > largest)
            largest = Var[i][i];
    }
    return LDS_VBIG_FACTOR * largest;
}

int iLdsFilterStart(int m, int d, double **Init, double vbig, double **Pwork)
{
    double *a = Pwork[d];
    int diffuse = 0;

    MatZero(Pwork, d + 1, d);
    if (!Init) {
        for (int i = 0; i < m; i++)
            Pwork[i][i] = vbig;
        return m;
    }
    for (int i = 0; i < m; i++) {
        a[i] = Init[m][i];
        if (Init[i][i] < 0.0) {
            /* Diffuse: whatever stands left of the diagonal is ignored,
             * the zeros from MatZero are its covariances with the earlier
             * elements. */
            diffuse++;
            Pwork[i][i] = vbig;
            continue;
        }
        Pwork[i][i] = Init[i][i];
        for (int j = 0; j < i; j++)
            Pwork[i][j] = Pwork[j][i] = Init[i][j];
    }
    return diffuse;
}

void LdsMeanPlanInit(LdsMeanPlan *plan, int m, int d, double **Sys, int **IdxSys)
{
    plan->rows = 0;
    if (IdxSys || d < 4 || d > LDS_TVEC_MAX_ROWS || m > LDS_TVEC_MAX_ROWS)
        return;
    for (int k = 0; k < m; k++) {
        double *column = plan->sysT + k * LDS_TVEC_MAX_ROWS;
        for (int i = 0; i < LDS_TVEC_MAX_ROWS; i++)
            column[i] = i < d ? Sys[i][k] : 0.0;
    }
    plan->rows = d;
}

void LdsPredictMean(int m, int d, double **Sys, const double *Mean, double **Pwork,
                    double **Awork, const LdsMeanPlan *plan)
{
    if (plan && plan->rows == d)
        LdsMatTVecFrom(d, m, plan->sysT, LDS_TVEC_MAX_ROWS, Pwork[d], Mean, Awork[d]);
    else
        LdsMatVecFrom(d, m, Sys, Pwork[d], Mean, Awork[d]);
}

void LdsPredict(int m, int d, double **Sys, double **Var, const double *Mean,
                double **Pwork, double **Awork, const LdsMeanPlan *plan)
{
    LdsPredictOf<0>(m, d, Sys, Var, Mean, Pwork, Awork, plan);
}

int iLdsFilterBegin(int m, int d, double **Var, double **Init, double **Pwork,
                    double *pLogDet, double *pSumSq)
{
    double vbig = dLdsVbig(d, Var);
    int diffuse = iLdsFilterStart(m, d, Init, vbig, Pwork);

    /* Without diffuse elements an infinite vbig must not give 0 * inf. */
    if (pLogDet)
        *pLogDet = diffuse ? -diffuse * std::log(vbig) : 0.0;
    if (pSumSq)
        *pSumSq = 0.0;
    return -diffuse;
}

int fLdsFilterEnd(int cnt, double *pLogDet, double *pSumSq, int *pCount)
{
    if (cnt < 1)
        return 0;
    if (pSumSq)
        *pSumSq = *pSumSq / cnt;
    /* Tested once here rather than at every step: a subnormal F (an
     * infinite 1/F), an overflow or a NaN in the model ends up in a sum. */
    if ((pLogDet && !std::isfinite(*pLogDet)) || (pSumSq && !std::isfinite(*pSumSq)))
        return 0;
    if (pCount)
        *pCount = cnt;
    return 1;
}

int fLdsStateFinite(int m, int d, double **Pwork)
{
    return fLdsAllFinite(Pwork, m, m) && fLdsAllFinite(Pwork + d, 1, m);
}

void LdsStoreMissing(int t, int N, int R, double **Store)
{
    for (int i = 0; i < N; i++)
        SetNaN(&Store[i][t]);
    for (int i = N; i < R; i++)
        Store[i][t] = 0.0;
}

double **LdsAllocFinvView(int N, int m, double **W)
{
    double **view = MatAllocBlock(N, 0);
    if (!view)
        return nullptr;
    for (int i = 0; i < N; i++)
        view[i] = W[m + i] + m;
    return view;
}
