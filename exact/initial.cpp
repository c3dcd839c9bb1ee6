/*
 * initial.cpp - IKalmanInitial: the recursion of the diffuse part P_inf of
 * the state variance, observation by observation, until its rank is
 * exhausted.  It needs only the model and which observations are missing.
 *
 *   observed step:  M_inf = P_inf Z',  F_inf = Z M_inf;
 *                   if F_inf is not negligible: P_inf -= M_inf M_inf' / F_inf
 *   time update:    P_inf = T P_inf T'
 *
 * P_inf is carried scaled by 100 and stored unscaled.
 */
#include "exact/exact.h"
#include "exact/exact_step.h"

using namespace lds_exact;

namespace {

/* Tolerance of the rank of the initial diffuse variance. */
const double kRankTol = 1e-05;

/* Column t of the optional outputs, unscaled. */
void WriteOutputs(int N, int m, int t, double **Sys, double **P, double **varOut,
                  double **lowOut, double **sigOut)
{
    const int d = m + N;
    if (varOut) {
        for (int j = 0; j < m; j++)
            varOut[j][t] = P[j][j] / kInfScale;
        for (int i = 0; i < N; i++)
            varOut[m + i][t] = dInnerProd(m, Sys[m + i], P) / kInfScale;
    }
    if (lowOut)
        StoreLower(m, P, kInfScale, lowOut, t);
    if (sigOut)
        for (int j = 0; j < m; j++)
            sigOut[j][t] = dVecVec(m, Sys[d], P[j]) / kInfScale;
}

} // namespace

int IKalmanInitial(int N, int n, double **Y, int m, double **Sys, int **triples, double **X,
                   int **pat, double **Init, double **dwork, double **scratch,
                   double **dstore, double **varOut, double **lowOut, double **sigOut)
{
    double **P = dwork;
    double *K = dwork[m];
    for (int a = 0; a < m; a++)
        for (int b = 0; b < m; b++)
            P[a][b] = kInfScale * InitInf(Init, a, b);
    int rank = m > 0 ? IMatRank(P, m, m, 0, kRankTol) : 0;
    if (rank <= 0 || n < 1)
        return 0;

    const int kind = KindRow(m), scalar = ScalarRow(m);
    int s = 0;
    for (int t = 0; t < n; t++) {
        if (X)
            TVsystem(t, Sys, nullptr, nullptr, triples, X);
        WriteOutputs(N, m, t, Sys, P, varOut, lowOut, sigOut);
        for (int i = 0; i < N; i++, s++) {
            if (FIsNaN(Y[i][t])) {
                SetNaN(&dstore[0][s]);
                for (int j = 1; j <= scalar; j++)
                    dstore[j][s] = 0.0;
                dstore[kind][s] = kMissing;
                continue;
            }
            if (rank == 0)
                return s;
            const double *Z = Sys[m + i];
            dstore[0][s] = 0.0;
            double finf = 0.0;
            for (int j = 0; j < m; j++) {
                const double mj = dVecVec(m, P[j], Z);
                dstore[1 + j][s] = mj;
                finf += Z[j] * mj;
            }
            dstore[kind][s] = kOrdinary;
            if (std::fabs(finf) > kDiffuseTol) {
                rank--;
                dstore[kind][s] = kDiffuse;
                for (int j = 0; j < m; j++)
                    K[j] = dstore[1 + j][s] / finf;
                for (int a = 0; a < m; a++)
                    for (int b = a; b < m; b++)
                        P[a][b] -= K[a] * dstore[1 + b][s];
                MirrorUpper(m, P);
            }
            for (int j = 1; j <= m; j++)
                dstore[j][s] /= kInfScale;
            dstore[scalar][s] = finf / kInfScale;
        }
        MatTPTt(m, m, pat, Sys, P, scratch, P);
    }
    return s;
}
