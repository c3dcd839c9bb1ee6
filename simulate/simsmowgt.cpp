/*
 * simsmowgt.cpp - the simulation smoother weights and SimSmoWgt.
 *
 * Backward from the last time point, with S_t the backward matrix (0 after
 * the last time point), K_t the gains, L_t = T_t - K_t Z_t and
 * D_t = [S, -S K; -K' S, F^-1 + K' S K]:
 *
 *   W_t  = rows i_k of Var_t D_t                      (r x p)
 *   C_t  = selected block of Var_t - Var_t D_t Var_t  (r x r) = M_t M_t'
 *   Wn_t = M_t^-1 W_t
 *   S_{t-1} = Sys_t' (D_t + Wn_t' Wn_t) Sys_t
 *           = L' S L + Z' F^-1 Z + H' H,  H = Wn_t Sys_t.
 *
 * With v = row i_k of Var_t split into its state part v_s and observation
 * part v_o, and x = S (v_s - K v_o), row k of W_t is (x', v_o' F^-1 - x' K)
 * and row k of W_t Sys_t is x' L + v_o' F^-1 Z, so D_t itself is never
 * formed.  S_{t-1} is built from L, made first: expanding Sys' D Sys adds
 * terms of the size of T' S T that cancel when L is small, and the rounding
 * they leave can make S_{t-1}, and with it the next C_t, indefinite.
 *
 * Workspace: A (p+1) x p holds S in its leading m x m block, the gains in
 * rows 0..m-1 and F^-1 in rows m..p-1 of columns m..p-1, and scratch (the
 * pivots) in row p.  B (3p x p): L in rows 0..m-1 and F^-1 Z in rows
 * m..p-1 (first m columns); W_t, then Wn_t, in rows p..p+r-1 and then
 * L' S, made S L in place, in rows p..p+m-1; W_t Sys_t, then H, in rows
 * 2p..2p+r-1.
 */
#include <cmath>
#include <limits>


#include "model/check.h"
#include "model/hostcall.h"
#include "model/kernels.h"
#include "model/scalar.h"
#include "model/timevarying.h"
#include "simulate/simsmo.h"
#include "simulate/simulate.h"

namespace {

/* Column t of the filter store into A: gain K[i][j] at A[i][m+j], F^-1 at
 * A[m+l][m+j] made symmetric.  A series whose innovation is NaN is missing:
 * its gain column and its row and column of F^-1 are 0. */
LDS_INLINE void LoadGains(int N, int m, double **store, int t, double **A)
{
    int row = N;
    for (int j = 0; j < N; j++) {
        const bool miss = FIsNaN(store[j][t]);
        for (int i = 0; i < m; i++, row++)
            A[i][m + j] = miss ? 0.0 : store[row][t];
        for (int l = 0; l <= j; l++, row++)
            A[m + l][m + j] = A[m + j][m + l] =
                (miss || FIsNaN(store[l][t])) ? 0.0 : store[row][t];
    }
}

/* L = T - K Z and F^-1 Z into the first m columns of rows 0..p-1 of B:
 * row i of K Z is (row i of K)' Z, each sum from 0.0 in increasing k; acc
 * is scratch of m doubles. */
template <int kM>
LDS_INLINE void GainedTransition(int N, int mRun, double **Sys, double **A, double **B,
                                 double *acc)
{
    const int m = kM ? kM : mRun;
    double **Z = Sys + m;
    for (int i = 0; i < m; i++) {
        LdsColumnCombinationOf<kM>(N, 0, m, A[i] + m, Z, acc);
        for (int j = 0; j < m; j++)
            B[i][j] = Sys[i][j] - acc[j];
    }
    for (int k = 0; k < N; k++)
        LdsColumnCombinationOf<kM>(N, 0, m, A[m + k] + m, Z, B[m + k]);
}

/* Row k of W_t into W[k] and of W_t Sys_t into WS[k], for each selected
 * element i; acc is scratch of m doubles. */
template <int kM>
LDS_INLINE void SelectedWeights(int N, int mRun, const int *flags, double **Var, double **A,
                                double **B, double **W, double **WS, double *acc)
{
    const int m = kM ? kM : mRun;
    const int p = m + N;
    for (int i = 0, k = 0; i < p; i++) {
        if (!flags[i])
            continue;
        const double *v = Var[i];
        /* v_s - K v_o, then x = S (v_s - K v_o) into W's first m columns. */
        for (int l = 0; l < m; l++) {
            double kv = 0.0;
            for (int j = 0; j < N; j++)
                kv += A[l][m + j] * v[m + j];
            acc[l] = v[l] - kv;
        }
        double *w = W[k];
        LdsColumnCombinationOf<kM>(m, 0, m, acc, A, w);
        /* v_o' F^-1 - x' K. */
        LdsColumnCombinationOf<kM>(m, m, p, w, A, w + m);
        LdsColumnCombinationOf<kM>(N, m, p, v + m, A + m, acc);
        for (int j = 0; j < N; j++)
            w[m + j] = acc[j] - w[m + j];
        /* x' L + v_o' F^-1 Z. */
        LdsColumnCombinationOf<kM>(m, 0, m, w, B, WS[k]);
        LdsColumnCombinationOf<kM>(N, 0, m, v + m, B + m, acc);
        for (int j = 0; j < m; j++)
            WS[k][j] += acc[j];
        k++;
    }
}

/* C[k][q] = Var[i_k][i_q] - W[k] Var[.][i_q] for q <= k, mirrored: the
 * row W[k] Var (each element summed over increasing c from 0.0) into y,
 * p doubles of scratch, then its selected elements. */
template <int kM>
LDS_INLINE void ConditionalVariance(int p, const int *flags, double **Var, double **W,
                                    double **C, double *y)
{
    for (int i = 0, k = 0; i < p; i++) {
        if (!flags[i])
            continue;
        LdsColumnCombinationOf<kM>(p, 0, p, W[k], Var, y);
        for (int j = 0, q = 0; q <= k; j++)
            if (flags[j]) {
                C[k][q] = C[q][k] = Var[i][j] - y[j];
                q++;
            }
        k++;
    }
}

/* C = M M' through ILDLdec: M[k][k] = 1/sqrt(d[k]), M[k][l] = L[k][l] M[l][l],
 * in C's lower triangle.  d goes to piv.  Result: that of ILDLdec. */
LDS_INLINE int iFactor(int r, double **C, double *piv)
{
    const int status = ILDLdec(C, piv, r);
    if (status)
        return status;
    for (int k = 0; k < r; k++) {
        C[k][k] = 1.0 / std::sqrt(piv[k]);
        for (int l = 0; l < k; l++)
            C[k][l] = C[k][l] * C[l][l];
    }
    return 0;
}

/* Rows 0..r-1 of Y (cols wide) become M^-1 Y by forward substitution,
 * y[k] = (y[k] - sum_{l<k} M[k][l] y[l]) / M[k][k], the sum from 0.0 in
 * increasing l; acc is scratch of cols doubles. */
LDS_INLINE void ForwardSolveRows(int r, int cols, double **M, double **Y, double *acc)
{
    for (int k = 0; k < r; k++) {
        for (int c = 0; c < cols; c++)
            acc[c] = 0.0;
        for (int l = 0; l < k; l++) {
            const double mkl = M[k][l];
            for (int c = 0; c < cols; c++)
                acc[c] += mkl * Y[l][c];
        }
        const double mkk = M[k][k];
        for (int c = 0; c < cols; c++)
            Y[k][c] = (Y[k][c] - acc[c]) / mkk;
    }
}

/* Column t of the weight store: per k, Wn[k][0..p-1], then M[k..r-1][k]. */
LDS_INLINE void StoreColumn(int p, int r, int t, double **Wn, double **M, double **wgt)
{
    int row = 0;
    for (int k = 0; k < r; k++) {
        for (int c = 0; c < p; c++)
            wgt[row++][t] = Wn[k][c];
        for (int q = k; q < r; q++)
            wgt[row++][t] = M[q][k];
    }
}

/* S_{t-1} = L' S L + Z' F^-1 Z + H' H into A's leading block: Q = L' S,
 * transposed in place into S L; then S_{t-1} = L' (S L), plus Z' (F^-1 Z),
 * plus H' H, each element's terms in that order; the lower triangle is
 * mirrored.  The zero entries of L (a sparse transition keeps most of
 * them) are left out of the sums. */
template <int kM>
LDS_INLINE void BackStep(int N, int mRun, int r, double **Sys, double **A, double **B,
                         double **Q, double **H)
{
    const int m = kM ? kM : mRun;
    double **L = B, **Z = Sys + m, **FZ = B + m;
    LdsTransposeProductFromOf<kM>(m, m, m, L, A, nullptr, Q);
    for (int j = 0; j < m; j++)
        for (int c = 0; c < j; c++) {
            const double x = Q[j][c];
            Q[j][c] = Q[c][j];
            Q[c][j] = x;
        }
    LdsTransposeProductFromOf<kM>(m, m, m, L, Q, nullptr, A);
    LdsTransposeProductFromOf<kM>(N, m, m, Z, FZ, A, A);
    LdsTransposeProductFromOf<kM>(r, m, m, H, H, A, A);
    for (int i = 0; i < m; i++)
        for (int j = 0; j < i; j++)
            A[j][i] = A[i][j];
}

/* The backward loop; kM is m when it is one of the compiled state counts
 * (kLdsCompiledStates), else 0. */
template <int kM>
LDS_INLINE int SimSmoWgtSteps(int N, int n, int mRun, double **Sys, double **Var,
                              int **IdxSys, int **IdxVar, double **X, double **A, double **B,
                              double **store, int r, const int *flags, double **C,
                              double **wgt)
{
    const int m = kM ? kM : mRun;
    const int p = m + N;
    double **W = B + p, **WS = B + 2 * p, **Q = B + p;
    double *scratch = A[p];
    MatZero(A, p + 1, p);
    for (int t = n - 1; t >= 0; t--) {
        LdsApplyTV(t, m, p, Sys, Var, nullptr, IdxSys, IdxVar, nullptr, X);
        LoadGains(N, m, store, t, A);
        GainedTransition<kM>(N, m, Sys, A, B, scratch);
        SelectedWeights<kM>(N, m, flags, Var, A, B, W, WS, scratch);
        ConditionalVariance<kM>(p, flags, Var, W, C, scratch);
        const int status = iFactor(r, C, scratch);
        if (status)
            return status;
        ForwardSolveRows(r, p, C, W, scratch);
        StoreColumn(p, r, t, W, C, wgt);
        ForwardSolveRows(r, m, C, WS, scratch);
        BackStep<kM>(N, m, r, Sys, A, B, Q, WS);
    }
    return 0;
}

int iSimSmoWgtRun(int N, int n, int m, double **Sys, double **Var, int **IdxSys,
                  int **IdxVar, double **X, double **A, double **B, double **store,
                  int r, const int *flags, double **C, double **wgt)
{
    return LdsWithCompiledStates(m, [&](auto k) __attribute__((always_inline)) {
        return SimSmoWgtSteps<decltype(k)::value>(N, n, m, Sys, Var, IdxSys, IdxVar, X, A, B,
                                                   store, r, flags, C, wgt);
    });
}

}  // namespace

int iSimCheckSelection(KelVALUE *args, int lastMatrix, int p, const char *zeroMessage)
{
    KelLibCheckType(KEL_MATRIX, args, 0, lastMatrix);
    KelLibCheckMatrixSize(args, 0, 0, p, p);
    double **sel = args[0].v.mval.data;
    int r = 0;
    for (int i = 0; i < p; i++)
        /* A NaN compares unequal to 0.0 and so selects its element. */
        if (sel[i][i] != 0.0)
            r++;
    if (r == 0)
        KelRunErrorMessage(zeroMessage);
    return r;
}

int iSimWeightRows(int p, int r)
{
    const long long rows = static_cast<long long>(p) * r + static_cast<long long>(r) * (r + 1) / 2;
    return rows <= std::numeric_limits<int>::max() ? static_cast<int>(rows) : -1;
}

int fSimSelectionAlloc(SimSelection *s, int p, int r, double **sel, int m, double **var)
{
    s->p = p;
    s->r = r;
    s->flagTab = reinterpret_cast<int **>(TabAllocPlain(1, p, sizeof(int)));
    s->C = MatAllocBlock(r, r);
    if (!s->flagTab || !s->C)
        return 0;
    int *flags = s->flagTab[0];
    for (int i = 0; i < p; i++)
        flags[i] = sel ? sel[i][i] != 0.0 : (i < m && var[i][i] > 0.0);
    return 1;
}

void SimSelectionFree(SimSelection *s)
{
    if (s->flagTab)
        TabFreePlain(reinterpret_cast<void **>(s->flagTab), 1, s->p);
    if (s->C)
        MatFreeBlock(s->C);
    s->flagTab = nullptr;
    s->C = nullptr;
}

int iMultiSimSmoWgt(int N, int n, int m, double **Sys, double **Var, int **IdxSys,
                    int **IdxVar, double **X, double **A, double **B, double **store,
                    int r, const int *flags, double **C, double **wgt)
{
    return iSimSmoWgtRun(N, n, m, Sys, Var, IdxSys, IdxVar, X, A, B, store, r, flags, C, wgt);
}

int iUnivSimSmoWgt(int n, int m, double **Sys, double **Var, int **IdxSys, int **IdxVar,
                   double **X, double **A, double **B, double **store, int r,
                   const int *flags, double **C, double **wgt)
{
    return iSimSmoWgtRun(1, n, m, Sys, Var, IdxSys, IdxVar, X, A, B, store, r, flags, C, wgt);
}

int iLdsCallSimSmoWgt(LdsCall *c, double **B, double **store, int r, const int *flags,
                      double **C, double **wgt)
{
    if (c->N == 1)
        return iUnivSimSmoWgt(c->n, c->m, c->sys, c->var, c->idxSys, c->idxVar, c->X, c->pwork,
                              B, store, r, flags, C, wgt);
    return iMultiSimSmoWgt(c->N, c->n, c->m, c->sys, c->var, c->idxSys, c->idxVar, c->X,
                           c->pwork, B, store, r, flags, C, wgt);
}

void FnSimSmoWgt(KelVALUE *rtn, KelVALUE *args, int count)
{
    LdsCall c;
    LdsCallCheckNoCopy(&c, "SimSmoWgt", args, count, 1, LDS_LAYOUT_STORE);
    const int r = iSimCheckSelection(args, 0, c.d, "SimSmoWgt(): zero vector in argument 1");
    double **sel = args[0].v.mval.data;

    const int rows = iSimWeightRows(c.d, r);
    double **wgt = nullptr;
    if (rows >= 0) {
        KelLibValMatMalloc(rtn, rows, c.n);
        LdsCallReleaseOnFailure(&c, rtn);
        wgt = rtn->v.mval.data;
    }
    SimSelection s = {};
    /* A-work, the B-matrix, gets 2p - 2 rows beyond its usual p + 2. */
    if (!wgt || !fLdsCallOpen(&c, 2 * c.d - 2, 0) ||
        !fSimSelectionAlloc(&s, c.d, r, sel, 0, nullptr)) {
        c.status = LDS_NOMEM;
    } else {
        if (iLdsCallSimSmoWgt(&c, c.awork, c.data, r, s.flagTab[0], s.C, wgt))
            c.status = LDS_FAILED;
    }
    SimSelectionFree(&s);
    LdsCallClose(&c);
    /* The failed decomposition is reported whatever the warning switch says. */
    LdsCallReport(&c, rtn, nullptr);
    if (c.status == LDS_FAILED)
        KelRunMessage("SimSmoWgt(): choleski decomposition failed");
}
