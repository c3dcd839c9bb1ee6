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

/* 1 when x and x * x are finite: a scale whose square is a variance. */
int fBuildFiniteSquare(double x);

/* Sets every element of the rows x cols block to value. */
void BuildFill(double **a, int rows, int cols, double value);

/* The rule for the result references args[first..last] of a builder with
 * `count` arguments: each must point to a variable of its own, that is to
 * a record that is not null, not itself a reference and not one of
 * args[0..count-1]; no two may point to the same variable; and none may
 * hold the storage of a non-empty matrix passed by value elsewhere in
 * args.  A result allocated into such a variable would release or
 * overwrite storage the builder still reads or writes.  Raises
 * "<name>(): result arguments must refer to distinct variables" otherwise.
 * The arguments must have passed the reference type check. */
void BuildCheckTargets(const char *name, const KelVALUE *args, int count, int first,
                       int last);

#endif
