#!/usr/bin/python3
"""loglik and smoothed from Python with diffuse="exact" against
diffuse="approximate", on the three benchmark models of bench_models.h
(every initial element diffuse, no Init):

    local level               m = 1,  N = 1, n = 100000
    basic structural model    m = 13, N = 1, n = 20000
    dense multivariate model  m = 8,  N = 4, n = 20000

The two treatments alternate call by call within each round; each figure is
the fastest round's time per call (the machine is shared), with the ratio
exact / approximate.

    PYTHONPATH=python VANTREL_LIB_DIR=build /usr/bin/python3 bench/python_exact.py [rounds]
"""
import os
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "python"))
import vantrel  # noqa: E402


def local_level():
    return np.array([[1.0], [1.0]]), np.diag([0.1, 1.0]), 100000


def structural():
    m, s = 13, 12
    sys_ = np.zeros((m + 1, m))
    sys_[0, 0] = sys_[0, 1] = sys_[1, 1] = 1.0
    sys_[2, 2:2 + s - 1] = -1.0
    for i in range(s - 2):
        sys_[3 + i, 2 + i] = 1.0
    sys_[m, 0] = sys_[m, 2] = 1.0
    var = np.zeros((m + 1, m + 1))
    var[0, 0], var[1, 1], var[2, 2], var[m, m] = 0.3, 0.01, 0.05, 1.0
    return sys_, var, 20000


def dense():
    m, N = 8, 4
    rng = np.random.default_rng(20080901)
    T = rng.uniform(-1, 1, (m, m))
    T *= 0.9 / np.abs(np.linalg.eigvals(T)).max()
    sys_ = np.vstack([T, rng.uniform(-1, 1, (N, m))])
    var = np.diag([0.5] * m + [1.0] * N)
    return sys_, var, 20000


def data(model, n):
    # States started at zero, as the C benchmarks do; diffuse elements start
    # at zero in simulate too.
    sim = vantrel.Model(model.sys, model.var, init=np.zeros((model.m + 1, model.m)))
    return sim.simulate(n, seed=1).observation


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    print("%-12s %-10s %12s %12s %7s" % ("model", "method", "exact ms", "approx ms", "ratio"))
    for name, make in (("local level", local_level), ("structural", structural),
                       ("dense N=4", dense)):
        sys_, var, n = make()
        exact = vantrel.Model(sys_, var)
        approx = vantrel.Model(sys_, var, diffuse="approximate")
        y = data(exact, n)
        for method in ("loglik", "smoothed"):
            fe, fa = getattr(exact, method), getattr(approx, method)
            fe(y), fa(y)
            te, ta = [], []
            for _ in range(rounds):
                t0 = time.perf_counter()
                fe(y)
                t1 = time.perf_counter()
                fa(y)
                t2 = time.perf_counter()
                te.append(t1 - t0)
                ta.append(t2 - t1)
            e, a = 1e3 * min(te), 1e3 * min(ta)
            print("%-12s %-10s %12.2f %12.2f %7.2f" % (name, method, e, a, e / a))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
