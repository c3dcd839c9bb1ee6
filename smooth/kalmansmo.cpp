/*
 * kalmansmo.cpp - the backward smoothing recursion over a filter store and
 * KalmanSmo, which returns its per-time-point output.
 */
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

void KalmanSmoRun(int layout, int N, int n, int m, double **Sys, int **IdxSys,
                  double **X, double **S, double **W, double **store,
                  double **acc, double **out)
{
    const int d = m + N;
    SmoothStart(d, S);
    if (acc)
        MatZero(acc, d, d);
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
