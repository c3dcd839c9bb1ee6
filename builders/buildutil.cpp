/*
 * buildutil.cpp - helpers shared by the model builders.
 */
#include "builders/buildutil.h"

#include <climits>

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

int fBuildDistinctTargets(const KelVALUE *args, int first, int last)
{
    for (int i = first; i <= last; ++i) {
        const KelVALUE *target = args[i].v.ref;
        for (int j = first; j < i; ++j)
            if (args[j].v.ref == target)
                return 0;
        if ((target->type & KEL_TAG_MASK) != KEL_MATRIX)
            continue;
        for (int j = 0; j < first; ++j)
            if (fHoldsStorage(&args[j]) && args[j].v.mval.data == target->v.mval.data)
                return 0;
    }
    return 1;
}
