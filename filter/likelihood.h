/*
 * likelihood.h - the Gaussian log-likelihood from a filter run's
 * accumulators (filter/likelihood.cpp), shared by the host functions that
 * report it.  Internal.
 */
#ifndef VANTREL_FILTER_LIKELIHOOD_H
#define VANTREL_FILTER_LIKELIHOOD_H

/* The Gaussian log-likelihood from a run's accumulators: the count cnt, the
 * log-determinant sum and the mean square s2, as
 * -0.5 ((cnt log(2 pi) + logdet) + cnt s2). */
double dLdsLogLik(int cnt, double logdet, double s2);

#endif
