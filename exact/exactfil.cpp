/*
 * exactfil.cpp - fKalmanExact, the exact diffuse filter observation by
 * observation, and fKalmanExactMean, its state mean recursion alone.
 *
 * The state variance is P* + k P_inf with k growing without bound; P_inf
 * comes from IKalmanInitial's store.  For an observed scalar step with row
 * Z, v = y - Mean[m+i] - Z a, M* = P* Z', F* = Z M* + Var[m+i][m+i]:
 *
 *   diffuse step:  K0 = M_inf / F_inf,  a += K0 v,
 *                  P* += -K0 M*' - M* K0' + F* K0 K0',   loglik term log F_inf
 *   ordinary step: K = M* / F*,  a += K v,  P* -= K M*', terms log F*, v^2 / F*
 *   time update:   a = T a + Mean[0..m-1],  P* = T P* T' + Q
 */
#include "exact/exact.h"
#include "exact/exact_step.h"

using namespace lds_exact;

namespace {

/* Modes with a meaning here. */
enum {
    MODE_KEEP_DIFFUSE = 1,     /* diffuse columns keep v, F* K0 - M*, F* */
    MODE_FILTERED_END = 5,     /* state work ends filtered */
    MODE_SIGNAL_PRED = 9,      /* 2-row predicted output */
    MODE_SIGNAL_FILT = 10,     /* 2-row filtered output, state work ends filtered */
    MODE_SIGNAL_COV = 11       /* (m+1)-row predicted output, diffuse columns kept */
};

/* Layouts of the per-time outputs. */
enum Layout { LAYOUT_FULL, LAYOUT_SIGNAL, LAYOUT_SIGNAL_COV };

/* The model of a run: the system matrices, which hold the values of the
 * time point last applied, and what applies them. */
struct Model {
    int N, m;
    double **Sys, **Var;
    double *Mean;
    int **pat;
    int **triples;
    double **X;

    /* Sys, Var and Mean take the values of time point t. */
    void At(int t) const
    {
        if (X)
            TVsystem(t, Sys, Var, Mean, triples, X);
    }
};

/* What the mode asks of a run. */
struct Outputs {
    bool keepDiffuse;    /* diffuse columns keep v, F* K0 - M*, F* */
    Layout pred, filt;   /* layouts of predOut and filtOut */
    bool predInPeriod;   /* one-step predictions inside the diffuse period */
    bool endFiltered;    /* the state work ends with the last filtered values */
};

Outputs OutputsOf(int mode, int h)
{
    Outputs o;
    o.keepDiffuse = mode == MODE_KEEP_DIFFUSE || mode == MODE_SIGNAL_COV;
    o.pred = mode == MODE_SIGNAL_PRED  ? LAYOUT_SIGNAL
             : mode == MODE_SIGNAL_COV ? LAYOUT_SIGNAL_COV
                                       : LAYOUT_FULL;
    o.filt = mode == MODE_SIGNAL_FILT ? LAYOUT_SIGNAL : LAYOUT_FULL;
    o.predInPeriod = h == 1 || mode == MODE_SIGNAL_PRED || mode == MODE_SIGNAL_COV;
    o.endFiltered = mode == MODE_FILTERED_END || mode == MODE_SIGNAL_FILT;
    return o;
}

/* Column col of out from a and P in the given layout (s = row d of Sys). */
void WriteMoments(Layout layout, const Model &md, double **out, int col, const double *a,
                  double **P)
{
    const int m = md.m, N = md.N, d = m + N;
    const double *s = md.Sys[d];
    switch (layout) {
    case LAYOUT_SIGNAL:
        out[0][col] = dVecVec(m, s, a);
        out[1][col] = dInnerProd(m, s, P);
        return;
    case LAYOUT_SIGNAL_COV:
        for (int j = 0; j < m; j++)
            out[j][col] = dVecVec(m, P[j], s);
        out[m][col] = dVecVec(m, s, a);
        return;
    case LAYOUT_FULL:
        for (int j = 0; j < m; j++) {
            out[j][col] = a[j];
            out[d + j][col] = P[j][j];
        }
        for (int i = 0; i < N; i++) {
            out[m + i][col] = dVecVec(m, md.Sys[m + i], a) + md.Mean[m + i];
            out[d + m + i][col] = dInnerProd(m, md.Sys[m + i], P);
        }
        return;
    }
}

int LayoutRows(Layout layout, int m, int N)
{
    return layout == LAYOUT_SIGNAL ? 2 : layout == LAYOUT_SIGNAL_COV ? m + 1 : 2 * (m + N);
}

void ZeroColumn(double **out, int rows, int col)
{
    for (int j = 0; j < rows; j++)
        out[j][col] = 0.0;
}

/* a = T a + Mean[0..m-1], P = T P T' + Q; work m x m and tmp m scratch. */
void TimeUpdate(const Model &md, double **P, double *a, double **work, double *tmp)
{
    const int m = md.m;
    MatTPTt(m, m, md.pat, md.Sys, P, work, P);
    MatTa(m, md.pat, md.Sys, a, tmp);
    for (int i = 0; i < m; i++) {
        a[i] = tmp[i] + md.Mean[i];
        for (int j = 0; j < m; j++)
            P[i][j] += md.Var[i][j];
    }
}

/* Store column s: value, vector entry gain(j) in rows 1..m, scalar, kind. */
template <class Gain>
void StoreColumn(int m, double **estore, int s, double value, Gain gain, double scalar,
                 double kind)
{
    if (!estore)
        return;
    estore[0][s] = value;
    for (int j = 0; j < m; j++)
        estore[1 + j][s] = gain(j);
    estore[ScalarRow(m)][s] = scalar;
    estore[KindRow(m)][s] = kind;
}

/* Store column s of a missing step: NaN, zeros, the kind. */
void StoreMissing(int m, double **estore, int s)
{
    if (!estore)
        return;
    SetNaN(&estore[0][s]);
    for (int j = 0; j < m; j++)
        estore[1 + j][s] = 0.0;
    estore[ScalarRow(m)][s] = 0.0;
    estore[KindRow(m)][s] = kMissing;
}

/* M = P Z' for a symmetric P, gathered from the rows of P that Z loads. */
void ColumnOf(int m, double **P, const double *Z, double *M)
{
    for (int j = 0; j < m; j++)
        M[j] = 0.0;
    for (int l = 0; l < m; l++) {
        const double z = Z[l];
        if (z == 0.0)
            continue;
        const double *row = P[l];
        for (int j = 0; j < m; j++)
            M[j] += z * row[j];
    }
}

struct Sums {
    double logDet = 0.0, sumSq = 0.0;
};

/* The filter's working state: P* and a (swork rows 0..m-1 and m), the gain
 * (swork row m+1), M* (pwork row m), the sums and the count of ordinary
 * updates. */
struct State {
    double **P;
    double *a, *K, *M;
    Sums sums;
    int k = 0;
};

/* Predicted output column t: the one-step values where they are asked for,
 * zeros where no h-step value will land. */
void PredictedColumn(const Outputs &o, const Model &md, int h, int t, int t0, double **predOut,
                     const State &st)
{
    const bool inPeriod = t < t0;
    if (inPeriod ? o.predInPeriod : h == 1)
        WriteMoments(o.pred, md, predOut, t, st.a, st.P);
    else if (inPeriod || t < t0 + h - 1)
        ZeroColumn(predOut, LayoutRows(o.pred, md.m, md.N), t);
}

/* The h-step prediction made at t (h >= 2, after the diffuse period): the
 * state before the updates of t carried through the time updates of
 * t..t+h-2, each with the system of its time point, into hwork; its
 * moments into predOut column t+h-1 and its prediction errors for the
 * observations of t+h-1 into the sums.  The system of t is applied again
 * at the end, for the updates of t that follow. */
void HStepPrediction(const Model &md, int h, int t, double **Y, Layout pred, double **predOut,
                     double **hwork, double **pwork, State &st)
{
    const int m = md.m;
    double **Ph = hwork, *ah = hwork[m];
    for (int i = 0; i < m; i++) {
        ah[i] = st.a[i];
        for (int j = 0; j < m; j++)
            Ph[i][j] = st.P[i][j];
    }
    for (int j = 1; j < h; j++) {
        TimeUpdate(md, Ph, ah, pwork, st.M);
        md.At(t + j);
    }
    const int th = t + h - 1;
    if (predOut)
        WriteMoments(pred, md, predOut, th, ah, Ph);
    for (int i = 0; i < md.N; i++) {
        if (FIsNaN(Y[i][th]))
            continue;
        const double v = Y[i][th] - md.Mean[m + i] - dVecVec(m, md.Sys[m + i], ah);
        const double F = md.Var[m + i][m + i] + dInnerProd(m, md.Sys[m + i], Ph);
        if (F > 0.0) {
            st.sums.logDet += std::log(F);
            st.sums.sumSq += v * v / F;
        }
    }
    md.At(t);
}

/* A diffuse step: K0 = M_inf / F_inf from the diffuse store, a += K0 v,
 * P* += -K0 M*' - M* K0' + F* K0 K0', log F_inf into the sums. */
void DiffuseStep(const Model &md, const Outputs &o, double **dstore, int s, double v, double F,
                 double **estore, State &st)
{
    const int m = md.m;
    const double finf = dstore[ScalarRow(m)][s];
    GatherColumn(m, dstore, 1, s, 1.0 / finf, st.K);
    for (int j = 0; j < m; j++)
        st.a[j] += st.K[j] * v;
    GainUpdate(m, st.P, st.K, st.M, F);
    if (finf > 0.0)
        st.sums.logDet += std::log(finf);
    const double *K = st.K, *M = st.M;
    if (o.keepDiffuse)
        StoreColumn(m, estore, s, v, [&](int j) { return F * K[j] - M[j]; }, F, kDiffuse);
    else
        StoreColumn(m, estore, s, 0.0, [&](int j) { return K[j]; }, 0.0, kDiffuse);
}

/* An ordinary step: K = M* / F*, a += K v, P* -= K M*'; log F* and
 * v^2 / F* into the sums when the term is taken (one-step errors, or inside
 * the diffuse period). */
void OrdinaryStep(const Model &md, int h, int dstar, int s, double v, double F,
                  double **estore, State &st)
{
    const int m = md.m;
    st.k++;
    for (int j = 0; j < m; j++) {
        st.K[j] = st.M[j] / F;
        st.a[j] += st.K[j] * v;
    }
    /* The whole matrix, row by row: the time update reads P as symmetric
     * and makes it exactly so again. */
    for (int r = 0; r < m; r++) {
        const double kr = st.K[r];
        double *row = st.P[r];
        for (int c = 0; c < m; c++)
            row[c] -= kr * st.M[c];
    }
    if (F > 0.0 && (s < dstar || h == 1)) {
        st.sums.logDet += std::log(F);
        st.sums.sumSq += v * v / F;
    }
    const double *K = st.K;
    StoreColumn(m, estore, s, v, [&](int j) { return K[j]; }, 1.0 / F, kOrdinary);
}

/* Scalar step s, the observation of series i at t.  0 when F* = 0 for one
 * series; with several series such a step is skipped (no update). */
int ObservationStep(const Model &md, const Outputs &o, int h, double **Y, int i, int t, int s,
                    int dstar, double **dstore, double **estore, State &st)
{
    const int m = md.m;
    if (FIsNaN(Y[i][t])) {
        StoreMissing(m, estore, s);
        return 1;
    }
    const double *Z = md.Sys[m + i];
    const double v = Y[i][t] - md.Mean[m + i] - dVecVec(m, Z, st.a);
    ColumnOf(m, st.P, Z, st.M);
    const double F = dVecVec(m, Z, st.M) + md.Var[m + i][m + i];
    if (s < dstar && dstore[KindRow(m)][s] == kDiffuse) {
        DiffuseStep(md, o, dstore, s, v, F, estore, st);
        return 1;
    }
    if (F == 0.0) {
        if (md.N == 1)
            return 0;
        StoreColumn(m, estore, s, v, [](int) { return 0.0; }, 0.0, kSkipped);
        return 1;
    }
    OrdinaryStep(md, h, dstar, s, v, F, estore, st);
    return 1;
}

} // namespace

int fKalmanExact(int mode, int h, int N, int n, double **Y, int m, double **Sys, double **Var,
                 double *Mean, int **triples, double **X, int **pat, double **Init, int dstar,
                 double **dstore, double **swork, double **pwork, double **hwork,
                 double **estore, double **predOut, double **lowOut, double **filtOut,
                 double *pLogDet, double *pSumSq, int *pCount)
{
    if (pLogDet)
        *pLogDet = 0.0;
    if (pSumSq)
        *pSumSq = 0.0;
    if (h < 1 || N < 1)
        return 0;
    const Model md = {N, m, Sys, Var, Mean, pat, triples, X};
    const Outputs o = OutputsOf(mode, h);
    State st;
    st.P = swork;
    st.a = swork[m];
    st.K = swork[m + 1];
    st.M = pwork[m];
    for (int i = 0; i < m; i++) {
        st.a[i] = InitMean(Init, m, i);
        for (int j = 0; j < m; j++)
            st.P[i][j] = InitStar(Init, i, j);
    }
    /* The first time point after the diffuse period. */
    const int t0 = dstar > 0 ? (dstar + N - 1) / N : 0;

    for (int t = 0, s = 0; t < n; t++) {
        md.At(t);
        if (predOut)
            PredictedColumn(o, md, h, t, t0, predOut, st);
        if (lowOut)
            StoreLower(m, st.P, 1.0, lowOut, t);
        if (t >= t0 && h >= 2 && t + h <= n)
            HStepPrediction(md, h, t, Y, o.pred, predOut, hwork, pwork, st);
        for (int i = 0; i < N; i++, s++)
            if (!ObservationStep(md, o, h, Y, i, t, s, dstar, dstore, estore, st))
                return 0;
        if (filtOut)
            WriteMoments(o.filt, md, filtOut, t, st.a, st.P);
        if (t == n - 1 && o.endFiltered && dstar <= t * N)
            break;
        TimeUpdate(md, st.P, st.a, pwork, st.M);
    }

    if (dstar >= 1 && st.k < N * h)
        return 0;
    const int terms = h == 1 ? st.k : st.k - (h - 1) * N;
    if (terms < 1)
        return 0;
    if (pLogDet)
        *pLogDet = st.sums.logDet;
    if (pSumSq)
        *pSumSq = st.sums.sumSq / terms;
    if (pCount)
        *pCount = st.k;
    return 1;
}

int fKalmanExactMean(int mode, int N, int n, double **Y, int m, double **Sys, double *Mean,
                     int **triples, double **X, int **pat, double **Init, double **work,
                     double **estore, double *innov, double **out)
{
    double *a = work[2], *tmp = work[0];
    for (int i = 0; i < m; i++)
        a[i] = Init ? InitMean(Init, m, i) : 0.0;
    auto write = [&](int t) {
        for (int j = 0; j < m; j++)
            out[j][t] = a[j];
        for (int i = 0; i < N; i++)
            out[m + i][t] = dVecVec(m, Sys[m + i], a);
    };
    int s = 0;
    for (int t = 0; t < n; t++) {
        if (X)
            TVsystem(t, Sys, nullptr, Mean, triples, X);
        if (out && mode == 0)
            write(t);
        for (int i = 0; i < N; i++, s++) {
            const double y = Y ? Y[i][t] : estore[0][s];
            if (FIsNaN(y)) {
                if (innov)
                    SetNaN(&innov[s]);
                continue;
            }
            const double v = y - Mean[m + i] - dVecVec(m, Sys[m + i], a);
            if (innov)
                innov[s] = v;
            for (int j = 0; j < m; j++)
                a[j] += v * estore[1 + j][s];
        }
        if (out && mode == MODE_FILTERED_END)
            write(t);
        MatTa(m, pat, Sys, a, tmp);
        for (int j = 0; j < m; j++)
            a[j] = tmp[j] + Mean[j];
    }
    return 1;
}
