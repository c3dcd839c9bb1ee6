/*
 * pattern.cpp - products with a transition matrix T stored together with
 * the pattern of its non-zero entries, so that a sparse T costs only its
 * listed entries.  Entries of +1 and -1 are applied without reading T.
 *
 * Pattern: six int arrays, each with its count in element 0 and entries in
 * 1..count: rows and columns of the +1 entries, of the -1 entries, of the
 * other non-zero entries.  A null pattern reads T as a dense c x c matrix.
 */
#include "model/pattern.h"

namespace {

enum { PLUS_ROW, PLUS_COL, MINUS_ROW, MINUS_COL, OTHER_ROW, OTHER_COL, PATTERN_ARRAYS };

/* Calls f(i, j, weight) for each listed entry (i, j) of T, weight = +1, -1
 * or T[i][j], in the pattern's order: the +1 entries, the -1 entries, the
 * others.  With a null pattern every entry of the r x c matrix is listed. */
template <class F>
inline void ForEachEntry(int r, int c, int **pat, double **T, F f)
{
    if (!pat) {
        for (int i = 0; i < r; i++)
            for (int j = 0; j < c; j++)
                f(i, j, T[i][j]);
        return;
    }
    for (int k = 1; k <= pat[PLUS_ROW][0]; k++)
        f(pat[PLUS_ROW][k], pat[PLUS_COL][k], 1.0);
    for (int k = 1; k <= pat[MINUS_ROW][0]; k++)
        f(pat[MINUS_ROW][k], pat[MINUS_COL][k], -1.0);
    for (int k = 1; k <= pat[OTHER_ROW][0]; k++) {
        const int i = pat[OTHER_ROW][k], j = pat[OTHER_COL][k];
        f(i, j, T[i][j]);
    }
}

/* dst[0..n-1] += w src[0..n-1], with the +1 and -1 weights as additions. */
inline void AddScaled(int n, double w, const double *__restrict__ src, double *__restrict__ dst)
{
    if (w == 1.0)
        for (int k = 0; k < n; k++)
            dst[k] += src[k];
    else if (w == -1.0)
        for (int k = 0; k < n; k++)
            dst[k] -= src[k];
    else
        for (int k = 0; k < n; k++)
            dst[k] += w * src[k];
}

/* The congruence shared by MatTPTt (transposed = false) and MatTtPT: with
 * B = T (r x c) or B = T' (c x r), work = B P and result (+)= B P B' over
 * the lower triangle, mirrored.  q is the size of the result. */
void Congruence(bool transposed, int r, int c, int **pat, double **T, double **P,
                double **work, double **result)
{
    const int q = transposed ? c : r, p = transposed ? r : c;
    for (int i = 0; i < q; i++)
        for (int k = 0; k < p; k++)
            work[i][k] = 0.0;
    /* Row i of B P gathers the rows j of P with weight B[i][j]. */
    ForEachEntry(r, c, pat, T, [&](int i, int j, double w) {
        if (transposed)
            AddScaled(p, w, P[i], work[j]);
        else
            AddScaled(p, w, P[j], work[i]);
    });
    if (result == P)
        for (int i = 0; i < q; i++)
            for (int k = 0; k < q; k++)
                result[i][k] = 0.0;
    /* result[i][k] += sum_j B[i][j] work[k][j] for k <= i.  For a square B
     * work is transposed in place first, so that each entry adds a row of
     * it: result[i][0..i] += B[i][j] work'[j][0..i]. */
    if (q == p) {
        for (int i = 0; i < q; i++)
            for (int k = 0; k < i; k++) {
                const double x = work[i][k];
                work[i][k] = work[k][i];
                work[k][i] = x;
            }
        ForEachEntry(r, c, pat, T, [&](int i, int j, double w) {
            const int row = transposed ? j : i, col = transposed ? i : j;
            AddScaled(row + 1, w, work[col], result[row]);
        });
    } else {
        ForEachEntry(r, c, pat, T, [&](int i, int j, double w) {
            const int row = transposed ? j : i, col = transposed ? i : j;
            double *out = result[row];
            for (int k = 0; k <= row; k++)
                out[k] += w * work[k][col];
        });
    }
    for (int i = 0; i < q; i++)
        for (int k = 0; k < i; k++)
            result[k][i] = result[i][k];
}

} // namespace

void MatTa(int n, int **pat, double **T, const double *a, double *result)
{
    for (int i = 0; i < n; i++)
        result[i] = 0.0;
    ForEachEntry(n, n, pat, T, [&](int i, int j, double w) { result[i] += w * a[j]; });
}

void MatTta(int n, int **pat, double **T, const double *a, double *result)
{
    for (int i = 0; i < n; i++)
        result[i] = 0.0;
    ForEachEntry(n, n, pat, T, [&](int i, int j, double w) { result[j] += w * a[i]; });
}

void MatTPTt(int r, int c, int **pat, double **T, double **P, double **work, double **result)
{
    Congruence(false, r, c, pat, T, P, work, result);
}

void MatTtPT(int r, int c, int **pat, double **T, double **P, double **work, double **result)
{
    Congruence(true, r, c, pat, T, P, work, result);
}

int iMatTPattern(int r, int c, double **T, int **triples, int **pat)
{
    for (int k = 0; k < PATTERN_ARRAYS; k++)
        pat[k][0] = 0;
    int listed = 0;
    for (int i = 0; i < r; i++) {
        for (int j = 0; j < c; j++) {
            /* An element that varies over time is read from T at every use. */
            bool varying = false;
            if (triples)
                for (int k = 1; k <= triples[0][0] && !varying; k++)
                    varying = triples[0][k] == i && triples[1][k] == j;
            const double x = T[i][j];
            int kind = OTHER_ROW;
            if (!varying && x == 1.0)
                kind = PLUS_ROW;
            else if (!varying && x == -1.0)
                kind = MINUS_ROW;
            else if (!varying && x == 0.0)
                continue;
            const int k = ++pat[kind][0];
            pat[kind][k] = i;
            pat[kind + 1][k] = j;
            listed++;
        }
    }
    return listed;
}
