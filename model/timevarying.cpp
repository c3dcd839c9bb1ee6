/*
 * timevarying.cpp - elements of Sys, Var and Mean that take their value at
 * time t from a row of the data matrix X.
 *
 * The host's index matrices are turned into int tables (a negative entry
 * keeps the element constant), Sys and Var are copied where the recursions
 * will overwrite them, and the tables can be compiled into lists of triples
 * for routines that apply them one time point at a time.  The tables and
 * the triple table are two views of the same marks, applied in the same
 * order (LdsApplyTVTables, TVsystem).
 */
#include "model/timevarying.h"
#include "model/check.h"
#include "model/scalar.h"

#include <limits>

namespace {

const char kMsgDataDims[] = "Lds(): dimension of data matrix is not correct";

/* Element size passed to TabAllocPlain for int tables. */
const int kIntBytes = sizeof(int);

/* Table entry of an element that does not vary over time. */
const int kConstant = -1;

/* Rows of the triple table: each part starts with its count. */
enum {
    TRIPLE_SYS = 0,     /* rows 0, 1, 2: Sys row, Sys column, X row */
    TRIPLE_VAR = 3,     /* rows 3, 4, 5: the same for Var */
    TRIPLE_MEAN = 6,    /* rows 6, 7: Mean element, X row */
    TRIPLE_ROWS = 8
};

enum IndexStatus { INDEX_OK, INDEX_NOMEM, INDEX_RANGE };

struct OpenVariant {
    bool reportRange;       /* an index beyond X raises the message */
    bool checkUnindexedX;   /* with no index matrix, X is still handed out */
};

const OpenVariant kOpenB = {true, true};
const OpenVariant kOpenA = {false, false};

/* The row of X an index value selects, or kConstant.  Result 0 for a value
 * that selects no representable row (NaN, +infinity, beyond int). */
int fIndexValue(double x, int *row)
{
    if (fLdsDoubleToInt(x, row))
        return 1;
    if (x < 0.0) {
        *row = kConstant;
        return 1;
    }
    return 0;
}

/* Turns the rows x cols host index matrix `rec`, when present, into a new
 * table; with `asRow` the host's column becomes row 0 of a 1 x rows table. */
IndexStatus OpenIndex(const KelVALUE *rec, int rows, int cols, bool asRow,
                      int ***ptab)
{
    if (fLdsArgAbsent(rec))
        return INDEX_OK;
    int **tab = reinterpret_cast<int **>(
        asRow ? TabAllocPlain(1, rows, kIntBytes) : TabAllocPlain(rows, cols, kIntBytes));
    if (!tab)
        return INDEX_NOMEM;
    *ptab = tab;
    double **a = rec->v.mval.data;
    IndexStatus status = INDEX_OK;
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++) {
            int &slot = asRow ? tab[0][i] : tab[i][j];
            if (!fIndexValue(a[i][j], &slot)) {
                slot = kConstant;
                status = INDEX_RANGE;
            }
        }
    return status;
}

void CloseTables(int m, int d, int **idxSys, int **idxVar, int **idxMean)
{
    if (idxSys)
        TabFreePlain(reinterpret_cast<void **>(idxSys), d, m);
    if (idxVar)
        TabFreePlain(reinterpret_cast<void **>(idxVar), d, d);
    if (idxMean)
        TabFreePlain(reinterpret_cast<void **>(idxMean), 1, d);
}

/* 1 when some entry selects a row at or beyond the rows of X (a missing
 * table counts as largest entry 0). */
bool fBeyondX(int m, int d, int d2, int **idxSys, int **idxVar, int **idxMean,
              int rowsX)
{
    return iMaxIntMat(d, m, idxSys) >= rowsX || iMaxIntMat(d, d2, idxVar) >= rowsX ||
           iMaxIntVec(d, idxMean ? idxMean[0] : nullptr) >= rowsX;
}

int fOpenTV(const OpenVariant &v, KelVALUE *idx, int m, int d, int d2,
            int ***pIdxSys, int ***pIdxVar, int ***pIdxMean, double ***pX)
{
    int **sys = nullptr, **var = nullptr, **mean = nullptr;
    IndexStatus status = OpenIndex(&idx[0], d, m, false, &sys);
    if (status != INDEX_NOMEM) {
        IndexStatus s = OpenIndex(&idx[1], d, d2, false, &var);
        status = s != INDEX_OK ? s : status;
    }
    if (status != INDEX_NOMEM) {
        IndexStatus s = OpenIndex(&idx[2], d, 1, true, &mean);
        status = s != INDEX_OK ? s : status;
    }
    const KelMATRIX &X = idx[3].v.mval;
    bool none = !sys && !var && !mean;
    if (status == INDEX_OK && none && (!v.checkUnindexedX || X.rows == 0))
        return 1;
    if (status == INDEX_OK && fBeyondX(m, d, d2, sys, var, mean, X.rows))
        status = INDEX_RANGE;
    if (status != INDEX_OK) {
        /* Freed here rather than left to the caller, so that a failed open
         * hands out nothing. */
        CloseTables(m, d, sys, var, mean);
        if (status == INDEX_RANGE && v.reportRange)
            KelRunErrorMessage(kMsgDataDims);
        return 0;
    }
    if (sys)
        *pIdxSys = sys;
    if (var)
        *pIdxVar = var;
    if (mean)
        *pIdxMean = mean;
    *pX = X.data;
    return 1;
}

/* A new rows x cols copy of `src` into *pcopy.  Result 0 when it cannot be
 * allocated. */
int fCopyMatrix(double **src, int rows, int cols, double ***pcopy)
{
    double **copy = MatAllocBlock(rows, cols);
    if (!copy)
        return 0;
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++)
            copy[i][j] = src[i][j];
    *pcopy = copy;
    return 1;
}

long long iCountActive(int **tab, int rows, int cols)
{
    long long count = 0;
    if (tab)
        for (int i = 0; i < rows; i++)
            for (int j = 0; j < cols; j++)
                count += tab[i][j] >= 0;
    return count;
}

/* Lists the active entries of `tab` in row-major order into the part of the
 * triple table that starts at row `part`.  With `elementOnly` (the Mean
 * vector, one table row) only the element number and the X row are kept. */
void FillPart(int **tab, int rows, int cols, bool elementOnly, int **trip, int part)
{
    int k = 0;
    if (tab)
        for (int i = 0; i < rows; i++)
            for (int j = 0; j < cols; j++) {
                if (tab[i][j] < 0)
                    continue;
                k++;
                if (elementOnly) {
                    trip[part][k] = j;
                    trip[part + 1][k] = tab[i][j];
                } else {
                    trip[part][k] = i;
                    trip[part + 1][k] = j;
                    trip[part + 2][k] = tab[i][j];
                }
            }
    trip[part][0] = k;
}

/* The triple table's view: the listed elements of M (Sys or Var) take
 * their values of time point t. */
void ApplyPart(int t, double **M, int **trip, int part, double **X)
{
    const int *r = trip[part], *c = trip[part + 1], *x = trip[part + 2];
    for (int k = 1; k <= r[0]; k++)
        M[r[k]][c[k]] = X[x[k]][t];
}

/* The index table's view: the elements of the rows x cols matrix M whose
 * entry in tab selects a row of X take their values of time point t, in
 * row-major order, the order in which fLdsTVIndex lists them. */
void ApplyTable(int t, double **M, int rows, int cols, int **tab, double **X)
{
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++)
            if (tab[i][j] >= 0)
                M[i][j] = X[tab[i][j]][t];
}

} // namespace

namespace lds_copied_form {
int fKelOpenLdsTV(KelVALUE *idx, int m, int d, int d2, int ***pIdxSys,
                  int ***pIdxVar, int ***pIdxMean, double ***pX)
{
    return fOpenTV(kOpenB, idx, m, d, d2, pIdxSys, pIdxVar, pIdxMean, pX);
}

void KelCloseLdsTV(int m, int d, double **sysCopy, double **varCopy,
                   int **idxSys, int **idxVar, int **idxMean)
{
    if (sysCopy)
        MatFreeBlock(sysCopy);
    if (varCopy)
        MatFreeBlock(varCopy);
    CloseTables(m, d, idxSys, idxVar, idxMean);
}
} // namespace lds_copied_form

namespace lds_caller_form {
int fKelOpenLdsTV(KelVALUE *idx, int m, int d, int d2, int ***pIdxSys,
                  int ***pIdxVar, int ***pIdxMean, double ***pX)
{
    return fOpenTV(kOpenA, idx, m, d, d2, pIdxSys, pIdxVar, pIdxMean, pX);
}

void KelCloseLdsTV(int m, int d, int **idxSys, int **idxVar, int **idxMean)
{
    CloseTables(m, d, idxSys, idxVar, idxMean);
}
} // namespace lds_caller_form

int fCopyLdsTV(KelVALUE *sysArg, int m, int d, int **idxSys, int **idxVar,
               double ***pSysCopy, double ***pVarCopy)
{
    /* Each copy is handed out as soon as it exists, so that a caller who
     * closes after a failure frees it. */
    if (idxSys && !fCopyMatrix(sysArg[0].v.mval.data, d, m, pSysCopy))
        return 0;
    if (idxVar && !fCopyMatrix(sysArg[1].v.mval.data, d, d, pVarCopy))
        return 0;
    return 1;
}

int fLdsTVIndex(int m, int d, int d2, int **idxSys, int **idxVar,
                const int *idxMean, int *pc, int ***pTriples)
{
    /* The Mean vector is read as a one-row table. */
    int *meanRow[1] = {const_cast<int *>(idxMean)};
    int **mean = idxMean ? meanRow : nullptr;
    long long c = iCountActive(idxSys, d, m);
    long long cv = iCountActive(idxVar, d, d2);
    long long cm = iCountActive(mean, 1, d);
    c = cv > c ? cv : c;
    c = cm > c ? cm : c;
    if (c >= std::numeric_limits<int>::max())
        return 0;
    int cols = static_cast<int>(c) + 1;
    int **trip = reinterpret_cast<int **>(TabAllocPlain(TRIPLE_ROWS, cols, kIntBytes));
    if (!trip)
        return 0;
    for (int r = 0; r < TRIPLE_ROWS; r++)
        for (int k = 0; k < cols; k++)
            trip[r][k] = 0;
    FillPart(idxSys, d, m, false, trip, TRIPLE_SYS);
    FillPart(idxVar, d, d2, false, trip, TRIPLE_VAR);
    FillPart(mean, 1, d, true, trip, TRIPLE_MEAN);
    *pc = static_cast<int>(c);
    *pTriples = trip;
    return 1;
}

void LdsApplyTVTables(int t, int m, int d, double **Sys, double **Var, double *Mean,
                      int **idxSys, int **idxVar, const int *idxMean, double **X)
{
    if (Sys && idxSys)
        ApplyTable(t, Sys, d, m, idxSys, X);
    if (Var && idxVar)
        ApplyTable(t, Var, d, d, idxVar, X);
    if (Mean && idxMean) {
        int *meanRow[1] = {const_cast<int *>(idxMean)};
        double *meanOut[1] = {Mean};
        ApplyTable(t, meanOut, 1, d, meanRow, X);
    }
}

void TVsystem(int t, double **sys, double **var, double *mean, int **triples,
              double **X)
{
    if (sys)
        ApplyPart(t, sys, triples, TRIPLE_SYS, X);
    if (var)
        ApplyPart(t, var, triples, TRIPLE_VAR, X);
    if (mean) {
        const int *e = triples[TRIPLE_MEAN], *x = triples[TRIPLE_MEAN + 1];
        for (int k = 1; k <= e[0]; k++)
            mean[e[k]] = X[x[k]][t];
    }
}
