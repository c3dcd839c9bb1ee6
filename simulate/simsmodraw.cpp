/*
 * simsmodraw.cpp - one draw of the simulation smoother and SimSmoDraw.
 *
 * Backward from the last time point with s = 0:
 *
 *   e_t = (s_t ; F^-1 v_t - K' s_t)
 *   u_t[i_k] = (M_t z_t)[k] + (Var_t e_t)[i_k]   (0 for the other elements)
 *   s_{t-1} = Sys_t' (e_t - Wn_t' z_t)
 *
 * The filter store and the weight store are read in place, column t at
 * time point t, so a draw costs vector operations only.
 */
#include "simulate/simsmodraw.h"

#include <limits>

#include "model/check.h"
#include "model/hostcall.h"
#include "model/kernels.h"
#include "model/scalar.h"
#include "model/timevarying.h"
#include "simulate/simsmo.h"
#include "simulate/simulate.h"

namespace {

/* e = (s ; F^-1 v - K' s) from store column t.  A series with a NaN
 * innovation is missing: its innovation, gain column and row and column of
 * F^-1 count as 0.  F^-1[j][q] is stored at row m+min(j,q) of the block of
 * series max(j,q). */
void Residual(int N, int m, double **store, int t, const double *s, double *e)
{
    for (int i = 0; i < m; i++)
        e[i] = s[i];
    int block = N;
    for (int j = 0; j < N; j++) {
        double fv = 0.0, ks = 0.0;
        if (!FIsNaN(store[j][t])) {
            int other = N;
            for (int q = 0; q < N; q++) {
                const double v = store[q][t];
                if (!FIsNaN(v))
                    fv += (q <= j ? store[block + m + q][t] : store[other + m + j][t]) * v;
                other += m + 1 + q;
            }
            for (int i = 0; i < m; i++)
                ks += store[block + i][t] * s[i];
        }
        e[m + j] = fv - ks;
        block += m + 1 + j;
    }
}

/* u_t into column t+1 of out from weight store column t and z_t. */
void Draw(int p, int r, int t, const int *flags, double **Var, const double *e,
          double **wgt, double **z, double **out)
{
    for (int i = 0, k = 0; i < p; i++) {
        if (!flags[i]) {
            out[i][t + 1] = 0.0;
            continue;
        }
        /* M[k][l] is row p + k - l of block l. */
        double u = 0.0;
        for (int l = 0, block = 0; l <= k; block += p + r - l, l++)
            u += wgt[block + p + k - l][t] * z[l][t];
        for (int c = 0; c < p; c++)
            u += Var[i][c] * e[c];
        out[i][t + 1] = u;
        k++;
    }
}

/* e = e - Wn' z, each element's sum from 0.0 in increasing k. */
void Subtract(int p, int r, int t, double **wgt, double **z, double *e, double *acc)
{
    for (int c = 0; c < p; c++)
        acc[c] = 0.0;
    for (int k = 0, block = 0; k < r; block += p + r - k, k++) {
        const double zk = z[k][t];
        for (int c = 0; c < p; c++)
            acc[c] += wgt[block + c][t] * zk;
    }
    for (int c = 0; c < p; c++)
        e[c] = e[c] - acc[c];
}

void SimSmoDrawRun(int N, int n, int m, double **Sys, double **Var, int **IdxSys,
                   int **IdxVar, double **X, double **V, double **store, int r,
                   const int *flags, double **wgt, double **z, double **out)
{
    const int p = m + N;
    double *s = V[0], *e = V[1];
    for (int i = 0; i < m; i++)
        s[i] = 0.0;
    for (int t = n - 1; t >= 0; t--) {
        LdsApplyTV(t, m, p, Sys, Var, nullptr, IdxSys, IdxVar, nullptr, X);
        Residual(N, m, store, t, s, e);
        Draw(p, r, t, flags, Var, e, wgt, z, out);
        /* s is not read again before it is replaced: its row (p entries)
         * is the scratch of the subtraction. */
        Subtract(p, r, t, wgt, z, e, V[0]);
        LdsColumnCombination(p, 0, m, e, Sys, s);
    }
    for (int i = 0; i < p; i++)
        out[i][0] = i < m ? s[i] : 0.0;
}

}  // namespace

void MultiSimSmoDraw(int N, int n, int m, double **Sys, double **Var, int **IdxSys,
                     int **IdxVar, double **X, double ** /*A*/, double **V, double **store,
                     int r, const int *flags, double ** /*C*/, double **wgt, double **z,
                     double **out)
{
    SimSmoDrawRun(N, n, m, Sys, Var, IdxSys, IdxVar, X, V, store, r, flags, wgt, z, out);
}

void UnivSimSmoDraw(int n, int m, double **Sys, double **Var, int **IdxSys, int **IdxVar,
                    double **X, double ** /*A*/, double **V, double **store, int r,
                    const int *flags, double ** /*C*/, double **wgt, double **z,
                    double **out)
{
    SimSmoDrawRun(1, n, m, Sys, Var, IdxSys, IdxVar, X, V, store, r, flags, wgt, z, out);
}

void LdsCallSimSmoDraw(LdsCall *c, double **A, double **store, int r, const int *flags,
                       double **C, double **wgt, double **z, double **out)
{
    if (c->N == 1)
        UnivSimSmoDraw(c->n, c->m, c->sys, c->var, c->idxSys, c->idxVar, c->X, A, c->awork,
                       store, r, flags, C, wgt, z, out);
    else
        MultiSimSmoDraw(c->N, c->n, c->m, c->sys, c->var, c->idxSys, c->idxVar, c->X, A,
                        c->awork, store, r, flags, C, wgt, z, out);
}

void FnSimSmoDraw(KelVALUE *rtn, KelVALUE *args, int count)
{
    LdsCall c;
    LdsCallCheckNoCopy(&c, "SimSmoDraw", args, count, 3, LDS_LAYOUT_STORE);
    const int r = iSimCheckSelection(args, 2, c.d, "SimSmoDraw(): zero vector in argument 1");
    double **sel = args[0].v.mval.data;
    KelLibCheckMatrixSize(args, 1, 1, r, c.n);
    /* A row count beyond an int matches no matrix. */
    KelLibCheckMatrixSize(args, 2, 2, iSimWeightRows(c.d, r), c.n);

    double **out = nullptr;
    if (c.n < std::numeric_limits<int>::max()) {
        KelLibValMatMalloc(rtn, c.d, c.n + 1);
        LdsCallReleaseOnFailure(&c, rtn);
        out = rtn->v.mval.data;
    }
    SimSelection s = {};
    if (!out || !fLdsCallOpen(&c, 0, 0) || !fSimSelectionAlloc(&s, c.d, r, sel, 0, nullptr)) {
        c.status = LDS_NOMEM;
    } else {
        double **z = args[1].v.mval.data, **wgt = args[2].v.mval.data;
        LdsCallSimSmoDraw(&c, c.pwork, c.data, r, s.flagTab[0], s.C, wgt, z, out);
        /* Numbers, weights or a store beyond the range of a double (or NaN
         * in them) make no draw. */
        LdsCallRequireFinite(&c, out, c.d, c.n + 1, 0);
    }
    SimSelectionFree(&s);
    LdsCallClose(&c);
    LdsCallReport(&c, rtn, "SimSmoDraw(): draw not finite");
}
