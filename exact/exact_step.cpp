/*
 * exact_step.cpp - the backward step of the exact smoothers.
 *
 * With F = F* + k F_inf and k growing without bound, the gain of a diffuse
 * step is K = K0 - J / k + ..., K0 = M_inf / F_inf, J = (F* K0 - M*) /
 * F_inf, and the cumulants r = r0 + r1 / k, N = N0 + N1 / k + N2 / k^2 of
 * the ordinary smoother give, order by order, with L0 = I - K0 Z and
 * L1 = J Z:
 *
 *   r0 := L0' r0                     r1 := Z' v / F_inf + L0' r1 + L1' r0
 *   N0 := L0' N0 L0                  N1 := L0' N1 L0 + L1' N0 L0 + L0' N0 L1 + Z'Z / F_inf
 *   N2 := L0' N2 L0 + L1' N1 L0 + L0' N1 L1 + L1' N0 L1 - Z'Z F* / F_inf^2
 *
 * A step without diffuse information (F_inf = 0) has the gain K = M* / F* at
 * every order, so all five go through the same L = I - K Z.
 */
#include "exact/exact_step.h"

namespace lds_exact {

void RebuildVariance(int m, double **D, int diag, double **L, int t, double **P)
{
    int k = 0;
    for (int i = 0; i < m; i++) {
        for (int j = 0; j < i; j++, k++)
            P[i][j] = P[j][i] = L[k][t];
        P[i][i] = D[diag + i][t];
    }
}

void StoreLower(int m, double **P, double f, double **L, int t)
{
    int k = 0;
    for (int i = 1; i < m; i++)
        for (int j = 0; j < i; j++, k++)
            L[k][t] = P[i][j] / f;
}

void BackTransition(int m, int **pat, double **Sys, double *x, double *tmp)
{
    MatTta(m, pat, Sys, x, tmp);
    for (int j = 0; j < m; j++)
        x[j] = tmp[j];
}

void RightFactor(int m, double **Na, const double *x, double **Nb, const double *y, double *w)
{
    for (int a = 0; a < m; a++) {
        double s = -dVecVec(m, Na[a], x);
        if (Nb)
            s += dVecVec(m, Nb[a], y);
        w[a] = s;
    }
}

void AddLeftRow(int m, double f, const double *x, double **Nk, const double *w,
                const double *Z, double *u)
{
    for (int c = 0; c < m; c++) {
        const double xc = f * x[c], wc = w[c];
        const double *row = Nk[c];
        for (int b = 0; b < m; b++)
            u[b] += xc * (row[b] + wc * Z[b]);
    }
}

void ApplyFactors(int m, double **Nk, const double *w, const double *Z, const double *u)
{
    for (int a = 0; a < m; a++) {
        double *row = Nk[a];
        const double wa = w[a], za = Z[a];
        for (int b = a; b < m; b++)
            row[b] = (row[b] + wa * Z[b]) + za * u[b];
    }
    MirrorUpper(m, Nk);
}

void VarianceStep(int m, double **Nk, const double *g, const double *Z, double c, double *w,
                  double *u)
{
    RightFactor(m, Nk, g, nullptr, nullptr, w);
    for (int b = 0; b < m; b++)
        u[b] = c * Z[b];
    AddLeftRow(m, -1.0, g, Nk, w, Z, u);
    ApplyFactors(m, Nk, w, Z, u);
}

double OrdinaryBack(const Carry &c, const double *Z, double **estore, int s, double *pD)
{
    const int m = c.m;
    double *g = c.vec[0];
    const double v = estore[0][s], h = estore[ScalarRow(m)][s];
    GatherColumn(m, estore, 1, s, 1.0, g);
    const double e = v * h - dVecVec(m, g, c.r0);
    if (c.N0) {
        VarianceStep(m, c.N0, g, Z, h, c.vec[1], c.vec[2]);
        if (pD)
            *pD = h - dVecVec(m, g, c.vec[1]);
    } else if (pD) {
        *pD = h;
    }
    for (int j = 0; j < m; j++)
        c.r0[j] += e * Z[j];
    return e;
}

namespace {

/* The diffuse formula of the comment at the top. */
void DiffuseBack(const Carry &c, const double *Z, double **dstore, double **estore, int s)
{
    const int m = c.m;
    const double finf = dstore[ScalarRow(m)][s];
    const double v = estore[0][s], fstar = estore[ScalarRow(m)][s];
    double *K0 = c.vec[0], *J = c.vec[1];
    GatherColumn(m, dstore, 1, s, 1.0 / finf, K0);
    GatherColumn(m, estore, 1, s, 1.0 / finf, J);
    const double b0 = -dVecVec(m, K0, c.r0);
    const double b1 = v / finf - dVecVec(m, K0, c.r1) + dVecVec(m, J, c.r0);
    if (c.N0) {
        double *w0 = c.vec[2], *w1 = c.vec[3], *w2 = c.vec[4];
        double *u0 = c.vec[5], *u1 = c.vec[6], *u2 = c.vec[7];
        RightFactor(m, c.N0, K0, nullptr, nullptr, w0);
        RightFactor(m, c.N1, K0, c.N0, J, w1);
        RightFactor(m, c.N2, K0, c.N1, J, w2);
        for (int b = 0; b < m; b++) {
            u0[b] = 0.0;
            u1[b] = Z[b] / finf;
            u2[b] = -Z[b] * fstar / (finf * finf);
        }
        AddLeftRow(m, -1.0, K0, c.N0, w0, Z, u0);
        AddLeftRow(m, -1.0, K0, c.N1, w1, Z, u1);
        AddLeftRow(m, 1.0, J, c.N0, w0, Z, u1);
        AddLeftRow(m, -1.0, K0, c.N2, w2, Z, u2);
        AddLeftRow(m, 1.0, J, c.N1, w1, Z, u2);
        ApplyFactors(m, c.N0, w0, Z, u0);
        ApplyFactors(m, c.N1, w1, Z, u1);
        ApplyFactors(m, c.N2, w2, Z, u2);
    }
    for (int j = 0; j < m; j++) {
        c.r0[j] += b0 * Z[j];
        c.r1[j] += b1 * Z[j];
    }
}

} // namespace

void ExactBack(const Carry &c, const double *Z, double **dstore, double **estore, int s,
               int dstar)
{
    if (FIsNaN(estore[0][s]))
        return;
    const int m = c.m;
    if (s < dstar && dstore[KindRow(m)][s] == kDiffuse) {
        DiffuseBack(c, Z, dstore, estore, s);
        return;
    }
    OrdinaryBack(c, Z, estore, s, nullptr);
    if (s >= dstar)
        return;
    /* Inside the period r1, N1 and N2 go through the same L = I - K Z;
     * OrdinaryBack left K in vec[0]. */
    const double *K = c.vec[0];
    const double b1 = -dVecVec(m, K, c.r1);
    for (int j = 0; j < m; j++)
        c.r1[j] += b1 * Z[j];
    if (c.N1) {
        VarianceStep(m, c.N1, K, Z, 0.0, c.vec[1], c.vec[2]);
        VarianceStep(m, c.N2, K, Z, 0.0, c.vec[1], c.vec[2]);
    }
}

} // namespace lds_exact
