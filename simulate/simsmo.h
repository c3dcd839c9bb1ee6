/*
 * simsmo.h - what the simulation smoother's host functions share: the
 * selection read from a selection matrix or from the variances, the size of
 * the weight store, and the storage of a selection.  Internal.
 */
#ifndef VANTREL_SIMULATE_SIMSMO_H
#define VANTREL_SIMULATE_SIMSMO_H

#include "host/kel.h"
#include "model/hostcall.h"

/* Storage that goes with a selection of r elements: the flags (a 1 x p
 * table, row 0 used) and the r x r C-matrix. */
struct SimSelection {
    int p, r;
    int **flagTab;
    double **C;
};

/* The selection argument of SimSmoWgt and SimSmoDraw (argument 0, after the
 * frame's check of the form): arguments 0..lastMatrix must be matrices and
 * argument 0 p x p; returns r, the number of elements whose diagonal entry
 * is non-zero or NaN, or raises `zeroMessage` when nothing is
 * selected. */
int iSimCheckSelection(KelVALUE *args, int lastMatrix, int p, const char *zeroMessage);

/* Rows of the weight store, p r + r (r+1)/2; -1 when it does not fit an int. */
int iSimWeightRows(int p, int r);

/* Allocates the flags and the C-matrix of r elements; flag i is 1 when
 * sel[i][i] is non-zero or NaN (sel p x p), or, with sel null, when i < m
 * and var[i][i] > 0.  Result 1, or 0 when an allocation fails (what was
 * allocated is freed by SimSelectionFree). */
int fSimSelectionAlloc(SimSelection *s, int p, int r, double **sel, int m, double **var);

/* Frees what fSimSelectionAlloc allocated; safe on a cleared record. */
void SimSelectionFree(SimSelection *s);

/* iUnivSimSmoWgt (N = 1) or iMultiSimSmoWgt with the frame's model and its
 * P-work as A; B, store, r, flags, C and wgt as those routines take them.
 * Their result (0 = success). */
int iLdsCallSimSmoWgt(LdsCall *c, double **B, double **store, int r, const int *flags,
                      double **C, double **wgt);

#endif
