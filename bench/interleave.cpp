// interleave.cpp - compares two builds of the host and library call by call.
//
//   interleave DIR_A DIR_B [CALLS [FUNCTIONS [MODELS]]]
//
// DIR is a build directory holding libkelhost.so and libvantrel.so, or
// HOST_DIR:LIBRARY_DIR to pair the host of one build with the library of
// another.  Both builds are loaded side by side, each in a link namespace of
// its own (dlmopen), and their calls alternate, so that whatever else runs
// on the machine disturbs both alike.  FUNCTIONS is a comma list of lik
// (LdsLik), smo (KalmanSmo), me1 and me3 (LdsMomentEst 1 and 3), and, when
// named, wgt (SimSmoWgt on the filter store, the state disturbances with
// positive variance selected), lw0, lw1 and lw5 (LdsWeights of the first
// series in the middle of the run); MODELS of
// local, struct and dense (bench_models.h).  Prints, per time point, the
// fastest call, the 10% quantile and the median of each build, and the
// ratio B/A of the quantiles.  Not run by `make bench`: it needs two builds.
#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_models.h"

namespace {

// The host's C interface, looked up in one namespace.
struct Build {
    void *(*open)(const char *);
    KelHostFunction (*lookup)(void *, const char *);
    int (*call)(KelHostFunction, KelVALUE *, KelVALUE *, int, char *, int);
    void (*setInt)(KelVALUE *, int);
    void (*setRef)(KelVALUE *, KelVALUE *);
    double **(*matrix)(KelVALUE *, int, int);
    void (*release)(KelVALUE *);
    void *library;
};

template <class F>
void bind(void *handle, const char *name, F &f) {
    f = reinterpret_cast<F>(dlsym(handle, name));
    if (!f) {
        std::fprintf(stderr, "interleave: %s not found\n", name);
        std::exit(1);
    }
}

Build load(const std::string &spec) {
    const std::size_t colon = spec.find(':');
    const std::string hostDir = spec.substr(0, colon);
    const std::string libDir = colon == std::string::npos ? spec : spec.substr(colon + 1);
    void *h = dlmopen(LM_ID_NEWLM, (hostDir + "/libkelhost.so").c_str(), RTLD_NOW);
    if (!h) {
        std::fprintf(stderr, "interleave: %s\n", dlerror());
        std::exit(1);
    }
    Build b;
    bind(h, "kelhost_open", b.open);
    bind(h, "kelhost_lookup", b.lookup);
    bind(h, "kelhost_call", b.call);
    bind(h, "kelhost_int", b.setInt);
    bind(h, "kelhost_ref", b.setRef);
    bind(h, "kelhost_matrix", b.matrix);
    bind(h, "kelhost_free_value", b.release);
    // The allocator settings of each host's C library, as the benchmarks
    // ask for them (builds before kelhost_keep_freed_blocks applied them
    // when loaded).
    if (void *keep = dlsym(h, "kelhost_keep_freed_blocks"))
        reinterpret_cast<int (*)(void)>(keep)();
    b.library = b.open((libDir + "/libvantrel.so").c_str());
    if (!b.library) {
        std::fprintf(stderr, "interleave: cannot open %s/libvantrel.so\n", libDir.c_str());
        std::exit(1);
    }
    return b;
}

void copyInto(Build &b, KelVALUE *rec, const kel::Value &v) {
    double **d = b.matrix(rec, v.rows(), v.cols());
    for (int i = 0; i < v.rows(); ++i)
        for (int j = 0; j < v.cols(); ++j) d[i][j] = v(i, j);
}

// One build's arguments for one function on one model.
struct Job {
    Build *build;
    KelHostFunction fn;
    KelVALUE y, sys, var, store, extra, targets[2];
    std::vector<KelVALUE> args;
};

void prepare(Job &j, Build &b, const bench::Model &mod, const std::string &fn) {
    j.build = &b;
    // Every record the host writes into must start as a value it may free.
    for (KelVALUE *v : {&j.y, &j.sys, &j.var, &j.store, &j.extra}) b.setInt(v, 0);
    copyInto(b, &j.y, mod.y);
    copyInto(b, &j.sys, mod.sys);
    copyInto(b, &j.var, mod.var);
    b.setInt(&j.targets[0], 0);
    b.setInt(&j.targets[1], 0);
    KelVALUE a[5];
    char err[256];
    if (fn == "lik") {
        b.setRef(&a[0], &j.targets[0]);
        b.setRef(&a[1], &j.targets[1]);
        a[2] = j.y, a[3] = j.sys, a[4] = j.var;
        j.args.assign(a, a + 5);
        j.fn = b.lookup(b.library, "LdsLik");
    } else if (fn == "smo") {
        KelVALUE in[3] = {j.y, j.sys, j.var};
        b.call(b.lookup(b.library, "KalmanFil"), &j.store, in, 3, err, sizeof err);
        a[0] = j.store, a[1] = j.sys, a[2] = j.var;
        j.args.assign(a, a + 3);
        j.fn = b.lookup(b.library, "KalmanSmo");
    } else if (fn == "wgt") {
        KelVALUE in[3] = {j.y, j.sys, j.var};
        b.call(b.lookup(b.library, "KalmanFil"), &j.store, in, 3, err, sizeof err);
        const int p = mod.m + mod.N;
        double **sel = b.matrix(&j.extra, p, p);
        for (int i = 0; i < p; ++i)
            for (int k = 0; k < p; ++k) sel[i][k] = i == k && i < mod.m && mod.var(i, i) > 0.0;
        a[0] = j.extra, a[1] = j.store, a[2] = j.sys, a[3] = j.var;
        j.args.assign(a, a + 4);
        j.fn = b.lookup(b.library, "SimSmoWgt");
    } else if (fn[0] == 'l' && fn[1] == 'w') {
        double **pattern = b.matrix(&j.extra, mod.N, mod.n);
        for (int i = 0; i < mod.N; ++i)
            for (int t = 0; t < mod.n; ++t) pattern[i][t] = i == 0 && t == mod.n / 2;
        b.setInt(&a[0], fn[2] - '0');
        a[1] = j.extra, a[2] = j.sys, a[3] = j.var;
        j.args.assign(a, a + 4);
        j.fn = b.lookup(b.library, "LdsWeights");
    } else {
        b.setInt(&a[0], fn[2] - '0');
        b.setRef(&a[1], &j.targets[0]);
        a[2] = j.y, a[3] = j.sys, a[4] = j.var;
        j.args.assign(a, a + 5);
        j.fn = b.lookup(b.library, "LdsMomentEst");
    }
}

void release(Job &j, const std::string &fn) {
    Build &b = *j.build;
    for (KelVALUE *v : {&j.y, &j.sys, &j.var, &j.extra, &j.targets[0], &j.targets[1]})
        b.release(v);
    if (fn == "smo" || fn == "wgt") b.release(&j.store);
}

// Nanoseconds per time point of one call.
double timeCall(Job &j, int n) {
    KelVALUE out;
    j.build->setInt(&out, 0);
    char err[256];
    const auto t0 = std::chrono::steady_clock::now();
    j.build->call(j.fn, &out, j.args.data(), int(j.args.size()), err, sizeof err);
    const auto t1 = std::chrono::steady_clock::now();
    j.build->release(&out);
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / n;
}

bool listed(const std::string &list, const std::string &item) {
    return ("," + list + ",").find("," + item + ",") != std::string::npos;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: interleave DIR_A DIR_B [CALLS [FUNCTIONS [MODELS]]]\n");
        return 1;
    }
    Build builds[2] = {load(argv[1]), load(argv[2])};
    const int calls = argc > 3 ? std::max(1, std::atoi(argv[3])) : 40;
    const std::string functions = argc > 4 ? argv[4] : "lik,smo,me1,me3";
    const std::string models = argc > 5 ? argv[5] : "local,struct,dense";
    const struct {
        const char *name;
        const bench::Model &(*model)();
    } kModels[] = {{"local", bench::localLevel}, {"struct", bench::structural},
                   {"dense", bench::dense}};
    for (const auto &m : kModels) {
        if (!listed(models, m.name)) continue;
        const bench::Model &mod = m.model();
        for (const char *fn : {"lik", "smo", "me1", "me3", "wgt", "lw0", "lw1", "lw5"}) {
            if (!listed(functions, fn)) continue;
            Job jobs[2];
            std::vector<double> t[2];
            for (int s = 0; s < 2; ++s) prepare(jobs[s], builds[s], mod, fn);
            for (int c = 0; c < calls; ++c)
                for (int k = 0; k < 2; ++k) {
                    const int s = c % 2 ? 1 - k : k;   // alternate who goes first
                    t[s].push_back(timeCall(jobs[s], mod.n));
                }
            std::printf("%-6s %-4s", m.name, fn);
            for (int s = 0; s < 2; ++s) {
                std::sort(t[s].begin(), t[s].end());
                std::printf("  %c: min %8.1f q10 %8.1f med %8.1f", 'A' + s, t[s][0],
                            t[s][t[s].size() / 10], t[s][t[s].size() / 2]);
            }
            std::printf("  B/A(q10) %.3f\n", t[1][t[1].size() / 10] / t[0][t[0].size() / 10]);
            for (Job &j : jobs) release(j, fn);
        }
    }
    return 0;
}
