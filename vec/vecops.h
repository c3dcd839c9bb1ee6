/*
 * vecops.h - the one vector header: the block of four doubles the kernels
 * (model/kernels.cpp) and the stand-in host's products work on, the choice
 * between a wide and a baseline copy of a kernel, and the dispatch of small
 * run-time counts to code compiled for each count.  Every compiler builtin
 * and every instruction-set attribute of the project stands here.  It
 * includes nothing of the project, so that the library and the stand-in
 * host (kelhost/) share it without either depending on the other.
 *
 * A Quad is four doubles: one AVX2 register, two SSE2 registers, or (in the
 * scalar build, VANTREL_SCALAR, and with compilers without GNU vector
 * extensions) a plain struct.  Every lane of a Quad operation is the same
 * single IEEE product or sum as the scalar loop it stands for, so no width
 * and no build changes a bit; contraction into fused multiply-adds is off
 * for all code that includes this header.
 *
 * Wide copies: on x86-64 Linux with GCC, LDS_TWO_COPIES builds a kernel
 * twice, for AVX2 and for the baseline, and picks one by the processor it
 * runs on.  Clang builds the baseline only: it refuses 32-byte vector values
 * between functions built for different instruction sets, even inlined.
 */
#ifndef VANTREL_VEC_VECOPS_H
#define VANTREL_VEC_VECOPS_H

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#define LDS_INLINE inline __attribute__((always_inline))

#if defined(VANTREL_SCALAR) || !(defined(__GNUC__) || defined(__clang__))
#define LDS_SCALAR_QUADS 1
#endif

#if !defined(LDS_SCALAR_QUADS) && defined(__x86_64__) && defined(__GNUC__) && \
    !defined(__clang__) && defined(__linux__)
#define LDS_WIDE_COPIES 1
#endif

namespace lds_vec {

#ifdef LDS_SCALAR_QUADS

struct Quad {
    double v[4];
    LDS_INLINE double &operator[](int i) { return v[i]; }
    LDS_INLINE double operator[](int i) const { return v[i]; }
};

template <class Op>
LDS_INLINE Quad Lanewise(const Quad &a, const Quad &b, Op op)
{
    return Quad{{op(a.v[0], b.v[0]), op(a.v[1], b.v[1]), op(a.v[2], b.v[2]), op(a.v[3], b.v[3])}};
}
LDS_INLINE Quad operator+(const Quad &a, const Quad &b)
{
    return Lanewise(a, b, [](double x, double y) { return x + y; });
}
LDS_INLINE Quad operator-(const Quad &a, const Quad &b)
{
    return Lanewise(a, b, [](double x, double y) { return x - y; });
}
LDS_INLINE Quad operator*(const Quad &a, const Quad &b)
{
    return Lanewise(a, b, [](double x, double y) { return x * y; });
}
LDS_INLINE Quad operator*(double s, const Quad &b) { return Quad{{s, s, s, s}} * b; }
LDS_INLINE Quad operator*(const Quad &a, double s) { return a * Quad{{s, s, s, s}}; }
LDS_INLINE Quad &operator+=(Quad &a, const Quad &b) { return a = a + b; }
LDS_INLINE Quad &operator-=(Quad &a, const Quad &b) { return a = a - b; }

/* Four 64-bit patterns, for comparing doubles bit for bit. */
struct QuadBits {
    std::uint64_t v[4];
};
LDS_INLINE QuadBits operator^(const QuadBits &a, const QuadBits &b)
{
    return QuadBits{{a.v[0] ^ b.v[0], a.v[1] ^ b.v[1], a.v[2] ^ b.v[2], a.v[3] ^ b.v[3]}};
}
LDS_INLINE QuadBits &operator|=(QuadBits &a, const QuadBits &b)
{
    for (int l = 0; l < 4; l++)
        a.v[l] |= b.v[l];
    return a;
}
LDS_INLINE std::uint64_t OrOfLanes(const QuadBits &a) { return a.v[0] | a.v[1] | a.v[2] | a.v[3]; }

/* Lanes 0..k-1 of a, the rest of b. */
LDS_INLINE Quad BlendBelow(Quad a, Quad b, int k)
{
    for (int l = 0; l < 4; l++)
        if (l >= k)
            a.v[l] = b.v[l];
    return a;
}

/* q with lane k (0..3) replaced by x. */
LDS_INLINE Quad WithLane(Quad q, int k, double x)
{
    q.v[k] = x;
    return q;
}

/* The lanes of a where keep[l] is not 0, the others of b. */
LDS_INLINE Quad SelectKept(const std::int64_t *keep, Quad a, Quad b)
{
    for (int l = 0; l < 4; l++)
        if (keep[l] == 0)
            a.v[l] = b.v[l];
    return a;
}

/* The columns of the 4 x 4 block whose rows are r[0..3], in r[0..3]. */
LDS_INLINE void TransposeQuads(Quad r[4])
{
    for (int i = 0; i < 4; i++)
        for (int j = i + 1; j < 4; j++) {
            const double x = r[i].v[j];
            r[i].v[j] = r[j].v[i];
            r[j].v[i] = x;
        }
}

#else

typedef double Quad __attribute__((vector_size(4 * sizeof(double))));
typedef long long Lanes __attribute__((vector_size(4 * sizeof(long long))));
typedef std::uint64_t QuadBits __attribute__((vector_size(4 * sizeof(std::uint64_t))));

LDS_INLINE std::uint64_t OrOfLanes(QuadBits a) { return a[0] | a[1] | a[2] | a[3]; }

LDS_INLINE Quad BlendBelow(Quad a, Quad b, int k)
{
    const Lanes lane = {0, 1, 2, 3};
    return lane < k ? a : b;
}

LDS_INLINE Quad WithLane(Quad q, int k, double x)
{
    const Lanes lane = {0, 1, 2, 3};
    const Quad all = {x, x, x, x};
    return lane == k ? all : q;
}

LDS_INLINE Quad SelectKept(const std::int64_t *keep, Quad a, Quad b)
{
    Lanes k;
    std::memcpy(&k, keep, sizeof k);
    return k != 0 ? a : b;
}

LDS_INLINE void TransposeQuads(Quad r[4])
{
    const Quad ab02 = __builtin_shufflevector(r[0], r[1], 0, 4, 2, 6);
    const Quad ab13 = __builtin_shufflevector(r[0], r[1], 1, 5, 3, 7);
    const Quad cd02 = __builtin_shufflevector(r[2], r[3], 0, 4, 2, 6);
    const Quad cd13 = __builtin_shufflevector(r[2], r[3], 1, 5, 3, 7);
    r[0] = __builtin_shufflevector(ab02, cd02, 0, 1, 4, 5);
    r[1] = __builtin_shufflevector(ab13, cd13, 0, 1, 4, 5);
    r[2] = __builtin_shufflevector(ab02, cd02, 2, 3, 6, 7);
    r[3] = __builtin_shufflevector(ab13, cd13, 2, 3, 6, 7);
}

#endif

LDS_INLINE Quad LoadQuad(const double *p)
{
    Quad q;
    std::memcpy(&q, p, sizeof q);
    return q;
}

LDS_INLINE void StoreQuad(double *p, Quad q) { std::memcpy(p, &q, sizeof q); }

LDS_INLINE QuadBits LoadBits(const double *p)
{
    QuadBits q;
    std::memcpy(&q, p, sizeof q);
    return q;
}

/* n rounded up to a whole number of blocks of four. */
constexpr int RoundUpToQuad(int n) { return (n + 3) & ~3; }

/* Counts up to which the loops of the kernels get code of their own. */
const int kFixedCount = 16;

template <class F, int... kNs>
LDS_INLINE bool WithCountFrom(int n, F &f, std::integer_sequence<int, kNs...>)
{
    return ((n == kNs + 1 ? (f(std::integral_constant<int, kNs + 1>()), true) : false) || ...);
}

/* f(std::integral_constant<int, n>()) and true when 1 <= n <= kMax, else
 * false: a loop over a small run-time count, compiled for each count so
 * that it unrolls completely.  f must be always_inline, so that it is built
 * for the same instruction set as its caller. */
template <int kMax = kFixedCount, class F>
LDS_INLINE bool WithCompileTimeCount(int n, F f)
{
    return WithCountFrom(n, f, std::make_integer_sequence<int, kMax>());
}

/* f(std::integral_constant<int, n>()) when 1 <= n <= kMax, else
 * f(std::integral_constant<int, 0>()), and f's result: a loop compiled for
 * each of a few small counts, with one general version for the rest. */
template <int kMax, class F>
LDS_INLINE auto WithCountUpTo(int n, F f)
{
    if constexpr (kMax == 0) {
        return f(std::integral_constant<int, 0>());
    } else {
        if (n == kMax)
            return f(std::integral_constant<int, kMax>());
        return WithCountUpTo<kMax - 1>(n, f);
    }
}

template <class F, int... kIs>
LDS_INLINE void ForEachIndexOf(F &f, std::integer_sequence<int, kIs...>)
{
    (f(kIs), ...);
}

/* f(0), ..., f(n - 1), as straight-line code when kCount (= n) is known at
 * compile time, so that whatever f computes from its index folds away. */
template <int kCount, class F>
LDS_INLINE void ForEachIndex(int n, F f)
{
    if constexpr (kCount > 0)
        ForEachIndexOf(f, std::make_integer_sequence<int, kCount>());
    else
        for (int i = 0; i < n; i++)
            f(i);
}

/* f(k) for each k in [from, to), a range of at most three elements: the
 * tails of loops over blocks of four, spelt out so that the compiler does
 * not wrap each in a vectorised loop of its own. */
template <class F>
LDS_INLINE void ForTail(int from, int to, F f)
{
    switch (to - from) {
    case 3: f(from + 2); [[fallthrough]];
    case 2: f(from + 1); [[fallthrough]];
    case 1: f(from); break;
    default: break;
    }
}

#ifdef LDS_WIDE_COPIES
/* True when the processor runs the AVX2 copies; read once at load. */
inline bool DetectWideVectors()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
inline const bool kWideVectors = DetectWideVectors();
#endif

} // namespace lds_vec

/*
 * LDS_TWO_COPIES(result, name, (parameters), (arguments)), where wide
 * copies are built, defines `result name##Wide(parameters)` (AVX2) and
 * `result name##Base(parameters)` (baseline) from the always-inline body
 * `name##Body(arguments)`; elsewhere it defines nothing.
 * LDS_COPY(name, (arguments)) calls the copy the processor runs, or the
 * body itself where there is only one.
 */
#ifdef LDS_WIDE_COPIES
#define LDS_TWO_COPIES(result, name, params, args)                                      \
    __attribute__((target("avx2"))) result name##Wide params { return name##Body args; } \
    result name##Base params { return name##Body args; }
#define LDS_COPY(name, args) (lds_vec::kWideVectors ? name##Wide args : name##Base args)
#else
#define LDS_TWO_COPIES(result, name, params, args)
#define LDS_COPY(name, args) name##Body args
#endif

#endif
