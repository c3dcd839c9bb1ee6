/*
 * check.cpp - checking the run of state space arguments a host function
 * receives, and deriving the model dimensions from it.
 *
 * The two variants (lds_copied_form, lds_caller_form) share one routine;
 * they differ only in the data layouts they know, in the row count E of the stacked layout and in
 * whether the "no time-varying model" warning obeys the warning switch.
 */

#include <cmath>
#include <cstdio>
#include <limits>

#include "model/check.h"
#include "host/host.h"

namespace {

/* Bounds of the doubles whose truncation toward zero fits an int. */
const double kIntUpperLimit = std::numeric_limits<int>::max() + 1.0;
const double kIntLowerLimit = std::numeric_limits<int>::min() - 1.0;

/* Largest state dimension for which m + 4 (the rows of the widest stacked
 * layout) still fits an int. */
const int kMaxStates = std::numeric_limits<int>::max() - 4;

/* Rows of the stacked layout 4 beyond m. */
const int kStacked4Extra = 4;

const char kMsgRowsCols[] =
    "\nLds(): number of rows or columns not correct in argument %d\n";
const char kMsgNoTimeVarying[] = "Lds(): no time-varying state space model";
const char kMsgTooLarge[] = "Lds(): state space form too large";
const char kMsgTooFewArgs[] = "Lds(): too few arguments for a state space form";

/* Room for kMsgRowsCols with any int. */
const int kMessageSize = 96;

struct CheckVariant {
    int lastLayout;     /* highest data layout the variant checks */
    int storeExtra;     /* E = m + storeExtra */
    bool obeysSwitch;   /* the warning is silenced by fLdsNoErrorMessage */
};

const CheckVariant kVariantB = {LDS_LAYOUT_STACKED4, 3, true};
const CheckVariant kVariantA = {LDS_LAYOUT_STACKED, 2, false};

struct FormDims {
    int N, m, d, R, E, n;
};

void WarnNotTimeVarying(const CheckVariant &v)
{
    if (!v.obeysSwitch || !fLdsNoErrorMessage)
        KelRunMessage(kMsgNoTimeVarying);
}

/* Checks the optional matrix at `pos` when it is passed and present; its
 * row pointers go to *rows.  Result 1 when present. */
int fCheckOptional(KelVALUE *args, int count, int pos, int rows, int cols,
                   double ***prows)
{
    if (pos >= count || fLdsArgAbsent(&args[pos]))
        return 0;
    KelLibCheckMatrixSize(args, pos, pos, rows, cols);
    if (prows)
        *prows = args[pos].v.mval.data;
    return 1;
}

/* Stacked layouts hold q blocks of N columns; n becomes q. */
void CheckStacked(KelVALUE *args, int f, int rows, int N, int *pn)
{
    int q = *pn / N;
    KelLibCheckMatrixSize(args, f, f, rows, q * N);
    *pn = q;
}

void CheckData(const CheckVariant &v, KelVALUE *args, int f, int layout,
               FormDims *dim)
{
    if (layout < 0 || layout > v.lastLayout)
        return;
    switch (layout) {
    case LDS_LAYOUT_DATA:
        KelLibCheckMatrixSize(args, f, f, dim->N, dim->n);
        break;
    case LDS_LAYOUT_STORE:
        KelLibCheckMatrixSize(args, f, f, dim->R, dim->n);
        break;
    case LDS_LAYOUT_FULL:
        KelLibCheckMatrixSize(args, f, f, dim->d, dim->n);
        break;
    case LDS_LAYOUT_STACKED:
        CheckStacked(args, f, dim->E, dim->N, &dim->n);
        break;
    case LDS_LAYOUT_STACKED4:
        CheckStacked(args, f, dim->m + kStacked4Extra, dim->N, &dim->n);
        break;
    }
}

/* Sys and Var give m, N, d; the store rows R and E follow from them. */
void CheckSystem(const CheckVariant &v, KelVALUE *args, int f, FormDims *dim)
{
    const KelMATRIX &sys = args[f + LDS_ARG_SYS].v.mval;
    dim->m = sys.cols;
    dim->d = sys.rows;
    dim->N = dim->d - dim->m;
    if (dim->N < 1) {
        char text[kMessageSize];
        std::snprintf(text, sizeof text, kMsgRowsCols, f);
        KelRunErrorMessage(text);
    }
    KelLibCheckMatrixSize(args, f + LDS_ARG_VAR, f + LDS_ARG_VAR, dim->d, dim->d);
    dim->R = iLdsStoreRows(dim->N, dim->m);
    if (dim->R < 0 || dim->m > kMaxStates)
        KelRunErrorMessage(kMsgTooLarge);
    dim->E = dim->m + v.storeExtra;
}

/* The block IdxSys, IdxVar, IdxMean, X.  Result 1 when it is accepted. */
int fCheckTimeVarying(const CheckVariant &v, KelVALUE *args, int count, int f,
                      const FormDims &dim)
{
    if (count < f + LDS_FORM_ARGS) {
        if (count > f + LDS_ARG_IDXSYS)
            WarnNotTimeVarying(v);
        return 0;
    }
    KelLibCheckType(KEL_MATRIX, args, f + LDS_ARG_IDXSYS, f + LDS_ARG_X);
    const KelMATRIX &X = args[f + LDS_ARG_X].v.mval;
    if (X.rows == 0) {
        WarnNotTimeVarying(v);
        return 0;
    }
    int present = fCheckOptional(args, count, f + LDS_ARG_IDXSYS, dim.d, dim.m, nullptr);
    present |= fCheckOptional(args, count, f + LDS_ARG_IDXVAR, dim.d, dim.d, nullptr);
    present |= fCheckOptional(args, count, f + LDS_ARG_IDXMEAN, dim.d, 1, nullptr);
    if (present)
        KelLibCheckMatrixSize(args, f + LDS_ARG_X, f + LDS_ARG_X, X.rows, dim.n);
    return 1;
}

void StoreInt(int *p, int value)
{
    if (p)
        *p = value;
}

int iCheckLds(const CheckVariant &v, KelVALUE *args, int count, int f,
              int layout, int *pN, int *pm, int *pd, int *pR, int *pE, int *pn,
              double ***pInit, double ***pMean)
{
    /* The host checks only the arguments it is told about, so a short
     * argument list must be caught before any of them is read. */
    if (f < 0 || count < f + LDS_ARG_VAR + 1)
        KelRunErrorMessage(kMsgTooFewArgs);
    KelLibCheckType(KEL_MATRIX, args, f, f + LDS_ARG_VAR);
    FormDims dim;
    CheckSystem(v, args, f, &dim);
    dim.n = args[f].v.mval.cols;
    CheckData(v, args, f, layout, &dim);
    fCheckOptional(args, count, f + LDS_ARG_INIT, dim.m + 1, dim.m, pInit);
    fCheckOptional(args, count, f + LDS_ARG_MEAN, dim.d, 1, pMean);
    int timeVarying = fCheckTimeVarying(v, args, count, f, dim);
    StoreInt(pN, dim.N);
    StoreInt(pm, dim.m);
    StoreInt(pd, dim.d);
    StoreInt(pR, dim.R);
    StoreInt(pE, dim.E);
    StoreInt(pn, dim.n);
    return timeVarying;
}

} // namespace

int fLdsArgAbsent(const KelVALUE *arg)
{
    if (!arg)
        return 1;
    switch (arg->type & KEL_TAG_MASK) {
    case KEL_MATRIX: {
        const KelMATRIX &a = arg->v.mval;
        if (a.rows == 0 && a.cols == 0)
            return 1;
        return a.rows == 1 && a.cols == 1 && a.data[0][0] == 0.0;
    }
    case KEL_INT:
        return arg->v.ival == 0;
    case KEL_DOUBLE:
        return arg->v.dval == 0.0;
    default:
        return 0;
    }
}

int fLdsAllFinite(double **a, int rows, int cols)
{
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++)
            if (!std::isfinite(a[i][j]))
                return 0;
    return 1;
}

int fLdsDoubleToInt(double x, int *out)
{
    /* Written so that a NaN fails the test as well. */
    if (!(x > kIntLowerLimit && x < kIntUpperLimit))
        return 0;
    *out = static_cast<int>(x);
    return 1;
}

int iLdsStoreRows(int N, int m)
{
    if (N < 0 || m < 0)
        return -1;
    /* Formed in double and truncated, so that the count agrees with the
     * stores the filters write. */
    double rows = N * ((N + 1.0) * 0.5 + 1.0 + m);
    int r;
    return fLdsDoubleToInt(rows, &r) ? r : -1;
}

namespace lds_copied_form {
int iKelCheckLds(KelVALUE *, KelVALUE *args, int count, int f, int layout,
                 int *pN, int *pm, int *pd, int *pR, int *pE, int *pn,
                 double ***pInit, double ***pMean)
{
    return iCheckLds(kVariantB, args, count, f, layout, pN, pm, pd, pR, pE, pn,
                     pInit, pMean);
}
} // namespace lds_copied_form

namespace lds_caller_form {
int iKelCheckLds(KelVALUE *, KelVALUE *args, int count, int f, int layout,
                 int *pN, int *pm, int *pd, int *pR, int *pE, int *pn,
                 double ***pInit, double ***pMean)
{
    return iCheckLds(kVariantA, args, count, f, layout, pN, pm, pd, pR, pE, pn,
                     pInit, pMean);
}
} // namespace lds_caller_form
