// matrix.cpp - the stand-in Kel matrix library: storage, the small dense
// products the library relies on, inversion, LDL' decomposition, rank and
// standard normal draws.
//
// The products are written for the small matrices of state space models:
// zero entries of the outer factor (a sparse transition, a selection row)
// are skipped, and symmetric results are computed on the upper triangle and
// mirrored.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#include "kelhost/kelhost.h"
#include "kelhost/storage.h"

namespace {

// Work arrays of the products live on the stack up to this many elements,
// beyond it on the heap.
constexpr std::size_t kStackElems = 1024;

template <class T>
struct Buffer {
    T small[kStackElems];
    std::vector<T> large;
    T *get(std::size_t n) {
        if (n <= kStackElems) return small;
        large.resize(n);
        return large.data();
    }
};

// The products are built twice on x86-64, for AVX2 and for the baseline, and
// the loader picks one.  Neither uses fused multiply-adds (ISO mode keeps
// floating-point contraction off) nor reorders a sum, so both give the same
// bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define KELHOST_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define KELHOST_WIDE_VECTORS
#endif
#define KELHOST_RESTRICT __restrict__

// Share of non-zero entries above which the outer factor is treated as
// dense: its second product then runs as whole-row loops that vectorise.
constexpr double kDenseShare = 0.5;

// result (r x r, symmetric) = B S B' for B r x c given by its rows, S c x c.
// Element (i, j), i <= j, is summed over the columns l of B in increasing
// order, with terms whose B factor is zero left out on the sparse path; the
// lower triangle is copied from the upper one, so the result is exactly
// symmetric.
KELHOST_WIDE_VECTORS
void symmetricProduct(double *const *B, int r, double **S, int c, double **result) {
    if (c == 1) {
        // One column (a model with one state): the same products without
        // the loop and buffer overhead.
        double s = S[0][0];
        for (int i = 0; i < r; ++i) {
            double t = B[i][0] * s;
            for (int j = i; j < r; ++j) result[i][j] = result[j][i] = t * B[j][0];
        }
        return;
    }
    std::size_t rc = std::size_t(r) * std::size_t(c);
    Buffer<double> tmpBuf, btBuf;
    Buffer<int> patBuf;
    double *tmp = tmpBuf.get(rc);                     // B S, row by row
    int *pat = patBuf.get(rc + std::size_t(r) + 1);   // row j: pat[off[j]..off[j+1])
    int *off = pat + rc;
    // Pass 1: B S over the non-zero entries of B, recording their pattern.
    int nnz = 0;
    for (int i = 0; i < r; ++i) {
        off[i] = nnz;
        double *KELHOST_RESTRICT t = tmp + std::size_t(i) * c;
        const double *bi = B[i];
        bool empty = true;  // the first term initialises the row
        for (int k = 0; k < c; ++k) {
            double bik = bi[k];
            if (bik == 0.0) continue;
            pat[nnz++] = k;
            const double *KELHOST_RESTRICT s = S[k];
            if (empty)
                for (int l = 0; l < c; ++l) t[l] = bik * s[l];
            else
                for (int l = 0; l < c; ++l) t[l] += bik * s[l];
            empty = false;
        }
        if (empty)
            for (int l = 0; l < c; ++l) t[l] = 0.0;
    }
    off[r] = nnz;
    // Pass 2: result[i][j] = (B S)[i] . B[j] for j >= i.
    if (nnz > kDenseShare * double(rc)) {
        // Dense: whole rows of (B S) B' accumulated over l from B', which
        // vectorises over j.
        double *bt = btBuf.get(rc);
        for (int j = 0; j < r; ++j)
            for (int l = 0; l < c; ++l) bt[std::size_t(l) * r + j] = B[j][l];
        for (int i = 0; i < r; ++i) {
            const double *t = tmp + std::size_t(i) * c;
            double *KELHOST_RESTRICT out = result[i];
            for (int j = 0; j < r; ++j) out[j] = 0.0;
            for (int l = 0; l < c; ++l) {
                double tl = t[l];
                const double *KELHOST_RESTRICT btl = bt + std::size_t(l) * r;
                for (int j = 0; j < r; ++j) out[j] += tl * btl[j];
            }
        }
        for (int i = 0; i < r; ++i)
            for (int j = i + 1; j < r; ++j) result[j][i] = result[i][j];
        return;
    }
    for (int i = 0; i < r; ++i) {
        const double *t = tmp + std::size_t(i) * c;
        for (int j = i; j < r; ++j) {
            const double *bj = B[j];
            double sum = 0.0;
            for (int e = off[j]; e < off[j + 1]; ++e) sum += t[pat[e]] * bj[pat[e]];
            result[i][j] = result[j][i] = sum;
        }
    }
}

// Size of the stack buffer for pivot indices; larger inversions use the heap.
constexpr int kSmallPivots = 32;

// Relative threshold below which an inversion pivot counts as zero, in units
// of n * machine epsilon times the largest magnitude of the matrix.
double singularTolerance(double **A, int n) {
    double big = 0.0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            double a = std::fabs(A[i][j]);
            if (a > big) big = a;
        }
    return big * n * DBL_EPSILON;
}

}  // namespace

extern "C" {

double **MatAllocBlock(int rows, int cols) {
    if (kelhost::injectFailure()) return nullptr;
    return reinterpret_cast<double **>(
        kelhost::allocBlock(rows, cols, sizeof(double), kelhost::BlockKind::Tracked));
}

void MatFreeBlock(double **m) { kelhost::freeBlock(reinterpret_cast<void **>(m)); }

void **TabAllocPlain(int rows, int cols, int size) {
    if (size <= 0 || kelhost::injectFailure()) return nullptr;
    return kelhost::allocBlock(rows, cols, std::size_t(size), kelhost::BlockKind::Tracked);
}

void TabFreePlain(void **table, int, int) { kelhost::freeBlock(table); }

void MatZero(double **m, int rows, int cols) {
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) m[i][j] = 0.0;
}

void MatI(double **m, int n) {
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) m[i][j] = i == j ? 1.0 : 0.0;
}

KELHOST_WIDE_VECTORS
double **MatAdd(double **A, int rows, int cols, double **B, double factor, double **result) {
    if (cols == 2 && factor == 1.0) {
        // The block of a one-state model; spelt out, it avoids the set-up of
        // the vectorised loop below.
        for (int i = 0; i < rows; ++i) {
            double a0 = A[i][0] + B[i][0], a1 = A[i][1] + B[i][1];
            result[i][0] = a0;
            result[i][1] = a1;
        }
        return result;
    }
    for (int i = 0; i < rows; ++i) {
        const double *a = A[i], *b = B[i];
        double *r = result[i];
        if (factor == 1.0)
            for (int j = 0; j < cols; ++j) r[j] = a[j] + b[j];
        else
            for (int j = 0; j < cols; ++j) r[j] = a[j] + factor * b[j];
    }
    return result;
}

double **MatAB(double **A, int rA, int cA, double **B, int cB, double **result) {
    for (int i = 0; i < rA; ++i) {
        double *r = result[i];
        for (int j = 0; j < cB; ++j) r[j] = 0.0;
        for (int k = 0; k < cA; ++k) {
            double a = A[i][k];
            if (a == 0.0) continue;
            const double *b = B[k];
            for (int j = 0; j < cB; ++j) r[j] += a * b[j];
        }
    }
    return result;
}

double **MatBSBt(double **B, int rB, double **S, int cB, double **result) {
    symmetricProduct(B, rB, S, cB, result);
    return result;
}

double **MatBtSB(double **B, int rB, double **S, int cB, double **result) {
    // B' S B is the same product on the rows of B'.
    Buffer<double> btBuf;
    Buffer<double *> rowBuf;
    double *bt = btBuf.get(std::size_t(cB) * std::size_t(rB));
    double **Bt = rowBuf.get(std::size_t(cB));
    for (int i = 0; i < cB; ++i) {
        Bt[i] = bt + std::size_t(i) * rB;
        for (int k = 0; k < rB; ++k) Bt[i][k] = B[k][i];
    }
    symmetricProduct(Bt, cB, S, rB, result);
    return result;
}

int IInvDet(double **A, int n, double *logdet, int *nonsingular) {
    // Gauss-Jordan elimination with partial (row) pivoting, in place; the
    // row interchanges become column interchanges of the inverse.
    if (logdet) *logdet = 0.0;
    if (nonsingular) *nonsingular = 0;
    if (n < 1) return 1;
    int small[kSmallPivots];
    std::vector<int> large;
    int *perm = small;
    if (n > kSmallPivots) {
        large.resize(std::size_t(n));
        perm = large.data();
    }
    double tol = singularTolerance(A, n);
    double ld = 0.0;
    for (int k = 0; k < n; ++k) {
        int p = k;
        double best = std::fabs(A[k][k]);
        for (int i = k + 1; i < n; ++i) {
            double a = std::fabs(A[i][k]);
            if (a > best) { best = a; p = i; }
        }
        if (!(best > tol)) return 1;  // also catches NaN
        perm[k] = p;
        if (p != k)
            for (int j = 0; j < n; ++j) { double x = A[k][j]; A[k][j] = A[p][j]; A[p][j] = x; }
        double *rk = A[k];
        double pivot = rk[k];
        ld += std::log(std::fabs(pivot));
        rk[k] = 1.0;
        double inv = 1.0 / pivot;
        for (int j = 0; j < n; ++j) rk[j] *= inv;
        for (int i = 0; i < n; ++i) {
            if (i == k) continue;
            double *ri = A[i];
            double f = ri[k];
            if (f == 0.0) continue;
            ri[k] = 0.0;
            for (int j = 0; j < n; ++j) ri[j] -= f * rk[j];
        }
    }
    // The row interchanges make this the inverse of P A; A^-1 = (P A)^-1 P
    // undoes them as column interchanges in reverse order.
    for (int k = n - 1; k >= 0; --k) {
        int p = perm[k];
        if (p == k) continue;
        for (int i = 0; i < n; ++i) { double x = A[i][k]; A[i][k] = A[i][p]; A[i][p] = x; }
    }
    if (logdet) *logdet = ld;
    if (nonsingular) *nonsingular = 1;
    return 0;
}

int ILDLdec(double **A, double *d, int n) {
    // A = L D L' column by column from the lower triangle; d[j] = 1 / D_j.
    for (int j = 0; j < n; ++j) {
        double Dj = A[j][j];
        for (int k = 0; k < j; ++k) Dj -= A[j][k] * A[j][k] / d[k];
        if (!(Dj > 0.0) || !std::isfinite(Dj)) return 1;
        d[j] = 1.0 / Dj;
        for (int i = j + 1; i < n; ++i) {
            double s = A[i][j];
            for (int k = 0; k < j; ++k) s -= A[i][k] * A[j][k] / d[k];
            A[i][j] = s / Dj;
        }
    }
    return 0;
}

int IMatRank(double **A, int rows, int cols, int, double tol) {
    // One-sided Jacobi: orthogonalise the columns of a copy; the column norms
    // are the singular values.
    if (rows < 1 || cols < 1) return 0;
    std::vector<double> U(std::size_t(rows) * std::size_t(cols));
    auto u = [&](int i, int j) -> double & { return U[std::size_t(j) * rows + i]; };
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) u(i, j) = A[i][j];
    const int kMaxSweeps = 60;
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        bool rotated = false;
        for (int p = 0; p < cols - 1; ++p)
            for (int q = p + 1; q < cols; ++q) {
                double alpha = 0.0, beta = 0.0, gamma = 0.0;
                for (int i = 0; i < rows; ++i) {
                    alpha += u(i, p) * u(i, p);
                    beta += u(i, q) * u(i, q);
                    gamma += u(i, p) * u(i, q);
                }
                if (gamma == 0.0 || std::fabs(gamma) <= DBL_EPSILON * std::sqrt(alpha * beta))
                    continue;
                rotated = true;
                double zeta = (beta - alpha) / (2.0 * gamma);
                double t = (zeta >= 0 ? 1.0 : -1.0) /
                           (std::fabs(zeta) + std::sqrt(1.0 + zeta * zeta));
                double c = 1.0 / std::sqrt(1.0 + t * t), s = c * t;
                for (int i = 0; i < rows; ++i) {
                    double x = u(i, p), y = u(i, q);
                    u(i, p) = c * x - s * y;
                    u(i, q) = s * x + c * y;
                }
            }
        if (!rotated) break;
    }
    std::vector<double> sv(std::size_t(cols), 0.0);
    double big = 0.0;
    for (int j = 0; j < cols; ++j) {
        double s = 0.0;
        for (int i = 0; i < rows; ++i) s += u(i, j) * u(i, j);
        sv[std::size_t(j)] = std::sqrt(s);
        if (sv[std::size_t(j)] > big) big = sv[std::size_t(j)];
    }
    if (!(big > 0.0)) return 0;
    int rank = 0;
    for (double s : sv)
        if (s > tol * big) ++rank;
    return rank;
}

}  // extern "C"

// ---- random numbers ---------------------------------------------------------
// xoshiro256** (Blackman and Vigna), seeded through splitmix64; standard
// normals by the Marsaglia polar method, the second value of each pair kept
// for the next call.
namespace {

std::uint64_t g_state[4];
bool g_seeded = false;
bool g_haveSpare = false;
double g_spare = 0.0;
constexpr unsigned long long kDefaultSeed = 20080901ULL;

std::uint64_t splitmix64(std::uint64_t &x) {
    std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

std::uint64_t next() {
    if (!g_seeded) kelhost_seed(kDefaultSeed);
    std::uint64_t result = rotl(g_state[1] * 5, 7) * 9;
    std::uint64_t t = g_state[1] << 17;
    g_state[2] ^= g_state[0];
    g_state[3] ^= g_state[1];
    g_state[1] ^= g_state[2];
    g_state[0] ^= g_state[3];
    g_state[2] ^= t;
    g_state[3] = rotl(g_state[3], 45);
    return result;
}

// Uniform on (-1, 1) from the top 53 bits.
double uniformSigned() { return double(next() >> 11) * (2.0 / 9007199254740992.0) - 1.0; }

}  // namespace

extern "C" {

void kelhost_seed(unsigned long long seed) {
    std::uint64_t x = seed;
    for (auto &s : g_state) s = splitmix64(x);
    g_seeded = true;
    g_haveSpare = false;
}

double DRanNormalPM(void) {
    if (g_haveSpare) {
        g_haveSpare = false;
        return g_spare;
    }
    double u, v, s;
    do {
        u = uniformSigned();
        v = uniformSigned();
        s = u * u + v * v;
    } while (s >= 1.0 || s == 0.0);
    double f = std::sqrt(-2.0 * std::log(s) / s);
    g_spare = v * f;
    g_haveSpare = true;
    return u * f;
}

void MatRann(double **m, int rows, int cols) {
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) m[i][j] = DRanNormalPM();
}

}  // extern "C"
