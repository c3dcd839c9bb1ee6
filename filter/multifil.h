/*
 * multifil.h - the steps of the filter for several series
 * (filter/multifil.cpp), shared with the moment forward pass.  Internal;
 * the filter itself, fMultiKalmanFil, is exported in filter/filter.h.
 */
#ifndef VANTREL_FILTER_MULTIFIL_H
#define VANTREL_FILTER_MULTIFIL_H

/* Steps of the filter for several series, shared with the moment forward
 * pass.  W is the augmented block of P-work, a its last row, apred the
 * predicted augmented mean (A-work row d). */

/* Innovations of time point t into a[m..d-1]; a missing element gets a
 * unit row and column in W and a NaN innovation.  Returns the number of
 * observed elements. */
int iMultiInnovations(int N, int m, int t, double **Y, double **W, double *a,
                      const double *apred);

/* After the inversion: missing elements get F^-1[i][i] = 0 and v[i] = 0. */
void MultiClearMissing(int N, int m, double **Finv, double *a);

/* Column t of the filter store from W and the innovations. */
void MultiStoreColumn(int N, int m, int t, double **W, const double *a,
                      double **Store);

/* a = a* + K v and P = A - K M'. */
void MultiUpdate(int N, int m, double **W, double *a, const double *apred);

/* A time point without observations: a = a*, P stays the predicted block,
 * store column t (R rows, when Store is given) NaN over zeros. */
void MultiSkipTimePoint(int N, int m, int R, int t, double **Store, double *a,
                        const double *apred);

/* F^-1 in place through the view, log|F| added to *pLogDet (when given),
 * missing elements cleared and the gain formed.  0 when F is singular. */
int fMultiInvertGain(int N, int m, double **Finv, double **W, double *a,
                     double *pLogDet);

#endif
