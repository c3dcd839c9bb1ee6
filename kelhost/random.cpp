// random.cpp - the standard normal numbers of the stand-in Kel matrix
// library: xoshiro256** (Blackman and Vigna), seeded through splitmix64;
// normals by the Marsaglia polar method, the second value of each pair kept
// for the next call.  One generator per process, not guarded: see the
// thread model in kelhost.h.
#include <cmath>
#include <cstdint>

#include "kelhost/kelhost.h"

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
