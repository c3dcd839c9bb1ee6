"""Wall time and likelihood evaluations of Structural(...).fit() against
statsmodels' UnobservedComponents(...).fit() (both with exact diffuse
starts and their default settings), on the monthly CO2 series and on a
simulated series of 20000 points.

    PYTHONPATH=python VANTREL_LIB_DIR=build python3 bench/structural_fit.py

statsmodels is needed here only, as the peer being compared with.
"""
import os
import sys
import time
import warnings

import numpy as np
import pandas as pd

import vantrel

HERE = os.path.dirname(os.path.abspath(__file__))


def co2():
    d = pd.read_csv(os.path.join(HERE, "..", "examples", "data", "co2.csv"))
    idx = pd.period_range("%d-%02d" % (d["year"][0], d["month"][0]), periods=len(d), freq="M")
    return pd.Series(d["co2"].to_numpy(), index=idx)


def simulated(n=20000, seed=7):
    """Local linear trend, dummy seasonal of period 12 and irregular."""
    rng = np.random.default_rng(seed)
    slope = 0.01 + np.cumsum(rng.normal(scale=0.002, size=n))
    level = 10 + np.cumsum(slope + rng.normal(scale=0.1, size=n))
    season = np.zeros(n)
    season[:11] = rng.normal(size=11)
    omega = rng.normal(scale=0.05, size=n)
    for t in range(11, n):       # the simulation itself, not the benchmark
        season[t] = -season[t - 11:t].sum() + omega[t]
    return level + season + rng.normal(scale=0.3, size=n)


def peer_fit(y):
    import statsmodels.api as sm
    mod = sm.tsa.UnobservedComponents(y, "lltrend", seasonal=12, use_exact_diffuse=True)
    count = [0]
    plain = mod.loglike

    def counted(*a, **kw):
        count[0] += 1
        return plain(*a, **kw)

    mod.loglike = counted
    t = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = mod.fit(disp=0)
    return time.perf_counter() - t, count[0], res.llf


def our_fit(y):
    mod = vantrel.Structural(y, slope=True, seasonal=12)
    t = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vantrel.VantrelWarning)
        res = mod.fit()
    return time.perf_counter() - t, res.nfev, mod.nfev, res.llf, res.converged


def main():
    try:
        import statsmodels  # noqa: F401
    except ImportError:
        print("statsmodels is not installed: nothing to compare with")
        return 0
    print("%-14s %9s %7s %7s %14s | %9s %7s %14s | %7s" % (
        "series", "ours s", "evals", "+bse", "llf", "peer s", "evals", "llf", "speedup"))
    for name, y in (("CO2 (526)", co2()), ("sim (20000)", simulated())):
        t1, ev1, ev_all, ll1, ok = our_fit(y)
        t2, ev2, ll2 = peer_fit(y)
        print("%-14s %9.3f %7d %7d %14.4f | %9.3f %7d %14.4f | %6.1fx%s" % (
            name, t1, ev1, ev_all, ll1, t2, ev2, ll2, t2 / t1, "" if ok else "  (not converged)"))
    print("evals: likelihood or score evaluations of the search; +bse: all of the "
          "fit with the standard errors")
    return 0


if __name__ == "__main__":
    sys.exit(main())
