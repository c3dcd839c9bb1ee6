/*
 * recursion.cpp - LdsRecursion: the model run forward from given
 * disturbances, giving the states and the observations they produce.
 *
 *   alpha_0     = a_0 + P_0 e_0 (a diffuse element: a_0 + Vbig e_0)
 *   alpha_{t+1} = Mean_s,t + T_t alpha_t + u_t
 *   y_t         = Mean_y,t + Z_t alpha_t + e_t
 */
#include <cstdio>
#include <limits>

#include "filter/kalman_core.h"
#include "host/host.h"
#include "model/check.h"
#include "model/hostcall.h"
#include "model/kernels.h"
#include "model/timevarying.h"
#include "smooth/smooth.h"

namespace {

/* Rows of the work matrix: the augmented vector, the prediction, Mean. */
enum { REC_ALPHA = 0, REC_PRED = 1, REC_MEAN = 2 };

/* The size message of the state space form check, for argument 0. */
const char kMsgRowsCols[] = "\nLds(): number of rows or columns not correct in argument %d\n";
const int kMessageSize = 96;
const char kMsgNotFinite[] = "LdsRecursion(): result not finite";
const int kDisturbanceArg = 0;

/* Rows of the triple table of fLdsTVIndex. */
const int kTripleRows = 8;

/* alpha_0 into alpha[0..m-1]. */
void InitialState(int m, double vbig, double **Init, double **E, double *alpha)
{
    for (int i = 0; i < m; i++) {
        if (!Init) {
            alpha[i] = vbig * E[i][0];
        } else if (Init[i][i] < 0.0) {
            alpha[i] = Init[m][i] + vbig * E[i][0];
        } else {
            double s = Init[m][i];
            for (int j = 0; j < m; j++)
                s += Init[i][j] * E[j][0];
            alpha[i] = s;
        }
    }
}

}  // namespace

int LdsRecursion(int N, int n, int m, double **Sys, double **Var, double *Mean,
                 int **triples, double **X, double **Init, double **work, double **E,
                 double **Y)
{
    const int d = m + N;
    double *alpha = work[REC_ALPHA], *pred = work[REC_PRED];

    InitialState(m, dLdsVbig(d, Var), Init, E, alpha);
    for (int i = 0; i < d; i++)
        Y[i][0] = i < m ? alpha[i] : 0.0;

    for (int t = 0; t < n; t++) {
        if (triples && X)
            TVsystem(t, Sys, Var, Mean, triples, X);
        LdsMatVecFrom(d, m, Sys, alpha, Mean, pred);
        for (int i = 0; i < d; i++) {
            alpha[i] = pred[i] + E[i][t + 1];
            Y[i][t + 1] = alpha[i];
        }
    }
    return 1;
}

void FnLdsRecursion(KelVALUE *rtn, KelVALUE *args, int count)
{
    LdsCall c;
    LdsCallCheck(&c, "LdsRecursion", args, count, kDisturbanceArg, LDS_LAYOUT_FULL);
    if (c.n < 1) {
        /* E needs column 0 for the initial state. */
        char text[kMessageSize];
        std::snprintf(text, sizeof text, kMsgRowsCols, kDisturbanceArg);
        KelRunErrorMessage(text);
    }
    const int n = c.n - 1, d = c.d;

    double **Y = nullptr;
    if (static_cast<long long>(d) * c.n <= std::numeric_limits<int>::max()) {
        KelLibValMatMalloc(rtn, d, c.n);
        LdsCallReleaseOnFailure(&c, rtn);
        Y = rtn->v.mval.data;
    }
    int **triples = nullptr;
    int entries = 0;
    if (!Y || !fLdsCallOpen(&c, 0, 0) ||
        (c.timeVarying && !fLdsTVIndex(c.m, d, d, c.idxSys, c.idxVar, c.idxMean, &entries,
                                       &triples))) {
        c.status = LDS_NOMEM;
    } else {
        /* The work matrix is A-work's last three rows, the last of which
         * the frame has filled with Mean. */
        double **work = c.awork + (d + 1 - REC_MEAN);
        LdsRecursion(c.N, n, c.m, c.sys, c.var, work[REC_MEAN], triples, c.X, c.init,
                     work, c.data, Y);
        /* Values beyond the range of a double (or NaN handed in) make no
         * result. */
        LdsCallRequireFinite(&c, Y, d, c.n, 0);
    }
    if (triples)
        TabFreePlain(reinterpret_cast<void **>(triples), kTripleRows, entries + 1);
    LdsCallClose(&c);
    LdsCallReport(&c, rtn, kMsgNotFinite);
}
