/*
 * buildutil.cpp - helpers shared by the model builders.
 */
#include "builders/buildutil.h"

#include <climits>
#include <cmath>
#include <cstdio>

int fBuildSizeFits(long long rows, long long cols)
{
    if (rows < 0 || cols < 0)
        return 0;
    return cols == 0 || rows <= INT_MAX / cols;
}

double **BuildResult(KelVALUE *refArg, int rows, int cols)
{
    if (!fBuildSizeFits(rows, cols))
        return nullptr;
    double **a = KelLibValMatMalloc(refArg->v.ref, rows, cols);
    if (a)
        MatZero(a, rows, cols);
    return a;
}

int fBuildFiniteSquare(double x)
{
    return std::isfinite(x * x);
}

void BuildFill(double **a, int rows, int cols, double value)
{
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j)
            a[i][j] = value;
}

static int fHoldsStorage(const KelVALUE *v)
{
    return (v->type & KEL_TAG_MASK) == KEL_MATRIX && v->v.mval.data &&
           v->v.mval.rows > 0 && v->v.mval.cols > 0;
}

/* 1 when the target of the reference args[i] is a variable of its own. */
static int fOwnVariable(const KelVALUE *args, int count, int first, int last, int i)
{
    const KelVALUE *target = args[i].v.ref;
    if (!target || (target->type & KEL_TAG_MASK) == KEL_REFERENCE)
        return 0;
    for (int j = 0; j < count; ++j) {
        if (target == &args[j])
            return 0;
        if (j >= first && j < i && args[j].v.ref == target)
            return 0;
        if ((j < first || j > last) && fHoldsStorage(&args[j]) && fHoldsStorage(target) &&
            args[j].v.mval.data == target->v.mval.data)
            return 0;
    }
    return 1;
}

void BuildCheckTargets(const char *name, const KelVALUE *args, int count, int first, int last)
{
    for (int i = first; i <= last; ++i) {
        if (fOwnVariable(args, count, first, last, i))
            continue;
        char text[128];
        std::snprintf(text, sizeof text,
                      "%s(): result arguments must refer to distinct variables", name);
        KelRunErrorMessage(text);
    }
}
