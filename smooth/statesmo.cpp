/*
 * statesmo.cpp - smoothed states and signals, and smoothed disturbances,
 * from the backward recursion over the store of the moment forward pass.
 *
 * State:       alpha_t|n = a_t + P_t r_{t-1},  V_t = P_t - P_t N_{t-1} P_t;
 *              signal Z_t alpha_t|n with variance Z_t V_t Z_t'.
 * Disturbance: Var_t u_t with Var_t D_t Var_t.
 */
#include "host/kel.h"
#include "model/kernels.h"
#include "model/timevarying.h"
#include "smooth/smooth.h"
#include "smooth/smooth_step.h"

namespace {

/* P_t into W's leading m x m block from the stored diagonal and strict
 * upper triangle, a_t into W row d; then Z_t P_t into W rows m..d-1. */
template <int kM = 0>
LDS_INLINE void RebuildPrediction(int N, int mRun, int t, double **Sys, double **momentIn,
                                  double **cov, double **W)
{
    const int m = kM ? kM : mRun;
    const int d = m + N;
    int row = 0;
    for (int i = 0; i < m; i++) {
        W[i][i] = momentIn[d + i][t];
        for (int j = i + 1; j < m; j++, row++)
            W[i][j] = W[j][i] = cov[row][t];
        W[d][i] = momentIn[i][t];
    }
    for (int k = 0; k < N; k++)
        LdsColumnCombinationOf<kM>(m, 0, m, Sys[m + k], W, W[m + k]);
}

/* States whose smoothed means StateColumn forms together. */
const int kFormBlock = 4;
/* Rows whose quadratic forms one kernel call takes, a multiple of the row
 * groups (two, three or four) in which the kernel forms them. */
const int kQuadFormChunk = 12;

/* Column t of the smoothed state and signal; S holds r_{t-1} and N_{t-1}.
 * Rows 0..d-1 of W hold P_t and Z_t P_t, so every variance is a diagonal
 * term less a quadratic form with N_{t-1} of one row of W:
 *   V_t = P_t - P_t N_{t-1} P_t,  Z_t V_t Z_t' = Z_t P_t Z_t' - (Z_t P_t) N_{t-1} (Z_t P_t)'.
 * N_{t-1} comes from the host's B' S B, which is exactly symmetric. */
template <int kM = 0>
LDS_INLINE void StateColumn(int N, int mRun, int t, double **Sys, double **S, double **W,
                            double **moment)
{
    const int m = kM ? kM : mRun;
    const int d = m + N;
    const double *r = S[d];
    /* alpha = a_t + P_t r as r' P_t (P_t is rebuilt exactly symmetric),
     * four states at a time. */
    for (int i = 0; i < m; i += kFormBlock) {
        const int to = m - i < kFormBlock ? m : i + kFormBlock;
        double pr[kFormBlock];
        LdsColumnCombinationOf<kM>(m, i, to, r, W, pr);
        for (int k = i; k < to; k++) {
            moment[k][t] = W[d][k] + pr[k - i];
            moment[d + k][t] = W[k][k];
        }
    }
    /* The signal Z alpha and the diagonal term Z P Z'. */
    for (int k = 0; k < N; k++) {
        const double *z = Sys[m + k];
        const double *zp = W[m + k];
        double mean = 0.0, zpz = 0.0;
        for (int j = 0; j < m; j++) {
            mean += z[j] * moment[j][t];
            zpz += z[j] * zp[j];
        }
        moment[m + k][t] = mean;
        moment[d + m + k][t] = zpz;
    }
    /* Less the quadratic forms, kQuadFormChunk rows at a time. */
    for (int i = 0; i < d; i += kQuadFormChunk) {
        const int rows = d - i < kQuadFormChunk ? d - i : kQuadFormChunk;
        double q[kQuadFormChunk];
        LdsQuadFormsSymOf<kM>(rows, m, W + i, S, q);
        for (int k = 0; k < rows; k++)
            moment[d + i + k][t] -= q[k];
    }
}

/* The backward loop; kM as in SmoothBackStepOf. */
template <int kM>
LDS_INLINE void StateSmoSteps(int layout, int N, int n, int mRun, double **Sys, int **IdxSys,
                              double **X, double **S, double **W, double **store,
                              double **momentIn, double **cov, double **momentOut)
{
    const int m = kM ? kM : mRun;
    const int d = m + N;
    SmoothStart(d, S);
    for (int t = n - 1; t >= 0; t--) {
        LdsApplyTV(t, m, d, Sys, nullptr, nullptr, IdxSys, nullptr, nullptr, X);
        SmoothResidual(layout, N, m, store, t, S, W);
        SmoothBackStepOf<kM>(layout, N, m, Sys, S, W);
        RebuildPrediction<kM>(N, m, t, Sys, momentIn, cov, W);
        StateColumn<kM>(N, m, t, Sys, S, W, momentOut);
    }
}

/* Var u and the diagonal of Var D Var, each through S row d (r is no
 * longer needed: u keeps it), into column t; then the step back, which
 * still reads the gains in S.  kM as
 * in SmoothBackStepOf. */
template <int kM>
LDS_INLINE void DisturbSmoSteps(int layout, int N, int n, int mRun, double **Sys, double **Var,
                                int **IdxSys, int **IdxVar, double **X, double **S,
                                double **W, double **store, double **moment)
{
    const int m = kM ? kM : mRun;
    const int d = m + N;
    SmoothStart(d, S);
    for (int t = n - 1; t >= 0; t--) {
        LdsApplyTV(t, m, d, Sys, Var, nullptr, IdxSys, IdxVar, nullptr, X);
        SmoothResidual(layout, N, m, store, t, S, W);
        /* Var u, each element summed from 0.0 over increasing columns. */
        for (int k = 0; k < d; k++)
            S[d][k] = 0.0;
        LdsMatVecFrom(d, d, Var, W[d], S[d], S[d]);
        for (int k = 0; k < d; k++)
            moment[k][t] = S[d][k];
        /* The diagonal of Var D Var, row by row of Var. */
        LdsQuadFormsSym(d, d, Var, W, S[d]);
        for (int k = 0; k < d; k++)
            moment[d + k][t] = S[d][k];
        SmoothBackStepOf<kM>(layout, N, m, Sys, S, W);
    }
}

void StateSmoRun(int layout, int N, int n, int m, double **Sys, int **IdxSys,
                 double **X, double **S, double **W, double **store,
                 double **momentIn, double **cov, double **momentOut)
{
    LdsWithCompiledStates(m, [&](auto k) __attribute__((always_inline)) {
        StateSmoSteps<decltype(k)::value>(layout, N, n, m, Sys, IdxSys, X, S, W, store,
                                          momentIn, cov, momentOut);
    });
}

void DisturbSmoRun(int layout, int N, int n, int m, double **Sys, double **Var,
                   int **IdxSys, int **IdxVar, double **X, double **S,
                   double **W, double **store, double **moment)
{
    LdsWithCompiledStates(m, [&](auto k) __attribute__((always_inline)) {
        DisturbSmoSteps<decltype(k)::value>(layout, N, n, m, Sys, Var, IdxSys, IdxVar, X, S,
                                            W, store, moment);
    });
}

}  // namespace

void MultiStateSmo(int N, int n, int m, double **Sys, int **IdxSys, double **X,
                   double **S, double **W, double **store, double **momentIn,
                   double **cov, double **momentOut)
{
    StateSmoRun(SMO_LAYOUT_MULTI, N, n, m, Sys, IdxSys, X, S, W, store,
                momentIn, cov, momentOut);
}

void UnivStateSmo(int n, int m, double **Sys, int **IdxSys, double **X,
                  double **S, double **W, double **store, double **momentIn,
                  double **cov, double **momentOut)
{
    StateSmoRun(SMO_LAYOUT_UNIV, 1, n, m, Sys, IdxSys, X, S, W, store,
                momentIn, cov, momentOut);
}

void MultiDisturbSmo(int N, int n, int m, double **Sys, double **Var,
                     int **IdxSys, int **IdxVar, double **X, double **S,
                     double **W, double **store, double **moment)
{
    DisturbSmoRun(SMO_LAYOUT_MULTI, N, n, m, Sys, Var, IdxSys, IdxVar, X, S, W,
                  store, moment);
}

void UnivDisturbSmo(int n, int m, double **Sys, double **Var, int **IdxSys,
                    int **IdxVar, double **X, double **S, double **W,
                    double **store, double **moment)
{
    DisturbSmoRun(SMO_LAYOUT_UNIV, 1, n, m, Sys, Var, IdxSys, IdxVar, X, S, W,
                  store, moment);
}
