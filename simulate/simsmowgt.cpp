/*
 * simsmowgt.cpp - the simulation smoother weights and SimSmoWgt.
 *
 * Backward from the last time point, with S_t the backward matrix (0 after
 * the last time point) and D_t = [S, -S K; -K' S, F^-1 + K' S K]:
 *
 *   W_t  = rows i_k of Var_t D_t                      (r x p)
 *   C_t  = selected block of Var_t - Var_t D_t Var_t  (r x r) = M_t M_t'
 *   Wn_t = M_t^-1 W_t
 *   S_{t-1} = Sys_t' (D_t + Wn_t' Wn_t) Sys_t
 *           = L' S L + Z' F^-1 Z + H' H,  L = T - K Z,
 *             H = M_t^-1 (rows i_k of Var_t) D_t Sys_t.
 *
 * S_{t-1} is formed from L (made first) and from D_t Sys_t = [S L ;
 * F^-1 Z - K' S L]: expanding Sys' D Sys instead adds terms of the size of
 * T' S T that cancel when L is small, and the rounding left over can make
 * S_{t-1}, and with it the next C_t, indefinite.
 *
 * Workspace: A (p+1) x p holds S in its leading m x m block, the gains and
 * inverse variances of time point t in columns m..p-1 (as the smoothing
 * step loads them), and scratch in row p.  B (2p x p): D_t in rows 0..p-1,
 * W_t and Wn_t in rows p..p+r-1; once the store column is written, L and
 * F^-1 Z in rows 0..p-1, L' S L + Z' F^-1 Z in rows p..p+m-1 and H in rows
 * 0..r-1, while D_t Sys_t takes the first m columns of A.
 */
#include <cmath>
#include <limits>

#include "filter/kalman_core.h"
#include "model/hostcall.h"
#include "model/model.h"
#include "simulate/simsmo.h"
#include "simulate/simulate.h"
#include "smooth/smooth_step.h"

namespace {

/* W = rows i_k of Var D (W row k, p values, each summed over increasing l
 * from 0.0), then C[k][q] = Var[i_k][i_q] - W[k] Var[.][i_q] for q <= k,
 * mirrored. */
void SelectedWeights(int p, const int *flags, double **Var, double **D, double **W,
                     double **C)
{
    for (int i = 0, k = 0; i < p; i++)
        if (flags[i])
            LdsColumnCombination(p, 0, p, Var[i], D, W[k++]);
    for (int i = 0, k = 0; i < p; i++) {
        if (!flags[i])
            continue;
        for (int j = 0, q = 0; j <= i; j++) {
            if (!flags[j])
                continue;
            double s = 0.0;
            for (int c = 0; c < p; c++)
                s += W[k][c] * Var[c][j];
            C[k][q] = C[q][k] = Var[i][j] - s;
            q++;
        }
        k++;
    }
}

/* C = M M' through ILDLdec: M[k][k] = 1/sqrt(d[k]), M[k][l] = L[k][l] M[l][l],
 * in C's lower triangle.  d goes to piv.  Result: that of ILDLdec. */
int iFactor(int r, double **C, double *piv)
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
void ForwardSolveRows(int r, int cols, double **M, double **Y, double *acc)
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
void StoreColumn(int p, int r, int t, double **Wn, double **M, double **wgt)
{
    int row = 0;
    for (int k = 0; k < r; k++) {
        for (int c = 0; c < p; c++)
            wgt[row++][t] = Wn[k][c];
        for (int q = k; q < r; q++)
            wgt[row++][t] = M[q][k];
    }
}

/* S_{t-1} = L' S L + Z' F^-1 Z + H' H into A's leading block (see the top).
 * M is the factor of C_t. */
void BackStep(int N, int m, const int *flags, double **Sys, double **Var, double **A,
              double **B, double **M)
{
    const int p = m + N;
    double **L = B, **FZ = B + m, **P = B + p, **H = B;
    double **K = A, **Finv = A + m, **SL = A, **G = A;
    double *acc = A[p];

    /* L = T - K Z and F^-1 Z, each sum from 0.0 in increasing k. */
    for (int i = 0; i < m; i++) {
        for (int j = 0; j < m; j++)
            acc[j] = 0.0;
        for (int k = 0; k < N; k++) {
            const double kik = K[i][m + k];
            for (int j = 0; j < m; j++)
                acc[j] += kik * Sys[m + k][j];
        }
        for (int j = 0; j < m; j++)
            L[i][j] = Sys[i][j] - acc[j];
    }
    for (int k = 0; k < N; k++)
        LdsColumnCombination(N, 0, m, Finv[k] + m, Sys + m, FZ[k]);

    /* S L, row by row in place of S. */
    for (int i = 0; i < m; i++) {
        LdsColumnCombination(m, 0, m, A[i], L, acc);
        for (int j = 0; j < m; j++)
            SL[i][j] = acc[j];
    }
    /* The lower rows of D Sys: F^-1 Z - K' S L, into the first m columns of
     * rows m..p-1 of A (the gains stay in the columns beyond). */
    for (int k = 0; k < N; k++) {
        for (int j = 0; j < m; j++)
            acc[j] = 0.0;
        for (int i = 0; i < m; i++) {
            const double kik = K[i][m + k];
            for (int j = 0; j < m; j++)
                acc[j] += kik * SL[i][j];
        }
        for (int j = 0; j < m; j++)
            G[m + k][j] = FZ[k][j] - acc[j];
    }
    /* L' (S L) + Z' (F^-1 Z), lower triangle, each element summed over
     * increasing k from 0.0, the L terms first. */
    for (int i = 0; i < m; i++) {
        double *row = P[i];
        for (int j = 0; j <= i; j++)
            row[j] = 0.0;
        for (int k = 0; k < m; k++) {
            const double lki = L[k][i];
            for (int j = 0; j <= i; j++)
                row[j] += lki * SL[k][j];
        }
        for (int k = 0; k < N; k++) {
            const double zki = Sys[m + k][i];
            for (int j = 0; j <= i; j++)
                row[j] += zki * FZ[k][j];
        }
    }
    /* H = M^-1 (rows i_k of Var) (D Sys). */
    int r = 0;
    for (int i = 0; i < p; i++)
        if (flags[i])
            LdsColumnCombination(p, 0, m, Var[i], G, H[r++]);
    ForwardSolveRows(r, m, M, H, acc);
    /* S_{t-1} = P + H' H, lower triangle, mirrored. */
    for (int i = 0; i < m; i++) {
        for (int j = 0; j <= i; j++)
            acc[j] = 0.0;
        for (int k = 0; k < r; k++) {
            const double hki = H[k][i];
            for (int j = 0; j <= i; j++)
                acc[j] += hki * H[k][j];
        }
        for (int j = 0; j <= i; j++)
            A[i][j] = A[j][i] = P[i][j] + acc[j];
    }
}

int iSimSmoWgtRun(int N, int n, int m, double **Sys, double **Var, int **IdxSys,
                  int **IdxVar, double **X, double **A, double **B, double **store,
                  int r, const int *flags, double **C, double **wgt)
{
    const int p = m + N;
    double **W = B + p;
    MatZero(A, p + 1, p);
    for (int t = n - 1; t >= 0; t--) {
        LdsApplyTV(t, m, p, Sys, Var, nullptr, IdxSys, IdxVar, nullptr, X);
        /* Gains and F^-1 into A, D_t into B (its residual row p is not used). */
        SmoothResidual(SMO_LAYOUT_MULTI, N, m, store, t, A, B);
        SelectedWeights(p, flags, Var, B, W, C);
        const int status = iFactor(r, C, A[p]);
        if (status)
            return status;
        ForwardSolveRows(r, p, C, W, A[p]);
        StoreColumn(p, r, t, W, C, wgt);
        BackStep(N, m, flags, Sys, Var, A, B, C);
    }
    return 0;
}

}  // namespace

int iSimSelectedCount(int p, double **sel)
{
    int r = 0;
    for (int i = 0; i < p; i++)
        /* A NaN compares unequal to 0.0 and so selects its element. */
        if (sel[i][i] != 0.0)
            r++;
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

void FnSimSmoWgt(KelVALUE *rtn, KelVALUE *args, int count)
{
    LdsCall c;
    LdsCallCheckNoCopy(&c, "SimSmoWgt", args, count, 1, LDS_LAYOUT_STORE);
    KelLibCheckType(KEL_MATRIX, args, 0, 0);
    KelLibCheckMatrixSize(args, 0, 0, c.d, c.d);
    double **sel = args[0].v.mval.data;
    const int r = iSimSelectedCount(c.d, sel);
    if (r == 0)
        KelRunErrorMessage("SimSmoWgt(): zero vector in argument 1");

    const int rows = iSimWeightRows(c.d, r);
    double **wgt = nullptr;
    if (rows >= 0) {
        KelLibValMatMalloc(rtn, rows, c.n);
        LdsCallReleaseOnFailure(&c, rtn);
        wgt = rtn->v.mval.data;
    }
    SimSelection s = {};
    /* A-work, the B-matrix, gets p - 2 rows beyond its usual p + 2. */
    if (!wgt || !fLdsCallOpen(&c, c.d - 2, 0) ||
        !fSimSelectionAlloc(&s, c.d, r, sel, 0, nullptr)) {
        c.status = LDS_NOMEM;
    } else {
        const int status =
            c.N == 1 ? iUnivSimSmoWgt(c.n, c.m, c.sys, c.var, c.idxSys, c.idxVar, c.X,
                                      c.pwork, c.awork, c.data, r, s.flagTab[0], s.C, wgt)
                     : iMultiSimSmoWgt(c.N, c.n, c.m, c.sys, c.var, c.idxSys, c.idxVar, c.X,
                                       c.pwork, c.awork, c.data, r, s.flagTab[0], s.C, wgt);
        if (status)
            c.status = LDS_FAILED;
    }
    SimSelectionFree(&s);
    LdsCallClose(&c);
    /* The failed decomposition is reported whatever the warning switch says. */
    LdsCallReport(&c, rtn, nullptr);
    if (c.status == LDS_FAILED)
        KelRunMessage("SimSmoWgt(): choleski decomposition failed");
}
