/*
 * drawboot.cpp - LdsDraw, the model run forward from given disturbances,
 * and LdsBootstrap, observations rebuilt from standardised innovations
 * through the gains of an exact filter store.
 *
 *   LdsDraw:       y_t,i = Z_i a_t + u_t,i,  a_{t+1} = T a_t + c + eta_t
 *   LdsBootstrap:  e_s = z_s / sqrt(g_s),  y_s = e_s + Mean[m+i] + Z_i a,
 *                  a += e_s K_s, and a = T a + c after each time point
 *
 * The bootstrap is the state mean recursion of the filter run backwards
 * from innovations to observations: fed the filter's own innovations it
 * gives back the data.
 */
#include "exact/exact.h"
#include "exact/exact_step.h"

using namespace lds_exact;

namespace {

/* sqrt(g_s) where g_s > 0, else 0.  In a store written in a mode other
 * than 1 and 11 that singles out the ordinary steps, the only ones whose
 * innovations can be standardised: diffuse, skipped and missing steps
 * store g = 0. */
double StandardScale(int m, double **estore, int s)
{
    const double g = estore[ScalarRow(m)][s];
    return g > 0.0 ? std::sqrt(g) : 0.0;
}

/* The innovation on the scale sqrt(g) of the step of series i at time t,
 * from the standardised value y or, with an index table, from the
 * innovation of step j = index[i][t] (0 when j is not a step of the store
 * or cannot be standardised). */
double Innovation(int m, double **estore, double scale, int **index, long long steps, int i,
                  int t, double y)
{
    if (scale == 0.0)
        return 0.0;
    if (!index)
        return y / scale;
    const int j = index[i][t];
    const double from = j >= 0 && j < steps ? StandardScale(m, estore, j) : 0.0;
    return from > 0.0 ? estore[0][j] * from / scale : 0.0;
}

} // namespace

void LdsDraw(int N, int n, int m, double **Sys, double *Mean, int **triples, double **X,
             int **pat, double **, double **work, double **U, double **stateOut,
             double **obsOut)
{
    double *a = work[0], *tmp = work[1];
    for (int j = 0; j < m; j++)
        a[j] = U[j][0];
    for (int t = 0; t < n; t++) {
        if (stateOut)
            for (int j = 0; j < m; j++)
                stateOut[j][t] = a[j];
        if (X)
            TVsystem(t, Sys, nullptr, Mean, triples, X);
        for (int i = 0; i < N; i++) {
            const double theta = dVecVec(m, Sys[m + i], a);
            if (stateOut)
                stateOut[m + i][t] = theta;
            if (obsOut)
                obsOut[i][t] = theta + U[m + i][t + 1];
        }
        MatTa(m, pat, Sys, a, tmp);
        for (int j = 0; j < m; j++)
            a[j] = tmp[j] + Mean[j] + U[j][t + 1];
    }
}

void LdsBootstrap(int N, int n, int **index, int m, double **Sys, double *Mean, int **triples,
                  double **X, int **pat, double **work, double **estore, double **Y)
{
    const long long steps = (long long)N * n;
    double *a = work[0], *tmp = work[1];
    for (int j = 0; j < m; j++)
        a[j] = 0.0;
    int s = 0;
    for (int t = 0; t < n; t++) {
        if (X)
            TVsystem(t, Sys, nullptr, Mean, triples, X);
        for (int i = 0; i < N; i++, s++) {
            const double kind = estore[KindRow(m)][s];
            if (kind == kMissing) {
                SetNaN(&Y[i][t]);
                continue;
            }
            const double scale = kind == kDiffuse ? 0.0 : StandardScale(m, estore, s);
            const double e = Innovation(m, estore, scale, index, steps, i, t, Y[i][t]);
            Y[i][t] = e + Mean[m + i] + dVecVec(m, Sys[m + i], a);
            if (scale != 0.0)
                for (int j = 0; j < m; j++)
                    a[j] += e * estore[1 + j][s];
        }
        MatTa(m, pat, Sys, a, tmp);
        for (int j = 0; j < m; j++)
            a[j] = tmp[j] + Mean[j];
    }
}
