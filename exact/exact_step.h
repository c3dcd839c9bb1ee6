/*
 * exact_step.h - what the exact diffuse filter and smoothers share: the
 * rows of the two per-step stores, the initial state as the filter reads
 * it from Init, and the backward step of the cumulants r and of the
 * smoothing variances N.  Internal.
 */
#ifndef VANTREL_EXACT_EXACT_STEP_H
#define VANTREL_EXACT_EXACT_STEP_H

#include <cmath>

/* What every exact routine builds on: the scalar helpers, the pattern
 * products and the time-varying elements. */
#include "model/pattern.h"
#include "model/scalar.h"
#include "model/timevarying.h"

namespace lds_exact {

/* Step kinds, row m+2 of both stores. */
const double kDiffuse = 0.0;
const double kOrdinary = 1.0;
const double kMissing = -1.0;
const double kSkipped = 2.0;

/* The diffuse variance is carried scaled by this while it is reduced, and
 * a step counts as diffuse when its scaled F_inf exceeds kDiffuseTol. */
const double kInfScale = 100.0;
const double kDiffuseTol = 1e-07;

/* Rows of a store column s: 0 the value, 1..m the vector, m+1 the scalar,
 * m+2 the kind. */
inline int KindRow(int m) { return m + 2; }
inline int ScalarRow(int m) { return m + 1; }

/* Element i is diffuse: Init absent, or a negative diagonal element. */
inline bool IsDiffuse(double **Init, int i) { return !Init || Init[i][i] < 0.0; }

/* The initial diffuse variance (absolute Init entries between diffuse
 * elements, the lower triangle read; the identity without Init). */
inline double InitInf(double **Init, int a, int b)
{
    if (!Init)
        return a == b ? 1.0 : 0.0;
    if (!IsDiffuse(Init, a) || !IsDiffuse(Init, b))
        return 0.0;
    return std::fabs(a >= b ? Init[a][b] : Init[b][a]);
}

/* The initial finite variance (Init entries between non-diffuse elements,
 * the lower triangle read; zero without Init). */
inline double InitStar(double **Init, int a, int b)
{
    if (!Init || IsDiffuse(Init, a) || IsDiffuse(Init, b))
        return 0.0;
    return a >= b ? Init[a][b] : Init[b][a];
}

/* The initial mean: Init's last row for the non-diffuse elements. */
inline double InitMean(double **Init, int m, int a)
{
    return IsDiffuse(Init, a) ? 0.0 : Init[m][a];
}

/* x[0..m-1] = rows first..first+m-1 of column s of a store, times f. */
inline void GatherColumn(int m, double **store, int first, int s, double f, double *x)
{
    for (int j = 0; j < m; j++)
        x[j] = f * store[first + j][s];
}

/* A[j][k] = A[k][j] for k < j < m: the lower triangle from the upper. */
inline void MirrorUpper(int m, double **A)
{
    for (int j = 1; j < m; j++)
        for (int k = 0; k < j; k++)
            A[j][k] = A[k][j];
}

/* P := (I - K Z) P (I - K Z)' + (F - Z P Z') K K' for a symmetric P, with
 * M = P Z': P += -K M' - M K' + F K K' over the upper triangle, mirrored.
 * F = Z P Z' gives the update without observation noise. */
inline void GainUpdate(int m, double **P, const double *K, const double *M, double F)
{
    for (int r = 0; r < m; r++)
        for (int c = r; c < m; c++)
            P[r][c] += -K[r] * M[c] - M[r] * K[c] + F * K[r] * K[c];
    MirrorUpper(m, P);
}

/* P = the symmetric matrix with diagonal column t of rows diag..diag+m-1
 * of D and strict lower triangle column t of L (P[1][0], P[2][0], P[2][1],
 * ... row by row; L may be null for m = 1). */
void RebuildVariance(int m, double **D, int diag, double **L, int t, double **P);

/* Writes column t of L from the strict lower triangle of P, times f. */
void StoreLower(int m, double **P, double f, double **L, int t);

/* y = T' x (T = rows 0..m-1 of Sys), through tmp; x and y may be one
 * vector. */
void BackTransition(int m, int **pat, double **Sys, double *x, double *tmp);

/*
 * One backward step of a smoothing variance through the scalar update
 * L = I - g Z:  N := L' N L + Z' c Z, formed as products: the right
 * factor first, R = N + w Z with w = -N g, then the left one,
 * N = R + Z' u with u = -g' R + c Z (rows of R summed as they are
 * rounded), over the upper triangle and mirrored.  No expansion whose
 * terms cancel is formed.  Needs two vectors w and u of m.
 */
void VarianceStep(int m, double **Nk, const double *g, const double *Z, double c, double *w,
                  double *u);

/* w = -(Na x) + Nb y (Nb null: no second term); all m. */
void RightFactor(int m, double **Na, const double *x, double **Nb, const double *y, double *w);

/* u[b] += f sum_c x[c] (N[c][b] + w[c] Z[b]): the row x' R of the right
 * product R = N + w Z, as its entries are rounded. */
void AddLeftRow(int m, double f, const double *x, double **Nk, const double *w,
                const double *Z, double *u);

/* N[a][b] = (N[a][b] + w[a] Z[b]) + Z[a] u[b] over a <= b, mirrored. */
void ApplyFactors(int m, double **Nk, const double *w, const double *Z, const double *u);

/* The cumulants a backward pass carries and its scratch vectors. */
struct Carry {
    int m;
    double *r0, *r1;          /* r1 null: r0 alone */
    double **N0, **N1, **N2;  /* null when variances are not carried */
    double *vec[8];           /* scratch, m each (2 for r0 and N0 only) */
};

/* Ordinary backward step with store column s (v, g, h): e = v h - g' r0,
 * r0 += e Z'; with N0, D = h + g' N0 g and N0 := L' N0 L + Z' h Z.
 * Returns e, D in *pD (when given).  Uses vec[0..2]. */
double OrdinaryBack(const Carry &c, const double *Z, double **estore, int s, double *pD);

/* Backward step s of the state smoothers: skipped when missing; inside the
 * diffuse period (s < d*) a step of diffuse kind takes the diffuse formula
 * for r0, r1 (and N0, N1, N2), any other step the ordinary one, which also
 * carries r1, N1 and N2 through L = I - K Z. */
void ExactBack(const Carry &c, const double *Z, double **dstore, double **estore, int s,
               int dstar);

} // namespace lds_exact

#endif
