/*
 * builders.h - state space forms for structural time series models, ARMA
 * models, regression effects and smoothing splines.
 */
#ifndef VANTREL_BUILDERS_BUILDERS_H
#define VANTREL_BUILDERS_BUILDERS_H

#include "host/api.h"
#include "host/kel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Component codes of GetLdsStsm, column 0 of its specification matrix. */
enum {
    STSM_LEVEL = 0, STSM_SLOPE = 1, STSM_TREND = 2, STSM_SEAS_DUMMY = 3,
    STSM_SEAS_TRIG = 4, STSM_SEAS_ZEROSUM = 5, STSM_BWCYCLE = 6,
    STSM_CYCLE0 = 7, STSM_CYCLE1, STSM_CYCLE2, STSM_CYCLE3, STSM_CYCLE4,
    STSM_CYCLE5, STSM_CYCLE6, STSM_CYCLE7, STSM_CYCLE8, STSM_CYCLE9 = 16,
    STSM_AR1 = 17, STSM_AR2 = 18, STSM_IRREG = 19, STSM_COMPONENTS = 20
};

/*
 * fGetLdsUnivStsm: fills Sys ((m+1) x m), Var ((m+1) x (m+1)) and Init
 * ((m+1) x m) for the components of the table (20 ints, the component
 * row of each code or -1), reading the component rows `spec`; writes the
 * first state index of each present component into pos (nc doubles).
 * Result 1, or 0 when work storage is missing, the states built differ
 * from m, or an element of the form is not finite.
 */
VANTREL_API int fGetLdsUnivStsm(const int *table, double **spec, int m,
                                double *pos, double **Sys, double **Var,
                                double **Init);

/*
 * fGetLdsUnivArma: ARMA form with r states, d ordinary differences (0..2)
 * and a seasonal difference of period s (0 for none) as leading diffuse
 * states; ar and ma hold r coefficients each, the ARMA ones from element
 * d+s on (ma starting with 1).  Sys (r+1) x r, Var (r+1) x (r+1), Init
 * (r+1) x r, written.  The stationary variance of the ARMA block solves
 * P = T P T' + Q for the r_a (r_a + 1) / 2 distinct elements of P, r_a =
 * r - d - s.  Result 1, or 0 on missing work storage, AR coefficients
 * that are not stationary (an eigenvalue of the ARMA block's transition
 * of modulus 1 or more; Init is then left zero), an ARMA block of more
 * than 53 states, or a form with an element that is not finite.
 */
VANTREL_API int fGetLdsUnivArma(int r, int d, int s, const double *ar,
                                const double *ma, double **Sys, double **Var,
                                double **Init, double sigma);

VANTREL_API void FnGetLdsStsm(KelVALUE *rtn, KelVALUE *args, int count);
VANTREL_API void FnGetLdsArma(KelVALUE *rtn, KelVALUE *args, int count);
VANTREL_API void FnGetLdsReg(KelVALUE *rtn, KelVALUE *args, int count);
VANTREL_API void FnAddLdsReg(KelVALUE *rtn, KelVALUE *args, int count);
VANTREL_API void FnGetLdsSpline(KelVALUE *rtn, KelVALUE *args, int count);

#ifdef __cplusplus
}
#endif

#endif
