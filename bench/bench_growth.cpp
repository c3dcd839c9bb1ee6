// bench_growth.cpp - whether the cost per time point stays the same as the
// series grows: LdsLik, LdsMomentEst 1 and one conditional draw of the
// states (LdsCondDens 2) on the basic structural model at n = 1e3, 1e4, 1e5
// and 1e6, through a host that is left with the C library's default
// allocator settings (no kelhost_keep_freed_blocks), as a Kel session
// would run.  Prints, per function and n, the fastest and the median call
// in ns per time point after one warm-up call, and the minor page faults of
// the last call: large results reuse the host's kept blocks, so a repeated
// call should touch no new pages.
//
//   bench_growth [MAX_N]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_models.h"

namespace {

long minorFaults() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

}  // namespace

int main(int argc, char **argv) {
    const int maxN = argc > 1 ? std::atoi(argv[1]) : 1000000;
    kel::Host host;
    std::printf("%-16s %8s %12s %12s %10s\n", "function", "n", "fastest ns", "median ns",
                "faults");
    for (int n = 1000; n <= maxN; n *= 10) {
        const bench::Model mod = bench::structuralOf(n);
        kel::Value ll, s2, moments;
        const std::vector<std::pair<std::string, std::vector<kel::Arg>>> jobs = {
            {"LdsLik", {kel::ref(ll), kel::ref(s2), mod.y, mod.sys, mod.var}},
            {"LdsMomentEst", {1, kel::ref(moments), mod.y, mod.sys, mod.var}},
            {"LdsCondDens", {2, mod.y, mod.sys, mod.var}},
        };
        // About 2e6 time points per function and size, at least three calls.
        const int calls = std::max(3, 2000000 / n);
        for (const auto &job : jobs) {
            host.call(job.first, job.second);  // warm-up
            std::vector<double> ns(calls);
            long faults = 0;
            for (int c = 0; c < calls; ++c) {
                const long f0 = minorFaults();
                const auto t0 = std::chrono::steady_clock::now();
                host.call(job.first, job.second);
                const auto t1 = std::chrono::steady_clock::now();
                faults = minorFaults() - f0;
                ns[c] = std::chrono::duration<double, std::nano>(t1 - t0).count() / n;
            }
            std::sort(ns.begin(), ns.end());
            std::printf("%-16s %8d %12.1f %12.1f %10ld\n",
                        (job.first + (job.first == "LdsLik" ? "" : job.first == "LdsMomentEst"
                                                                       ? " 1"
                                                                       : " 2"))
                            .c_str(),
                        n, ns[0], ns[calls / 2], faults);
        }
    }
    return 0;
}
