// decompositions.cpp - the decompositions of the stand-in Kel matrix
// library: inversion with the log-determinant (IInvDet), the LDL'
// decomposition (ILDLdec) and the numerical rank (IMatRank).  They keep no
// state between calls.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "kelhost/kelhost.h"
#include "vec/vecops.h"

namespace {

using lds_vec::LoadQuad;
using lds_vec::Quad;
using lds_vec::StoreQuad;

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

LDS_INLINE int IInvDetBody(double **A, int n, double *logdet, int *nonsingular) {
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
        const int whole = n & ~3;
        if (p != k) {
            double *a = A[k], *b = A[p];
            int j = 0;
            for (; j < whole; j += 4) {
                Quad x = LoadQuad(a + j);
                StoreQuad(a + j, LoadQuad(b + j));
                StoreQuad(b + j, x);
            }
            for (; j < n; ++j) std::swap(a[j], b[j]);
        }
        // Column k of row k becomes 1.0 and of the other rows 0.0 before the
        // row operations; inside the blocks of four it is set in the register,
        // so that no block is read back right after one of its elements was
        // written.
        const int kb = k & ~3;
        double *rk = A[k];
        double pivot = rk[k];
        ld += std::log(std::fabs(pivot));
        double inv = 1.0 / pivot;
        int j = 0;
        for (; j < whole; j += 4) {
            Quad q = LoadQuad(rk + j);
            if (j == kb) q = lds_vec::WithLane(q, k - kb, 1.0);
            StoreQuad(rk + j, q * inv);
        }
        if (k >= whole) rk[k] = 1.0;
        for (; j < n; ++j) rk[j] *= inv;
        for (int i = 0; i < n; ++i) {
            if (i == k) continue;
            double *ri = A[i];
            double f = ri[k];
            if (f == 0.0) continue;
            for (j = 0; j < whole; j += 4) {
                Quad q = LoadQuad(ri + j);
                if (j == kb) q = lds_vec::WithLane(q, k - kb, 0.0);
                StoreQuad(ri + j, q - f * LoadQuad(rk + j));
            }
            if (k >= whole) ri[k] = 0.0;
            for (; j < n; ++j) ri[j] -= f * rk[j];
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

LDS_TWO_COPIES(int, IInvDet, (double **A, int n, double *logdet, int *nonsingular),
               (A, n, logdet, nonsingular))

}  // namespace

extern "C" {

int IInvDet(double **A, int n, double *logdet, int *nonsingular) {
    return LDS_COPY(IInvDet, (A, n, logdet, nonsingular));
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
