/*
 * stsm.cpp - structural time series models.  GetLdsStsm checks a compact
 * description (one row per component) and counts the states;
 * fGetLdsUnivStsm fills the system, variance and initial-state matrices,
 * with the components in a fixed state order whatever the row order.
 */
#include <climits>
#include <cmath>

#include "builders/builders.h"
#include "builders/buildutil.h"
#include "model/check.h"

namespace {

/* Columns of a component row. */
enum {
    COL_CODE = 0,
    COL_SIGMA = 1,
    COL_PERIOD = 2,  /* also trend order and cycle frequency */
    COL_DAMP = 3,    /* also AR(1) phi and AR(2) a */
    COL_ORDER = 4    /* also AR(2) b */
};

const double kTwoPi = 6.283185307179586;
const int kMaxOrder = 10;        /* trend and bwcycle orders lie in [1, 10) */
const int kNoState = -1;         /* return entry of a row that builds nothing */

/* The state order of the components (the irregular has no state). */
const int kStateOrder[] = {
    STSM_LEVEL, STSM_SLOPE, STSM_TREND, STSM_BWCYCLE, STSM_SEAS_DUMMY,
    STSM_SEAS_TRIG, STSM_SEAS_ZEROSUM, STSM_CYCLE0, STSM_CYCLE1, STSM_CYCLE2,
    STSM_CYCLE3, STSM_CYCLE4, STSM_CYCLE5, STSM_CYCLE6, STSM_CYCLE7,
    STSM_CYCLE8, STSM_CYCLE9, STSM_AR1, STSM_AR2};

/* The matrices a component writes into: T and Z from Sys, Q from Var and
 * P from Init. */
struct StsmForm {
    double **T;
    double *Z;
    double **Q;
    double **P;
};

/* Truncation toward zero; -1 for NaN, infinities and values beyond int. */
int iTruncOrFail(double x)
{
    int v;
    return fLdsDoubleToInt(x, &v) ? v : -1;
}

int fInRange(double x, double lo, double hi)
{
    return x >= lo && x <= hi;  /* false for NaN */
}

/* T[k..k+1][k..k+1] = rho [[cos l, sin l], [-sin l, cos l]]. */
void SetRotation(double **T, int k, double rho, double lambda)
{
    double c = rho * std::cos(lambda), s = rho * std::sin(lambda);
    T[k][k] = c;
    T[k][k + 1] = s;
    T[k + 1][k] = -s;
    T[k + 1][k + 1] = c;
}

void SetDiffuse(double **P, int k, int count)
{
    for (int i = 0; i < count; ++i)
        P[k + i][k + i] = kBuildDiffuse;
}

/* Number of states the builder gives the component of `code` in `row`;
 * -1 when the row's parameters do not describe a block. */
int iStsmStates(int code, const double *row)
{
    switch (code) {
    case STSM_LEVEL:
    case STSM_SLOPE:
    case STSM_AR1:
        return 1;
    case STSM_TREND:
        return iTruncOrFail(row[COL_PERIOD]);
    case STSM_BWCYCLE: {
        int n = iTruncOrFail(row[COL_ORDER]);
        return n < 0 || n >= kMaxOrder ? -1 : 2 * n;
    }
    case STSM_SEAS_DUMMY:
    case STSM_SEAS_TRIG: {
        int s = iTruncOrFail(row[COL_PERIOD]);
        return s < 0 ? -1 : s - 1;
    }
    case STSM_SEAS_ZEROSUM:
        return iTruncOrFail(row[COL_PERIOD]);
    case STSM_AR2:
        return 2;
    default:
        return code >= STSM_CYCLE0 && code <= STSM_CYCLE9 ? 2 : -1;
    }
}

void StsmTrend(const StsmForm &f, int k, int d, double sigma2)
{
    for (int i = 0; i < d; ++i)
        f.T[k + i][k + i] = 1.0;
    for (int i = 0; i + 1 < d; ++i)
        f.T[k + i][k + i + 1] = 1.0;
    f.Z[k] = 1.0;
    f.Q[k + d - 1][k + d - 1] = sigma2;
    SetDiffuse(f.P, k, d);
}

/* Coefficients g of the bwcycle's stationary variance, with r = rho^2;
 * only g[j][i], j <= i, is formed. */
void BwcycleCoefficients(double **g, int n, double r)
{
    double scale = 1.0 - r;
    g[0][0] = 1.0;
    for (int i = 1; i < n; ++i) {
        for (int j = 0; j < i; ++j) {
            if (j == 0)
                g[0][i] = g[0][i - 1] / scale;
            else
                g[j][i] = (r * g[j - 1][i] + g[j][i - 1] + g[j - 1][i - 1]) / scale;
        }
        g[i][i] = (2.0 * r * g[i - 1][i] + g[i - 1][i - 1]) / scale;
    }
}

/* B: block Toeplitz of 2 x 2 blocks, B(u,u) = I, B(u,w) = (C')^(w-u) above
 * the diagonal and its transpose below; C is the 2 x 2 block at T[k][k]. */
void BwcyclePowers(double **B, int n, double **T, int k)
{
    int size = 2 * n;
    MatZero(B, size, size);
    B[0][0] = B[1][1] = 1.0;
    for (int j = 0; j + 1 < n; ++j) {
        int c = 2 * j;
        for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b) {
                /* B(0, j+1) = B(0, j) C', so (C')[l][b] = C[b][l] */
                double v = B[a][c] * T[k + b][k] + B[a][c + 1] * T[k + b][k + 1];
                B[a][c + 2 + b] = v;
                B[c + 2 + b][a] = v;
            }
    }
    for (int r = 0; r + 2 < size; ++r)
        for (int q = 0; q + 2 < size; ++q)
            B[r + 2][q + 2] = B[r][q];
}

/* Stationary variance of the bwcycle block of n pairs at k. */
int fBwcycleVariance(const StsmForm &f, int k, int n, double rho, double sigma2)
{
    double **g = MatAllocBlock(n, n);
    double **B = MatAllocBlock(2 * n, 2 * n);
    if (!g || !B) {
        if (g) MatFreeBlock(g);
        if (B) MatFreeBlock(B);
        return 0;
    }
    BwcycleCoefficients(g, n, rho * rho);
    BwcyclePowers(B, n, f.T, k);
    for (int u = 0; u < n; ++u)
        for (int w = u; w < n; ++w) {
            double scale = sigma2 * g[n - 1 - w][n - 1 - u];
            for (int a = 0; a < 2; ++a)
                for (int b = 0; b < 2; ++b) {
                    double v = scale * B[2 * u + a][2 * w + b];
                    f.P[k + 2 * u + a][k + 2 * w + b] = v;
                    f.P[k + 2 * w + b][k + 2 * u + a] = v;
                }
        }
    MatFreeBlock(g);
    MatFreeBlock(B);
    return 1;
}

int fStsmBwcycle(const StsmForm &f, int k, int n, const double *row, double sigma2)
{
    double rho = row[COL_DAMP];
    if (n >= 2 && 1.0 - rho * rho == 0.0)
        return 0;  /* no stationary variance: the recursion divides by zero */
    for (int p = 0; p < n; ++p)
        SetRotation(f.T, k + 2 * p, rho, row[COL_PERIOD]);
    for (int p = 0; p + 1 < n; ++p) {
        f.T[k + 2 * p][k + 2 * p + 2] = 1.0;
        f.T[k + 2 * p + 1][k + 2 * p + 3] = 1.0;
    }
    f.Z[k] = 1.0;
    int last = k + 2 * n - 2;
    f.Q[last][last] = f.Q[last + 1][last + 1] = sigma2 * (1.0 - rho * rho);
    return fBwcycleVariance(f, k, n, rho, sigma2);
}

void StsmDummySeasonal(const StsmForm &f, int k, int s, double sigma2)
{
    for (int i = 0; i + 1 < s; ++i)
        f.T[k][k + i] = -1.0;
    for (int i = 0; i + 2 < s; ++i)
        f.T[k + i + 1][k + i] = 1.0;
    f.Z[k] = 1.0;
    f.Q[k][k] = sigma2;
    SetDiffuse(f.P, k, s - 1);
}

void StsmTrigSeasonal(const StsmForm &f, int k, int s, double sigma2)
{
    int pairs = s % 2 ? (s - 1) / 2 : s / 2 - 1;
    double omega = kTwoPi / s, lambda = omega;
    for (int j = 0; j < pairs; ++j) {
        SetRotation(f.T, k + 2 * j, 1.0, lambda);
        f.Z[k + 2 * j] = 1.0;
        lambda += omega;  /* accumulated, not multiplied */
    }
    if (s % 2 == 0) {
        f.T[k + s - 2][k + s - 2] = -1.0;
        f.Z[k + s - 2] = 1.0;
    }
    for (int i = 0; i + 1 < s; ++i)
        f.Q[k + i][k + i] = sigma2;
    SetDiffuse(f.P, k, s - 1);
}

/* All S = trunc(period) effects; the variances use the period as given. */
void StsmZeroSumSeasonal(const StsmForm &f, int k, int S, double period, double sigma2)
{
    for (int i = 0; i + 1 < S; ++i)
        f.T[k + i][k + i + 1] = 1.0;
    f.T[k + S - 1][k] = 1.0;
    f.Z[k] = 1.0;
    double less = period - 1.0;
    for (int i = 0; i < S; ++i) {
        int a = k + i;
        f.Q[a][a] = less * sigma2 / less;
        f.P[a][a] = less;
        for (int j = i + 1; j < S; ++j) {
            int b = k + j;
            f.Q[a][b] = f.Q[b][a] = -sigma2 / less;
            f.P[a][b] = f.P[b][a] = -1.0;
        }
        f.P[a][a] = -f.P[a][a];
    }
}

void StsmCycle(const StsmForm &f, int k, const double *row, double sigma2)
{
    double rho = row[COL_DAMP];
    SetRotation(f.T, k, rho, row[COL_PERIOD]);
    f.Z[k] = 1.0;
    f.Q[k][k] = f.Q[k + 1][k + 1] = sigma2 * (1.0 - rho * rho);
    f.P[k][k] = f.P[k + 1][k + 1] = sigma2;
}

void StsmAr2(const StsmForm &f, int k, double a, double b, double sigma2)
{
    double ab = a * b;
    f.T[k][k] = a + b;
    f.T[k][k + 1] = 1.0;
    f.T[k + 1][k] = -ab;
    f.Z[k] = 1.0;
    f.Q[k][k] = sigma2 * (1.0 - ab) * (1.0 - a * a) * (1.0 - b * b) / (1.0 + ab);
    f.P[k][k] = sigma2;
    f.P[k][k + 1] = f.P[k + 1][k] = -sigma2 * a * b * (a + b) / (1.0 + ab);
    f.P[k + 1][k + 1] = (a * a) * (b * b) * sigma2;
}

/* Fills the block of `code` with `states` states at k. */
int fStsmBlock(const StsmForm &f, int code, int k, int states, const double *row)
{
    double sigma2 = row[COL_SIGMA] * row[COL_SIGMA];
    switch (code) {
    case STSM_LEVEL:
    case STSM_SLOPE:
        if (code == STSM_SLOPE)
            f.T[k - 1][k] = 1.0;  /* the level's row */
        f.T[k][k] = 1.0;
        f.Z[k] = code == STSM_LEVEL ? 1.0 : 0.0;
        f.Q[k][k] = sigma2;
        SetDiffuse(f.P, k, 1);
        return 1;
    case STSM_TREND:
        StsmTrend(f, k, states, sigma2);
        return 1;
    case STSM_BWCYCLE:
        return fStsmBwcycle(f, k, states / 2, row, sigma2);
    case STSM_SEAS_DUMMY:
        StsmDummySeasonal(f, k, states + 1, sigma2);
        return 1;
    case STSM_SEAS_TRIG:
        StsmTrigSeasonal(f, k, states + 1, sigma2);
        return 1;
    case STSM_SEAS_ZEROSUM:
        StsmZeroSumSeasonal(f, k, states, row[COL_PERIOD], sigma2);
        return 1;
    case STSM_AR1: {
        double phi = row[COL_DAMP];
        f.T[k][k] = phi;
        f.Z[k] = 1.0;
        f.Q[k][k] = sigma2 * (1.0 - phi * phi);
        f.P[k][k] = sigma2;
        return 1;
    }
    case STSM_AR2:
        StsmAr2(f, k, row[COL_DAMP], row[COL_ORDER], sigma2);
        return 1;
    default:
        StsmCycle(f, k, row, sigma2);
        return 1;
    }
}

/* ---- host function checks -------------------------------------------- */

struct StsmSeen {
    int levelTrend, slope, irregular, ar1, ar2, seasonal;
    int level;  /* a level row (code 0) exists */
};

int iStsmCode(double x)
{
    int code;
    return fLdsDoubleToInt(x, &code) ? code : -1;
}

void StsmRequireColumns(int c, int needed)
{
    static const char *const text[] = {
        "GetLdsStsm(): at least three columns required in argument 1",
        "GetLdsStsm(): at least four columns required in argument 1",
        "GetLdsStsm(): at least five columns required in argument 1"};
    const int kFirst = 3;
    if (c < needed)
        KelRunErrorMessage(text[needed - kFirst]);
}

void StsmOnce(int *seen, const char *text)
{
    if (*seen)
        KelRunErrorMessage(text);
    *seen = 1;
}

/* Duplicate components and column counts, in row order. */
void StsmFirstPass(double **spec, int nc, int c, StsmSeen *seen)
{
    const char *kLevelTrend =
        "GetLdsStsm(): only one level/trend component allowed in argument 1";
    for (int i = 0; i < nc; ++i) {
        switch (iStsmCode(spec[i][COL_CODE])) {
        case STSM_LEVEL:
            StsmOnce(&seen->levelTrend, kLevelTrend);
            seen->level = 1;
            break;
        case STSM_SLOPE:
            StsmOnce(&seen->slope, "GetLdsStsm(): only one slope component allowed in argument 1");
            break;
        case STSM_TREND:
            StsmOnce(&seen->levelTrend, kLevelTrend);
            StsmRequireColumns(c, 3);
            break;
        case STSM_SEAS_DUMMY:
        case STSM_SEAS_TRIG:
        case STSM_SEAS_ZEROSUM:
            StsmRequireColumns(c, 3);
            break;
        case STSM_IRREG:
            StsmOnce(&seen->irregular,
                     "GetLdsStsm(): only one irregular component allowed in argument 1");
            break;
        case STSM_AR1:
            StsmOnce(&seen->ar1,
                     "GetLdsStsm(): only one autoregressive(1) component allowed in argument 1");
            StsmRequireColumns(c, 4);
            break;
        case STSM_AR2:
            StsmOnce(&seen->ar2,
                     "GetLdsStsm(): only one autoregressive(2) component allowed in argument 1");
            StsmRequireColumns(c, 5);
            break;
        case STSM_BWCYCLE:
            StsmRequireColumns(c, 5);
            break;
        default:
            break;
        }
    }
}

/* An order in [1, kMaxOrder): smaller orders would truncate to no state. */
int fStsmOrderOk(double x)
{
    return x >= 1.0 && x < kMaxOrder;
}

/* Frequency and damping of a cycle: lambda finite, >= 0 and within int
 * range, rho in [0, 1]. */
int fStsmCycleOk(const double *row)
{
    return fInRange(row[COL_PERIOD], 0.0, INT_MAX) && fInRange(row[COL_DAMP], 0.0, 1.0);
}

/* States of the bwcycle row, after its checks. */
int iStsmBwcycleCount(const double *row)
{
    const char *kParams = "GetLdsStsm(): bwcycle parameters not appropriate in argument 3";
    if (!fStsmCycleOk(row))
        KelRunErrorMessage(kParams);
    double order = row[COL_ORDER];
    if (!fStsmOrderOk(order))
        KelRunErrorMessage("GetLdsStsm(): bwcycle order not appropriate in argument 4");
    double rho = row[COL_DAMP];
    if (order >= 2.0 && 1.0 - rho * rho == 0.0)
        KelRunErrorMessage(kParams);
    return static_cast<int>(2.0 * order);
}

/* States of a seasonal row of `code`, after its checks. */
int iStsmSeasonalCount(int code, const double *row, StsmSeen *seen)
{
    int s;
    if (seen->seasonal || !fLdsDoubleToInt(row[COL_PERIOD], &s) || s < 2)
        KelRunErrorMessage("GetLdsStsm(): seasonal parameters not appropriate in argument 2");
    seen->seasonal = 1;
    return code == STSM_SEAS_ZEROSUM ? s : s - 1;
}

/* States counted for one row (checks included); -1 for an ignored row. */
int iStsmRowCount(int code, const double *row, int c, StsmSeen *seen)
{
    switch (code) {
    case STSM_LEVEL:
        return 1;
    case STSM_SLOPE:
        return seen->level ? 1 : -1;
    case STSM_TREND:
        if (!fStsmOrderOk(row[COL_PERIOD]))
            KelRunErrorMessage("GetLdsStsm(): trend order not appropriate in argument 2");
        return static_cast<int>(row[COL_PERIOD]);
    case STSM_SEAS_DUMMY:
    case STSM_SEAS_TRIG:
    case STSM_SEAS_ZEROSUM:
        return iStsmSeasonalCount(code, row, seen);
    case STSM_BWCYCLE:
        return iStsmBwcycleCount(row);
    case STSM_AR1:
        if (!fInRange(row[COL_DAMP], -1.0, 1.0))
            KelRunErrorMessage(
                "GetLdsStsm(): autoregressive(1) parameters not appropriate in argument 3");
        return 1;
    case STSM_AR2:
        if (!fInRange(row[COL_DAMP], -1.0, 1.0))
            KelRunErrorMessage(
                "GetLdsStsm(): autoregressive(2) parameters not appropriate in argument 3");
        /* a b = -1 puts unit roots at +1 and -1: no stationary variance */
        if (!fInRange(row[COL_ORDER], -1.0, 1.0) || row[COL_DAMP] * row[COL_ORDER] == -1.0)
            KelRunErrorMessage(
                "GetLdsStsm(): autoregressive(2) parameters not appropriate in argument 4");
        return 2;
    case STSM_IRREG:
        return 0;
    default:
        StsmRequireColumns(c, 4);
        if (!fStsmCycleOk(row))
            KelRunErrorMessage("GetLdsStsm(): cycle parameters not appropriate in argument 1");
        return 2;
    }
}

/* Counts the states and fills the component table, in row order. */
long long iStsmCount(double **spec, int nc, int c, StsmSeen *seen, int *table)
{
    for (int i = 0; i < STSM_COMPONENTS; ++i)
        table[i] = -1;
    long long m = 0;
    for (int i = 0; i < nc; ++i) {
        int code = iStsmCode(spec[i][COL_CODE]);
        if (code < 0 || code >= STSM_COMPONENTS)
            KelRunErrorMessage("GetLdsStsm(): cannot recognize component in argument 1");
        int states = iStsmRowCount(code, spec[i], c, seen);
        if (states < 0)
            continue;
        if (!fBuildFiniteSquare(spec[i][COL_SIGMA]))
            KelRunErrorMessage("GetLdsStsm(): standard deviation not appropriate in argument 1");
        m += states;
        table[code] = i;
    }
    return m;
}

void StsmFail(KelVALUE *rtn, const char *text)
{
    KelFreeByValue(rtn);
    KelRunErrorMessage(text);
}

} // namespace

int fGetLdsUnivStsm(const int *table, double **spec, int m, double *pos,
                    double **Sys, double **Var, double **Init)
{
    if (!table || !spec || !pos || !Sys || !Var || !Init || m < 1)
        return 0;
    MatZero(Sys, m + 1, m);
    MatZero(Var, m + 1, m + 1);
    MatZero(Init, m + 1, m);
    StsmForm f = {Sys, Sys[m], Var, Init};
    int k = 0;
    for (int code : kStateOrder) {
        int row = table[code];
        if (row < 0 || (code == STSM_SLOPE && table[STSM_LEVEL] < 0))
            continue;
        int states = iStsmStates(code, spec[row]);
        /* never write beyond the m states the matrices were made for */
        if (states < 1 || states > m - k)
            return 0;
        pos[row] = k;
        if (!fStsmBlock(f, code, k, states, spec[row]))
            return 0;
        k += states;
    }
    if (k != m)
        return 0;
    int irregular = table[STSM_IRREG];
    if (irregular >= 0) {
        pos[irregular] = m;
        Var[m][m] = spec[irregular][COL_SIGMA] * spec[irregular][COL_SIGMA];
    }
    /* a variance can overflow, or a parameter the checks let through be NaN */
    return fLdsAllFinite(Sys, m + 1, m) && fLdsAllFinite(Var, m + 1, m + 1) &&
           fLdsAllFinite(Init, m + 1, m);
}

void FnGetLdsStsm(KelVALUE *rtn, KelVALUE *args, int count)
{
    if (count < 4)
        KelRunErrorMessage("GetLdsStsm(): at least four arguments required");
    KelLibCheckType(KEL_MATRIX, args, 0, 0);
    KelLibCheckType(KEL_REFERENCE, args, 1, 3);
    int nc = args[0].v.mval.rows, c = args[0].v.mval.cols;
    double **spec = args[0].v.mval.data;
    if (nc < 2)
        KelRunErrorMessage("GetLdsStsm(): at least two components required in argument 1");
    if (c < 2)
        KelRunErrorMessage("GetLdsStsm(): at least two columns required in argument 1");
    BuildCheckTargets("GetLdsStsm", args, count, 1, 3);
    const char *kNoMemory = "GetLdsStsm(): memory allocation failure";
    double **pos = KelLibValMatMalloc(rtn, 1, nc);
    if (!pos)
        StsmFail(rtn, kNoMemory);
    BuildFill(pos, 1, nc, kNoState);

    StsmSeen seen = {0, 0, 0, 0, 0, 0, 0};
    StsmFirstPass(spec, nc, c, &seen);
    int table[STSM_COMPONENTS];
    long long states = iStsmCount(spec, nc, c, &seen, table);
    if (states == 0)
        StsmFail(rtn, "GetLdsStsm(): no model specified in argument 1");
    if (!fBuildSizeFits(states + 1, states + 1))
        StsmFail(rtn, kNoMemory);
    int m = static_cast<int>(states);
    double **Sys = BuildResult(&args[1], m + 1, m);
    double **Var = Sys ? BuildResult(&args[2], m + 1, m + 1) : nullptr;
    double **Init = Var ? BuildResult(&args[3], m + 1, m) : nullptr;
    if (!Init)
        StsmFail(rtn, kNoMemory);
    if (!fGetLdsUnivStsm(table, spec, m, pos[0], Sys, Var, Init))
        StsmFail(rtn, "GetLdsStsm(): no correct model specified in argument 1");
}
