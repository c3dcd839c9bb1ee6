/*
 * regspline.cpp - regression effects and cubic smoothing splines.  The
 * regression forms take their regressors later, as the data matrix of the
 * time-varying elements, through an index matrix on the observation row;
 * the irregularly spaced spline gets its time steps the same way.
 */
#include <cmath>

#include "builders/builders.h"
#include "builders/buildutil.h"

namespace {

/* The four matrices of a regression form, in the order of the reference
 * arguments: Sys, Var, Init, IdxSys. */
enum { REG_SYS = 0, REG_VAR, REG_INIT, REG_IDX, REG_PARTS };

/* Fills the work form of M = k + m states: k constant, diffuse regression
 * coefficients observed through IdxSys, then the old model of m states
 * (old[] holds its Sys, Var and Init; unused when m = 0). */
void RegFill(double **w[REG_PARTS], int k, int m, double **const old[REG_PARTS - 1])
{
    int M = k + m;
    MatZero(w[REG_SYS], M + 1, M);
    MatZero(w[REG_VAR], M + 1, M + 1);
    MatZero(w[REG_INIT], M + 1, M);
    BuildFill(w[REG_IDX], M + 1, M, kBuildConstant);
    for (int i = 0; i < k; ++i) {
        w[REG_SYS][i][i] = 1.0;
        w[REG_IDX][M][i] = i;
        w[REG_INIT][i][i] = kBuildDiffuse;
    }
    if (m == 0) {
        w[REG_VAR][M][M] = 1.0;
        return;
    }
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j) {
            w[REG_SYS][k + i][k + j] = old[REG_SYS][i][j];
            w[REG_VAR][k + i][k + j] = old[REG_VAR][i][j];
            w[REG_INIT][k + i][k + j] = old[REG_INIT][i][j];
        }
    for (int j = 0; j < m; ++j) {
        w[REG_SYS][M][k + j] = old[REG_SYS][m][j];
        w[REG_INIT][M][k + j] = old[REG_INIT][m][j];
    }
    /* the old state/observation covariances are not carried over */
    w[REG_VAR][M][M] = old[REG_VAR][m][m];
}

/* Builds the form of k regression coefficients ahead of the old model in
 * work storage, then replaces the variables referenced by refs[0..3] with
 * it.  Result 1; 0 when the work storage is missing (nothing changed) or a
 * result has no storage. */
int fRegInstall(KelVALUE *refs, int k, int m, double **const old[REG_PARTS - 1])
{
    int M = k + m;
    const int rows = M + 1, cols[REG_PARTS] = {M, M + 1, M, M};
    double **w[REG_PARTS];
    int have = 1;
    for (int a = 0; a < REG_PARTS; ++a) {
        w[a] = have ? MatAllocBlock(rows, cols[a]) : nullptr;
        have = have && w[a];
    }
    if (have) {
        RegFill(w, k, m, old);
        for (int a = 0; a < REG_PARTS; ++a)
            KelFreeByValue(refs[a].v.ref);
        for (int a = 0; a < REG_PARTS && have; ++a) {
            double **r = BuildResult(&refs[a], rows, cols[a]);
            have = r != nullptr;
            for (int i = 0; have && i < rows; ++i)
                for (int j = 0; j < cols[a]; ++j)
                    r[i][j] = w[a][i][j];
        }
    }
    for (int a = 0; a < REG_PARTS; ++a)
        if (w[a])
            MatFreeBlock(w[a]);
    return have;
}

int fIsMatrix(const KelVALUE *v)
{
    return (v->type & KEL_TAG_MASK) == KEL_MATRIX;
}

/* Checks the old model in the variables of refs[0..3] and returns its
 * state count m. */
int iRegOldModel(KelVALUE *refs)
{
    static const char *const kNoMatrix[REG_PARTS] = {
        "AddLdsReg(): argument 2 no pointer to matrix",
        "AddLdsReg(): argument 3 no pointer to matrix",
        "AddLdsReg(): argument 4 no pointer to matrix",
        "AddLdsReg(): argument 5 no pointer to matrix"};
    const KelMATRIX *v[REG_PARTS];
    for (int a = 0; a < REG_PARTS; ++a) {
        if (!fIsMatrix(refs[a].v.ref))
            KelRunErrorMessage(kNoMatrix[a]);
        v[a] = &refs[a].v.ref->v.mval;
    }
    if (v[REG_IDX]->rows + v[REG_IDX]->cols != 0)
        KelRunErrorMessage("AddLdsReg(): argument 5 must be empty matrix <>");
    int m = v[REG_SYS]->cols;
    if (m == 0) {
        if (v[REG_SYS]->rows != 0 || v[REG_VAR]->rows != 0 || v[REG_VAR]->cols != 0 ||
            v[REG_INIT]->rows != 0)
            KelRunErrorMessage("AddLdsReg(): all pointers must be to empty matrices");
        return 0;
    }
    if (v[REG_SYS]->rows != m + 1)
        KelRunErrorMessage("AddLdsReg(): argument 2 wrong matrix dimension");
    if (v[REG_VAR]->rows != m + 1 || v[REG_VAR]->cols != m + 1)
        KelRunErrorMessage("AddLdsReg(): argument 3 wrong matrix dimension");
    if (v[REG_INIT]->rows != m + 1 || v[REG_INIT]->cols != m)
        KelRunErrorMessage("AddLdsReg(): argument 4 wrong matrix dimension");
    return m;
}

/* ---- spline ------------------------------------------------------------ */

/* Argument positions (0-based) of GetLdsSpline. */
enum {
    SPL_DELTA = 0, SPL_GAPS, SPL_SYS, SPL_VAR, SPL_INIT, SPL_IDXSYS, SPL_IDXVAR,
    SPL_DATA, SPL_ARGS_IRREGULAR
};
const int kSplineArgsPlain = 4;
const int kSplineArgsInit = 5;
const int kSplineStates = 2;
const int kSplineDataRows = 4;

/* Data rows of the irregular spline, and the Var element each one feeds. */
enum { SPL_ROW_STEP = 0, SPL_ROW_Q11, SPL_ROW_Q01, SPL_ROW_Q00 };

double **SplineResult(KelVALUE *args, int arg, int rows, int cols)
{
    double **a = BuildResult(&args[arg], rows, cols);
    if (!a)
        KelRunError(KEL_ERROR_MEMORY, nullptr);
    return a;
}

void SplineSystem(KelVALUE *args, double delta)
{
    double **Sys = SplineResult(args, SPL_SYS, kSplineStates + 1, kSplineStates);
    Sys[0][0] = Sys[0][1] = Sys[1][1] = 1.0;
    Sys[2][0] = 1.0;
    double **Var = SplineResult(args, SPL_VAR, kSplineStates + 1, kSplineStates + 1);
    Var[0][0] = delta / 3.0;
    Var[0][1] = delta * 0.5;
    Var[1][0] = delta * 0.5;
    Var[1][1] = delta;
    Var[2][2] = 1.0;
}

/* Data column of the time step `step`: rows SPL_ROW_STEP .. SPL_ROW_Q00. */
void SplineStepColumn(double delta, double step, double column[kSplineDataRows])
{
    column[SPL_ROW_STEP] = step;
    column[SPL_ROW_Q11] = delta * step;
    column[SPL_ROW_Q01] = (delta * step * step) * 0.5;
    column[SPL_ROW_Q00] = ((delta * step * step * 0.5) * step) / 1.5;
}

/* 1 when every time step in args is not negative and gives finite data
 * values. */
int fSplineStepsValid(const KelVALUE *args, double delta)
{
    const KelMATRIX &gaps = args[SPL_GAPS].v.mval;
    for (int t = 0; t < gaps.cols; ++t) {
        if (gaps.data[0][t] < 0.0)
            return 0;
        double column[kSplineDataRows];
        SplineStepColumn(delta, gaps.data[0][t], column);
        for (double x : column)
            if (!std::isfinite(x))
                return 0;
    }
    return 1;
}

/* Time steps as the time-varying T[0][1] and Q. */
void SplineIrregular(KelVALUE *args, double delta)
{
    double **IdxSys = SplineResult(args, SPL_IDXSYS, kSplineStates + 1, kSplineStates);
    BuildFill(IdxSys, kSplineStates + 1, kSplineStates, kBuildConstant);
    IdxSys[0][1] = SPL_ROW_STEP;
    double **IdxVar = SplineResult(args, SPL_IDXVAR, kSplineStates + 1, kSplineStates + 1);
    BuildFill(IdxVar, kSplineStates + 1, kSplineStates + 1, kBuildConstant);
    IdxVar[1][1] = SPL_ROW_Q11;
    IdxVar[1][0] = IdxVar[0][1] = SPL_ROW_Q01;
    IdxVar[0][0] = SPL_ROW_Q00;
    int n = args[SPL_GAPS].v.mval.cols;
    double *gaps = args[SPL_GAPS].v.mval.data[0];
    double **X = SplineResult(args, SPL_DATA, kSplineDataRows, n);
    for (int t = 0; t < n; ++t) {
        double column[kSplineDataRows];
        SplineStepColumn(delta, gaps[t], column);
        for (int i = 0; i < kSplineDataRows; ++i)
            X[i][t] = column[i];
    }
}

} // namespace

void FnGetLdsReg(KelVALUE *rtn, KelVALUE *args, int count)
{
    if (count != 5)
        KelRunErrorMessage("GetLdsReg(): five arguments required");
    KelLibCheckType(KEL_MATRIX, args, 0, 0);
    KelLibCheckType(KEL_REFERENCE, args, 1, 4);
    int k = args[0].v.mval.rows;
    if (k < 1)
        KelRunErrorMessage("GetLdsReg(): data matrix needed in first argument");
    BuildCheckTargets("GetLdsReg", args, count, 1, 4);
    if (!fBuildSizeFits(k + 1LL, k + 1LL) || !fRegInstall(&args[1], k, 0, nullptr))
        KelRunErrorMessage("GetLdsReg(): memory allocation failure");
    rtn->type = KEL_INT;
    rtn->v.ival = 1;
}

void FnAddLdsReg(KelVALUE *, KelVALUE *args, int count)
{
    if (count != 5)
        KelRunErrorMessage("AddLdsReg(): five arguments required");
    KelLibCheckType(KEL_REFERENCE, args, 1, 4);
    if (!fIsMatrix(&args[0]))
        KelRunErrorMessage("AddLdsReg(): argument 1 must be matrix");
    int k = args[0].v.mval.rows;
    if (k == 0)
        return;
    BuildCheckTargets("AddLdsReg", args, count, 1, 4);
    KelVALUE *refs = &args[1];
    int m = iRegOldModel(refs);
    double **const old[REG_PARTS - 1] = {refs[REG_SYS].v.ref->v.mval.data,
                                         refs[REG_VAR].v.ref->v.mval.data,
                                         refs[REG_INIT].v.ref->v.mval.data};
    long long M = static_cast<long long>(k) + m;
    if (!fBuildSizeFits(M + 1, M + 1) || !fRegInstall(refs, k, m, old))
        KelRunError(KEL_ERROR_MEMORY, nullptr);
}

void FnGetLdsSpline(KelVALUE *rtn, KelVALUE *args, int count)
{
    if (count != kSplineArgsPlain && count != kSplineArgsInit && count != SPL_ARGS_IRREGULAR)
        KelRunErrorMessage("GetLdsSpline(): wrong number of arguments");
    KelLibCheckType(KEL_DOUBLE, args, SPL_DELTA, SPL_DELTA);
    KelLibCheckType(KEL_MATRIX, args, SPL_GAPS, SPL_GAPS);
    KelLibCheckType(KEL_REFERENCE, args, SPL_SYS, count - 1);
    /* the gaps are read from the first row, so a matrix without rows gives
     * no irregular form */
    int irregular = count == SPL_ARGS_IRREGULAR && args[SPL_GAPS].v.mval.rows > 0;
    int last = irregular ? SPL_DATA : (count >= kSplineArgsInit ? SPL_INIT : SPL_VAR);
    BuildCheckTargets("GetLdsSpline", args, count, SPL_SYS, last);
    double delta = args[SPL_DELTA].v.dval;
    /* a negative ratio or time step makes Q no variance */
    if (!std::isfinite(delta) || delta < 0.0)
        KelRunErrorMessage("GetLdsSpline(): smoothing parameter not appropriate in argument 1");
    if (irregular && !fSplineStepsValid(args, delta))
        KelRunErrorMessage("GetLdsSpline(): time steps not appropriate in argument 2");
    SplineSystem(args, delta);
    if (count >= kSplineArgsInit) {
        double **Init = SplineResult(args, SPL_INIT, kSplineStates + 1, kSplineStates);
        Init[0][0] = Init[1][1] = kBuildDiffuse;
    }
    if (irregular)
        SplineIrregular(args, delta);
    rtn->type = KEL_INT;
    rtn->v.ival = 1;
}
