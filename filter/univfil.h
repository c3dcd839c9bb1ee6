/*
 * univfil.h - the steps of the filter for one series (filter/univfil.cpp),
 * shared with the moment forward pass.  Internal; the filter itself,
 * fUnivKalmanFil, is exported in filter/filter.h.
 */
#ifndef VANTREL_FILTER_UNIVFIL_H
#define VANTREL_FILTER_UNIVFIL_H

#include "model/kernels.h"

/* Column t of the one-series store from v and P-work row m, which holds
 * the gain row K followed by 1/F. */
void UnivStoreColumn(int m, int t, double v, const double *krow,
                     double **Store);

/* The innovation v and 1/F of one step of the filter for one series. */
struct UnivInnovation {
    double v, finv;
};

/* The innovation step for one series, on the augmented P-work whose row
 * and column m hold M' and M and whose [m][m] holds F:
 *   v = y - a*[m] (into a[m]),  1/F into P[m][m],  K = M / F into row m
 * (column m keeps M).  0 when F is 0 or NaN: a NaN variance would poison
 * every later step while the run still reported success, so it fails like
 * a zero one.  kM as in LdsPredictOf; the gains are also left in
 * gains[0..kM-1] for LdsUnivUpdateOf. */
template <int kM>
LDS_INLINE int LdsUnivInnovationOf(int mRun, double y, double **P, double *a,
                                   const double *apred, UnivInnovation *out, double *gains)
{
    const int m = kM ? kM : mRun;
    const double v = y - apred[m];
    a[m] = v;
    const double F = P[m][m];
    if (F == 0.0 || FIsNaN(F))
        return 0;
    const double finv = 1.0 / F;
    P[m][m] = finv;
    *out = UnivInnovation{v, finv};
    LdsScaleRowOf<kM>(m, P[m], finv, gains);
    return 1;
}

/* The update for one series: a = a* + K v and P = A - M K', the gain K
 * taken from gains when kM is not 0, else from row m. */
template <int kM>
LDS_INLINE void LdsUnivUpdateOf(int mRun, double **P, double *a, const double *apred,
                                double v, const double *gains)
{
    const int m = kM ? kM : mRun;
    const double *K = kM ? gains : P[m];
    LdsAddScaledOf<kM>(m, apred, K, v, a);
    LdsSymSubColRowOf<kM>(m, P, gains);
}

/* A missing observation: the whole augmented mean (innovation slot
 * included) takes the prediction, store column t NaN over zeros. */
void UnivSkipTimePoint(int m, int t, double **Store, double *a,
                       const double *apred);

#endif
