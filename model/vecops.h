/*
 * vecops.h - inline building blocks of the vectorised kernels, for the
 * kernels themselves and for recursions that clone their own loops.
 *
 * A Quad is four doubles (one AVX2 register, two SSE2 registers).  Every
 * element of a Quad operation gets the same single IEEE product or sum as
 * the scalar loop it replaces, so no width changes a bit.  Functions marked
 * LDS_WIDE_VECTORS are built for AVX2 and for the baseline and the loader
 * picks one; contraction stays off in both.  They must have internal
 * linkage, so that no clone or resolver is exported.
 */
#ifndef VANTREL_MODEL_VECOPS_H
#define VANTREL_MODEL_VECOPS_H

#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define LDS_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define LDS_WIDE_VECTORS
#endif

#define LDS_INLINE inline __attribute__((always_inline))

namespace lds_vec {

typedef double Quad __attribute__((vector_size(4 * sizeof(double))));

LDS_INLINE Quad LoadQuad(const double *p)
{
    Quad q;
    std::memcpy(&q, p, sizeof q);
    return q;
}

LDS_INLINE void StoreQuad(double *p, Quad q) { std::memcpy(p, &q, sizeof q); }

/* The columns of the 4 x 4 block whose rows are r[0..3], in r[0..3]. */
LDS_INLINE void TransposeQuads(Quad r[4])
{
    typedef long long Lanes __attribute__((vector_size(4 * sizeof(long long))));
    const Quad ab02 = __builtin_shuffle(r[0], r[1], Lanes{0, 4, 2, 6});
    const Quad ab13 = __builtin_shuffle(r[0], r[1], Lanes{1, 5, 3, 7});
    const Quad cd02 = __builtin_shuffle(r[2], r[3], Lanes{0, 4, 2, 6});
    const Quad cd13 = __builtin_shuffle(r[2], r[3], Lanes{1, 5, 3, 7});
    r[0] = __builtin_shuffle(ab02, cd02, Lanes{0, 1, 4, 5});
    r[1] = __builtin_shuffle(ab13, cd13, Lanes{0, 1, 4, 5});
    r[2] = __builtin_shuffle(ab02, cd02, Lanes{2, 3, 6, 7});
    r[3] = __builtin_shuffle(ab13, cd13, Lanes{2, 3, 6, 7});
}

/* out[i - from] = sum_j x[j] A[j][i], i in [from, to), j = 0..n-1 in
 * increasing order from 0.0, or with kSubtract out[i - from] minus that
 * sum; four columns advance together, the last ones one at a time. */
template <bool kSubtract>
LDS_INLINE void ColumnCombination(int n, int from, int to, const double *x, double *const *A,
                                  double *out)
{
    const Quad zero = {0.0, 0.0, 0.0, 0.0};
    int i = from;
    for (; i + 4 <= to; i += 4) {
        Quad acc = zero;
        for (int j = 0; j < n; j++)
            acc += x[j] * LoadQuad(A[j] + i);
        if (kSubtract)
            acc = LoadQuad(out + (i - from)) - acc;
        StoreQuad(out + (i - from), acc);
    }
    for (; i < to; i++) {
        double s = 0.0;
        for (int j = 0; j < n; j++)
            s += x[j] * A[j][i];
        out[i - from] = kSubtract ? out[i - from] - s : s;
    }
}

} // namespace lds_vec

#endif
