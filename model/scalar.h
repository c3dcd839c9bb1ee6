/*
 * scalar.h - the exported scalar helpers (model/scalar.cpp): the
 * missing-value marker, vector and quadratic-form products, maxima of int
 * tables and triangular substitution.  Every sum runs in increasing index
 * order into one running sum (backward substitution aside), and the
 * recursions rely on it.
 */
#ifndef VANTREL_MODEL_SCALAR_H
#define VANTREL_MODEL_SCALAR_H

#include "host/api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 1 if x is a NaN (any payload), else 0; infinities give 0. */
VANTREL_API int FIsNaN(double x);

/* *p = the quiet NaN 0x7FF8000000000000. */
VANTREL_API void SetNaN(double *p);

/* sum_i x[i] y[i] in increasing i; 0.0 when n < 1. */
VANTREL_API double dVecVec(int n, const double *x, const double *y);

/* y' A x as sum_i y[i] (sum_j A[i][j] x[j]); A read n x n; 0.0 when n < 1. */
VANTREL_API double dVecMatVec(int n, const double *x, double **A, const double *y);

/* x' A x, summed as dVecMatVec with y = x. */
VANTREL_API double dInnerProd(int n, const double *x, double **A);

/* Largest of v[0..n-1] starting from v[0]; v[0] when n < 1; 0 for null v. */
VANTREL_API int iMaxIntVec(int n, const int *v);

/* Largest entry of the rows x cols table starting from [0][0]; 0 for null. */
VANTREL_API int iMaxIntMat(int rows, int cols, int **t);

/* Triangular solve into x (b and x may be the same array), A read n x n.
 * flag != 0: forward,  x[i] = (b[i] - sum_{j<i} A[i][j] x[j]) / A[i][i];
 * flag == 0: backward, x[i] = (b[i] - sum_{j>i} A[i][j] x[j]) / A[i][i]. */
VANTREL_API void LDLbacksub(int flag, int n, double **A, const double *b, double *x);

#ifdef __cplusplus
}
#endif

#endif
