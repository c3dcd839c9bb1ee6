import ctypes
import os
import sys

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "python"))
sys.path.insert(0, HERE)

from vantrel import _host  # noqa: E402


def _csv(name, col):
    return np.loadtxt(os.path.join(ROOT, "examples", "data", name), delimiter=",",
                      skiprows=1, usecols=col)


@pytest.fixture(scope="session")
def nile():
    return _csv("nile.csv", 1)


@pytest.fixture(scope="session")
def airline():
    return np.log(_csv("airline.csv", 2))


class Raw:
    """Host calls through the C API alone, the way kelhost.h documents it:
    records from kelhost_int / kelhost_double / kelhost_matrix (host-owned
    copies, filled element by element), kelhost_ref, kelhost_call."""

    def __init__(self):
        self.h = _host.host()   # the loaded host and library handle
        lib = self.h.host
        lib.kelhost_double.argtypes = [ctypes.c_void_p, ctypes.c_double]
        lib.kelhost_int.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.kelhost_ref.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        self.lib = lib

    def _read(self, rec):
        if rec.type == 1:
            return rec.v.ival
        if rec.type == 2:
            return rec.v.dval
        m = rec.v.mval
        rows = ctypes.cast(m.data, ctypes.POINTER(ctypes.POINTER(ctypes.c_double)))
        return np.array([[rows[i][j] for j in range(m.cols)] for i in range(m.rows)])

    def __call__(self, name, *args):
        """args: numpy 2-D arrays, ints, floats, or "ref" for a reference to
        a fresh variable.  Returns (return value, [referenced values])."""
        lib = self.lib
        recs = (_host._Value * len(args))()
        targets = []
        for i, a in enumerate(args):
            p = ctypes.addressof(recs[i])
            if isinstance(a, str):
                t = _host._Value()
                lib.kelhost_int(ctypes.addressof(t), 0)
                targets.append(t)
                lib.kelhost_ref(p, ctypes.addressof(t))
            elif isinstance(a, int):
                lib.kelhost_int(p, a)
            elif isinstance(a, float):
                lib.kelhost_double(p, a)
            else:
                a = np.asarray(a, dtype=float)
                rows = ctypes.cast(lib.kelhost_matrix(p, a.shape[0], a.shape[1]),
                                   ctypes.POINTER(ctypes.POINTER(ctypes.c_double)))
                for r in range(a.shape[0]):
                    for c in range(a.shape[1]):
                        rows[r][c] = a[r, c]
        ret = _host._Value()
        lib.kelhost_int(ctypes.addressof(ret), 0)
        err = ctypes.create_string_buffer(256)
        code = lib.kelhost_call(ctypes.c_void_p(self.h.entry(name)), ctypes.addressof(ret),
                                ctypes.addressof(recs), len(args), err, 256)
        assert code == 0, err.value
        out = self._read(ret), [self._read(t) for t in targets]
        for r in [ret] + targets + list(recs):
            if r.type == 3:
                lib.kelhost_free_value(ctypes.addressof(r))
        return out


@pytest.fixture(scope="session")
def raw():
    return Raw()


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: long runs (still part of the default test command; "
        "deselect with -m 'not slow')")
