/*
 * kalmansmo.cpp - the backward smoothing recursion over a filter store and
 * KalmanSmo, which returns its per-time-point output.
 */
#include <cstring>
#include <limits>

#include "smooth/kalmansmo.h"

#include "model/check.h"
#include "model/hostcall.h"
#include "model/timevarying.h"
#include "smooth/smooth.h"
#include "smooth/smooth_step.h"

namespace {

/* acc += u u' - D over the upper triangle. */
void Accumulate(int d, double **W, double **acc)
{
    const double *u = W[d];
    for (int i = 0; i < d; i++)
        for (int j = i; j < d; j++)
            acc[i][j] = acc[i][j] + u[i] * u[j] - W[i][j];
}

/* Column t+1 of the output: u_t, then the diagonal of D_t. */
void WriteOutput(int d, int t, double **W, double **out)
{
    for (int k = 0; k < d; k++) {
        out[k][t + 1] = W[d][k];
        out[d + k][t + 1] = W[k][k];
    }
}

/* Column 0 belongs to the initial state: r_{-1} and diag N_{-1}, with the
 * observation rows cleared. */
void WriteInitialColumn(int m, int d, double **S, double **out)
{
    for (int i = 0; i < d; i++) {
        out[i][0] = i < m ? S[d][i] : 0.0;
        out[d + i][0] = i < m ? S[i][i] : 0.0;
    }
}

/* One backward step of one series with at most kLdsCompiledStates states:
 * the N_t it starts from, the gains and 1/F it loads, and the D_t it
 * forms. */
struct BackStep {
    double N[kLdsCompiledStates][kLdsCompiledStates];
    double gains[kLdsCompiledStates + 1];
    double D[kLdsCompiledStates + 1][kLdsCompiledStates + 1];
};

/* Longest cycle of N looked for (the filter's variance of a local level
 * settles into a cycle of three). */
const int kBackCycle = 4;

/* Steady state, as in the one-series filter: with Sys fixed, a step's D_t
 * and N_{t-1} depend on nothing but N_t and the gains and 1/F of the store
 * column.  Once N_{t-1} equals, bit for bit, the N_t of the step c = 1..4
 * steps back, each later step whose store column carries the gains of the
 * step c back repeats that step's D_t and N_{t-1}: only u_t and r_{t-1}
 * are formed.  Any other column, and t = 0, take the full step again from
 * the N_t their step starts from, so S and W end as without the shortcut
 * and every result has the same bits.  One series with at most
 * kLdsCompiledStates states; S and acc are prepared by the caller. */
void KalmanSmoSettling(int n, int m, double **Sys, double **S, double **W, double **store,
                       double **acc, double **out)
{
    const int d = m + 1;
    BackStep ring[kBackCycle];
    int run = 0, cycle = 0, first = 0, phase = 0;
    for (int t = n - 1; t >= 0; t--) {
        bool settled = false;
        if (cycle) {
            const BackStep &rec = ring[(first + phase) % kBackCycle];
            SmoothResidualMean(SMO_LAYOUT_UNIV, 1, m, store, t, S, W);
            if (t > 0 && std::memcmp(S[m], rec.gains, sizeof(double) * (m + 1)) == 0) {
                for (int i = 0; i < d; i++)
                    for (int j = 0; j < d; j++)
                        W[i][j] = rec.D[i][j];
                SmoothBackMean(1, m, Sys, S, W);
                phase = phase + 1 == cycle ? 0 : phase + 1;
                settled = true;
            } else {
                for (int i = 0; i < m; i++)
                    for (int j = 0; j < m; j++)
                        S[i][j] = rec.N[i][j];
                cycle = 0;
                run = 0;
            }
        }
        if (!settled) {
            BackStep &rec = ring[run % kBackCycle];
            for (int i = 0; i < m; i++)
                for (int j = 0; j < m; j++)
                    rec.N[i][j] = S[i][j];
            SmoothResidual(SMO_LAYOUT_UNIV, 1, m, store, t, S, W);
            std::memcpy(rec.gains, S[m], sizeof(double) * (m + 1));
            for (int i = 0; i < d; i++)
                for (int j = 0; j < d; j++)
                    rec.D[i][j] = W[i][j];
            SmoothBackStep(SMO_LAYOUT_UNIV, 1, m, Sys, S, W);
            run++;
            for (int c = 1; c <= kBackCycle && c <= run && !cycle; c++) {
                const BackStep &back = ring[(run - c) % kBackCycle];
                bool same = true;
                for (int i = 0; i < m && same; i++)
                    same = std::memcmp(S[i], back.N[i], sizeof(double) * m) == 0;
                if (same) {
                    cycle = c;
                    first = (run - c) % kBackCycle;
                    phase = 0;
                }
            }
        }
        if (acc)
            Accumulate(d, W, acc);
        if (out)
            WriteOutput(d, t, W, out);
    }
}

void KalmanSmoRun(int layout, int N, int n, int m, double **Sys, int **IdxSys,
                  double **X, double **S, double **W, double **store,
                  double **acc, double **out)
{
    const int d = m + N;
    SmoothStart(d, S);
    if (acc)
        MatZero(acc, d, d);
    if (layout == SMO_LAYOUT_UNIV && m <= kLdsCompiledStates && !IdxSys)
        KalmanSmoSettling(n, m, Sys, S, W, store, acc, out);
    else
        for (int t = n - 1; t >= 0; t--) {
            LdsApplyTV(t, m, d, Sys, nullptr, nullptr, IdxSys, nullptr, nullptr, X);
            SmoothResidual(layout, N, m, store, t, S, W);
            SmoothBackStep(layout, N, m, Sys, S, W);
            if (acc)
                Accumulate(d, W, acc);
            if (out)
                WriteOutput(d, t, W, out);
        }
    if (acc) {
        for (int i = 0; i < d; i++)
            for (int j = 0; j < i; j++)
                acc[i][j] = acc[j][i];
    }
    if (out)
        WriteInitialColumn(m, d, S, out);
}

/* The output has 2d rows and n+1 columns; 0 when its size does not fit an
 * int. */
int fOutputFits(int d, int n)
{
    return 2LL * d * (n + 1LL) <= std::numeric_limits<int>::max();
}

}  // namespace

void MultiKalmanSmo(int N, int n, int m, double **Sys, int **IdxSys, double **X,
                    double **S, double **W, double **store, double **acc,
                    double **out)
{
    KalmanSmoRun(SMO_LAYOUT_MULTI, N, n, m, Sys, IdxSys, X, S, W, store, acc, out);
}

void UnivKalmanSmo(int n, int m, double **Sys, int **IdxSys, double **X,
                   double **S, double **W, double **store, double **acc,
                   double **out)
{
    KalmanSmoRun(SMO_LAYOUT_UNIV, 1, n, m, Sys, IdxSys, X, S, W, store, acc, out);
}

void FnKalmanSmo(KelVALUE *rtn, KelVALUE *args, int count)
{
    LdsCall c;
    LdsCallCheck(&c, "KalmanSmo", args, count, 0, LDS_LAYOUT_STORE);

    double **out = nullptr;
    if (fOutputFits(c.d, c.n)) {
        KelLibValMatMalloc(rtn, 2 * c.d, c.n + 1);
        LdsCallReleaseOnFailure(&c, rtn);
        out = rtn->v.mval.data;
    }
    if (!out)
        c.status = LDS_NOMEM;
    else if (fLdsCallOpen(&c, 0, 0)) {
        LdsCallKalmanSmo(&c, c.data, nullptr, out);
    }
    /* The recursion has no failure of its own, but values near the largest
     * double or a NaN in the model leave no number to hand back. */
    if (out)
        LdsCallRequireFinite(&c, out, 2 * c.d, c.n + 1, 0);
    LdsCallClose(&c);
    LdsCallReport(&c, rtn, "KalmanSmo(): smoothed values not finite");
}
