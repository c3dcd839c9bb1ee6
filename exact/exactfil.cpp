/*
 * exactfil.cpp - fKalmanExact, the exact diffuse filter observation by
 * observation, and fKalmanExactMean, its state mean recursion alone.
 *
 * The state variance is P* + k P_inf with k growing without bound; P_inf
 * comes from IKalmanInitial's store.  For an observed scalar step with row
 * Z, v = y - Mean[m+i] - Z a, M* = P* Z', F* = Z M* + Var[m+i][m+i]:
 *
 *   diffuse step:  K0 = M_inf / F_inf,  a += K0 v,
 *                  P* += -K0 M*' - M* K0' + F* K0 K0',   loglik term log F_inf
 *   ordinary step: K = M* / F*,  a += K v,  P* -= K M*', terms log F*, v^2 / F*
 *   time update:   a = T a + Mean[0..m-1],  P* = T P* T' + Q
 */
#include "exact/exact.h"
#include "exact/exact_step.h"

using namespace lds_exact;

namespace {

/* Modes with a meaning here. */
enum {
    MODE_KEEP_DIFFUSE = 1,     /* diffuse columns keep v, F* K0 - M*, F* */
    MODE_FILTERED_END = 5,     /* state work ends filtered */
    MODE_SIGNAL_PRED = 9,      /* 2-row predicted output */
    MODE_SIGNAL_FILT = 10,     /* 2-row filtered output, state work ends filtered */
    MODE_SIGNAL_COV = 11       /* (m+1)-row predicted output, diffuse columns kept */
};

/* Layouts of the per-time outputs. */
enum Layout { LAYOUT_FULL, LAYOUT_SIGNAL, LAYOUT_SIGNAL_COV };

struct Model {
    int N, m;
    double **Sys, **Var;
    double *Mean;
    int **pat;
};

/* Column col of out from a and P in the given layout (s = row d of Sys). */
void WriteMoments(Layout layout, const Model &md, double **out, int col, const double *a,
                  double **P)
{
    const int m = md.m, N = md.N, d = m + N;
    const double *s = md.Sys[d];
    switch (layout) {
    case LAYOUT_SIGNAL:
        out[0][col] = dVecVec(m, s, a);
        out[1][col] = dInnerProd(m, s, P);
        return;
    case LAYOUT_SIGNAL_COV:
        for (int j = 0; j < m; j++)
            out[j][col] = dVecVec(m, P[j], s);
        out[m][col] = dVecVec(m, s, a);
        return;
    case LAYOUT_FULL:
        for (int j = 0; j < m; j++) {
            out[j][col] = a[j];
            out[d + j][col] = P[j][j];
        }
        for (int i = 0; i < N; i++) {
            out[m + i][col] = dVecVec(m, md.Sys[m + i], a) + md.Mean[m + i];
            out[d + m + i][col] = dInnerProd(m, md.Sys[m + i], P);
        }
        return;
    }
}

int LayoutRows(Layout layout, int m, int N)
{
    return layout == LAYOUT_SIGNAL ? 2 : layout == LAYOUT_SIGNAL_COV ? m + 1 : 2 * (m + N);
}

void ZeroColumn(double **out, int rows, int col)
{
    for (int j = 0; j < rows; j++)
        out[j][col] = 0.0;
}

/* a = T a + Mean[0..m-1], P = T P T' + Q; work m x m and tmp m scratch. */
void TimeUpdate(const Model &md, double **P, double *a, double **work, double *tmp)
{
    const int m = md.m;
    MatTPTt(m, m, md.pat, md.Sys, P, work, P);
    MatTa(m, md.pat, md.Sys, a, tmp);
    for (int i = 0; i < m; i++) {
        a[i] = tmp[i] + md.Mean[i];
        for (int j = 0; j < m; j++)
            P[i][j] += md.Var[i][j];
    }
}

/* Store column s: value, vector (times f), scalar, kind. */
void StoreColumn(int m, double **estore, int s, double value, const double *x, double f,
                 double scalar, double kind)
{
    if (!estore)
        return;
    estore[0][s] = value;
    for (int j = 0; j < m; j++)
        estore[1 + j][s] = x ? f * x[j] : 0.0;
    estore[ScalarRow(m)][s] = scalar;
    estore[KindRow(m)][s] = kind;
}

/* M = P Z' for a symmetric P, gathered from the rows of P that Z loads. */
void ColumnOf(int m, double **P, const double *Z, double *M)
{
    for (int j = 0; j < m; j++)
        M[j] = 0.0;
    for (int l = 0; l < m; l++) {
        const double z = Z[l];
        if (z == 0.0)
            continue;
        const double *row = P[l];
        for (int j = 0; j < m; j++)
            M[j] += z * row[j];
    }
}

struct Sums {
    double logDet = 0.0, sumSq = 0.0;
};

} // namespace

int fKalmanExact(int mode, int h, int N, int n, double **Y, int m, double **Sys, double **Var,
                 double *Mean, int **triples, double **X, int **pat, double **Init, int dstar,
                 double **dstore, double **swork, double **pwork, double **hwork,
                 double **estore, double **predOut, double **lowOut, double **filtOut,
                 double *pLogDet, double *pSumSq, int *pCount)
{
    if (pLogDet)
        *pLogDet = 0.0;
    if (pSumSq)
        *pSumSq = 0.0;
    if (h < 1 || N < 1)
        return 0;
    const Model md = {N, m, Sys, Var, Mean, pat};
    double **P = swork, *a = swork[m], *K = swork[m + 1], *M = pwork[m];
    for (int i = 0; i < m; i++) {
        a[i] = InitMean(Init, m, i);
        for (int j = 0; j < m; j++)
            P[i][j] = InitStar(Init, i, j);
    }
    const bool keepDiffuse = mode == MODE_KEEP_DIFFUSE || mode == MODE_SIGNAL_COV;
    const Layout predLayout = mode == MODE_SIGNAL_PRED  ? LAYOUT_SIGNAL
                              : mode == MODE_SIGNAL_COV ? LAYOUT_SIGNAL_COV
                                                        : LAYOUT_FULL;
    const Layout filtLayout = mode == MODE_SIGNAL_FILT ? LAYOUT_SIGNAL : LAYOUT_FULL;
    const bool predInPeriod = h == 1 || mode == MODE_SIGNAL_PRED || mode == MODE_SIGNAL_COV;
    const bool endFiltered = mode == MODE_FILTERED_END || mode == MODE_SIGNAL_FILT;
    /* The first time point after the diffuse period. */
    const int t0 = dstar > 0 ? (dstar + N - 1) / N : 0;

    Sums sums;
    int k = 0, s = 0;
    for (int t = 0; t < n; t++) {
        if (X)
            TVsystem(t, Sys, Var, Mean, triples, X);
        const bool inPeriod = t < t0;
        if (predOut) {
            if (inPeriod ? predInPeriod : h == 1)
                WriteMoments(predLayout, md, predOut, t, a, P);
            else if (inPeriod || t < t0 + h - 1)
                ZeroColumn(predOut, LayoutRows(predLayout, m, N), t);
        }
        if (lowOut)
            StoreLower(m, P, 1.0, lowOut, t);

        /* h-step prediction errors, from the state before the updates of t
         * to the observations of t+h-1. */
        if (!inPeriod && h >= 2 && t + h <= n) {
            double **Ph = hwork, *ah = hwork[m];
            for (int i = 0; i < m; i++) {
                ah[i] = a[i];
                for (int j = 0; j < m; j++)
                    Ph[i][j] = P[i][j];
            }
            for (int j = 1; j < h; j++) {
                TimeUpdate(md, Ph, ah, pwork, M);
                if (X)
                    TVsystem(t + j, Sys, Var, Mean, triples, X);
            }
            const int th = t + h - 1;
            if (predOut)
                WriteMoments(predLayout, md, predOut, th, ah, Ph);
            for (int i = 0; i < N; i++) {
                if (FIsNaN(Y[i][th]))
                    continue;
                const double v = Y[i][th] - Mean[m + i] - dVecVec(m, Sys[m + i], ah);
                const double F = Var[m + i][m + i] + dInnerProd(m, Sys[m + i], Ph);
                if (F > 0.0) {
                    sums.logDet += std::log(F);
                    sums.sumSq += v * v / F;
                }
            }
            if (X)
                TVsystem(t, Sys, Var, Mean, triples, X);
        }

        for (int i = 0; i < N; i++, s++) {
            if (FIsNaN(Y[i][t])) {
                StoreColumn(m, estore, s, 0.0, nullptr, 0.0, 0.0, kMissing);
                if (estore)
                    SetNaN(&estore[0][s]);
                continue;
            }
            const double *Z = Sys[m + i];
            const double v = Y[i][t] - Mean[m + i] - dVecVec(m, Z, a);
            ColumnOf(m, P, Z, M);
            const double F = dVecVec(m, Z, M) + Var[m + i][m + i];

            if (s < dstar && dstore[KindRow(m)][s] == kDiffuse) {
                const double finf = dstore[ScalarRow(m)][s];
                GatherColumn(m, dstore, 1, s, 1.0 / finf, K);
                for (int j = 0; j < m; j++)
                    a[j] += K[j] * v;
                GainUpdate(m, P, K, M, F);
                if (finf > 0.0)
                    sums.logDet += std::log(finf);
                if (estore && keepDiffuse) {
                    StoreColumn(m, estore, s, v, K, F, F, kDiffuse);
                    for (int j = 0; j < m; j++)
                        estore[1 + j][s] -= M[j];
                } else {
                    StoreColumn(m, estore, s, 0.0, K, 1.0, 0.0, kDiffuse);
                }
                continue;
            }

            if (F == 0.0) {
                if (N == 1)
                    return 0;
                StoreColumn(m, estore, s, v, nullptr, 0.0, 0.0, kSkipped);
                continue;
            }
            k++;
            for (int j = 0; j < m; j++) {
                K[j] = M[j] / F;
                a[j] += K[j] * v;
            }
            /* The whole matrix, row by row: the time update reads P as
             * symmetric and makes it exactly so again. */
            for (int r = 0; r < m; r++) {
                const double kr = K[r];
                double *row = P[r];
                for (int c = 0; c < m; c++)
                    row[c] -= kr * M[c];
            }
            if (F > 0.0 && (s < dstar || h == 1)) {
                sums.logDet += std::log(F);
                sums.sumSq += v * v / F;
            }
            StoreColumn(m, estore, s, v, K, 1.0, 1.0 / F, kOrdinary);
        }

        if (filtOut)
            WriteMoments(filtLayout, md, filtOut, t, a, P);
        if (t == n - 1 && endFiltered && dstar <= t * N)
            break;
        TimeUpdate(md, P, a, pwork, M);
    }

    if (dstar >= 1 && k < N * h)
        return 0;
    const int terms = h == 1 ? k : k - (h - 1) * N;
    if (terms < 1)
        return 0;
    if (pLogDet)
        *pLogDet = sums.logDet;
    if (pSumSq)
        *pSumSq = sums.sumSq / terms;
    if (pCount)
        *pCount = k;
    return 1;
}

int fKalmanExactMean(int mode, int N, int n, double **Y, int m, double **Sys, double *Mean,
                     int **triples, double **X, int **pat, double **Init, double **work,
                     double **estore, double *innov, double **out)
{
    double *a = work[2], *tmp = work[0];
    for (int i = 0; i < m; i++)
        a[i] = Init ? InitMean(Init, m, i) : 0.0;
    auto write = [&](int t) {
        for (int j = 0; j < m; j++)
            out[j][t] = a[j];
        for (int i = 0; i < N; i++)
            out[m + i][t] = dVecVec(m, Sys[m + i], a);
    };
    int s = 0;
    for (int t = 0; t < n; t++) {
        if (X)
            TVsystem(t, Sys, nullptr, Mean, triples, X);
        if (out && mode == 0)
            write(t);
        for (int i = 0; i < N; i++, s++) {
            const double y = Y ? Y[i][t] : estore[0][s];
            if (FIsNaN(y)) {
                if (innov)
                    SetNaN(&innov[s]);
                continue;
            }
            const double v = y - Mean[m + i] - dVecVec(m, Sys[m + i], a);
            if (innov)
                innov[s] = v;
            for (int j = 0; j < m; j++)
                a[j] += v * estore[1 + j][s];
        }
        if (out && mode == MODE_FILTERED_END)
            write(t);
        MatTa(m, pat, Sys, a, tmp);
        for (int j = 0; j < m; j++)
            a[j] = tmp[j] + Mean[j];
    }
    return 1;
}
