/*
 * timevarying.h - the time-varying elements of the state space form
 * (model/timevarying.cpp): opening the index tables of a host call, the
 * private copies of Sys and Var, and applying the values of one time point.
 * Internal.  Matrices and int tables are row-pointer arrays.
 *
 * Opening and closing come in the two variants of model/check.h:
 * `lds_copied_form` copies Sys and Var and reports an index beyond X;
 * `lds_caller_form` writes into the caller's own matrices and refuses such
 * an index silently.
 */
#ifndef VANTREL_MODEL_TIMEVARYING_H
#define VANTREL_MODEL_TIMEVARYING_H

#include "host/kel.h"

/*
 * Time-varying elements.  idx points at the IdxSys record; IdxVar, IdxMean
 * and X follow it in the argument array.  Outputs are written only for
 * present index matrices, so callers clear them first.  The IdxMean vector
 * is handed out as a 1 x d table (row 0 is the vector) so that it lives in
 * storage the host tracks.  Index values are truncated toward zero; NaN,
 * +infinity and values beyond the int range count as out of range, any
 * negative value (-infinity included) keeps the element constant.
 * Result 1, or 0 on an allocation failure or (silently in lds_caller_form,
 * with "Lds(): dimension of data matrix is not correct" in lds_copied_form)
 * an index beyond the rows of X.
 */
namespace lds_copied_form {
int fKelOpenLdsTV(KelVALUE *idx, int m, int d, int d2, int ***pIdxSys,
                  int ***pIdxVar, int ***pIdxMean, double ***pX);
void KelCloseLdsTV(int m, int d, double **sysCopy, double **varCopy,
                   int **idxSys, int **idxVar, int **idxMean);
}
namespace lds_caller_form {
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

#endif
