/*
 * hostcall.h - the frame shared by every statistical host function that
 * checks a state space form, opens its time-varying elements, allocates the
 * working storage, runs the filter and reports.  One LdsCall lives on the
 * host function's stack for the duration of the call.
 *
 * Typical use (LdsLik):
 *
 *   LdsCall c;
 *   LdsCallCheck(&c, "LdsLik", args, count, 2, LDS_LAYOUT_DATA);
 *   KelLibCheckType(KEL_REFERENCE, args, 0, 1);
 *   if (fLdsCallOpen(&c, 0, 0))
 *       fLdsCallFilter(&c, 0, &logdet, &sumsq, &cnt);   (filter/filtercall.h)
 *   if (c.status == 1) { ...write results... }
 *   LdsCallClose(&c);
 *   LdsCallReport(&c, rtn, "LdsLik(): non-positive semi-definite innovation variance matrix");
 *
 * Internal to the library.
 */
#ifndef VANTREL_MODEL_HOSTCALL_H
#define VANTREL_MODEL_HOSTCALL_H

#include "host/kel.h"

/* Host-call status: 1 success, 0 numerical failure, 9 allocation failure. */
enum { LDS_FAILED = 0, LDS_OK = 1, LDS_NOMEM = 9 };

/* Maximum number of result records released on failure. */
enum { LDS_CALL_MAX_RELEASE = 4 };

struct LdsCall {
    const char *name;          /* Kel name, for messages */
    KelVALUE *args;
    int count;
    int f;                     /* position of the data argument */
    int N, m, d, R, E, n;
    int timeVarying;           /* iKelCheckLds accepted the block */
    int noCopy;                /* no copies: lds_caller_form */
    double **data;             /* rows of argument f */
    double **sys, **var;       /* what the recursions use: copies when
                                  time-varying, else the host's matrices */
    double **init, **mean;     /* host rows, or null when absent */
    int **idxSys, **idxVar, **idxMeanTab;  /* index tables or null */
    int *idxMean;              /* row 0 of idxMeanTab, or null */
    double **X;                /* time-varying data, or null */
    double **sysCopy, **varCopy;
    double **pwork;            /* (d+1) x d */
    double **awork;            /* (d+2+extra) x d; row d+1 holds Mean */
    int aworkRows;
    double **store;            /* R x n filter store, or null */
    int status;
    int nrelease;
    KelVALUE *release[LDS_CALL_MAX_RELEASE];  /* freed by LdsCallReport on
                                                  any status other than 1 */
};

/* Clears the frame and checks the state space form with the
 * lds_copied_form check at position f with the given data layout (type and
 * size errors end the host call).  status = 1 afterwards. */
void LdsCallCheck(LdsCall *c, const char *name, KelVALUE *args, int count,
                  int f, int layout);

/* The variant for the host functions that make no copies (SimSmoWgt,
 * SimSmoDraw, LdsWeights): the lds_caller_form check, and fLdsCallOpen then
 * opens the time-varying elements without copying Sys and Var, so the
 * recursions write the values of each time point into the caller's own matrices. */
void LdsCallCheckNoCopy(LdsCall *c, const char *name, KelVALUE *args, int count,
                        int f, int layout);

/* Registers a record (a result matrix already allocated in it) that must be
 * released with KelFreeByValue when the call does not succeed. */
void LdsCallReleaseOnFailure(LdsCall *c, KelVALUE *rec);

/* Opens the time-varying elements and, unless the frame was checked by
 * LdsCallCheckNoCopy, copies Sys and Var when the model varies over time;
 * allocates P-work, A-work with `extraRows` rows beyond d+2, and, when
 * wantStore, the R x n filter store; copies Mean (zeros when absent) into
 * row d+1 of A-work.  Result 1, or 0 with status 9. */
int fLdsCallOpen(LdsCall *c, int extraRows, int wantStore);

/* Closes the time-varying elements and frees the working storage and the
 * filter store.  Safe to call more than once. */
void LdsCallClose(LdsCall *c);

/* Final report.  status 1: nothing (the caller has written its results).
 * Otherwise: releases the registered records, writes the int 0 into rtn
 * (when rtn is not null), and then raises KelRunError(4, null) for status 9
 * or prints `warning` unless warnings are off. */
void LdsCallReport(LdsCall *c, KelVALUE *rtn, const char *warning);

/* A result the host function is about to hand back: status = 0 (numerical
 * failure, reported with the function's warning) unless every element of
 * the rows x cols block is finite.  The NaN a missing observation leaves
 * is allowed where `missingRows` > 0: in rows 0..missingRows-1 of each
 * column t at which every series of the data argument is missing (the
 * innovations of a filter store).  Nothing is checked once status is not
 * 1. */
void LdsCallRequireFinite(LdsCall *c, double **a, int rows, int cols, int missingRows);

/* The same for one number. */
void LdsCallRequireFiniteNumber(LdsCall *c, double x);

/* The int code in argument 0 of a host function whose code may be left
 * out: fallback when count is 0, else args[0] (type checked by the host);
 * a code not among the nValid entries of valid stops the call with message.
 * Read before the frame's checks, so that a bad code is what the user hears
 * of first. */
int iLdsCallCode(KelVALUE *args, int count, int fallback, const int *valid, int nValid,
                 const char *message);

/* rtn becomes the int value. */
void LdsSetInt(KelVALUE *rtn, int value);

/* The record a reference argument points to (the argument itself when it
 * is not a reference). */
KelVALUE *LdsDeref(KelVALUE *arg);

/* The referenced record becomes the double value. */
void LdsSetRefDouble(KelVALUE *ref, double value);

#endif
