/*
 * statesmo.cpp - the state smoothers of the exact diffuse filter.  Going
 * back over the steps they carry r0 and r1 (and N0, N1, N2, see
 * exact_step.cpp); for the state before the steps of time point t
 *
 *   smoothed mean      a + P* r0 + P_inf r1
 *   smoothed variance  P* - P* N0 P* - P_inf N1 P* - P* N1 P_inf - P_inf N2 P_inf
 *
 * where r1, N1, N2 (and P_inf) vanish after the diffuse period.
 */
#include "exact/exact.h"
#include "exact/exact_step.h"
#include "model/kernels.h"

using namespace lds_exact;

namespace {

void Clear(double **A, int rows, int cols)
{
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++)
            A[i][j] = 0.0;
}

/* x = Z P (P m x m symmetric). */
void RowTimes(int m, const double *Z, double **P, double *x)
{
    for (int k = 0; k < m; k++)
        x[k] = 0.0;
    for (int j = 0; j < m; j++) {
        const double zj = Z[j];
        const double *row = P[j];
        for (int k = 0; k < m; k++)
            x[k] += zj * row[k];
    }
}

/* Mean and variance of x' alpha (and y' alpha's diffuse part with y the
 * matching row of P_inf, when y is given) from the cumulants. */
void Combination(int m, const double *x, const double *y, const Carry &c, double *mean,
                 double *var)
{
    *mean += dVecVec(m, x, c.r0);
    *var -= dInnerProd(m, x, c.N0);
    if (y) {
        *mean += dVecVec(m, y, c.r1);
        *var -= dInnerProd(m, y, c.N2) + 2.0 * dVecMatVec(m, x, c.N1, y);
    }
}

} // namespace

void QuickStateSmo(int sel, int N, int n, int m, double **Sys, double **Var, double *Mean,
                   int **triples, double **X, int **pat, double **Init, double **work,
                   double **cum, int dstar, double **dstore, double **estore, double **out)
{
    const int d = m + N;
    double *r0 = cum[0], *r1 = cum[1], *alpha = work[0], *tmp = work[1];
    const Carry c = {m, r0, r1, nullptr, nullptr, nullptr, {work[0], work[1]}};
    for (int j = 0; j < m; j++)
        r0[j] = r1[j] = 0.0;
    for (int t = n - 1; t >= 0; t--) {
        if (X)
            TVsystem(t, Sys, nullptr, nullptr, triples, X);
        for (int a = 0; a < m; a++)
            out[a][t] = r0[a];
        BackTransition(m, pat, Sys, r0, tmp);
        if (dstar > (t + 1) * N)
            BackTransition(m, pat, Sys, r1, tmp);
        for (int i = N - 1; i >= 0; i--)
            ExactBack(c, Sys[m + i], dstore, estore, t * N + i, dstar);
    }

    /* The initial state: a1 + P*_1 r0 + P_inf,1 r1, with the start the
     * filter takes from Init (without Init a1 = 0, P* = 0, P_inf = I). */
    for (int a = 0; a < m; a++) {
        double x = Init ? InitMean(Init, m, a) : 0.0;
        for (int b = 0; b < m; b++)
            x += InitStar(Init, a, b) * r0[b] + InitInf(Init, a, b) * r1[b];
        alpha[a] = x;
    }

    /* Forward: alpha_{t+1} = Mean + T alpha_t + Q r_t. */
    double *p = cum[0];
    for (int t = 0; t < n; t++) {
        if (X)
            TVsystem(t, Sys, Var, Mean, triples, X);
        for (int k = 0; k < d; k++)
            p[k] = Mean[k] + dVecVec(m, Sys[k], alpha);
        for (int a = 0; a < m; a++)
            for (int b = 0; b < m; b++)
                p[a] += Var[a][b] * out[b][t];
        for (int a = 0; a < m; a++) {
            out[a][t] = alpha[a];
            alpha[a] = p[a];
        }
        if (sel == 1)
            for (int i = 0; i < N; i++)
                out[m + i][t] = p[m + i];
    }
}

namespace {

/* StateSmoExact, with r0 and N0 at the end of the data either 0 (given
 * false) or as S0 holds them. */
void StateSmoothing(bool given, int sel, int N, int n, int m, double **Sys, int **triples,
                    double **X, int **pat, double **A0, double **A1, double **S0, double **S1,
                    double **S2, int dstar, double **dstore, double **estore, double **infA,
                    double **infLow, double **pred, double **low, double **out2)
{
    const int d = m + N;
    const Carry c = {m, S0[m], S1[m], S0, S1, S2,
                     {S0[m + 1], S1[m + 1], S2[m], S2[m + 1], A0[m], A0[m + 1], A0[0], A1[0]}};
    if (!given)
        Clear(S0, m + 1, m);
    Clear(S1, m + 1, m);
    Clear(S2, m + 1, m);
    double **Pstar = A0, **Pinf = A1, *x = A0[m], *y = A0[m + 1];
    for (int t = n - 1; t >= 0; t--) {
        if (X)
            TVsystem(t, Sys, nullptr, nullptr, triples, X);
        MatTtPT(m, m, pat, Sys, S0, A0, S0);
        BackTransition(m, pat, Sys, c.r0, x);
        if (dstar > (t + 1) * N) {
            MatTtPT(m, m, pat, Sys, S1, A0, S1);
            MatTtPT(m, m, pat, Sys, S2, A0, S2);
            BackTransition(m, pat, Sys, c.r1, x);
        }
        for (int i = N - 1; i >= 0; i--)
            ExactBack(c, Sys[m + i], dstore, estore, t * N + i, dstar);

        const bool diffuse = dstar > t * N;
        if (sel == 1) {
            RebuildVariance(m, pred, d, low, t, Pstar);
            if (diffuse)
                RebuildVariance(m, infA, 0, infLow, t, Pinf);
            if (diffuse) {
                for (int j = 0; j < m; j++)
                    Combination(m, Pstar[j], Pinf[j], c, &pred[j][t], &pred[d + j][t]);
            } else {
                /* After the period: the m quadratic forms together. */
                LdsQuadFormsSym(m, m, Pstar, c.N0, x);
                for (int j = 0; j < m; j++) {
                    pred[j][t] += dVecVec(m, Pstar[j], c.r0);
                    pred[d + j][t] -= x[j];
                }
            }
            for (int i = 0; i < N; i++) {
                RowTimes(m, Sys[m + i], Pstar, x);
                if (diffuse)
                    RowTimes(m, Sys[m + i], Pinf, y);
                Combination(m, x, diffuse ? y : nullptr, c, &pred[m + i][t],
                            &pred[d + m + i][t]);
            }
        } else if (sel == 11) {
            for (int j = 0; j < m; j++) {
                x[j] = pred[j][t];
                y[j] = diffuse ? infA[j][t] : 0.0;
            }
            out2[0][t] = pred[m][t];
            out2[1][t] = dVecVec(m, x, Sys[d]);
            Combination(m, x, diffuse ? y : nullptr, c, &out2[0][t], &out2[1][t]);
        }
    }
}

} // namespace

void StateSmoExact(int sel, int N, int n, int m, double **Sys, int **triples, double **X,
                   int **pat, double **A0, double **A1, double **S0, double **S1, double **S2,
                   int dstar, double **dstore, double **estore, double **infA,
                   double **infLow, double **pred, double **low, double **out2)
{
    StateSmoothing(false, sel, N, n, m, Sys, triples, X, pat, A0, A1, S0, S1, S2, dstar, dstore,
                   estore, infA, infLow, pred, low, out2);
}

void StateSmoExactFrom(int sel, int N, int n, int m, double **Sys, int **triples, double **X,
                       int **pat, double **A0, double **A1, double **S0, double **S1,
                       double **S2, int dstar, double **dstore, double **estore, double **infA,
                       double **infLow, double **pred, double **low, double **out2)
{
    StateSmoothing(true, sel, N, n, m, Sys, triples, X, pat, A0, A1, S0, S1, S2, dstar, dstore,
                   estore, infA, infLow, pred, low, out2);
}
