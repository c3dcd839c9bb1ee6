/*
 * hostcall.cpp - the frame every statistical host function runs in: check
 * the form, open the time-varying elements, allocate the working storage,
 * free it all and report.  The frame's filter run, fLdsCallFilter, belongs
 * to filter/ (filter/kalman_core.h).
 */
#include "model/hostcall.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "host/host.h"
#include "model/check.h"
#include "model/scalar.h"
#include "model/timevarying.h"

namespace {

/* Rows of P-work and A-work beyond d: P-work row d holds the mean; A-work
 * row d the predicted mean and row d+1 the mean vector Mean. */
const int kPworkExtra = 1;
const int kAworkExtra = 2;

/* 1 when rows x cols doubles can be asked for without overflowing int. */
bool fSizeFits(long long rows, long long cols)
{
    const long long limit = std::numeric_limits<int>::max();
    return rows >= 0 && cols >= 0 && rows <= limit && cols <= limit &&
           (cols == 0 || rows <= limit / cols);
}

double **AllocMatrix(long long rows, long long cols)
{
    if (!fSizeFits(rows, cols))
        return nullptr;
    return MatAllocBlock(static_cast<int>(rows), static_cast<int>(cols));
}

int fOpenTimeVarying(LdsCall *c)
{
    KelVALUE *form = &c->args[c->f];
    if (c->noCopy) {
        if (!lds_caller_form::fKelOpenLdsTV(&form[LDS_ARG_IDXSYS], c->m, c->d, c->d,
                                            &c->idxSys, &c->idxVar, &c->idxMeanTab, &c->X))
            return 0;
        c->idxMean = c->idxMeanTab ? c->idxMeanTab[0] : nullptr;
        return 1;
    }
    if (!lds_copied_form::fKelOpenLdsTV(&form[LDS_ARG_IDXSYS], c->m, c->d, c->d, &c->idxSys,
                                        &c->idxVar, &c->idxMeanTab, &c->X))
        return 0;
    c->idxMean = c->idxMeanTab ? c->idxMeanTab[0] : nullptr;
    if (!fCopyLdsTV(&form[LDS_ARG_SYS], c->m, c->d, c->idxSys, c->idxVar,
                    &c->sysCopy, &c->varCopy))
        return 0;
    if (c->sysCopy)
        c->sys = c->sysCopy;
    if (c->varCopy)
        c->var = c->varCopy;
    return 1;
}

int fAllocWork(LdsCall *c, int extraRows, int wantStore)
{
    if (extraRows < 0)
        return 0;
    c->pwork = AllocMatrix(static_cast<long long>(c->d) + kPworkExtra, c->d);
    c->aworkRows = 0;
    long long arows = static_cast<long long>(c->d) + kAworkExtra + extraRows;
    c->awork = AllocMatrix(arows, c->d);
    if (!c->pwork || !c->awork)
        return 0;
    c->aworkRows = static_cast<int>(arows);
    if (wantStore) {
        c->store = AllocMatrix(c->R, c->n);
        if (!c->store)
            return 0;
    }
    return 1;
}

void FreeMatrix(double ***pm)
{
    if (*pm)
        MatFreeBlock(*pm);
    *pm = nullptr;
}

} // namespace

namespace {

void CheckWith(LdsCall *c, const char *name, KelVALUE *args, int count, int f,
               int layout, int noCopy)
{
    std::memset(c, 0, sizeof *c);
    c->name = name;
    c->args = args;
    c->count = count;
    c->f = f;
    c->noCopy = noCopy;
    c->timeVarying =
        noCopy ? lds_caller_form::iKelCheckLds(nullptr, args, count, f, layout, &c->N, &c->m,
                                               &c->d, &c->R, &c->E, &c->n, &c->init, &c->mean)
               : lds_copied_form::iKelCheckLds(nullptr, args, count, f, layout, &c->N, &c->m,
                                               &c->d, &c->R, &c->E, &c->n, &c->init, &c->mean);
    c->data = args[f].v.mval.data;
    c->sys = args[f + LDS_ARG_SYS].v.mval.data;
    c->var = args[f + LDS_ARG_VAR].v.mval.data;
    c->status = LDS_OK;
}

} // namespace

void LdsCallCheck(LdsCall *c, const char *name, KelVALUE *args, int count,
                  int f, int layout)
{
    CheckWith(c, name, args, count, f, layout, 0);
}

void LdsCallCheckNoCopy(LdsCall *c, const char *name, KelVALUE *args, int count,
                        int f, int layout)
{
    CheckWith(c, name, args, count, f, layout, 1);
}

void LdsCallReleaseOnFailure(LdsCall *c, KelVALUE *rec)
{
    /* The table is sized for the most results any host function returns,
     * so a further record is a programming error; it is ignored rather than
     * written past the table. */
    if (c->nrelease < LDS_CALL_MAX_RELEASE)
        c->release[c->nrelease++] = rec;
}

int fLdsCallOpen(LdsCall *c, int extraRows, int wantStore)
{
    if ((c->timeVarying && !fOpenTimeVarying(c)) || !fAllocWork(c, extraRows, wantStore)) {
        c->status = LDS_NOMEM;
        return 0;
    }
    double *meanRow = c->awork[c->d + 1];
    for (int i = 0; i < c->d; i++)
        meanRow[i] = c->mean ? c->mean[i][0] : 0.0;
    return 1;
}

void LdsCallClose(LdsCall *c)
{
    if (c->noCopy)
        lds_caller_form::KelCloseLdsTV(c->m, c->d, c->idxSys, c->idxVar, c->idxMeanTab);
    else
        lds_copied_form::KelCloseLdsTV(c->m, c->d, c->sysCopy, c->varCopy, c->idxSys,
                                       c->idxVar, c->idxMeanTab);
    c->sysCopy = c->varCopy = nullptr;
    c->idxSys = c->idxVar = c->idxMeanTab = nullptr;
    c->idxMean = nullptr;
    c->sys = c->var = nullptr;
    FreeMatrix(&c->pwork);
    FreeMatrix(&c->awork);
    FreeMatrix(&c->store);
    c->aworkRows = 0;
}

void LdsCallReport(LdsCall *c, KelVALUE *rtn, const char *warning)
{
    if (c->status == LDS_OK)
        return;
    LdsCallClose(c);
    for (int i = 0; i < c->nrelease; i++)
        KelFreeByValue(c->release[i]);
    c->nrelease = 0;
    if (rtn)
        LdsSetInt(rtn, 0);
    if (c->status == LDS_NOMEM)
        KelRunError(KEL_ERROR_MEMORY, nullptr);
    else if (warning && !fLdsNoErrorMessage)
        KelRunMessage(warning);
}

namespace {

/* 1 when every series of the data argument is missing at time point t. */
int fAllMissing(const LdsCall *c, int t)
{
    for (int i = 0; i < c->N; i++)
        if (!FIsNaN(c->data[i][t]))
            return 0;
    return 1;
}

} // namespace

void LdsCallRequireFinite(LdsCall *c, double **a, int rows, int cols, int missingRows)
{
    if (c->status != LDS_OK)
        return;
    for (int t = 0; t < cols; t++) {
        int from = missingRows > 0 && fAllMissing(c, t) ? missingRows : 0;
        for (int i = from; i < rows; i++)
            if (!std::isfinite(a[i][t])) {
                c->status = LDS_FAILED;
                return;
            }
    }
}

void LdsCallRequireFiniteNumber(LdsCall *c, double x)
{
    if (c->status == LDS_OK && !std::isfinite(x))
        c->status = LDS_FAILED;
}

int iLdsCallCode(KelVALUE *args, int count, int fallback, const int *valid, int nValid,
                 const char *message)
{
    if (count <= 0)
        return fallback;
    KelLibCheckType(KEL_INT, args, 0, 0);
    const int code = args[0].v.ival;
    for (int k = 0; k < nValid; k++)
        if (code == valid[k])
            return code;
    KelRunErrorMessage(message);
    return fallback;
}

void LdsSetInt(KelVALUE *rtn, int value)
{
    /* A return record that still holds a result is released first, so that
     * turning it into an int cannot strand its storage. */
    if ((rtn->type & KEL_TAG_MASK) != KEL_INT)
        KelFreeByValue(rtn);
    rtn->type = KEL_INT;
    rtn->v.ival = value;
}

KelVALUE *LdsDeref(KelVALUE *arg)
{
    if ((arg->type & KEL_TAG_MASK) == KEL_REFERENCE && arg->v.ref)
        return arg->v.ref;
    return arg;
}

void LdsSetRefDouble(KelVALUE *ref, double value)
{
    KelVALUE *target = LdsDeref(ref);
    /* The variable may hold a matrix from an earlier call. */
    if ((target->type & KEL_TAG_MASK) == KEL_MATRIX)
        KelFreeByValue(target);
    target->type = KEL_DOUBLE;
    target->v.dval = value;
}
