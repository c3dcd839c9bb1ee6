/*
 * pattern.h - the transition pattern products (model/pattern.cpp),
 * exported for code that links the library directly.
 */
#ifndef VANTREL_MODEL_PATTERN_H
#define VANTREL_MODEL_PATTERN_H

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

#endif
