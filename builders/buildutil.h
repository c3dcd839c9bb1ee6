/*
 * buildutil.h - small helpers shared by the model builders: result matrices
 * allocated into referenced host variables, size guards and fills.
 *
 * Internal to the library.
 */
#ifndef VANTREL_BUILDERS_BUILDUTIL_H
#define VANTREL_BUILDERS_BUILDUTIL_H

#include "host/kel.h"

/* Diagonal mark of a diffuse element of the initial state variance. */
const double kBuildDiffuse = -1.0;

/* Index entry that keeps an element of Sys or Var constant. */
const double kBuildConstant = -1.0;

/* 1 when a rows x cols matrix has an element count that fits an int. */
int fBuildSizeFits(long long rows, long long cols);

/* Makes the variable referenced by refArg a rows x cols matrix and returns
 * its rows, or null when the size does not fit an int or there is no
 * storage.  The new matrix is cleared. */
double **BuildResult(KelVALUE *refArg, int rows, int cols);

/* Sets every element of the rows x cols block to value. */
void BuildFill(double **a, int rows, int cols, double value);

/* 1 when the variables referenced by args[first..last] are distinct and
 * none of them holds the storage of a non-empty matrix passed by value in
 * args[0..first-1].  A result allocated into such a variable would release
 * storage the builder still reads or writes. */
int fBuildDistinctTargets(const KelVALUE *args, int first, int last);

#endif
