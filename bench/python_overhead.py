#!/usr/bin/python3
"""Overhead of the Python front end on one LdsLik call.

Times Model.loglik(y) against the same host call made through the C API
with every record built once beforehand (one ctypes call of kelhost_call
per repetition, about 0.3 us of its own), on the Nile series (n = 100) and
on a simulated local level with n = 100000.  The two ways alternate in
rounds; each figure is the fastest round's mean per call, since the machine
is shared.

    PYTHONPATH=python VANTREL_LIB_DIR=build /usr/bin/python3 bench/python_overhead.py
"""
import ctypes
import os
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "python"))
import vantrel  # noqa: E402
from vantrel import _host  # noqa: E402


def c_api_call(model, y):
    """A closure making LdsLik through kelhost_call on records made once."""
    h = _host.host()
    keep = []
    args = [_host._Value(), _host._Value(), _host.matrix_record(y.reshape(1, -1), keep)]
    args += model._records
    recs = (_host._Value * len(args))(*args)
    targets = (_host._Value * 2)()
    for i in range(2):
        recs[i].type = 5
        recs[i].v.ref = ctypes.addressof(targets[i])
    ret = _host._Value()
    fn = ctypes.c_void_p(h.entry("LdsLik"))
    ret_p, recs_p, err = ctypes.c_void_p(ctypes.addressof(ret)), \
        ctypes.c_void_p(ctypes.addressof(recs)), ctypes.create_string_buffer(64)
    call = h._call

    def run():
        call(fn, ret_p, recs_p, 5, err, 64)
        return targets[0].v.dval
    run.keep = (keep, recs, targets, ret)
    return run


def best(fn, calls, rounds):
    out = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        out.append((time.perf_counter() - t0) / calls)
    return out


def measure(label, y, calls, rounds):
    model = vantrel.Model([[1.0], [1.0]], [[1469.1, 0.0], [0.0, 15099.0]])
    raw = c_api_call(model, y)
    py = lambda: model.loglik(y)  # noqa: E731
    assert raw() == py()
    t_raw, t_py = [], []
    for _ in range(rounds):          # alternate the two ways
        t_raw += best(raw, calls, 1)
        t_py += best(py, calls, 1)
    r, p = min(t_raw), min(t_py)
    print("%-28s C API %10.2f us   Python %10.2f us   overhead %8.2f us (%5.1f%%)"
          % (label, r * 1e6, p * 1e6, (p - r) * 1e6, 100 * (p - r) / r))
    return raw, r, p


def deep(fn, k):
    return fn() if k == 0 else deep(fn, k - 1)


def placement(raw, calls, rounds):
    """The same C API call made from 0 to 5 extra Python frames down: the
    local level filter's speed depends on where the stack lies (see the
    README), so the spread bounds what a comparison of two paths can tell."""
    t = [min(min(best(lambda: deep(raw, k), calls, 1)) for _ in range(rounds))
         for k in range(6)]
    print("%-28s C API from 0..5 frames deeper: %.0f .. %.0f us"
          % ("  stack placement", min(t) * 1e6, max(t) * 1e6))


def main():
    nile = np.ascontiguousarray(np.loadtxt(os.path.join(ROOT, "examples", "data", "nile.csv"),
                                           delimiter=",", skiprows=1, usecols=1))
    measure("Nile, n = 100", nile, 5000, 15)
    rng = np.random.default_rng(1)
    n = 100000
    level = np.cumsum(rng.normal(scale=np.sqrt(1469.1), size=n))
    long = level + rng.normal(scale=np.sqrt(15099.0), size=n)
    raw, _, _ = measure("local level, n = 100000", long, 5, 60)
    placement(raw, 3, 10)


if __name__ == "__main__":
    main()
