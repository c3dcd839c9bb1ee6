#!/usr/bin/python3
"""The peer comparison of `make bench-peers`: Vantrel against R's stats
package and statsmodels, in nanoseconds per time point.

    /usr/bin/python3 bench/peers/peers.py BUILD_DIR [ROUNDS]

Runs bench/peers/peers.R (the R rows, one R process) and then the
statsmodels rows in this process.  In both processes Vantrel's side is
bench/peers/vantrel_peers.cpp (libvantrel_peers.so), and each round calls
the peer once and Vantrel once, alternately, so that what else runs on the
machine weighs on both alike.  The figures are 10% quantiles over the
rounds.  The one row that spans the two processes is the Python call on
the Nile flows: the whole Model.loglik call is timed here, interleaved with
the bare C call, against R's KalmanLike timed in the R process just before.
Each row also shows the largest relative difference between the numbers
both sides computed (log-likelihoods, variances, smoothed states; the
draws, being random, are compared through the log-likelihood of the same
model and initial variance).
"""
import ctypes
import os
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 15
os.environ.setdefault("VANTREL_LIB_DIR", BUILD)
sys.path.insert(0, os.path.join(ROOT, "python"))

import warnings  # noqa: E402
from statsmodels.tsa.statespace.mlemodel import MLEModel  # noqa: E402
import vantrel  # noqa: E402

LIB = ctypes.CDLL(os.path.join(BUILD, "libvantrel_peers.so"))
INT = ctypes.c_int


def sizes(k):
    out = (INT * 3)()
    LIB.vp_sizes(ctypes.byref(INT(k)), out)
    return tuple(out)


def model(k):
    m, N, n = sizes(k)
    d = m + N
    sys_, var, y = np.empty((d, m)), np.empty((d, d)), np.empty((N, n))
    ptr = lambda a: a.ctypes.data_as(ctypes.POINTER(ctypes.c_double))  # noqa: E731
    LIB.vp_model(ctypes.byref(INT(k)), ptr(sys_), ptr(var), ptr(y))
    return sys_, var, y, m, N, n


def check(k, length):
    out = (ctypes.c_double * length)()
    LIB.vp_check(ctypes.byref(INT(k)), out)
    return list(out)


def vantrel_ns(k, batch=1):
    ns = (ctypes.c_double * batch)()
    LIB.vp_time(ctypes.byref(INT(k)), ctypes.byref(INT(batch)), ns)
    return sum(ns) / batch


def peer_ns(f, batch=1):
    t0 = time.perf_counter_ns()
    for _ in range(batch):
        f()
    return (time.perf_counter_ns() - t0) / batch


def q10(x):
    return float(np.quantile(np.asarray(x), 0.1, method="inverted_cdf"))


def rel(a, b):
    a, b = np.atleast_1d(a), np.atleast_1d(b)
    return float(np.max(np.abs(a - b) / np.maximum(np.abs(b), 1e-300)))


def statsmodels_model(k, diffuse):
    """The model of bench_models.h as statsmodels holds it: the proper
    initial variance 1e7 I of Vantrel's jobs, or the exact diffuse one."""
    sys_, var, y, m, N, n = model(k)
    kw = (dict(initialization="diffuse") if diffuse else
          dict(initialization="known", initial_state=np.zeros(m),
               initial_state_cov=1e7 * np.eye(m)))
    mod = MLEModel(y.T.copy(), k_states=m, **kw)
    mod["design"], mod["obs_cov"] = sys_[m:], var[m:, m:]
    mod["transition"], mod["state_cov"] = sys_[:m], var[:m, :m]
    mod["selection"] = np.eye(m)
    return mod, n


def statsmodels_rows():
    rows = []
    for name, k, job in (("draw_dense", 2, 3), ("draw_struct", 1, 4)):
        mod, n = statsmodels_model(k, False)
        err = rel(check(job, 2)[0], mod.ssm.loglike())
        sim = mod.simulation_smoother()
        t = [(peer_ns(sim.simulate), vantrel_ns(job)) for _ in range(ROUNDS)]
        rows.append((name, q10([a for a, _ in t]) / n, q10([b for _, b in t]) / n, err))
    mod, n = statsmodels_model(2, True)
    err = rel(check(5, 1)[0], mod.ssm.loglike())
    t = [(peer_ns(mod.ssm.loglike), vantrel_ns(5)) for _ in range(ROUNDS)]
    rows.append(("exact_dense", q10([a for a, _ in t]) / n, q10([b for _, b in t]) / n, err))
    return rows


def python_row(r_nile_ns):
    nile = np.ascontiguousarray(np.loadtxt(os.path.join(ROOT, "examples", "data", "nile.csv"),
                                           delimiter=",", skiprows=1, usecols=1))
    LIB.vp_nile(nile.ctypes.data_as(ctypes.POINTER(ctypes.c_double)),
                ctypes.byref(INT(len(nile))))
    m = vantrel.Model([[1.0], [1.0]], [[1469.1, 0.0], [0.0, 15099.0]], init=[[1e7], [0.0]])
    err = rel(m.loglik(nile), check(6, 2)[0])
    t = [(peer_ns(lambda: m.loglik(nile), 2000), vantrel_ns(6, 2000)) for _ in range(ROUNDS)]
    py, c = q10([a for a, _ in t]), q10([b for _, b in t])
    return ("nile_py", r_nile_ns, py, err, c)


TITLES = {
    "lik_local": ("Log-likelihood (LdsLik)", "local level, n = 1e5", "R KalmanLike"),
    "smo_local": ("Smoothed states and variances (LdsMomentEst 1)", "local level, n = 1e5",
                  "R KalmanSmooth"),
    "filsmo_local": ("  the same by KalmanFil + KalmanSmo", "local level, n = 1e5",
                     "R KalmanSmooth"),
    "draw_dense": ("One conditional draw of the states (LdsCondDens 2)",
                   "four series, m = 8, dense T, n = 2e4", "statsmodels simulate()"),
    "draw_struct": ("  the same", "structural, m = 13, n = 2e4", "statsmodels simulate()"),
    "exact_dense": ("Exact diffuse log-likelihood (IKalmanInitial + fKalmanExact)",
                    "four series, m = 8, dense T, n = 2e4", "statsmodels exact diffuse"),
    "nile_c": ("LdsLik on the Nile, the C call (ns per call)", "local level, n = 100",
               "R KalmanLike from R"),
    "nile_py": ("One loglik call from Python on the Nile (ns per call)",
                "local level, n = 100", "R KalmanLike from R"),
}


def main():
    load0 = os.getloadavg()
    out = subprocess.run(["Rscript", os.path.join(HERE, "peers.R"),
                          os.path.join(BUILD, "libvantrel_peers.so"), str(ROUNDS)],
                         check=True, capture_output=True, text=True).stdout
    rows = [(w[1], float(w[2]), float(w[3]), float(w[4]))
            for w in (line.split() for line in out.splitlines()) if w and w[0] == "row"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        rows += statsmodels_rows()
    nile_r = [r for r in rows if r[0] == "nile_c"][0][1]
    py = python_row(nile_r)
    rows.append(py[:4])
    load1 = os.getloadavg()
    print("| What | Model | Peer | Peer ns | Vantrel ns | Peer / Vantrel | max rel. diff |")
    print("|---|---|---|---|---|---|---|")
    for name, peer, ours, err in rows:
        what, mod, who = TITLES[name]
        print("| %s | %s | %s | %.4g | %.4g | %.2f | %.1e |"
              % (what, mod, who, peer, ours, peer / ours, err))
    print("(ns per time point unless marked; 10%% quantiles of %d interleaved rounds; "
          "Python row: the bare C call inside it took %.0f ns)" % (ROUNDS, py[4]))
    print("load average at start %.2f %.2f %.2f, at end %.2f %.2f %.2f" % (load0 + load1))


if __name__ == "__main__":
    main()
