"""Series per second of fitting monthly structural models: one by one in
this process, and with vantrel.fit_many on a local cluster of 1 and 2
single-threaded worker processes.

    PYTHONPATH=python VANTREL_LIB_DIR=build /usr/bin/python3 bench/fit_many.py [N ...]

N defaults to 200 and 2000.  Each series: 12 years of a local linear trend
with a dummy seasonal of period 12 and noise, known variances, fitted with
Structural(y, slope=True, seasonal=12).  The clusters are started before
the clock starts (their start-up is printed apart) and warmed with a few
fits, so the rates are those of a running cluster.  The three ways take
turns on rounds of at most 500 series, so that a change of the machine's
load hits them alike.  A fourth way, the fits split between two plain
processes (no Dask), shows what two processes can get from the machine at
the time: on a shared machine that schedules CPU by session (Linux
autogroups), a session's processes share one session's part of the cores,
and the ratio 2 workers / 2 processes is the cluster's own efficiency.

The machine may be shared: besides the wall-clock rates the script prints
the CPU seconds per series, of this process (client and, in a local
cluster, the scheduler) and of its child processes (nannies and workers).
They do not depend on the load and show the cluster's own overhead: the
rate k idle cores would reach is k / (worker CPU seconds per series) as
long as the scheduler's share stays small.
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
    """Fits data's columns in this process; returns the number of fits
    that raised an error."""
    failed = 0
    for name in data:
        try:
            spec(data[name]).fit()
        except Exception:       # counted, as fit_many records it
            failed += 1
    return failed


def _fit_part(part):
    warnings.simplefilter("ignore", vantrel.VantrelWarning)
    return one_by_one(part)


def two_processes(pool, data):
    """The fits split between two plain processes of `pool`: what two
    processes of this session can do on the machine as it is, without
    Dask."""
    half = data.shape[1] // 2
    return sum(pool.map(_fit_part, [data.iloc[:, :half], data.iloc[:, half:]]))


def cpu_seconds(pids=()):
    """CPU time of this process, and of the processes `pids` with their
    parents (a cluster's workers and nannies), so far."""
    import psutil
    mine = sum(psutil.Process().cpu_times()[:2])
    theirs = 0.0
    for pid in pids:
        p = psutil.Process(pid)
        for q in (p, p.parent()):
            theirs += sum(q.cpu_times()[:2])
    return mine, theirs


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
    data = simulate(max(sizes))
    print("monthly structural series of %d points (level, slope, seasonal 12, irregular)"
          % LENGTH)
    print("load average at start: %.2f %.2f %.2f" % os.getloadavg())
    spec(data.iloc[:, 0]).fit()                       # warm: plans, imports
    clusters = {}
    for k in (1, 2):
        c, client, start = cluster(k)
        clusters[k] = (c, client)
        vantrel.fit_many(spec, data.iloc[:, :2 * k], client=client, progress=False)
        print("cluster of %d worker(s) started in %.1f s" % (k, start))
    import concurrent.futures
    import multiprocessing
    pool = concurrent.futures.ProcessPoolExecutor(2, multiprocessing.get_context("spawn"))
    two_processes(pool, data.iloc[:, :4])
    wall, cpu = {}, {}
    try:
        for n in sizes:
            # The machine's load changes: the three ways take turns on
            # rounds of at most 500 series, their times summed.
            rounds = max(1, n // 500)
            for key in [(w, n) for w in (0, 1, 2, 3)]:
                wall[key], cpu[key] = 0.0, [0.0, 0.0]
            failed = {0: 0, 1: 0, 2: 0, 3: 0}
            for r in range(rounds):
                part = data.iloc[:, r * n // rounds:(r + 1) * n // rounds]
                for k in (0, 1, 2, 3):
                    pids = [] if k in (0, 3) else list(clusters[k][1].run(os.getpid).values())
                    (m0, w0), t0 = cpu_seconds(pids), time.perf_counter()
                    if k == 0:
                        failed[0] += one_by_one(part)
                    elif k == 3:
                        failed[3] += two_processes(pool, part)
                    else:
                        res = vantrel.fit_many(spec, part, client=clusters[k][1],
                                               progress=False)
                        assert len(res) == part.shape[1] and res.index.is_unique
                        failed[k] += int((res["error"] != "").sum())
                    wall[(k, n)] += time.perf_counter() - t0
                    m1, w1 = cpu_seconds(pids)
                    cpu[(k, n)][0] += m1 - m0
                    cpu[(k, n)][1] += w1 - w0
            print("N = %d in %d round(s): fits with an error: %d one by one, %d and %d on "
                  "the clusters" % (n, rounds, failed[0], failed[1], failed[2]))
    finally:
        pool.shutdown()
        for c, client in clusters.values():
            client.close()
            c.close()
    print("load average at end:   %.2f %.2f %.2f" % os.getloadavg())
    print()
    print("%8s %13s %13s %13s %10s %13s %10s" % (
        "N", "one process", "1 worker", "2 workers", "2w / one", "2 processes", "2w / 2p"))
    for n in sizes:
        rate = [n / wall[(k, n)] for k in (0, 1, 2, 3)]
        print("%8d %11.1f/s %11.1f/s %11.1f/s %9.2fx %11.1f/s %9.2fx" % (
            n, *rate[:3], rate[2] / rate[0], rate[3], rate[2] / rate[3]))
    print()
    print("CPU ms per series: this process (client, schedulers) / workers and nannies")
    print("%8s %16s %16s %16s" % ("N", "one process", "1 worker", "2 workers"))
    for n in sizes:
        print("%8d" % n + "".join(" %7.1f / %6.1f" % (1e3 * cpu[(k, n)][0] / n,
                                                      1e3 * cpu[(k, n)][1] / n)
                                  for k in (0, 1, 2)))


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [200, 2000])
