/*
 * check.h - checking the state space arguments of a host call
 * (model/check.cpp): the positions of the form's arguments, the layouts of
 * the data argument, and the safe conversions and finiteness tests the
 * checks and the host functions share.  Internal.
 *
 * Dimensions: m states (columns of Sys), N series (rows of Sys minus m),
 * d = m + N, n time points.
 *
 * The check comes in two variants, named by where the time-varying values
 * go: `lds_copied_form` serves the likelihood, filter, smoother, moment,
 * recursion and conditional-density functions, which work on private
 * copies of Sys and Var; `lds_caller_form` serves the weight and
 * simulation smoother functions, which write time-varying values into the
 * caller's own matrices and print their warnings whatever the warning
 * switch says.
 */
#ifndef VANTREL_MODEL_CHECK_H
#define VANTREL_MODEL_CHECK_H

#include "host/kel.h"

/* ---- positions of the state space form, counted from the data argument -- */
enum {
    LDS_ARG_SYS = 1,
    LDS_ARG_VAR = 2,
    LDS_ARG_INIT = 3,
    LDS_ARG_MEAN = 4,
    LDS_ARG_IDXSYS = 5,       /* IdxSys, IdxVar, IdxMean, X follow in turn */
    LDS_ARG_IDXVAR = 6,
    LDS_ARG_IDXMEAN = 7,
    LDS_ARG_X = 8,
    LDS_FORM_ARGS = 9         /* data argument and the whole form */
};

/* ---- data layouts of the data argument --------------------------------- */
enum {
    LDS_LAYOUT_DATA = 0,      /* N x n observations */
    LDS_LAYOUT_STORE = 1,     /* R x n filter store */
    LDS_LAYOUT_FULL = 2,      /* d x n */
    LDS_LAYOUT_STACKED = 3,   /* E x (q N), n becomes q */
    LDS_LAYOUT_STACKED4 = 4   /* (m+4) x (q N), lds_copied_form only */
};

/* 1 when the optional argument counts as absent: a 0 x 0 matrix, a 1 x 1
 * matrix holding exactly 0.0, or a number equal to 0. */
int fLdsArgAbsent(const KelVALUE *arg);

/* Safe truncation toward zero of a host double to int.  Returns 1 and
 * stores the value when x is finite and within int range, else 0. */
int fLdsDoubleToInt(double x, int *out);

/* 1 when every element of the rows x cols block is finite. */
int fLdsAllFinite(double **a, int rows, int cols);

/* Row count of the filter store, N m + N (N+1)/2 + N; -1 when it does not
 * fit an int. */
int iLdsStoreRows(int N, int m);

/*
 * iKelCheckLds: checks the run of state space arguments starting at the data
 * argument f (0-based) of `args` (count entries), derives the dimensions and
 * reports whether a time-varying block is present and accepted (result 1) or
 * not (0).  Type and size errors end the host call.  Each output pointer may
 * be null.  Init and Mean receive the host's row pointers when present and
 * are left untouched otherwise.  `rtn` is not used.
 */
namespace lds_copied_form {
int iKelCheckLds(KelVALUE *rtn, KelVALUE *args, int count, int f, int layout,
                 int *pN, int *pm, int *pd, int *pR, int *pE, int *pn,
                 double ***pInit, double ***pMean);
}
namespace lds_caller_form {
int iKelCheckLds(KelVALUE *rtn, KelVALUE *args, int count, int f, int layout,
                 int *pN, int *pm, int *pd, int *pR, int *pE, int *pn,
                 double ***pInit, double ***pMean);
}

#endif
