/*
 * likelihood.cpp - LdsLik and LdsLikConc: the Gaussian log-likelihood from
 * the three accumulators of one filter run, plain or with the scale of the
 * variances concentrated out.
 */
#include "filter/likelihood.h"

#include <cmath>

#include "filter/filter.h"
#include "filter/filtercall.h"
#include "model/check.h"
#include "model/hostcall.h"

namespace {

/* log(2 pi), from the rounded value of 2 pi so that every build agrees. */
const double kLogTwoPi = std::log(6.283185307179586);

/* Position of the data argument: after the two result references. */
const int kLikDataArg = 2;

double dLogLikConc(int cnt, double logdet, double s2)
{
    return -0.5 * ((cnt * kLogTwoPi + logdet) + cnt * (std::log(s2) + 1.0));
}

void LdsLikelihood(KelVALUE *rtn, KelVALUE *args, int count, const char *name,
                   const char *warning, double (*loglik)(int, double, double))
{
    LdsCall c;
    LdsCallCheck(&c, name, args, count, kLikDataArg, LDS_LAYOUT_DATA);
    KelLibCheckType(KEL_REFERENCE, args, 0, kLikDataArg - 1);

    double logdet = 0.0, s2 = 0.0;
    int cnt = 0;
    if (fLdsCallOpen(&c, 0, 0))
        fLdsCallFilter(&c, nullptr, &logdet, &s2, &cnt);
    double ll = c.status == LDS_OK ? loglik(cnt, logdet, s2) : 0.0;
    /* Overflow, a NaN in the model or a perfect fit (s2 = 0 concentrated)
     * leave no number to hand back. */
    LdsCallRequireFiniteNumber(&c, ll);
    LdsCallRequireFiniteNumber(&c, s2);
    if (c.status == LDS_OK) {
        LdsSetRefDouble(&args[0], ll);
        LdsSetRefDouble(&args[1], s2);
        LdsSetInt(rtn, 1);
    }
    LdsCallClose(&c);
    LdsCallReport(&c, rtn, warning);
}

}  // namespace

double dLdsLogLik(int cnt, double logdet, double s2)
{
    return -0.5 * ((cnt * kLogTwoPi + logdet) + cnt * s2);
}

void FnLdsLik(KelVALUE *rtn, KelVALUE *args, int count)
{
    LdsLikelihood(rtn, args, count, "LdsLik",
                  "LdsLik(): non-positive semi-definite innovation variance matrix",
                  dLdsLogLik);
}

void FnLdsLikConc(KelVALUE *rtn, KelVALUE *args, int count)
{
    LdsLikelihood(rtn, args, count, "LdsLikConc",
                  "LdsLikConc(): non-positive semi-definite innovation variance matrix",
                  dLogLikConc);
}
