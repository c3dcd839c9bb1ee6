// bench_models.h - the three models the benchmarks time, with data simulated
// from each under a fixed seed:
//   local level               m = 1,  N = 1, n = 100000
//   basic structural model    m = 13, N = 1, n = 20000 (level, slope, dummy
//                             seasonal of period 12, irregular)
//   dense multivariate model  m = 8,  N = 4, n = 20000 (dense stable T)
// and the per-time-point counter they report.
#ifndef VANTREL_BENCH_MODELS_H
#define VANTREL_BENCH_MODELS_H

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "kelhost/kel.hpp"

namespace bench {

const unsigned long long kSeed = 20080901ULL;
const int kLocalLevelN = 100000;
const int kStructuralN = 20000;
const int kDenseN = 20000;
const int kSeasonPeriod = 12;
const int kDenseStates = 8;
const int kDenseSeries = 4;
const double kDenseRadius = 0.9;    // spectral radius of the dense T
const int kRadiusSquarings = 12;    // T^(2^12) in Gelfand's formula

// Row-pointer storage for the routines called directly.
struct Rows {
    std::vector<double> buf;
    std::vector<double *> ptr;
    Rows(int r, int c) : buf(std::size_t(r) * std::size_t(c) + 1), ptr(r) {
        for (int i = 0; i < r; ++i) ptr[i] = buf.data() + std::size_t(i) * std::size_t(c);
    }
    double **p() { return ptr.data(); }
};

struct Model {
    kel::Value sys, var, y;
    int m, N, n;
};

// One host per process, as one Kel session would have, with freed blocks
// kept for the next call (kelhost_keep_freed_blocks), as a program that
// calls the library in a loop would ask for.
inline kel::Host &host() {
    static const int kept = kelhost_keep_freed_blocks();
    (void)kept;
    static kel::Host h;
    return h;
}

inline double frobenius(const std::vector<double> &a) {
    double s = 0.0;
    for (double v : a) s += v * v;
    return std::sqrt(s);
}

// Spectral radius of the k x k matrix a (row-major) from Gelfand's formula,
// rho = lim ||A^j||^(1/j), by repeated squaring with rescaling so that no
// power overflows; no eigenvalue solver needed.
inline double spectralRadius(std::vector<double> a, int k) {
    double logNorm = std::log(frobenius(a)), power = 1.0;
    for (double &v : a) v /= std::exp(logNorm);
    std::vector<double> sq(a.size());
    for (int s = 0; s < kRadiusSquarings; ++s) {
        for (int i = 0; i < k; ++i)
            for (int j = 0; j < k; ++j) {
                double sum = 0.0;
                for (int l = 0; l < k; ++l) sum += a[i * k + l] * a[l * k + j];
                sq[i * k + j] = sum;
            }
        const double norm = frobenius(sq);
        for (std::size_t i = 0; i < a.size(); ++i) a[i] = sq[i] / norm;
        logNorm = 2.0 * logNorm + std::log(norm);
        power *= 2.0;
    }
    return std::exp(logNorm / power);
}

// Observations from the model, disturbances independent with the standard
// deviations on the diagonal of Var, state started at zero.
inline kel::Value simulate(const kel::Value &sys, const kel::Value &var, int m, int N, int n,
                           std::mt19937_64 &rng) {
    std::normal_distribution<double> normal;
    std::vector<double> alpha(m, 0.0), next(m);
    kel::Value y = kel::Value::matrix(N, n);
    for (int t = 0; t < n; ++t) {
        for (int k = 0; k < N; ++k) {
            double v = std::sqrt(var(m + k, m + k)) * normal(rng);
            for (int j = 0; j < m; ++j) v += sys(m + k, j) * alpha[j];
            y.at(k, t) = v;
        }
        for (int i = 0; i < m; ++i) {
            double v = std::sqrt(var(i, i)) * normal(rng);
            for (int j = 0; j < m; ++j) v += sys(i, j) * alpha[j];
            next[i] = v;
        }
        alpha.swap(next);
    }
    return y;
}

inline Model finish(kel::Value sys, kel::Value var, int m, int N, int n) {
    std::mt19937_64 rng(kSeed);
    kel::Value y = simulate(sys, var, m, N, n, rng);
    return Model{sys, var, y, m, N, n};
}

inline const Model &localLevel() {
    static const Model model = finish({{1.0}, {1.0}}, {{0.1, 0.0}, {0.0, 1.0}}, 1, 1,
                                      kLocalLevelN);
    return model;
}

// The basic structural model on n time points.
inline Model structuralOf(int n) {
    const int m = 2 + kSeasonPeriod - 1, level = 0, slope = 1, season = 2;
    kel::Value sys = kel::Value::matrix(m + 1, m), var = kel::Value::matrix(m + 1, m + 1);
    sys.at(level, level) = sys.at(level, slope) = sys.at(slope, slope) = 1.0;
    for (int i = 0; i < kSeasonPeriod - 1; ++i) sys.at(season, season + i) = -1.0;
    for (int i = 0; i < kSeasonPeriod - 2; ++i) sys.at(season + i + 1, season + i) = 1.0;
    sys.at(m, level) = sys.at(m, season) = 1.0;
    var.at(level, level) = 0.3;
    var.at(slope, slope) = 0.01;
    var.at(season, season) = 0.05;
    var.at(m, m) = 1.0;
    return finish(sys, var, m, 1, n);
}

inline const Model &structural() {
    static const Model model = structuralOf(kStructuralN);
    return model;
}

inline const Model &dense() {
    static const Model model = [] {
        const int m = kDenseStates, N = kDenseSeries, d = m + N;
        std::mt19937_64 rng(kSeed + 1);
        std::uniform_real_distribution<double> uniform(-1.0, 1.0);
        std::vector<double> t(m * m);
        for (double &v : t) v = uniform(rng);
        const double scale = kDenseRadius / spectralRadius(t, m);
        kel::Value sys = kel::Value::matrix(d, m), var = kel::Value::matrix(d, d);
        for (int i = 0; i < m; ++i)
            for (int j = 0; j < m; ++j) sys.at(i, j) = scale * t[i * m + j];
        for (int k = 0; k < N; ++k)
            for (int j = 0; j < m; ++j) sys.at(m + k, j) = uniform(rng);
        for (int i = 0; i < d; ++i) var.at(i, i) = i < m ? 0.5 : 1.0;
        return finish(sys, var, m, N, kDenseN);
    }();
    return model;
}

// Time per time point (printed with its unit, e.g. 55.3ns), however many
// iterations the library ran.
inline void countTimePoints(benchmark::State &state, int n) {
    state.counters["per_t"] = benchmark::Counter(
        n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The machines these run on share their cores, so single runs swing by a
// factor of two; each benchmark is repeated and the fastest repetition is
// reported beside the median, as the figure least disturbed by neighbours.
const int kRepetitions = 7;

inline double fastest(const std::vector<double> &v) {
    double best = v.empty() ? 0.0 : v[0];
    for (double x : v)
        if (x < best) best = x;
    return best;
}

inline void configure(benchmark::internal::Benchmark *b) {
    b->Unit(benchmark::kMillisecond)
        ->Repetitions(kRepetitions)
        ->ReportAggregatesOnly(true)
        ->ComputeStatistics("min", fastest);
}

}  // namespace bench

#endif
