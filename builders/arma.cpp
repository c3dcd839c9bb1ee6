/*
 * arma.cpp - ARMA models.  GetLdsArma reads the coefficient vectors and
 * sizes the form; fGetLdsUnivArma fills it, optionally behind diffuse
 * difference states, and solves P = T P T' + Q for the stationary initial
 * variance of the ARMA block.  AR coefficients that are not stationary
 * are refused: the stationary variance does not exist for them.
 */
#include <cmath>

#include "builders/builders.h"
#include "builders/buildutil.h"
#include "model/check.h"

namespace {

const char *const kSystemError = "GetLdsArma(): system error";
const int kMaxDifferences = 2;

/* Largest ARMA block: its stationarity system of ra (ra + 1) / 2 unknowns
 * then takes at most 16 MB (1431 unknowns) and well under a second; the
 * time grows with the cube of the unknowns, the sixth power of ra. */
const int kArmaMaxStates = 53;  /* named in the messages of GetLdsArma */

/* Ones of the leading difference states: d ordinary differences and one
 * seasonal difference of period s, so that the observation is the
 * integrated ARMA block. */
void ArmaLeadingStates(double **T, double *Z, int d, int s)
{
    int nd = d + s;
    if (d == 0) {
        Z[s] = 1.0;
    } else {
        T[0][nd] = T[0][nd - 1] = 1.0;
        Z[nd] = Z[nd - 1] = 1.0;
    }
    if (d == 2) {
        T[1][s + 2] = T[1][1] = T[0][0] = 1.0;
        Z[0] = 1.0;
    }
    if (s == 0)
        return;
    for (int i = 0; i + 1 < s; ++i)
        T[d + 1 + i][d + i] = 1.0;
    if (d == 0) {
        Z[s - 1] = 1.0;
        T[0][s - 1] = T[0][s] = 1.0;
        return;
    }
    T[d][nd] = T[1][nd - 1] = T[0][d - 1] = 1.0;
    Z[d - 1] = 1.0;
    if (d == 2)
        T[2][s + 1] = 1.0;
}

/* ARMA block of T and Q for the states nd..r-1. */
void ArmaBlock(double **T, double **Q, int r, int nd, const double *ar,
               const double *ma, double sigma2)
{
    for (int i = nd; i < r; ++i) {
        T[i][nd] = ar[i];
        if (i < r - 1)
            T[i][i + 1] = 1.0;
        for (int j = nd; j < r; ++j)
            Q[i][j] = sigma2 * ma[i] * ma[j];
    }
}

/* Number of the unknown P[i][j], i <= j, of the upper triangle of an
 * ra x ra matrix numbered row by row. */
int iArmaUnknown(int ra, int i, int j)
{
    return i * ra - i * (i - 1) / 2 + (j - i);
}

/* P = T_a P T_a' + Q_a for the ra (ra+1) / 2 distinct elements of the
 * symmetric P: W x = b with x and b the upper triangles of P and Q_a,
 * numbered row by row.  With T_a's companion structure (first column phi,
 * ones above the diagonal),
 *   (T P T')[i][j] = phi_i phi_j P[0][0] + phi_i P[0][j+1] + phi_j P[i+1][0]
 *                    + P[i+1][j+1],
 * the terms past row or column ra-1 dropped and each P[k][l] taken from the
 * upper triangle.  These are the equations (i, j), i <= j, of the Kronecker
 * system vec(P) = (T_a (x) T_a) vec(P) + vec(Q_a), whose solution is
 * symmetric. */
void ArmaStationarySystem(double **W, double *b, double **Q, int nd, int ra,
                          const double *phi)
{
    int ne = ra * (ra + 1) / 2;
    MatZero(W, ne, ne);
    for (int i = 0; i < ra; ++i)
        for (int j = i; j < ra; ++j) {
            double *w = W[iArmaUnknown(ra, i, j)];
            b[iArmaUnknown(ra, i, j)] = Q[nd + i][nd + j];
            w[0] -= phi[i] * phi[j];
            if (j < ra - 1)
                w[iArmaUnknown(ra, 0, j + 1)] -= phi[i];
            if (i < ra - 1)
                w[iArmaUnknown(ra, 0, i + 1)] -= phi[j];
            if (i < ra - 1 && j < ra - 1)
                w[iArmaUnknown(ra, i + 1, j + 1)] -= 1.0;
            w[iArmaUnknown(ra, i, j)] += 1.0;
        }
}

/* P block from x, the upper triangle row by row, mirrored. */
void ArmaStationaryVariance(double **P, int nd, int ra, const double *x)
{
    for (int i = 0; i < ra; ++i)
        for (int j = i; j < ra; ++j)
            P[nd + i][nd + j] = P[nd + j][nd + i] = x[iArmaUnknown(ra, i, j)];
}

/* 1 when the ARMA block is stationary: every eigenvalue of T_a, that is
 * every root of z^ra - phi_1 z^(ra-1) - ... - phi_ra, lies strictly inside
 * the unit circle.  Decided by the Levinson-Durbin step-down (Schur-Cohn)
 * recursion rather than from the solved variance, which a non-stationary
 * T_a with a regular system leaves finite but indefinite: the last
 * coefficient of the order-k polynomial is its reflection coefficient
 * kappa, and the order k-1 polynomial has the coefficients
 *   phi'_j = (phi_j + kappa phi_(k-j)) / (1 - kappa^2),  j = 1 .. k-1.
 * The roots lie inside iff every |kappa| < 1; a NaN or infinite
 * coefficient fails the test. */
int fArmaStationary(const double *phi, int ra)
{
    double a[kArmaMaxStates];
    if (ra > kArmaMaxStates)
        return 0;
    for (int j = 0; j < ra; ++j)
        a[j] = phi[j];
    for (int k = ra; k >= 1; --k) {
        double kappa = a[k - 1];
        if (!(std::fabs(kappa) < 1.0))
            return 0;
        double scale = 1.0 - kappa * kappa;
        for (int j = 0, l = k - 2; j <= l; ++j, --l) {
            double aj = a[j], al = a[l];
            a[j] = (aj + kappa * al) / scale;
            a[l] = (al + kappa * aj) / scale;
        }
    }
    return 1;
}

/* Solves W x = b by inverting W in place; 0 when W is singular. */
int fArmaSolve(double **W, int ne, const double *b, double *x)
{
    double logdet;
    int nonsingular;
    if (IInvDet(W, ne, &logdet, &nonsingular) != 0 || !nonsingular)
        return 0;
    for (int e = 0; e < ne; ++e) {
        double sum = 0.0;
        for (int f = 0; f < ne; ++f)
            sum += W[e][f] * b[f];
        x[e] = sum;
    }
    return 1;
}

void FreeBlocks(double **a, double **b, double **c)
{
    if (a) MatFreeBlock(a);
    if (b) MatFreeBlock(b);
    if (c) MatFreeBlock(c);
}

/* Number of coefficients in argument i (0-based): the length of a row or
 * column vector, 0 for an empty matrix or one with neither shape. */
int iArmaOrder(KelVALUE *args, int i)
{
    KelVALUE *a = &args[i];
    if ((a->type & KEL_TAG_MASK) == KEL_MATRIX && (a->v.mval.rows == 0 || a->v.mval.cols == 0))
        return 0;
    KelLibCheckType(KEL_MATRIX, args, i, i);
    if (a->v.mval.rows == 1)
        return a->v.mval.cols;
    return a->v.mval.cols == 1 ? a->v.mval.rows : 0;
}

/* Coefficient j (0-based) of a row or column vector. */
double dArmaCoefficient(const KelVALUE *a, int j)
{
    return a->v.mval.rows == 1 ? a->v.mval.data[0][j] : a->v.mval.data[j][0];
}

/* Builds into the three results with coefficient arrays from host storage,
 * so that nothing is lost should the host unwind. */
int fArmaBuild(KelVALUE *args, int p, int q, int r, double **Sys, double **Var,
               double **Init)
{
    double **ar = MatAllocBlock(1, r), **ma = MatAllocBlock(1, r);
    int ok = 0;
    if (ar && ma) {
        MatZero(ar, 1, r);
        MatZero(ma, 1, r);
        ma[0][0] = 1.0;
        for (int i = 0; i < p; ++i)
            ar[0][i] = dArmaCoefficient(&args[0], i);
        for (int j = 0; j < q; ++j)
            ma[0][j + 1] = dArmaCoefficient(&args[1], j);
        ok = fGetLdsUnivArma(r, 0, 0, ar[0], ma[0], Sys, Var, Init, args[2].v.dval);
    }
    FreeBlocks(ar, ma, nullptr);
    return ok;
}

} // namespace

int fGetLdsUnivArma(int r, int d, int s, const double *ar, const double *ma,
                    double **Sys, double **Var, double **Init, double sigma)
{
    if (!ar || !ma || !Sys || !Var || !Init || d < 0 || d > kMaxDifferences || s < 0 ||
        r < 1 || s > r - d - 1)
        return 0;
    int nd = d + s, ra = r - nd;
    if (ra > kArmaMaxStates)
        return 0;
    MatZero(Sys, r + 1, r);
    MatZero(Var, r + 1, r + 1);
    MatZero(Init, r + 1, r);
    int ne = ra * (ra + 1) / 2;
    double **W = MatAllocBlock(ne, ne), **b = MatAllocBlock(1, ne), **x = MatAllocBlock(1, ne);
    if (!W || !b || !x) {
        FreeBlocks(W, b, x);
        return 0;
    }
    ArmaLeadingStates(Sys, Sys[r], d, s);
    ArmaBlock(Sys, Var, r, nd, ar, ma, sigma * sigma);
    ArmaStationarySystem(W, b[0], Var, nd, ra, ar + nd);
    int ok = fArmaStationary(ar + nd, ra) && fArmaSolve(W, ne, b[0], x[0]);
    if (ok) {
        for (int i = 0; i < nd; ++i)
            Init[i][i] = kBuildDiffuse;
        ArmaStationaryVariance(Init, nd, ra, x[0]);
        /* coefficients or a scale near the largest double can overflow */
        ok = fLdsAllFinite(Sys, r + 1, r) && fLdsAllFinite(Var, r + 1, r + 1) &&
             fLdsAllFinite(Init, r + 1, r);
    }
    FreeBlocks(W, b, x);
    return ok;
}

void FnGetLdsArma(KelVALUE *rtn, KelVALUE *args, int count)
{
    if (count != 6)
        KelRunErrorMessage("GetLdsArma(): six arguments required");
    KelLibCheckType(KEL_DOUBLE, args, 2, 2);
    KelLibCheckType(KEL_REFERENCE, args, 3, 5);
    int p = iArmaOrder(args, 0), q = iArmaOrder(args, 1);
    rtn->type = KEL_INT;
    rtn->v.ival = 0;
    if (p == 0 && q == 0) {
        KelRunMessage(kSystemError);
        return;
    }
    BuildCheckTargets("GetLdsArma", args, count, 3, 5);
    if (!fBuildFiniteSquare(args[2].v.dval))
        KelRunErrorMessage("GetLdsArma(): standard deviation not appropriate in argument 3");
    long long states = p > q ? p : q + 1LL;
    if (states > kArmaMaxStates)
        KelRunErrorMessage(p > q ? "GetLdsArma(): at most 53 coefficients allowed in argument 1"
                                 : "GetLdsArma(): at most 52 coefficients allowed in argument 2");
    if (p > 0) {
        double phi[kArmaMaxStates];
        for (int i = 0; i < p; ++i)
            phi[i] = dArmaCoefficient(&args[0], i);
        if (!fArmaStationary(phi, p))
            KelRunErrorMessage("GetLdsArma(): AR coefficients not stationary in argument 1");
    }
    const char *kNoMemory = "GetLdsArma(): memory allocation failure";
    int r = static_cast<int>(states);
    double **Sys = BuildResult(&args[3], r + 1, r);
    double **Var = Sys ? BuildResult(&args[4], r + 1, r + 1) : nullptr;
    double **Init = Var ? BuildResult(&args[5], r + 1, r) : nullptr;
    if (!Init)
        KelRunErrorMessage(kNoMemory);
    if (!fArmaBuild(args, p, q, r, Sys, Var, Init)) {
        KelRunMessage(kSystemError);
        return;
    }
    rtn->v.ival = 1;
}
