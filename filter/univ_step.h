/*
 * univ_step.h - the innovation and update steps of the one-series filter,
 * shared by the filter and the forward pass of moment estimation, and
 * compiled for the state counts below one block of four in the augmented
 * dimension.
 */
#ifndef VANTREL_FILTER_UNIV_STEP_H
#define VANTREL_FILTER_UNIV_STEP_H

#include "model/model.h"
#include "model/vecops.h"

/* k[0..m-1] *= finv, m >= 4, by blocks of four. */
void UnivScaleGains(int m, double *k, double finv);

/* P = A - M K' on the upper triangle of the m x m block, mirrored; column
 * m (M) and row m (K) of P are read only.  m >= 4. */
void UnivUpdateUpper(int m, double **P);

/* The innovation v and 1/F of one step, as held in registers. */
struct UnivInnovation {
    double v, finv;
};

/* v = y - predicted observation into a[m] and out; P[m][m] = 1/F (also in
 * out) and row m of P scaled to the gain K = M / F, P-work column m keeping
 * M.  0 when F is 0 or NaN.  kM, when not 0, is m known at compile time
 * (below one block of four): the element loops become straight-line code,
 * and the gains are also left in gains[0..kM-1], so that the update takes
 * them from registers instead of waiting for their stores to be read back;
 * gains is not used when kM is 0. */
template <int kM>
LDS_INLINE int UnivInnovationOf(int mRun, double y, double **P, double *a, const double *apred,
                                UnivInnovation *out, double *gains)
{
    const int m = kM ? kM : mRun;
    const double v = y - apred[m];
    a[m] = v;
    double F = P[m][m];
    /* A NaN variance would poison every later step while the run still
     * reported success, so it fails like a zero one. */
    if (F == 0.0 || FIsNaN(F))
        return 0;
    double finv = 1.0 / F;
    P[m][m] = finv;
    *out = UnivInnovation{v, finv};
    if (m >= 4) {
        UnivScaleGains(m, P[m], finv);
        return 1;
    }
    double *krow = P[m];
    lds_vec::ForEachIndex<kM>(m, [&](int j) __attribute__((always_inline)) {
        krow[j] = krow[j] * finv;
        if (kM)
            gains[j] = krow[j];
    });
    return 1;
}

/* a = a* + K v and P = A - M K', upper triangle computed and mirrored; K
 * from gains when kM is not 0, else from P row m. */
template <int kM>
LDS_INLINE void UnivUpdateOf(int mRun, double **P, double *a, const double *apred, double v,
                             const double *gains)
{
    const int m = kM ? kM : mRun;
    const double *krow = kM ? gains : P[m];
    lds_vec::ForEachIndex<kM>(m, [&](int i) __attribute__((always_inline)) {
        a[i] = apred[i] + krow[i] * v;
    });
    if (m >= 4) {
        UnivUpdateUpper(m, P);
        return;
    }
    /* Below one block of four the vector code would only add a call. */
    lds_vec::ForEachIndex<kM>(m, [&](int i) __attribute__((always_inline)) {
        lds_vec::ForEachIndex<kM>(m, [&](int j) __attribute__((always_inline)) {
            if (j >= i)
                P[i][j] = P[j][i] = P[i][j] - P[i][m] * krow[j];
        });
    });
}

/* State counts whose steps are compiled: one and two, where the mean goes
 * by rows (see LdsPredictOf). */
const int kUnivCompiledStates = 2;

#endif
