/*
 * weightrec.cpp - the weight recursions: predicted, filtered and smoothed
 * state weights of one series at a target time point, from the filter
 * store of a full run.
 *
 * L_t = T_t - K_t Z_t is formed one row at a time from T_t, the stored
 * gains and Z_t, and every product with it takes those rows, so that no
 * product in which its terms cancel is ever formed; the smoothing
 * variance is N_{t-1} = L_t' (N_t L_t) + Z_t' F_t^-1 Z_t.
 *
 * Working storage, (p+1) x p P-work and (p+2) x p A-work:
 *   P-work rows 0..m-1    m x m block A (M, N_t or Q')
 *   P-work rows m..p-1    the gains K_t' (row j = column j of K_t, m long)
 *   P-work row p          one row of L_t (m), then the gains of one state
 *                         (a row of K_t, N)
 *   A-work rows 0..m-1    m x m block B (the partner of A)
 *   A-work rows m..p-1    F_t^-1 (N x N)
 *   A-work rows p, p+1    two vectors of m (row p also a column of the
 *                         block that M L_t multiplies)
 */
#include "weights/weights.h"

#include <utility>


#include "model/kernels.h"
#include "model/scalar.h"
#include "model/timevarying.h"

namespace {

struct WeightRun {
    int N, n, tau, i, m, p;
    int testMissing;   /* a NaN innovation marks its series as missing */
    double **Sys;
    int **IdxSys;
    double **X;
    double **store;
    double **A, **B;   /* m x m blocks */
    double **Kt;       /* N x m */
    double **Finv;     /* N x N */
    double *lrow, *vec, *vec2;
};

int fRunInit(WeightRun *w, int N, int n, int tau, int i, int m, int testMissing,
             double **Sys, int **IdxSys, double **X, double **Pwork, double **Awork,
             double **store)
{
    if (N < 1 || m < 0 || n < 1 || tau < 0 || tau >= n || i < 0 || i >= N)
        return 0;
    const int p = m + N;
    *w = WeightRun{N, n, tau, i, m, p, testMissing, Sys, IdxSys, X, store,
                   Pwork, Awork, Pwork + m, Awork + m, Pwork[p], Awork[p], Awork[p + 1]};
    return 1;
}

/* Sys at time point t. */
void SetTime(const WeightRun &w, int t)
{
    LdsApplyTV(t, w.m, w.p, w.Sys, nullptr, nullptr, w.IdxSys, nullptr, nullptr, w.X);
}

/* K_t' and F_t^-1 from store column t; a missing series (when tested) gets
 * zero gains and a zero row and column of F^-1. */
void LoadGains(const WeightRun &w, int t)
{
    const int N = w.N, m = w.m;
    double **store = w.store;
    int row = N;
    for (int j = 0; j < N; j++) {
        const int jmiss = w.testMissing && FIsNaN(store[j][t]);
        for (int k = 0; k < m; k++, row++)
            w.Kt[j][k] = jmiss ? 0.0 : store[row][t];
        for (int l = 0; l <= j; l++, row++) {
            const int lmiss = w.testMissing && FIsNaN(store[l][t]);
            w.Finv[l][j] = w.Finv[j][l] = (jmiss || lmiss) ? 0.0 : store[row][t];
        }
    }
}

/* Row k of L_t into lrow[0..m-1]: L[k][c] = T[k][c] - sum_j K[k][j] Z[j][c],
 * the sum from 0.0 in increasing series j; row k of K_t (the gains of
 * state k, one per series) is gathered in lrow[m..p-1]. */
template <int kM>
LDS_INLINE void LRow(const WeightRun &w, int k)
{
    const int m = kM ? kM : w.m;
    double *row = w.lrow, *gains = w.lrow + m;
    for (int j = 0; j < w.N; j++)
        gains[j] = w.Kt[j][k];
    LdsColumnCombinationOf<kM>(w.N, 0, m, gains, w.Sys + m, row);
    const double *t = w.Sys[k];
    for (int c = 0; c < m; c++)
        row[c] = t[c] - row[c];
}

/* out = M L_t (m x m, out must not be M): out[r][c] = sum_k M[r][k] L[k][c],
 * summed in increasing k from 0.0, zero entries of M left out, one row of
 * L_t (times column k of M, gathered in vec) at a time. */
template <int kM>
void TimesL(const WeightRun &w, double **M, double **out)
{
    const int m = kM ? kM : w.m;
    for (int r = 0; r < m; r++)
        for (int c = 0; c < m; c++)
            out[r][c] = 0.0;
    for (int k = 0; k < m; k++) {
        LRow<kM>(w, k);
        for (int r = 0; r < m; r++)
            w.vec[r] = M[r][k];
        LdsAddOuterOf<kM>(m, m, w.vec, w.lrow, out);
    }
}

/* out = L_t A (m x m, out must not be A): row c is sum_k L[c][k] A[k]. */
template <int kM>
void LTimes(const WeightRun &w, double **A, double **out)
{
    const int m = kM ? kM : w.m;
    for (int c = 0; c < m; c++) {
        LRow<kM>(w, c);
        LdsColumnCombinationOf<kM>(m, 0, m, w.lrow, A, out[c]);
    }
}

/* Rows 0..m-1 of result column t: x = M y. */
void WriteStateWeights(const WeightRun &w, double **M, const double *y, int t,
                       double **result)
{
    for (int r = 0; r < w.m; r++)
        result[r][t] = dVecVec(w.m, M[r], y);
}

/* Columns `from` down to 0: w_t = M K_t e_i, then M = M L_t; M and spare
 * are the two m x m blocks, M holding the starting value. */
template <int kM>
void PredictedSweep(const WeightRun &w, int from, double **M, double **spare,
                    double **result)
{
    for (int t = from; t >= 0; t--) {
        SetTime(w, t);
        LoadGains(w, t);
        WriteStateWeights(w, M, w.Kt[w.i], t, result);
        if (t > 0) {
            TimesL<kM>(w, M, spare);
            std::swap(M, spare);
        }
    }
}

/* Rows m..p-1: the weights of the signal at tau, Z_tau w_t, for every t;
 * leaves Sys at time point tau. */
void SignalRows(const WeightRun &w, double **result)
{
    const int m = w.m, n = w.n;
    SetTime(w, w.tau);
    for (int j = 0; j < w.N; j++) {
        const double *z = w.Sys[m + j];
        double *out = result[m + j];
        for (int t = 0; t < n; t++)
            out[t] = 0.0;
        for (int k = 0; k < m; k++) {
            const double zk = z[k], *wk = result[k];
            for (int t = 0; t < n; t++)
                out[t] += zk * wk[t];
        }
    }
}

template <int kM>
int fPredicted(WeightRun *w, double **result)
{
    MatZero(result, w->p, w->n);
    MatI(w->A, w->m);
    PredictedSweep<kM>(*w, w->tau - 1, w->A, w->B, result);
    SignalRows(*w, result);
    return 1;
}

/* G = P_tau Z' F^-1 (kept as G' in the rows of Pwork2 after P_tau),
 * w_tau = G e_i, then M = I - G Z_tau before the predicted sweep. */
template <int kM>
int fFiltered(WeightRun *w, double **Pwork2, double **result)
{
    const int N = w->N, m = w->m, tau = w->tau;
    double **P = Pwork2, **PZt = w->Kt, **Gt = Pwork2 + m, **Z = w->Sys + m;
    MatZero(result, w->p, w->n);
    SetTime(*w, tau);
    LoadGains(*w, tau);
    for (int l = 0; l < N; l++)
        for (int r = 0; r < m; r++)
            PZt[l][r] = dVecVec(m, P[r], Z[l]);
    for (int j = 0; j < N; j++)
        for (int r = 0; r < m; r++) {
            double g = 0.0;
            for (int l = 0; l < N; l++)
                g += PZt[l][r] * w->Finv[l][j];
            Gt[j][r] = g;
        }
    for (int r = 0; r < m; r++)
        result[r][tau] = Gt[w->i][r];
    for (int r = 0; r < m; r++)
        for (int c = 0; c < m; c++) {
            double gz = 0.0;
            for (int j = 0; j < N; j++)
                gz += Gt[j][r] * Z[j][c];
            w->A[r][c] = (r == c ? 1.0 : 0.0) - gz;
        }
    PredictedSweep<kM>(*w, tau - 1, w->A, w->B, result);
    SignalRows(*w, result);
    return 1;
}

/* One backward step at t, with N_t in A on entry and N_{t-1} on exit:
 * X = N_t L_t into B, g_t = Z' F^-1 e_i - X' K e_i into scratch column t,
 * N_{t-1} = L' X + Z' F^-1 Z (upper triangle, then mirrored; zero terms
 * of L and Z left out). */
template <int kM>
void SmoothBackStep(const WeightRun &w, int t, double **scratch)
{
    const int N = w.N, m = kM ? kM : w.m, i = w.i;
    double **S = w.A, **Xm = w.B, **Z = w.Sys + m;
    TimesL<kM>(w, S, Xm);
    for (int a = 0; a < m; a++) {
        double zf = 0.0;
        for (int j = 0; j < N; j++)
            zf += Z[j][a] * w.Finv[j][i];
        double xk = 0.0;
        for (int k = 0; k < m; k++)
            xk += Xm[k][a] * w.Kt[i][k];
        scratch[a][t] = zf - xk;
    }
    for (int a = 0; a < m; a++)
        for (int b = a; b < m; b++)
            S[a][b] = 0.0;
    for (int k = 0; k < m; k++) {
        LRow<kM>(w, k);
        LdsAddOuterUpperOf<kM>(m, w.lrow, Xm[k], S);
    }
    double *fz = w.vec;
    for (int j = 0; j < N; j++) {
        for (int b = 0; b < m; b++) {
            double s = 0.0;
            for (int l = 0; l < N; l++)
                s += w.Finv[j][l] * Z[l][b];
            fz[b] = s;
        }
        LdsAddOuterUpperOf<kM>(m, Z[j], fz, S);
    }
    for (int a = 0; a < m; a++)
        for (int b = 0; b < a; b++)
            S[a][b] = S[b][a];
}

template <int kM>
int fSmoothed(WeightRun *w, double **scratch, double **Pwork2, double **result)
{
    const int m = kM ? kM : w->m, n = w->n, tau = w->tau;
    MatZero(result, w->p, n);

    /* Backward from the end to tau: g_t, and N_{tau-1} in A. */
    MatZero(w->A, m, m);
    for (int t = n - 1; t >= tau; t--) {
        SetTime(*w, t);
        LoadGains(*w, t);
        SmoothBackStep<kM>(*w, t, scratch);
    }

    /* Before tau: the predicted weights times I - P_tau N_{tau-1}. */
    if (tau > 0) {
        MatAB(Pwork2, m, m, w->A, m, w->B);
        for (int r = 0; r < m; r++)
            for (int c = 0; c < m; c++)
                w->B[r][c] = (r == c ? 1.0 : 0.0) - w->B[r][c];
        PredictedSweep<kM>(*w, tau - 1, w->B, w->A, result);
    }

    /* From tau on: w_t = Q g_t with Q = P_tau L_tau' ... L_{t-1}', kept as
     * Q' = L_{t-1} ... L_tau P_tau (P_tau is symmetric). */
    double **Qt = Pwork2, **spare = w->A, *g = w->vec2, *x = w->vec;
    for (int t = tau; t < n; t++) {
        SetTime(*w, t);
        for (int a = 0; a < m; a++)
            g[a] = scratch[a][t];
        LdsColumnCombinationOf<kM>(m, 0, m, g, Qt, x);
        for (int r = 0; r < m; r++)
            result[r][t] = x[r];
        if (t < n - 1) {
            LoadGains(*w, t);
            LTimes<kM>(*w, Qt, spare);
            std::swap(Qt, spare);
        }
    }
    SignalRows(*w, result);
    return 1;
}

/* The sweeps compiled for the state counts 1..kLdsCompiledStates, one
 * general version for the others. */
int fPredictedRun(WeightRun *w, double **result)
{
    return LdsWithCompiledStates(w->m, [&](auto k) __attribute__((always_inline)) {
        return fPredicted<decltype(k)::value>(w, result);
    });
}

int fFilteredRun(WeightRun *w, double **Pwork2, double **result)
{
    return LdsWithCompiledStates(w->m, [&](auto k) __attribute__((always_inline)) {
        return fFiltered<decltype(k)::value>(w, Pwork2, result);
    });
}

int fSmoothedRun(WeightRun *w, double **scratch, double **Pwork2, double **result)
{
    return LdsWithCompiledStates(w->m, [&](auto k) __attribute__((always_inline)) {
        return fSmoothed<decltype(k)::value>(w, scratch, Pwork2, result);
    });
}

}  // namespace

int fMultiWeightPred(int N, int n, int tau, int i, int m, double **Sys, int **IdxSys,
                     double **X, double **Pwork, double **Awork, double **store,
                     double **result)
{
    WeightRun w;
    if (!fRunInit(&w, N, n, tau, i, m, 1, Sys, IdxSys, X, Pwork, Awork, store))
        return 0;
    return fPredictedRun(&w, result);
}

int fMultiWeightFil(int N, int n, int tau, int i, int m, double **Sys, int **IdxSys,
                    double **X, double **Pwork, double **Awork, double **store,
                    double **Pwork2, double **result)
{
    WeightRun w;
    if (!fRunInit(&w, N, n, tau, i, m, 1, Sys, IdxSys, X, Pwork, Awork, store))
        return 0;
    return fFilteredRun(&w, Pwork2, result);
}

int fMultiWeightSmo(int N, int n, int tau, int i, int m, double **Sys, int **IdxSys,
                    double **X, double **Pwork, double **Awork, double **store,
                    double **scratch, double **Pwork2, double **result)
{
    WeightRun w;
    if (!fRunInit(&w, N, n, tau, i, m, 1, Sys, IdxSys, X, Pwork, Awork, store))
        return 0;
    return fSmoothedRun(&w, scratch, Pwork2, result);
}

int fUnivWeightPred(int n, int tau, int m, double **Sys, int **IdxSys, double **X,
                    double **Pwork, double **Awork, double **store, double **result)
{
    WeightRun w;
    if (!fRunInit(&w, 1, n, tau, 0, m, 0, Sys, IdxSys, X, Pwork, Awork, store))
        return 0;
    return fPredictedRun(&w, result);
}

int fUnivWeightFil(int n, int tau, int m, double **Sys, int **IdxSys, double **X,
                   double **Pwork, double **Awork, double **store, double **Pwork2,
                   double **result)
{
    WeightRun w;
    if (!fRunInit(&w, 1, n, tau, 0, m, 0, Sys, IdxSys, X, Pwork, Awork, store))
        return 0;
    return fFilteredRun(&w, Pwork2, result);
}

int fUnivWeightSmo(int n, int tau, int m, double **Sys, int **IdxSys, double **X,
                   double **Pwork, double **Awork, double **store, double **scratch,
                   double **Pwork2, double **result)
{
    WeightRun w;
    if (!fRunInit(&w, 1, n, tau, 0, m, 1, Sys, IdxSys, X, Pwork, Awork, store))
        return 0;
    return fSmoothedRun(&w, scratch, Pwork2, result);
}
