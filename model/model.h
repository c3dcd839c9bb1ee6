/*
 * model.h - the state space form: argument checking, time-varying elements
 * and the numeric kernels shared by the recursions.
 *
 * Dimensions: m states (columns of Sys), N series (rows of Sys minus m),
 * d = m + N, n time points.  Matrices are row-pointer arrays; int tables
 * likewise.  Nothing here allocates unless stated.
 *
 * The argument checks and the time-varying routines are internal.  They
 * come in two variants: `lds_b` serves the likelihood, filter, smoother,
 * moment, recursion and conditional-density functions; `lds_a` serves the
 * weight and simulation smoother functions, which write time-varying values
 * into the caller's own matrices and print their warnings whatever the
 * warning switch says.
 */
#ifndef VANTREL_MODEL_MODEL_H
#define VANTREL_MODEL_MODEL_H

#include "host/api.h"
#include "host/kel.h"
#include "model/scalar.h"

#ifdef __cplusplus

/* The optimised kernels of the recursions are declared in model/kernels.h. */

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
    LDS_LAYOUT_STACKED4 = 4   /* (m+4) x (q N), lds_b only */
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
namespace lds_b {
int iKelCheckLds(KelVALUE *rtn, KelVALUE *args, int count, int f, int layout,
                 int *pN, int *pm, int *pd, int *pR, int *pE, int *pn,
                 double ***pInit, double ***pMean);
}
namespace lds_a {
int iKelCheckLds(KelVALUE *rtn, KelVALUE *args, int count, int f, int layout,
                 int *pN, int *pm, int *pd, int *pR, int *pE, int *pn,
                 double ***pInit, double ***pMean);
}

/*
 * Time-varying elements.  idx points at the IdxSys record; IdxVar, IdxMean
 * and X follow it in the argument array.  Outputs are written only for
 * present index matrices, so callers clear them first.  The IdxMean vector
 * is handed out as a 1 x d table (row 0 is the vector) so that it lives in
 * storage the host tracks.  Index values are truncated toward zero; NaN,
 * +infinity and values beyond the int range count as out of range, any
 * negative value (-infinity included) keeps the element constant.
 * Result 1, or 0 on an allocation failure or (silently in lds_a, with
 * "Lds(): dimension of data matrix is not correct" in lds_b) an index beyond
 * the rows of X.
 */
namespace lds_b {
int fKelOpenLdsTV(KelVALUE *idx, int m, int d, int d2, int ***pIdxSys,
                  int ***pIdxVar, int ***pIdxMean, double ***pX);
void KelCloseLdsTV(int m, int d, double **sysCopy, double **varCopy,
                   int **idxSys, int **idxVar, int **idxMean);
}
namespace lds_a {
int fKelOpenLdsTV(KelVALUE *idx, int m, int d, int d2, int ***pIdxSys,
                  int ***pIdxVar, int ***pIdxMean, double ***pX);
void KelCloseLdsTV(int m, int d, int **idxSys, int **idxVar, int **idxMean);
}

/* Private copies of Sys (d x m, made when idxSys exists) and Var (d x d,
 * when idxVar exists).  sysArg points at the Sys record, Var follows it.
 * Result 1, or 0 when an allocation fails. */
int fCopyLdsTV(KelVALUE *sysArg, int m, int d, int **idxSys, int **idxVar,
               double ***pSysCopy, double ***pVarCopy);

/*
 * Applying the values of time point t.  An element marked in an index
 * table takes the value X[row][t]; the tables can be applied directly
 * (LdsApplyTV, as the filters and smoothers do at every time point) or
 * compiled once into a triple table (fLdsTVIndex) that lists the marked
 * elements and is applied by TVsystem.  Both views write the same elements
 * with the same values, Sys first, then Var, then Mean.
 */

/* Compiles the tables into an 8 x (c+1) triple table (freed by the caller
 * with TabFreePlain(table, 8, c+1)).  idxMean is the vector (may be null).
 * Result 1, or 0 when the table cannot be allocated. */
int fLdsTVIndex(int m, int d, int d2, int **idxSys, int **idxVar,
                const int *idxMean, int *pc, int ***pTriples);

/* Writes the values of time point t into Sys, Var and Mean (each may be
 * null and is then skipped), Sys first, then Var, then Mean. */
void TVsystem(int t, double **sys, double **var, double *mean,
              int **triples, double **X);

/* The same from the tables: Sys (d x m) from idxSys, Var (d x d) from
 * idxVar, Mean (d) from idxMean, each skipped when its table (or the
 * matrix) is null. */
void LdsApplyTVTables(int t, int m, int d, double **Sys, double **Var, double *Mean,
                      int **idxSys, int **idxVar, const int *idxMean, double **X);

/* LdsApplyTVTables, with the test for a model without index tables (the
 * common case, every time point) made where the loop runs. */
inline void LdsApplyTV(int t, int m, int d, double **Sys, double **Var, double *Mean,
                       int **idxSys, int **idxVar, const int *idxMean, double **X)
{
    if (idxSys || idxVar || idxMean)
        LdsApplyTVTables(t, m, d, Sys, Var, Mean, idxSys, idxVar, idxMean, X);
}

#endif /* __cplusplus */

#endif

#ifndef VANTREL_MODEL_PATTERN_DECLARED
#define VANTREL_MODEL_PATTERN_DECLARED

#include "host/api.h"

/* ---- transition pattern products (exported) ----------------------------
 * T is given with its pattern: six int arrays pat[0..5], each with its
 * count in element 0 and entries in 1..count: rows, columns of the entries
 * equal to +1; rows, columns of those equal to -1; rows, columns of all
 * other non-zero entries.  Listed +1 and -1 entries are applied without
 * reading T; unlisted entries are zero.  A null pattern reads T as dense.
 * Nothing here allocates. */
#ifdef __cplusplus
extern "C" {
#endif

/* result[0..n-1] = T a; T n x n (read at its listed entries), a read (n),
 * result written (n), not a. */
VANTREL_API void MatTa(int n, int **pat, double **T, const double *a, double *result);

/* result[0..n-1] = T' a; sizes as MatTa. */
VANTREL_API void MatTta(int n, int **pat, double **T, const double *a, double *result);

/* T r x c, P c x c symmetric (read), work r x c workspace, result
 * r x r: T P T' when result is P itself, else result + T P T' (result
 * read as symmetric, written whole). */
VANTREL_API void MatTPTt(int r, int c, int **pat, double **T, double **P, double **work,
                         double **result);

/* T r x c, P r x r symmetric (read), work c x r workspace, result
 * c x c: T' P T when result is P itself, else result + T' P T. */
VANTREL_API void MatTtPT(int r, int c, int **pat, double **T, double **P, double **work,
                         double **result);

/* Builds the pattern of the r x c matrix T into pat (six arrays of at
 * least r c + 1 ints each, written).  Entries that vary over time (listed
 * in the Sys part of the triple table, which may be null) go with the
 * other entries, so that their value is read at every use.  Returns the
 * number of listed entries. */
VANTREL_API int iMatTPattern(int r, int c, double **T, int **triples, int **pat);

#ifdef __cplusplus
}
#endif

#endif /* VANTREL_MODEL_PATTERN_DECLARED */
