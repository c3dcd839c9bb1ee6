/*
 * conddens.cpp - LdsCondDens: smoothed or drawn states, signals and
 * disturbances in one call, and the forward pass LdsSignalSmo that turns
 * smoothed or drawn disturbances into states and signals.
 *
 * A draw (codes 2 and 4) runs the filter, the simulation smoother weights
 * and one draw for the state disturbances with positive variance, then
 * draws the initial state from its distribution given the data and the
 * drawn disturbances, N(a_1 + P_1 s, P_1 - P_1 S P_1) with s and S the
 * final backward vector and matrix, and runs the model forward.
 */
#include <cmath>
#include <limits>

#include "filter/filtercall.h"
#include "filter/kalman_core.h"
#include "model/check.h"
#include "model/hostcall.h"
#include "model/kernels.h"
#include "model/scalar.h"
#include "model/timevarying.h"
#include "simulate/simsmo.h"
#include "simulate/simsmodraw.h"
#include "simulate/simulate.h"
#include "smooth/kalmansmo.h"
#include "smooth/smooth.h"

namespace {

enum {
    COND_SMOOTHED = 1,
    COND_DRAWN = 2,
    COND_DISTURBANCES = 3,
    COND_DRAWN_DISTURBANCES = 4
};

/* A pivot of the initial variance below this fraction of the prior
 * variance counts as zero: what is left after the cancellation of
 * P_1 - P_1 S P_1 is rounding. */
const double kPivotFloor = 1e-13;

/* x = a draw from N(0, V) for the symmetric positive semi-definite m x m V
 * (destroyed): V = L D L' with L unit lower triangular, pivots at or below
 * kPivotFloor times scale[j] taken as 0, x = L D^(1/2) z for the m normal
 * numbers z (x and z may be the same array). */
void SemiDefiniteDraw(int m, double **V, const double *scale, double *z, double *x)
{
    for (int j = 0; j < m; j++) {
        double dj = V[j][j];
        for (int k = 0; k < j; k++)
            dj -= V[j][k] * V[j][k] * V[k][k];
        const bool zero = !(dj > kPivotFloor * std::fabs(scale[j]));
        V[j][j] = zero ? 0.0 : dj;
        for (int i = j + 1; i < m; i++) {
            double s = V[i][j];
            for (int k = 0; k < j; k++)
                s -= V[i][k] * V[j][k] * V[k][k];
            V[i][j] = zero ? 0.0 : s / dj;
        }
    }
    for (int j = 0; j < m; j++)
        z[j] *= std::sqrt(V[j][j]);
    for (int i = m - 1; i >= 0; i--) {
        double s = z[i];
        for (int j = 0; j < i; j++)
            s += V[i][j] * z[j];
        x[i] = s;
    }
}

/* The deviation of the initial state from a_1 + P_1 s: a draw with
 * variance P_1 - P_1 S P_1, S in the leading m x m block of A (destroyed),
 * into A[p][0..m-1].  Takes m normal numbers from the host.  B (3p x p) is
 * scratch: P_1 in rows 0..m-1, S P_1 in rows p+1..p+m. */
void InitialDeviation(int m, int p, double **Init, double vbig, double **A, double **B)
{
    double **P1 = B, **SP = B + p + 1;
    iLdsFilterStart(m, p, Init, vbig, B);
    for (int i = 0; i < m; i++)
        LdsColumnCombination(m, 0, m, A[i], P1, SP[i]);
    for (int i = 0; i < m; i++) {
        LdsColumnCombination(m, 0, m, P1[i], SP, A[i]);
        for (int j = 0; j < m; j++)
            A[i][j] = P1[i][j] - A[i][j];
    }
    /* The prior variances scale the pivots' floor (row p held a_1). */
    double *scale = B[p];
    for (int i = 0; i < m; i++)
        scale[i] = P1[i][i];
    double *z = A[p];
    MatRann(&z, 1, m);
    SemiDefiniteDraw(m, A, scale, z, z);
}

/* Var as the caller passed it, in the private copy: the forward pass takes
 * Vbig from it, as the filter did before any time-varying value was set. */
void RestoreVar(LdsCall *c)
{
    if (!c->varCopy)
        return;
    double **var = c->args[c->f + LDS_ARG_VAR].v.mval.data;
    for (int i = 0; i < c->d; i++)
        for (int j = 0; j < c->d; j++)
            c->varCopy[i][j] = var[i][j];
}

/* Code 3: Var_t times the smoothed residual, column by column. */
void SmoothedDisturbances(LdsCall *c, double **U, double **out)
{
    const int p = c->d;
    for (int t = 0; t < c->n; t++) {
        LdsApplyTV(t, c->m, p, nullptr, c->var, nullptr, nullptr, c->idxVar, nullptr, c->X);
        for (int i = 0; i < p; i++) {
            double s = 0.0;
            for (int j = 0; j < p; j++)
                s += c->var[i][j] * U[j][t + 1];
            out[i][t] = s;
        }
    }
}

/* Code 4: the drawn state disturbances, and data minus the drawn signal
 * (NaN where the data are missing). */
void DrawnDisturbances(LdsCall *c, double **U, double **out)
{
    for (int t = 0; t < c->n; t++) {
        for (int i = 0; i < c->m; i++)
            out[i][t] = U[i][t + 1];
        for (int j = 0; j < c->N; j++) {
            const double y = c->data[j][t];
            if (FIsNaN(y))
                SetNaN(&out[c->m + j][t]);
            else
                out[c->m + j][t] = y - out[c->m + j][t];
        }
    }
}

/* The result must be finite, except that code 4 leaves NaN in row m+j at
 * every time point where series j is missing. */
void RequireFiniteResult(LdsCall *c, int code, double **out)
{
    if (code != COND_DRAWN_DISTURBANCES) {
        LdsCallRequireFinite(c, out, c->d, c->n, 0);
        return;
    }
    LdsCallRequireFinite(c, out, c->m, c->n, 0);
    for (int j = 0; j < c->N && c->status == LDS_OK; j++)
        for (int t = 0; t < c->n; t++)
            if (!FIsNaN(c->data[j][t]) && !std::isfinite(out[c->m + j][t])) {
                c->status = LDS_FAILED;
                break;
            }
}

/* Storage of LdsCondDens beyond the frame's. */
struct CondWork {
    double **U;    /* 2p x (n+1): smoother output, or normal numbers and draws */
    double **B;    /* 3p x p, the weights' B-matrix */
    double **wgt;  /* weight store */
    int wgtRows;
    SimSelection sel;
};

int fCondWorkAlloc(CondWork *w, const LdsCall *c, int simulate, int r)
{
    const long long cols = static_cast<long long>(c->n) + 1;
    if (cols > std::numeric_limits<int>::max() ||
        2LL * c->d * cols > std::numeric_limits<int>::max())
        return 0;
    w->U = MatAllocBlock(2 * c->d, static_cast<int>(cols));
    if (!w->U)
        return 0;
    if (!simulate)
        return 1;
    w->wgtRows = iSimWeightRows(c->d, r);
    if (w->wgtRows < 0)
        return 0;
    w->wgt = MatAllocBlock(w->wgtRows, c->n);
    w->B = MatAllocBlock(3 * c->d, c->d);
    return w->wgt && w->B && fSimSelectionAlloc(&w->sel, c->d, r, nullptr, c->m, c->var);
}

void CondWorkFree(CondWork *w)
{
    double **blocks[] = {w->U, w->B, w->wgt};
    for (double **b : blocks)
        if (b)
            MatFreeBlock(b);
    w->U = w->B = w->wgt = nullptr;
    SimSelectionFree(&w->sel);
}

/* Codes 2 and 4 after the filter: weights, normal numbers, the draw of the
 * disturbances and of the initial state.  0 when a conditional variance
 * cannot be decomposed. */
int fDrawDisturbances(LdsCall *c, CondWork *w, int r)
{
    const int n = c->n, m = c->m, p = c->d;
    const int *flags = w->sel.flagTab[0];
    if (iLdsCallSimSmoWgt(c, w->B, c->store, r, flags, w->sel.C, w->wgt))
        return 0;
    MatRann(w->U, r, n + 1);
    /* The initial state's deviation goes below the backward vector in
     * column 0 (rows p..p+m-1, which the draw does not write). */
    InitialDeviation(m, p, c->init, dLdsVbig(p, c->args[c->f + LDS_ARG_VAR].v.mval.data),
                     c->pwork, w->B);
    for (int i = 0; i < m; i++)
        w->U[p + i][0] = c->pwork[p][i];
    LdsCallSimSmoDraw(c, nullptr, c->store, r, flags, nullptr, w->wgt, w->U, w->U);
    return 1;
}

}  // namespace

void LdsSignalSmo(int mode, int N, int n, int m, double **Sys, double **Var, double *Mean,
                  int **IdxSys, int **IdxVar, int *IdxMean, double **X, double **Init,
                  double **work, double **U, double **out)
{
    const int p = m + N;
    /* a_1 and P_1 as the filter starts from them; then a = a_1 + P_1 s. */
    iLdsFilterStart(m, p, Init, dLdsVbig(p, Var), work);
    double *a = work[p], *y = work[0];
    for (int i = 0; i < m; i++) {
        double s = a[i];
        for (int k = 0; k < m; k++)
            s += work[i][k] * U[k][0];
        a[i] = mode == LDS_SIGNAL_DRAW_INIT ? s + U[p + i][0] : s;
    }
    for (int t = 0; t < n; t++) {
        for (int i = 0; i < m; i++)
            out[i][t] = a[i];
        LdsApplyTV(t, m, p, Sys, Var, Mean, IdxSys, IdxVar, IdxMean, X);
        LdsMatVecFrom(p, m, Sys, a, Mean, y);
        for (int k = m; k < p; k++)
            out[k][t] = y[k];
        for (int i = 0; i < m; i++) {
            double next = y[i];
            if (mode == LDS_SIGNAL_SMOOTH) {
                /* The state rows of Var_t u_t: with correlated state and
                 * observation noise the observation part of u_t counts. */
                for (int k = 0; k < p; k++)
                    next += Var[i][k] * U[k][t + 1];
            } else {
                next += U[i][t + 1];
            }
            a[i] = next;
        }
    }
}

void FnLdsCondDens(KelVALUE *rtn, KelVALUE *args, int count)
{
    KelLibCheckType(KEL_INT, args, 0, 0);
    const int code = args[0].v.ival;
    if (code < COND_SMOOTHED || code > COND_DRAWN_DISTURBANCES)
        KelRunErrorMessage("LdsCondDens(): no valid selection in first argument");
    LdsCall c;
    LdsCallCheck(&c, "LdsCondDens", args, count, 1, LDS_LAYOUT_DATA);
    const int simulate = code == COND_DRAWN || code == COND_DRAWN_DISTURBANCES;
    int r = 0;
    for (int i = 0; i < c.m; i++)
        if (c.var[i][i] > 0.0)
            r++;
    if (simulate && r < 1)
        KelRunErrorMessage("LdsCondDens(): no simulations possible");

    KelLibValMatMalloc(rtn, c.d, c.n);
    LdsCallReleaseOnFailure(&c, rtn);
    double **out = rtn->v.mval.data;
    CondWork w = {};
    if (!out || !fLdsCallOpen(&c, 0, 1) || !fCondWorkAlloc(&w, &c, simulate, r))
        c.status = LDS_NOMEM;
    else
        fLdsCallFilter(&c, c.store, nullptr, nullptr, nullptr);

    double *mean = c.status == LDS_OK ? c.awork[c.d + 1] : nullptr;
    if (c.status == LDS_OK && !simulate) {
        LdsCallKalmanSmo(&c, c.store, nullptr, w.U);
        if (code == COND_SMOOTHED) {
            RestoreVar(&c);
            LdsSignalSmo(LDS_SIGNAL_SMOOTH, c.N, c.n, c.m, c.sys, c.var, mean, c.idxSys,
                         c.idxVar, c.idxMean, c.X, c.init, c.pwork, w.U, out);
        } else {
            SmoothedDisturbances(&c, w.U, out);
        }
    } else if (c.status == LDS_OK) {
        if (!fDrawDisturbances(&c, &w, r)) {
            c.status = LDS_FAILED;
        } else {
            RestoreVar(&c);
            LdsSignalSmo(LDS_SIGNAL_DRAW_INIT, c.N, c.n, c.m, c.sys, c.var, mean, c.idxSys,
                         c.idxVar, c.idxMean, c.X, c.init, c.pwork, w.U, out);
            if (code == COND_DRAWN_DISTURBANCES)
                DrawnDisturbances(&c, w.U, out);
        }
    }
    RequireFiniteResult(&c, code, out);
    CondWorkFree(&w);
    LdsCallClose(&c);
    LdsCallReport(&c, rtn, "LdsCondDens(): non-positive semi-definite innovation variance matrix");
}
