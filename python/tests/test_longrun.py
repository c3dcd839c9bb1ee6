"""Many calls in one process, succeeding and failing: neither the process's
resident memory nor the host's live storage grows once warmed up."""
import ctypes
import os
import warnings

import numpy as np
import pytest

import vantrel
from vantrel import _host

PAGE = os.sysconf("SC_PAGE_SIZE")


def _resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


@pytest.mark.slow
def test_many_calls_do_not_grow(nile):
    live = _host.host().host.kelhost_live_blocks
    live.restype = ctypes.c_long
    model = vantrel.Model(sys=[[1.0], [1.0]], var=[[1469.1, 0.0], [0.0, 15099.0]])
    # F = 0 at the first observation: a numerical failure.
    bad = vantrel.Model(sys=[[1.0], [0.0]], var=np.zeros((2, 2)), init=[[0.0], [0.0]])
    # x of 100 columns against 120 time points: a host error.
    reg = vantrel.regression(np.arange(100.0))
    long_y = np.concatenate([nile, nile[:20]])
    counts = {"loglik": 0, "smoothed": 0, "host error": 0, "failed": 0}

    def batch(calls):
        for i in range(calls):
            if i % 40 == 0:
                # One in 40: smoothed (a host error or a failure once in 8).
                counts["smoothed"] += 1
                if i % 320 == 0:
                    with pytest.raises(vantrel.VantrelError):
                        reg.smoothed(long_y)
                    counts["host error"] += 1
                elif i % 320 == 40:
                    assert np.isnan(bad.smoothed(nile).smoothed_state).all()
                    counts["failed"] += 1
                else:
                    assert np.isfinite(model.smoothed(nile).smoothed_state).all()
                continue
            counts["loglik"] += 1
            if i % 97 == 1:
                try:
                    reg.loglik(long_y)
                    raise AssertionError("no host error")
                except vantrel.VantrelError:
                    counts["host error"] += 1
            elif i % 97 == 2:
                assert np.isnan(bad.loglik(nile))
                counts["failed"] += 1
            else:
                model.loglik(nile)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vantrel.VantrelWarning)
        batch(21000)
        start, blocks = _resident(), live()
        seen = []
        for _ in range(9):
            batch(21000)
            seen.append(_resident())
    assert live() == blocks == 0
    assert counts["loglik"] >= 200000 and counts["smoothed"] >= 5000
    # A leak of one small block per call would add several MiB.
    assert max(seen) - start < 1 << 20, [s - start for s in seen]
