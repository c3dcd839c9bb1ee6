/*
 * distsmo.cpp - the disturbance smoothers over the exact filter store.
 * Every column is read with the ordinary formula e = v h - g' r,
 * r := r + e Z' (and D = h + g' N g, N := L' N L + Z' h Z with L = I - g Z);
 * at each time point, before its steps, r := T' r and N := T' N T.  With a
 * store whose diffuse columns hold 0, K0, 0 this is the exact recursion
 * of the diffuse period as well.
 */
#include "exact/exact.h"
#include "exact/exact_step.h"

using namespace lds_exact;

namespace {

/* Moves r (and N) from time point t+1 back over the transition of t. */
void BackOverTime(int m, int **pat, double **Sys, double *r, double **Nk, double **work,
                  double *tmp)
{
    if (Nk)
        MatTtPT(m, m, pat, Sys, Nk, work, Nk);
    BackTransition(m, pat, Sys, r, tmp);
}

/* The steps of time point t, last series first, by the ordinary formula:
 * f(i, e, D) for each series, e = D = 0 for a missing step. */
template <class F>
void StepsBack(const Carry &c, int t, int N, double **Sys, double **estore, F f)
{
    for (int i = N - 1; i >= 0; i--) {
        const int s = t * N + i;
        double e = 0.0, D = 0.0;
        if (!FIsNaN(estore[0][s]))
            e = OrdinaryBack(c, Sys[c.m + i], estore, s, &D);
        f(i, e, D);
    }
}

void Clear(double **A, int rows, int cols)
{
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++)
            A[i][j] = 0.0;
}

} // namespace

void DistSmoExactMean(int, int N, int n, int m, double **Sys, int **triples, double **X,
                      int **pat, double **work, double **estore, double **out)
{
    const int d = m + N;
    double *r = work[0];
    const Carry c = {m, r, nullptr, nullptr, nullptr, nullptr, {work[1]}};
    Clear(work, 1, m);
    for (int t = n - 1; t >= 0; t--) {
        if (out)
            for (int a = 0; a < m; a++)
                out[a][t + 1] = r[a];
        if (X)
            TVsystem(t, Sys, nullptr, nullptr, triples, X);
        BackOverTime(m, pat, Sys, r, nullptr, nullptr, work[1]);
        StepsBack(c, t, N, Sys, estore, [&](int i, double e, double) {
            if (out)
                out[m + i][t + 1] = e;
        });
    }
    if (out)
        for (int k = 0; k < d; k++)
            out[k][0] = k < m ? r[k] : 0.0;
}

void DistSmoExact(int, int N, int n, int m, double **Sys, int **triples, double **X,
                  int **pat, double **S, double **W, double **estore, double **acc,
                  double **score, double **out)
{
    const int d = m + N;
    double *r = S[m];
    const Carry c = {m, r, nullptr, S, nullptr, nullptr, {W[m], W[m + 1], W[0]}};
    Clear(S, m + 1, m);
    if (acc)
        Clear(acc, d, d);
    for (int t = n - 1; t >= 0; t--) {
        if (acc)
            for (int a = 0; a < m; a++)
                for (int b = a; b < m; b++)
                    acc[a][b] += r[a] * r[b] - S[a][b];
        if (out)
            for (int a = 0; a < m; a++) {
                out[a][t + 1] = r[a];
                out[d + a][t + 1] = S[a][a];
            }
        if (X)
            TVsystem(t, Sys, nullptr, nullptr, triples, X);
        BackOverTime(m, pat, Sys, r, S, W, W[m]);
        StepsBack(c, t, N, Sys, estore, [&](int i, double e, double D) {
            if (acc)
                acc[m + i][m + i] += e * e - D;
            if (out) {
                out[m + i][t + 1] = e;
                out[d + m + i][t + 1] = D;
            }
        });
    }
    if (out)
        for (int k = 0; k < d; k++) {
            out[k][0] = k < m ? r[k] : 0.0;
            out[d + k][0] = k < m ? S[k][k] : 0.0;
        }
    if (acc)
        for (int a = 0; a < d; a++)
            for (int b = 0; b < a; b++)
                acc[a][b] = acc[b][a];
    if (score)
        for (int a = 0; a < m; a++)
            for (int b = 0; b < m; b++)
                score[a][b] = r[a] * r[b] - S[a][b];
}

void DistSmoAuxExactMean(int sel, int N, int n, int m, double **Sys, double **Var,
                         int **triples, double **X, int **pat, double **work, double **estore,
                         double **out)
{
    const bool states = sel != 7, observations = sel != 8;
    const int o = states ? m : 0;
    double *r = work[0];
    const Carry c = {m, r, nullptr, nullptr, nullptr, nullptr, {work[1]}};
    Clear(work, 1, m);
    for (int t = n - 1; t >= 0; t--) {
        if (X)
            TVsystem(t, Sys, Var, nullptr, triples, X);
        if (out && states)
            for (int a = 0; a < m; a++)
                out[a][t] = dVecVec(m, Var[a], r);
        BackOverTime(m, pat, Sys, r, nullptr, nullptr, work[1]);
        StepsBack(c, t, N, Sys, estore, [&](int i, double e, double) {
            if (out && observations)
                out[o + i][t] = Var[m + i][m + i] * e;
        });
    }
}

void DistSmoAuxExact(int N, int n, int m, double **Sys, double **Var, int **triples,
                     double **X, int **pat, double **S, double **W, double **estore,
                     double **out)
{
    const int d = m + N;
    double *r = S[m];
    const Carry c = {m, r, nullptr, S, nullptr, nullptr, {W[m], W[m + 1], W[0]}};
    Clear(S, m + 1, m);
    for (int t = n - 1; t >= 0; t--) {
        if (X)
            TVsystem(t, Sys, Var, nullptr, triples, X);
        if (out)
            for (int a = 0; a < m; a++) {
                out[a][t] = dVecVec(m, Var[a], r);
                out[d + a][t] = dInnerProd(m, Var[a], S);
            }
        BackOverTime(m, pat, Sys, r, S, W, W[m]);
        StepsBack(c, t, N, Sys, estore, [&](int i, double e, double D) {
            const double s2 = Var[m + i][m + i];
            if (out) {
                out[m + i][t] = s2 * e;
                out[d + m + i][t] = s2 * s2 * D;
            }
        });
    }
}
