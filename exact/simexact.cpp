/*
 * simexact.cpp - SimSmoWgtExact, SimSmoEpsExact and SimSmoEtaExact: draws
 * of the innovations of the exact filter, one scalar step at a time, over
 * the gains K of an exact filter store.
 *
 * The filter's error e = alpha - a moves, at an observed step with row Z
 * and gain K, as e := e - K v with v = Z e + eps, and over time as
 * e := T e + eta.  It is the sum of a part driven by the finite initial
 * state and the state disturbances,
 *
 *   e_eta := (I - K Z) e_eta,  e_eta := T e_eta + eta,  v_eta = Z e_eta,
 *
 * and a part driven by the observation disturbances,
 *
 *   e_eps := e_eps - K v_eps,  v_eps = Z e_eps + eps,  e_eps := T e_eps,
 *
 * independent of each other, with v = v_eta + v_eps.  P, the variance of
 * e_eta, starts at P* and follows the first line with T P T' + Q added, so
 * that F0 = Z P Z' is the variance of v_eta and 1/g - F0 (g the stored
 * inverse innovation variance) that of v_eps.  The diffuse part of the
 * initial state leaves no trace in the innovations once the diffuse gains
 * have taken it out.
 *
 * SimSmoEpsExact runs the second recursion over given observation
 * disturbances and adds sqrt(F0) z; SimSmoEtaExact runs the first over a
 * standard normal initial state and given state disturbances and adds
 * sqrt(1/g - F0) z.  Both draw one z per observed step, in step order.
 */
#include "exact/exact.h"
#include "exact/exact_step.h"
#include "host/kel.h"

using namespace lds_exact;

namespace {

/* The scale of SimSmoWgtExact that goes with the observation disturbances. */
const int MODE_OBS_GIVEN = 7;

/* sqrt(x), 0 where rounding has left x below 0. */
double RootOrZero(double x) { return x > 0.0 ? std::sqrt(x) : 0.0; }

/*
 * The forward pass of both draws, from the error a (row 0 of work, set by
 * the caller): at an observed step x = E[i][t] + Z a (E null: Z a),
 * a -= x K, out[s] = x + scale[s] z; after the N steps of t, a = T a +
 * H[.][t] (H null: T a).  Row 2 of work is scratch.
 */
void DrawInnovations(int N, int n, int m, double **Sys, int **triples, double **X, int **pat,
                     double **work, double **estore, double **E, double **H,
                     const double *scale, double *out)
{
    double *a = work[0], *tmp = work[2];
    int s = 0;
    for (int t = 0; t < n; t++) {
        if (X)
            TVsystem(t, Sys, nullptr, nullptr, triples, X);
        for (int i = 0; i < N; i++, s++) {
            if (FIsNaN(estore[0][s])) {
                SetNaN(&out[s]);
                continue;
            }
            const double x = (E ? E[i][t] : 0.0) + dVecVec(m, Sys[m + i], a);
            for (int j = 0; j < m; j++)
                a[j] -= x * estore[1 + j][s];
            out[s] = x + scale[s] * DRanNormalPM();
        }
        MatTa(m, pat, Sys, a, tmp);
        for (int j = 0; j < m; j++)
            a[j] = tmp[j] + (H ? H[j][t] : 0.0);
    }
}

} // namespace

void SimSmoWgtExact(int mode, int N, int n, int m, double **Sys, double **Var, int **triples,
                    double **X, int **pat, double **Init, double **Pwork, double **Wwork,
                    double **estore, double *scale)
{
    double **P = Pwork, *K = Pwork[m], *M = Wwork[m];
    for (int i = 0; i < m; i++)
        for (int j = 0; j < m; j++)
            P[i][j] = InitStar(Init, i, j);
    int s = 0;
    for (int t = 0; t < n; t++) {
        if (X)
            TVsystem(t, Sys, Var, nullptr, triples, X);
        for (int i = 0; i < N; i++, s++) {
            scale[s] = 0.0;
            if (FIsNaN(estore[0][s]))
                continue;
            const double *Z = Sys[m + i];
            for (int j = 0; j < m; j++)
                M[j] = dVecVec(m, P[j], Z);
            const double F0 = dVecVec(m, Z, M);
            GatherColumn(m, estore, 1, s, 1.0, K);
            GainUpdate(m, P, K, M, F0);
            const double g = estore[ScalarRow(m)][s];
            if (g > 0.0)
                scale[s] = RootOrZero(mode == MODE_OBS_GIVEN ? F0 : 1.0 / g - F0);
        }
        MatTPTt(m, m, pat, Sys, P, Wwork, P);
        for (int i = 0; i < m; i++)
            for (int j = 0; j < m; j++)
                P[i][j] += Var[i][j];
    }
}

void SimSmoEpsExact(int N, int n, int m, double **Sys, int **triples, double **X, int **pat,
                    double **work, double **estore, double **E, const double *scale,
                    double *out)
{
    for (int j = 0; j < m; j++)
        work[0][j] = 0.0;
    DrawInnovations(N, n, m, Sys, triples, X, pat, work, estore, E, nullptr, scale, out);
}

void SimSmoEtaExact(int N, int n, int m, double **Sys, int **triples, double **X, int **pat,
                    double **work, double **estore, double **H, const double *scale,
                    double *out)
{
    for (int j = 0; j < m; j++)
        work[0][j] = DRanNormalPM();
    DrawInnovations(N, n, m, Sys, triples, X, pat, work, estore, nullptr, H, scale, out);
}
