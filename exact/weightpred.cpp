/*
 * weightpred.cpp - fWeightPred, the weights with which the observations
 * enter the predicted or the filtered state at one time point.
 *
 * Each scalar step moves the state by a := (I - K_s Z_i) a + K_s y_s + ...,
 * each time update by a := T_t a + c.  Walking back from tau with M the
 * product of the factors met so far (M = I at tau), the observation of
 * step s enters with
 *
 *   w_s = M K_s,   then M := M (I - K_s Z_i) = M - w_s Z_i,
 *
 * and M := M T_t before the steps of time t are visited.
 */
#include <climits>

#include "exact/exact.h"
#include "exact/exact_step.h"

using namespace lds_exact;

namespace {

const int MODE_FILTERED = 5;

/* Step s (series i) backwards: w_s = M K_s into rows 0..m-1 of column s of
 * W, Z w_s into its rows m..d-1, then M -= w_s Z_i (over the columns Z_i
 * loads).  x is scratch (it ends holding w_s).  A missing step gets a
 * column of zeros. */
void StepBack(int m, int N, int i, int s, double **Sys, double **M, double *x,
              double **estore, double **W)
{
    if (FIsNaN(estore[0][s])) {
        for (int k = 0; k < m + N; k++)
            W[k][s] = 0.0;
        return;
    }
    GatherColumn(m, estore, 1, s, 1.0, x);
    for (int j = 0; j < m; j++)
        W[j][s] = dVecVec(m, M[j], x);
    for (int j = 0; j < m; j++)
        x[j] = W[j][s];
    const double *Z = Sys[m + i];
    for (int k = 0; k < m; k++) {
        const double z = Z[k];
        if (z == 0.0)
            continue;
        for (int j = 0; j < m; j++)
            M[j][k] -= x[j] * z;
    }
    for (int k = 0; k < N; k++)
        W[m + k][s] = dVecVec(m, Sys[m + k], x);
}

} // namespace

int fWeightPred(int mode, int tau, int N, int n, int m, double **Sys, int **triples, double **X,
                int **pat, double **M, double *x, double **estore, double **W)
{
    if ((long long)N * n > INT_MAX)
        return 0;
    const int d = m + N, steps = N * n;
    const bool filtered = mode == MODE_FILTERED;
    const bool inRange = tau >= 0 && tau <= (filtered ? n - 1 : n);
    /* The steps visited below write their columns whole; the later ones
     * take no weight. */
    const int visited = !inRange ? 0 : filtered ? (tau + 1) * N : tau * N;
    for (int r = 0; r < d; r++)
        for (int s = visited; s < steps; s++)
            W[r][s] = 0.0;
    if (!inRange)
        return 0;
    MatI(M, m);
    if (filtered) {
        if (X)
            TVsystem(tau, Sys, nullptr, nullptr, triples, X);
        for (int i = N - 1; i >= 0; i--)
            StepBack(m, N, i, tau * N + i, Sys, M, x, estore, W);
    }
    for (int t = tau - 1; t >= 0; t--) {
        if (X)
            TVsystem(t, Sys, nullptr, nullptr, triples, X);
        for (int j = 0; j < m; j++)
            BackTransition(m, pat, Sys, M[j], x);
        for (int i = N - 1; i >= 0; i--)
            StepBack(m, N, i, t * N + i, Sys, M, x, estore, W);
    }
    return 1;
}
