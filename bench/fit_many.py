"""Series per second of fitting monthly structural models: one by one in
this process, and with vantrel.fit_many on a local cluster of 1 and 2
single-threaded worker processes.

    PYTHONPATH=python VANTREL_LIB_DIR=build /usr/bin/python3 bench/fit_many.py [N ...]

N defaults to 200 and 2000.  Each series: 12 years of a local linear trend
with a dummy seasonal of period 12 and noise, known variances, fitted with
Structural(y, slope=True, seasonal=12).  The clusters are started before
the clock starts (their start-up is printed apart) and warmed with a few
fits, so the rates are those of a running cluster.  The one-by-one rate for
N = 200 is that of the first 200 series of the N = 2000 run.
"""
import logging
import os
import sys
import time
import warnings

import numpy as np
import pandas as pd

import vantrel

VARIANCES = {"irregular": 1.0, "level": 0.1, "slope": 0.001, "seasonal": 0.01}
LENGTH = 144


def simulate(nseries, seed=30):
    rng = np.random.default_rng(seed)
    sd = {k: v ** 0.5 for k, v in VARIANCES.items()}
    index = pd.date_range("2010-01", periods=LENGTH, freq="MS")
    cols = {}
    for i in range(nseries):
        slope = 0.1 * rng.standard_normal() + np.cumsum(rng.normal(0, sd["slope"], LENGTH))
        level = np.cumsum(slope + rng.normal(0, sd["level"], LENGTH))
        s = list(rng.normal(0, 1, 11))
        seas = []
        for _ in range(LENGTH):
            g = -sum(s[-11:]) + rng.normal(0, sd["seasonal"])
            s.append(g)
            seas.append(g)
        cols["s%05d" % i] = level + np.array(seas) + rng.normal(0, sd["irregular"], LENGTH)
    return pd.DataFrame(cols, index=index)


def spec(y):
    return vantrel.Structural(y, slope=True, seasonal=12)


def one_by_one(data):
    """Times of the fits of data's columns in this process, cumulative."""
    done, failed = [], 0
    t0 = time.perf_counter()
    for name in data:
        try:
            spec(data[name]).fit()
        except Exception:       # counted, as fit_many records it
            failed += 1
        done.append(time.perf_counter() - t0)
    return done, failed


def cluster(nworkers):
    from distributed import Client, LocalCluster
    t0 = time.perf_counter()
    c = LocalCluster(n_workers=nworkers, threads_per_worker=1, processes=True,
                     dashboard_address=":0", silence_logs=logging.ERROR)
    client = Client(c)
    return c, client, time.perf_counter() - t0


def main(sizes):
    warnings.simplefilter("ignore", vantrel.VantrelWarning)
    os.environ["VANTREL_LIB_DIR"] = vantrel.lib_dir()
    big = max(sizes)
    data = simulate(big)
    print("monthly structural series of %d points (level, slope, seasonal 12, irregular)"
          % LENGTH)
    print("load average at start: %.2f %.2f %.2f" % os.getloadavg())
    spec(data.iloc[:, 0]).fit()                       # warm: plans, imports
    times, failed = one_by_one(data)
    print("one by one: %d of %d fits raised an error" % (failed, big))
    rates = {}
    for n in sizes:
        rates[(0, n)] = n / times[n - 1]
    for k in (1, 2):
        c, client, start = cluster(k)
        try:
            vantrel.fit_many(spec, data.iloc[:, :2 * k], client=client, progress=False)
            for n in sizes:
                t0 = time.perf_counter()
                res = vantrel.fit_many(spec, data.iloc[:, :n], client=client, progress=False)
                wall = time.perf_counter() - t0
                assert len(res) == n and res.index.is_unique
                rates[(k, n)] = n / wall
                print("%d worker(s), N = %d: %.1f s, %d errors recorded" % (
                    k, n, wall, (res["error"] != "").sum()))
            print("cluster of %d worker(s) started in %.1f s" % (k, start))
        finally:
            client.close()
            c.close()
    print("load average at end:   %.2f %.2f %.2f" % os.getloadavg())
    print()
    print("%8s %14s %14s %14s %10s" % ("N", "one process", "1 worker", "2 workers",
                                       "2w / one"))
    for n in sizes:
        print("%8d %12.1f/s %12.1f/s %12.1f/s %9.2fx" % (
            n, rates[(0, n)], rates[(1, n)], rates[(2, n)], rates[(2, n)] / rates[(0, n)]))


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [200, 2000])
