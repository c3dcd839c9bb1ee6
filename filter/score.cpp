/*
 * score.cpp - LdsLikSco: the log-likelihood and its score with respect to
 * the variance matrix Var, sum over t of (u_t u_t' - D_t) from the backward
 * smoothing recursion over the filter store.
 *
 * The score is accumulated in private storage and copied into the
 * referenced variable after the run: that variable may also be passed as
 * data or as part of the model, and allocating into it first would free
 * storage the filter still reads.
 */
#include "filter/filter.h"
#include "filter/filtercall.h"
#include "filter/likelihood.h"
#include "model/check.h"
#include "model/hostcall.h"
/* The one edge of the project that points up: the score is the backward
 * smoothing recursion's sum of u u' - D, so this host function of filter/
 * calls the smoother of smooth/.  Nothing else in filter/ depends on
 * smooth/; cmake/layering.cmake lists this include as its one exception. */
#include "smooth/kalmansmo.h"

namespace {

/* The data argument follows two or three references. */
const int kScoDataArgShort = 2;
const int kScoDataArgLong = 3;

const char kMsgNoMemory[] = "LdsLikSco(): memory allocation failure";
const char kMsgInnovation[] = "LdsLikSco(): non-positive semi-definite innovation matrix";

int fIsReference(const KelVALUE *arg)
{
    return (arg->type & KEL_TAG_MASK) == KEL_REFERENCE;
}

void Score(LdsCall *c, double **score)
{
    LdsCallKalmanSmo(c, c->store, score, nullptr);
}

/* The d x d score into the referenced variable; 0 when it cannot hold it. */
int fCopyScore(KelVALUE *target, double **score, int d)
{
    KelLibValMatMalloc(target, d, d);
    double **dst = target->v.mval.data;
    if (!dst)
        return 0;
    for (int i = 0; i < d; i++)
        for (int j = 0; j < d; j++)
            dst[i][j] = score[i][j];
    return 1;
}

}  // namespace

void FnLdsLikSco(KelVALUE *rtn, KelVALUE *args, int count)
{
    int f = kScoDataArgShort;
    if (count > kScoDataArgShort && fIsReference(&args[kScoDataArgShort]))
        f = kScoDataArgLong;

    LdsCall c;
    LdsCallCheck(&c, "LdsLikSco", args, count, f, LDS_LAYOUT_DATA);
    KelLibCheckType(KEL_REFERENCE, args, 0, f - 1);
    KelVALUE *scoreRec = LdsDeref(&args[f - 1]);
    LdsCallReleaseOnFailure(&c, scoreRec);

    double logdet = 0.0, s2 = 0.0;
    int cnt = 0;
    double **score = nullptr;
    if (fLdsCallOpen(&c, 0, 1)) {
        score = MatAllocBlock(c.d, c.d);
        if (!score)
            c.status = LDS_NOMEM;
        else if (fLdsCallFilter(&c, c.store, &logdet, &s2, &cnt) == LDS_OK)
            Score(&c, score);
    }
    double ll = c.status == LDS_OK ? dLdsLogLik(cnt, logdet, s2) : 0.0;
    LdsCallRequireFiniteNumber(&c, ll);
    LdsCallRequireFiniteNumber(&c, s2);
    if (score)
        LdsCallRequireFinite(&c, score, c.d, c.d, 0);
    if (c.status == LDS_OK && !fCopyScore(scoreRec, score, c.d)) {
        MatFreeBlock(score);
        LdsCallClose(&c);
        KelRunErrorMessage(kMsgNoMemory);
    }
    if (c.status == LDS_OK) {
        LdsSetRefDouble(&args[0], ll);
        if (f == kScoDataArgLong)
            LdsSetRefDouble(&args[1], s2);
        LdsSetInt(rtn, 1);
    }
    if (score)
        MatFreeBlock(score);
    LdsCallClose(&c);
    LdsCallReport(&c, rtn, kMsgInnovation);
}
