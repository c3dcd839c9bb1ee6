"""Property-based sweep of the package's public API (run by test_hypothesis.py
in a child process, so that a crash of the interpreter is seen and reported
rather than taking the test run with it).

Every public function, every public Model method and the constructors are
found at import time, so functions added later are swept too: their
arguments are drawn by parameter name (known names get inputs of their
kind, others a mix of arrays, numbers and objects of wrong types).

The contract of every call: it returns finite values (NaN only where the
documentation allows it: a failed result, missing observations, a failed
ARMA initial state), raises VantrelError (the package's documented
exception) or a TypeError/ValueError whose message names one of the call's
arguments, and warns with VantrelWarning only; it never changes its inputs.

The profile comes from $VANTREL_HYPOTHESIS_PROFILE: "default" (about a
minute in all) or "night" (a long run).  $VANTREL_SWEEP_LOG names a file
that holds the call being made (read by the parent after a crash) and
$VANTREL_SWEEP_COUNTS one that receives the number of examples per target.
"""
import copy
import faulthandler
import inspect
import os
import re
import sys
import time
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, Phase, assume, given, settings
from hypothesis import strategies as st

import vantrel
from vantrel import model as _model
from vantrel.statespace import StateSpaceModel

_SLOW = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
# The bounded profile does not shrink a failing example (shrinking can take
# longer than the whole sweep): the failure shows the call as drawn.
settings.register_profile("default", max_examples=int(os.environ.get("VANTREL_SWEEP_EXAMPLES", 60)),
                          deadline=20000, database=None, suppress_health_check=_SLOW,
                          phases=[Phase.explicit, Phase.generate], print_blob=True)
settings.register_profile("night", max_examples=20000, deadline=60000, database=None,
                          suppress_health_check=_SLOW, print_blob=True)
PROFILE = os.environ.get("VANTREL_HYPOTHESIS_PROFILE", "default")
settings.load_profile(PROFILE)
# Wall time per target in the bounded profile: on a loaded machine the
# sweep stops a target's examples early rather than overrun its minute.
BUDGET = None if PROFILE == "night" else float(os.environ.get("VANTREL_SWEEP_SECONDS", 60)) / 28
# A call that takes longer than this hangs: the watchdog ends the child.
WATCHDOG = 120.0 if PROFILE == "night" else 60.0

SPECIAL = [0.0, -0.0, 1.0, -1.0, np.nan, np.inf, -np.inf, 1e308, -1e308, 5e-324, -5e-324,
           2.2250738585072014e-308, 1e-300, 1e300]
FINITE_SPECIAL = [v for v in SPECIAL if np.isfinite(v)]
WORDS = ["predicted", "filtered", "smoothed", "disturbances", "draw", "disturbance_draw",
         "auto", "score", "numerical", "", "SMOOTHED", "nope"]


class _Odd:
    """An object of no numeric kind."""

    def __repr__(self):
        return "<odd>"


JUNK = st.sampled_from([None, "text", b"bytes", _Odd(), 1 + 2j, [[1.0, "a"]], {"a": 1},
                        [1.0, [2.0, 3.0]], np.array(["a", "b"]), (), [], set(), slice(3),
                        True, np.bool_(False), 2**70, -(2**70), float("nan"), float("inf"),
                        np.float16(1.5), np.datetime64("2020-01-01"), np.array([1 + 1j]),
                        np.zeros((2, 0, 3)), np.zeros(()), pd.Series([], dtype=float)])


def _one_in(k):
    """True about once in k draws.  (Hypothesis favours small integers and
    the first element of a list, so the common answer comes first.)"""
    return st.sampled_from([False] * (k - 1) + [True])


# ---- arrays -------------------------------------------------------------
@st.composite
def float_array(draw, shape, special=5, finite=False, scale=2.0, missing=0):
    """A float64 array of `shape`: moderate values; in one array of
    `special` (0: none) some special values, in one of `missing` some NaN."""
    size = int(np.prod(shape)) if len(shape) else 1
    vals = draw(st.lists(st.floats(-scale, scale, allow_nan=False, allow_infinity=False,
                                   width=64), min_size=size, max_size=size))
    a = np.array(vals, dtype=np.float64).reshape(shape)
    if size and missing and draw(_one_in(missing)):
        for _ in range(draw(st.integers(1, max(1, size // 2)))):
            a.flat[draw(st.integers(0, size - 1))] = np.nan
    if size and special and draw(_one_in(special)):
        pool = FINITE_SPECIAL if finite else SPECIAL
        for _ in range(draw(st.integers(1, max(1, size // 3)))):
            idx = draw(st.integers(0, size - 1))
            a.flat[idx] = draw(st.sampled_from(pool))
    return a


def _odd_index(draw, n):
    kind = draw(st.sampled_from(["range", "reversed", "duplicate", "text", "dates",
                                 "float", "multi", "offset"]))
    if kind == "reversed":
        return pd.Index(np.arange(n)[::-1])
    if kind == "duplicate":
        return pd.Index([0] * n)
    if kind == "text":
        return pd.Index(["t%d" % (n - i) for i in range(n)])
    if kind == "dates":
        return pd.date_range("2001-01-31", periods=n, freq="M")
    if kind == "float":
        return pd.Index(np.linspace(0.5, -3.0, n) if n else np.zeros(0))
    if kind == "multi":
        return pd.MultiIndex.from_arrays([np.arange(n) % 2, np.arange(n)])
    if kind == "offset":
        return pd.RangeIndex(1000, 1000 + n)
    return pd.RangeIndex(n)


@st.composite
def presented(draw, a, series_axis=None):
    """`a` (float64) as a caller might hand it over: another dtype, order,
    layout, a list, a 0-d array, or a pandas object with an odd index (time
    along the other axis than `series_axis`)."""
    if a.dtype.kind != "f":
        return a
    form = draw(st.sampled_from(["plain"] * 12 + ["list", "float32", "int", "bool",
                                 "complex", "object", "fortran", "strided", "readonly",
                                 "bigendian", "pandas", "pandas"]))
    if form == "list":
        return a.tolist()
    if form == "float32":
        with np.errstate(over="ignore"):
            return a.astype(np.float32)
    if form == "int":
        return np.where(np.isfinite(a) & (np.abs(a) < 1e9), a, 0).astype(np.int64)
    if form == "bool":
        return a > 0
    if form == "complex":
        with np.errstate(invalid="ignore"):     # inf * (1 + 1j)
            return a.astype(complex) * draw(st.sampled_from([1, 1 + 1j]))
    if form == "object":
        return a.astype(object)
    if form == "fortran":
        return np.asfortranarray(a)
    if form == "strided":
        big = np.repeat(a, 2, axis=-1) if a.ndim else a
        return big[..., ::2] if a.ndim else big
    if form == "readonly":
        b = a.copy()
        b.setflags(write=False)
        return b
    if form == "bigendian":
        return a.astype(">f8")
    if a.ndim == 1:
        return pd.Series(a, index=_odd_index(draw, a.shape[0]))
    if a.ndim == 2:
        rows, cols = a.shape
        if series_axis == 0:     # (N, n): a frame has a column per series
            columns = draw(st.sampled_from([None, ["b", "a", "c"][:rows], ["y"] * rows]))
            return pd.DataFrame(a.T, index=_odd_index(draw, cols), columns=columns)
        return pd.DataFrame(a, index=_odd_index(draw, rows))
    return a


@st.composite
def data_for(draw, model, n=None):
    """Observations for `model`: mostly of a fitting shape, with missing and
    special values, in every presentation; sometimes a wrong shape."""
    N = model.nseries
    if n is None:
        n = 0 if draw(_one_in(15)) else draw(st.integers(1, 12))
    shape = draw(st.sampled_from(["series"] * 8 + ["time first"] * 2 + ["empty", "0-d", "3-d",
                                                                      "wrong"]))
    if shape == "series":
        a = draw(float_array((N, n), special=6, scale=5.0, missing=2))
        if N == 1 and draw(st.booleans()):
            return draw(presented(a[0]))
        return draw(presented(a, series_axis=0))
    if shape == "time first":
        return draw(presented(draw(float_array((n, N), special=6, scale=5.0, missing=2))))
    if shape == "empty":
        return draw(st.sampled_from([np.zeros(0), np.zeros((N, 0)), np.zeros((0, N)), [],
                                     pd.Series([], dtype=float)]))
    if shape == "0-d":
        return draw(st.sampled_from([np.float64(1.5), np.array(2.0), 3.0, np.nan]))
    if shape == "3-d":
        return np.zeros((N, n, 2))
    return draw(float_array((N + 1, n + 1)))


# ---- models -------------------------------------------------------------
@st.composite
def variance(draw, d):
    kind = draw(st.sampled_from(["psd", "psd", "diagonal", "singular", "indefinite",
                                 "asymmetric", "zero", "huge", "tiny"]))
    if kind == "zero":
        return np.zeros((d, d))
    B = draw(float_array((d, d), special=0))
    if kind == "psd":
        return B @ B.T + 0.1 * np.eye(d)
    if kind == "diagonal":
        return np.diag(np.abs(np.diag(B)) + draw(st.sampled_from([0.0, 0.5])))
    if kind == "singular":
        V = B @ B.T
        k = draw(st.integers(0, d - 1))
        V[k, :] = V[:, k] = 0.0
        return V
    if kind == "indefinite":
        return (B + B.T) / 2
    if kind == "asymmetric":
        return B @ B.T + np.triu(np.ones((d, d)), 1)
    if kind == "huge":
        with np.errstate(over="ignore"):     # an overflow is refused by Model
            return (B @ B.T + np.eye(d)) * draw(st.sampled_from([1e150, 1e300, 1e307]))
    return (B @ B.T + np.eye(d)) * draw(st.sampled_from([1e-300, 5e-324, 1e-160]))


@st.composite
def model_parts(draw, m=None, N=None):
    """Keyword arguments of a Model (valid shapes, any numbers that the
    constructor takes: finite, possibly singular or indefinite)."""
    # Up to six states: the kernels work in blocks of four and remainders.
    m = m or draw(st.sampled_from([1, 2, 3, 1, 2, 5, 6]))
    N = N or draw(st.integers(1, 2))
    d = m + N
    sys_ = draw(float_array((d, m), special=8, finite=True, scale=1.2))
    parts = dict(sys=sys_, var=draw(variance(d)))
    init = draw(st.sampled_from([None, "proper", "diffuse", "mixed", "indefinite"]))
    if init is not None:
        P = draw(float_array((m + 1, m), special=12, finite=True))
        if init == "proper":
            with np.errstate(over="ignore", invalid="ignore"):   # 1e308 squared
                P[:m] = P[:m] @ P[:m].T
        elif init == "diffuse":
            P[:m] = -np.eye(m)
        elif init == "mixed":
            P[:m] = np.diag(np.where(np.arange(m) % 2, -1.0, 0.5))
        parts["init"] = P
    if draw(st.booleans()):
        parts["mean"] = draw(float_array((d,), special=12, finite=True))
    if draw(_one_in(5)):
        # One element of Sys, Var or Mean from row 0 of x.
        which = draw(st.sampled_from(["idx_sys", "idx_var", "idx_mean"]))
        idx = -np.ones({"idx_sys": (d, m), "idx_var": (d, d), "idx_mean": (d, 1)}[which])
        idx[draw(st.integers(0, idx.shape[0] - 1)), draw(st.integers(0, idx.shape[1] - 1))] = 0
        parts[which] = idx
        parts["x"] = draw(float_array((1, draw(st.integers(1, 12))), special=12,
                                      finite=True))
    return parts


@st.composite
def models(draw):
    parts = draw(model_parts())
    try:
        return vantrel.Model(parts.pop("sys"), parts.pop("var"), **parts)
    except ValueError:      # a huge variance that overflowed: not a model
        assume(False)


# ---- arguments by name --------------------------------------------------
def _good_data(model, n=8):
    rng = np.random.default_rng(n)
    y = rng.standard_normal((model.nseries, n))
    if n > 2:
        y[0, 2] = np.nan
    return y[0] if model.nseries == 1 else y


@st.composite
def argument(draw, name, model=None, choices=(), takes_filter=False):
    """A value for parameter `name`: of its kind most of the time, of a wrong
    type now and then.  `choices`: the words a `which` takes."""
    if draw(_one_in(12)):
        return draw(JUNK)
    if name in ("y", "data") and model is None:      # fit's data: one series
        return draw(presented(draw(float_array((draw(st.integers(3, 30)),), special=8,
                                               scale=5.0, missing=3))))
    if name in ("y", "data") and model is not None:
        if takes_filter and draw(_one_in(3)):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    return model.filter(_good_data(model))
                except (ValueError, TypeError):
                    pass
        return draw(data_for(model))
    if name in ("which", "gradient", "method"):
        if choices and not draw(_one_in(5)):
            return draw(st.sampled_from(sorted(choices)))
        return draw(st.sampled_from(WORDS))
    if name in ("time", "series"):
        if not draw(_one_in(5)):
            return draw(st.integers(-2, 5) if name == "time" else st.integers(-1, 1))
        return draw(st.one_of(st.integers(-15, 15), st.sampled_from(
            [np.int64(2), np.uint8(1), 2**40, 1.0, np.float64(3.0), "1"])))
    if name in ("seed", "value"):
        return draw(st.one_of(st.none(), st.integers(-5, 2**64 + 5),
                              st.sampled_from([np.uint64(2**64 - 1), np.int32(-1), 1.5])))
    if name == "select" and model is not None:
        d = model.d
        return draw(st.one_of(
            st.none(), st.lists(st.integers(-1, d), max_size=d + 1),
            st.lists(st.booleans(), min_size=d, max_size=d).map(np.array),
            st.lists(st.booleans(), min_size=d + 1, max_size=d + 1).map(np.array),
            st.sampled_from([np.zeros(0, dtype=int), np.array([0.5]), [[0, 1]]])))
    if name == "weights" and model is not None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                sel = draw(st.sampled_from([None, [model.m], list(range(model.d))]))
                return model.simsmo_weights(_good_data(model, draw(st.integers(1, 9))), sel)
            except (ValueError, TypeError):
                return None
    if name == "z" and model is not None:
        return draw(st.one_of(st.none(), float_array((draw(st.integers(0, 9)),
                                                      draw(st.integers(0, 3))))))
    if name == "disturbances" and model is not None:
        n = draw(st.integers(0, 12))
        return draw(presented(draw(float_array((n, model.d), special=6, scale=3.0))))
    if name == "initial" and model is not None:
        return draw(st.one_of(st.none(), float_array((draw(st.integers(0, 4)),))))
    # The model classes' keywords, their results' arguments.
    if name in ("level", "slope", "irregular", "warn"):
        return draw(st.sampled_from([True, False, "fixed", 0, 1, None, 2, "x", np.bool_(True)]))
    if name == "seasonal":
        return draw(st.sampled_from([None, 4, 2, 12, 1, 0, 2.0, 2.5, -3, "4", True,
                                     np.int64(4), 10**20, np.nan]))
    if name == "seasonal_form":
        return draw(st.sampled_from(["dummy", "trigonometric", "x", None]))
    if name == "cycle":
        return draw(st.sampled_from([False, True, 5.0, 2.0, np.inf, np.nan, "x", 12]))
    if name == "order":
        return draw(st.sampled_from([(1, 0, 0), (0, 1, 1), (2, 1, 1), (1, 0, 1), (0, 0, 0),
                                     (1, 0), (-1, 0, 0), (1.5, 0, 0), "abc", None,
                                     (np.int64(1), 0, 0)]))
    if name == "seasonal_diff":
        return draw(st.sampled_from([0, 4, 12, 1, -1, 2.5, "4", True]))
    if name == "trend":
        return draw(st.sampled_from([None, "c", "n", "t", 1]))
    if name == "exog":
        if draw(st.booleans()):
            return None
        n = draw(st.integers(0, 30))
        return draw(presented(draw(float_array(draw(st.sampled_from([(n,), (n, 2)])),
                                               special=6, scale=3.0))))
    if name in ("steps", "nsimulations", "repetitions", "lags", "maxiter"):
        # (2**40 only where it allocates nothing: a request for terabytes
        # may fail with MemoryError.)
        return draw(st.one_of(st.integers(-1, 12), st.sampled_from(
            [None, 2.5, "3", 2**40 if name == "lags" else 10**4])))
    if name == "anchor":
        return draw(st.sampled_from(["end", "start", 0, 3, -1, "x", 1.5]))
    if name in ("alpha", "gtol"):
        return draw(st.sampled_from([0.05, 0.1, 0.5, 0.0, 1.0, -1.0, np.nan, 1e-3, "x"]))
    if name == "figsize":
        return None
    if name in ("on", "flag"):
        return draw(st.sampled_from([True, False, 0, 1, np.bool_(True)]))
    if name == "model":
        return draw(models())
    if name == "components":
        # Rows (code, sigma, period/frequency, damping/phi, ...): mostly of
        # a real component, now and then of any numbers.
        code = st.sampled_from([vantrel.LEVEL, vantrel.IRREG, vantrel.SLOPE, vantrel.TREND,
                                vantrel.SEAS_DUMMY, vantrel.SEAS_TRIG, vantrel.CYCLE1,
                                vantrel.AR1, vantrel.AR2, vantrel.BWCYCLE, -1, 21])
        extra = st.sampled_from([4.0, 12.0, 0.9, 0.5, 2.0, 0.0, -0.5, 1.0, 1e308, np.nan])
        row = st.tuples(code, st.floats(0, 5), st.lists(extra, max_size=3)).map(
            lambda r: [float(r[0]), r[1]] + r[2])
        anything = st.lists(st.one_of(st.floats(-5, 40, allow_nan=False),
                                      st.sampled_from(SPECIAL)), max_size=6)
        rows = draw(st.lists(row, min_size=0 if draw(_one_in(8)) else 2, max_size=4,
                             unique_by=lambda r: r[0]))
        if rows and draw(_one_in(4)):
            rows[draw(st.integers(0, len(rows) - 1))] = draw(anything)
        if rows and len({len(r) for r in rows}) == 1 and draw(st.booleans()):
            return np.array(rows)
        return rows
    if name == "start" and not draw(_one_in(4)):
        return [draw(st.floats(0.1, 3.0))]
    if name in ("ar", "ma", "gaps", "start"):
        size = 0 if draw(_one_in(5)) else draw(st.integers(1, 3))
        return draw(presented(draw(float_array((size,), special=6,
                                               scale=1.5))))
    if name in ("sigma", "delta"):
        return draw(st.one_of(st.floats(-3, 3), st.sampled_from(SPECIAL), st.integers(-3, 3)))
    if name == "x":
        n = draw(st.integers(0, 12))
        return draw(presented(draw(float_array(draw(st.sampled_from([(n,), (n, 2), (n, 1)])),
                                               special=6, scale=3.0))))
    if name == "build":
        return draw(st.sampled_from([
            lambda p: vantrel.stsm([(vantrel.LEVEL, p[0]), (vantrel.IRREG, 1.0)]),
            lambda p: vantrel.arma(ar=[p[0]]), lambda p: None]))
    if name in ("names", "bounds"):
        return draw(st.sampled_from([None, ["a"], [(0.0, 10.0)], "ab"]))
    if name == "options":
        return draw(st.sampled_from([None, {"maxiter": 2}, {"maxiter": 0}]))
    # An argument of a kind this sweep does not know yet.
    return draw(st.one_of(st.none(), st.integers(-3, 10), st.floats(),
                          float_array((draw(st.integers(0, 4)), draw(st.integers(0, 4))))))


# ---- the contract -------------------------------------------------------
def _snapshot(v):
    if isinstance(v, np.ndarray):
        return ("array", v.copy(), v.dtype, v.shape, v.strides, v.flags.writeable)
    if isinstance(v, (pd.Series, pd.DataFrame)):
        return ("pandas", v.copy(deep=True))
    if isinstance(v, vantrel.Model):
        return ("model", [None if a is None else a.copy() for a in
                          (v.sys, v.var, v.init, v.mean, v.idx_sys, v.idx_var, v.idx_mean, v.x)])
    if isinstance(v, _model.Result):
        return ("result", {f: _snapshot(getattr(v, f)) for f in v.fields})
    try:
        return ("other", copy.deepcopy(v))
    except Exception:
        return ("none", None)


def _same(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "array":
        x, y = a[1], b[1]
        if a[2:] != b[2:]:
            return False
        try:
            return np.array_equal(x, y, equal_nan=x.dtype.kind in "fcO")
        except TypeError:       # objects that are not numbers
            return repr(x.tolist()) == repr(y.tolist())
    if a[0] == "pandas":
        return a[1].equals(b[1]) and a[1].index.equals(b[1].index)
    if a[0] == "model":
        return all((p is None and q is None) or (p is not None and q is not None and
                                                 np.array_equal(p, q, equal_nan=True))
                   for p, q in zip(a[1], b[1]))
    if a[0] == "result":
        return a[1].keys() == b[1].keys() and all(_same(a[1][k], b[1][k]) for k in a[1])
    if a[0] == "other":
        try:
            return bool(np.all(a[1] == b[1])) or repr(a[1]) == repr(b[1])
        except Exception:
            return repr(a[1]) == repr(b[1])
    return True


# Fields that hold NaN where an observation is missing.
NAN_AT_MISSING = {"innovations", "obs_disturbance", "store", "filter_store"}


# With a full observation variance (series rotated under the exact
# treatment) these are NaN too, as documented: the final cumulant, and the
# observation disturbances of missing elements.
NAN_ROTATED = {"final_cumulant", "final_cumulant_var", "smoothed_obs_disturbance",
               "smoothed_obs_disturbance_var"}


def _rotated(model):
    if not isinstance(model, vantrel.Model) or model.diffuse != "exact":
        return False
    H = model.var[model.m:, model.m:]
    return bool(np.any(H != np.diag(np.diag(H))))


def _check_value(v, where, nan_ok, problems, nan_fields=NAN_AT_MISSING):
    if isinstance(v, _model.Result):
        nan_ok = nan_ok or not v.ok
        for f in v.fields:
            _check_value(getattr(v, f), "%s.%s" % (where, f), nan_ok or f in nan_fields,
                         problems)
    elif isinstance(v, vantrel.Model):
        for f in ("sys", "var", "mean", "x"):
            _check_value(getattr(v, f), "%s.%s" % (where, f), False, problems)
        # A failed ARMA initial state is NaN (documented).
        _check_value(v.init, where + ".init", True, problems)
    elif isinstance(v, np.ndarray) and v.dtype.kind == "f":
        if np.isinf(v).any():
            problems.append("%s holds infinity" % where)
        if not nan_ok and np.isnan(v).any():
            problems.append("%s holds NaN" % where)
    elif isinstance(v, float):
        if np.isinf(v):
            problems.append("%s is infinite" % where)
        if not nan_ok and np.isnan(v):
            problems.append("%s is NaN" % where)
    elif isinstance(v, (tuple, list)):
        for i, x in enumerate(v):
            _check_value(x, "%s[%d]" % (where, i), nan_ok, problems)


def _names_argument(text, names):
    return any(re.search(r"(^|\W)%s(\W|$)" % re.escape(n), text, re.IGNORECASE)
               for n in names)


_LOG = os.environ.get("VANTREL_SWEEP_LOG")
_log_fd = os.open(_LOG, os.O_WRONLY | os.O_CREAT | os.O_TRUNC) if _LOG else None
# The watchdog's report goes to a file of its own: pytest holds stderr.
_trace = open(_LOG + ".hang", "w") if _LOG else sys.stderr


def _log(text):
    if _log_fd is not None:
        os.lseek(_log_fd, 0, os.SEEK_SET)
        os.ftruncate(_log_fd, 0)
        os.write(_log_fd, text.encode(errors="replace"))


def check_call(label, fn, args, kwargs, owner=None, nan_ok=False):
    """Calls fn(*args, **kwargs) and holds the outcome to the contract
    (`nan_ok`: NaN results are documented)."""
    names = list(inspect.signature(fn).parameters)
    named = dict(zip(names, args))
    named.update(kwargs)
    before = {k: _snapshot(v) for k, v in named.items()}
    owner_before = _snapshot(owner) if owner is not None else None
    with np.printoptions(threshold=40, precision=4):
        _log("%s(%s)" % (label, ", ".join("%s=%r" % kv for kv in named.items())))
    faulthandler.dump_traceback_later(WATCHDOG, exit=True, file=_trace)
    problems = []
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        try:
            out = fn(*args, **kwargs)
        except vantrel.VantrelNumericalError as e:
            problems.append("strict-mode error outside strict mode: %r" % e)
        except vantrel.VantrelError:
            _outcome(label, "host error")
        except (TypeError, ValueError) as e:
            _outcome(label, "refused")
            # A function of one argument may name itself instead.
            own = [label.split(".")[-1].strip("()")] if len(names) == 1 else []
            if not _names_argument(str(e), names + own):
                problems.append("%s does not name an argument: %s" % (type(e).__name__, e))
        except Exception as e:          # noqa: BLE001 - every other kind is a fault
            problems.append("raised %s: %s" % (type(e).__name__, e))
        else:
            vwarned = any(issubclass(w.category, vantrel.VantrelWarning) for w in seen)
            _outcome(label, "warned" if vwarned else "returned")
            _check_value(out, "result", vwarned or nan_ok, problems,
                         NAN_AT_MISSING | NAN_ROTATED if _rotated(owner) else NAN_AT_MISSING)
            failed_input = any(isinstance(v, _model.Result) and not v.ok for v in named.values())
            if isinstance(out, _model.Result) and not out.ok and not vwarned and not failed_input:
                problems.append("a failed result without a VantrelWarning")
    faulthandler.cancel_dump_traceback_later()
    for w in seen:
        if not issubclass(w.category, vantrel.VantrelWarning):
            problems.append("warned %s: %s" % (w.category.__name__, w.message))
    for k, v in named.items():
        if not _same(before[k], _snapshot(v)):
            problems.append("changed its argument %s" % k)
    if owner is not None and not _same(owner_before, _snapshot(owner)):
        problems.append("changed the model")
    assert not problems, "%s: %s" % (label, "; ".join(problems))


# ---- the targets --------------------------------------------------------
# Functions that take no input or change process-wide switches only (the
# switches are swept too, then put back).
_RESTORE = {"set_strict": lambda: vantrel.set_strict(False),
            "set_library_warnings": lambda: vantrel.set_library_warnings(True)}
_SKIP = {"lib_dir"}


def _functions():
    out = []
    for name, obj in sorted(vars(vantrel).items()):
        if name.startswith("_") or name in _SKIP:
            continue
        if inspect.isfunction(obj) and obj.__module__.startswith("vantrel"):
            out.append(("vantrel." + name, obj))
        elif inspect.isclass(obj) and issubclass(obj, (vantrel.Model, StateSpaceModel)):
            out.append(("vantrel.%s()" % name, obj))
    return out


def _methods():
    return [(name, f) for name, f in inspect.getmembers(vantrel.Model, inspect.isfunction)
            if not name.startswith("_")]


COUNTS = {}
OUTCOMES = ("returned", "warned", "host error", "refused")


def _count(label):
    COUNTS.setdefault(label, dict.fromkeys(("examples",) + OUTCOMES, 0))["examples"] += 1


def _outcome(label, kind):
    COUNTS.setdefault(label, dict.fromkeys(("examples",) + OUTCOMES, 0))[kind] += 1


def teardown_module(_module):
    path = os.environ.get("VANTREL_SWEEP_COUNTS")
    if path:
        with open(path, "a") as f:
            for k, v in sorted(COUNTS.items()):
                f.write("%s %s\n" % (k, " ".join(str(v[o]) for o in ("examples",) + OUTCOMES)))


def _params(fn, skip_self=False):
    ps = list(inspect.signature(fn).parameters.values())
    return ps[1:] if skip_self else ps


def _choices(fn):
    """The words `which` takes: the keys of the table the method looks
    `which` up in (any of the model module's tables named in its source)."""
    try:
        source = inspect.getsource(fn)
    except (OSError, TypeError):
        return ()
    words = set()
    for name, table in vars(_model).items():
        if isinstance(table, dict) and name.startswith("_") \
                and re.search(r"\b%s\b" % re.escape(name), source) \
                and all(isinstance(k, str) for k in table):
            words.update(table)
    return tuple(words)


def _draw_call(data, fn, model=None, skip_self=False):
    args, kwargs = [], {}
    choices = _choices(fn)
    takes_filter = "FilterResult" in (inspect.getdoc(fn) or "")
    for p in _params(fn, skip_self):
        if p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD):
            continue
        if p.default is not p.empty and data.draw(st.integers(0, 2), label="omit") == 0:
            continue
        value = data.draw(argument(p.name, model, choices, takes_filter), label=p.name)
        if p.kind == p.KEYWORD_ONLY or p.default is not p.empty:
            kwargs[p.name] = value
        else:
            args.append(value)
    return args, kwargs


def _sweep(body, examples):
    """Runs body(data) on `examples` generated examples, in batches of ten
    until they are done or the target's time budget is spent."""
    start, done = time.monotonic(), 0
    while done < examples and not (BUDGET and time.monotonic() - start > BUDGET):
        batch = min(10, examples - done) if BUDGET else examples
        settings(max_examples=batch)(given(st.data())(body))()
        done += batch


@pytest.mark.parametrize("label,fn", _functions(), ids=[f[0] for f in _functions()])
def test_function(label, fn):
    examples = settings().max_examples
    if label in ("vantrel.fit", "vantrel.fit_many"):
        examples = max(5, examples // 10)
    elif not _params(fn):
        examples = 3

    def run(data):
        _count(label)
        if fn is vantrel.Model:
            parts = data.draw(model_parts(), label="parts")
            # Now and then one part of another shape or kind.
            if data.draw(_one_in(3)):
                key = data.draw(st.sampled_from(["sys", "var", "init", "mean", "idx_sys",
                                                 "idx_var", "idx_mean", "x"]))
                parts[key] = data.draw(argument("unknown"))
            for key in list(parts):
                if isinstance(parts[key], np.ndarray) and data.draw(_one_in(6)):
                    parts[key] = data.draw(presented(parts[key]))
            args = [parts.pop("sys", None), parts.pop("var", None)]
            kwargs = parts
        else:
            args, kwargs = _draw_call(data, fn)
        try:
            check_call(label, fn, args, kwargs)
        finally:
            if label.split(".")[-1] in _RESTORE:
                _RESTORE[label.split(".")[-1]]()

    _sweep(run, examples)


@pytest.mark.parametrize("name,fn", _methods(), ids=[m[0] for m in _methods()])
def test_model_method(name, fn):
    def run(data):
        _count("Model." + name)
        model = data.draw(models(), label="model")
        args, kwargs = _draw_call(data, fn, model, skip_self=True)
        check_call("Model." + name, getattr(model, name), args, kwargs, owner=model)

    _sweep(run, settings().max_examples)


# ---- the model classes and their results -------------------------------
def _classes():
    return [(name, obj) for name, obj in sorted(vars(vantrel).items())
            if inspect.isclass(obj) and issubclass(obj, StateSpaceModel)]


def _class_methods():
    return [(cname, name) for cname, cls in _classes()
            for name, f in inspect.getmembers(cls, inspect.isfunction)
            if not name.startswith("_")]


# Plots are left out: matplotlib's drawing is slow and not the package's.
_RESULT_METHODS = [name for name, f in inspect.getmembers(vantrel.StateSpaceResults,
                                                           inspect.isfunction)
                   if not name.startswith(("_", "plot"))]


def _series(n=40, seed=3):
    """A local level with a seasonal of period 4 and a missing value."""
    rng = np.random.default_rng(seed)
    y = np.cumsum(rng.standard_normal(n)) + np.tile([1.0, -0.5, 0.0, -0.5], n)[:n] \
        + 0.5 * rng.standard_normal(n)
    y[n // 2] = np.nan
    return pd.Series(y, index=pd.period_range("2001-01", periods=n, freq="M"))


# Models built on good data, with options each class takes.
_SOUND = {"Structural": [dict(), dict(slope=True), dict(seasonal=4), dict(level="fixed",
                                                                          seasonal=4)],
          "Arima": [dict(order=(1, 0, 0)), dict(order=(0, 1, 1)), dict(order=(1, 0, 1),
                                                                      trend="c")]}


@st.composite
def class_models(draw, cname):
    cls = getattr(vantrel, cname)
    kwargs = draw(st.sampled_from(_SOUND[cname]))
    n = draw(st.sampled_from([40, 12, 3]))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return cls(_series(n, draw(st.integers(0, 3))), **kwargs)


@st.composite
def class_params(draw, model):
    """Natural-scale parameters: near the start values mostly, else any."""
    k = model.k_params
    if draw(_one_in(4)):
        return draw(presented(draw(float_array((draw(st.integers(0, k + 1)),), special=3,
                                               scale=3.0))))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        p = np.array(model.start_params, dtype=float)
    return p * draw(st.sampled_from([1.0, 0.5, 2.0, 1e-8, 1e8]))


@pytest.mark.parametrize("cname,name", _class_methods(),
                         ids=["%s.%s" % m for m in _class_methods()])
def test_class_method(cname, name):
    label = "%s.%s" % (cname, name)
    fn = getattr(getattr(vantrel, cname), name)

    def run(data):
        _count(label)
        model = data.draw(class_models(cname), label="model")
        args, kwargs = [], {}
        for p in _params(fn, skip_self=True):
            if p.default is not p.empty and data.draw(st.integers(0, 2), label="omit") == 0:
                continue
            if p.name in ("params", "start"):
                v = data.draw(st.one_of(st.none(), class_params(model)) if p.name == "start"
                              else class_params(model), label=p.name)
            elif p.name == "x":     # transform_params: the unconstrained scale
                v = data.draw(float_array((model.k_params,), special=4, scale=30.0), label="x")
            elif p.name == "maxiter":
                v = data.draw(st.sampled_from([3, 0, 1, -1, 2.5, "x", None]), label=p.name)
            else:
                v = data.draw(argument(p.name), label=p.name)
            if p.kind == p.KEYWORD_ONLY or p.default is not p.empty:
                kwargs[p.name] = v
            else:
                args.append(v)
        if name == "fit" and kwargs.get("maxiter") is None:
            kwargs["maxiter"] = 3       # a few steps show the contract; more only cost time
        # The classes' likelihood and its gradient are NaN, silently, where
        # the model cannot be evaluated (the optimiser steps back).
        check_call(label, getattr(model, name), args, kwargs,
                   nan_ok=name in ("loglike", "score"))

    _sweep(run, max(5, settings().max_examples // (4 if name == "fit" else 1)))


_FITTED = {}


def _fitted(key):
    """A results object per sound model, fitted once."""
    if key not in _FITTED:
        cname, i = key
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            _FITTED[key] = getattr(vantrel, cname)(_series(), **_SOUND[cname][i]).fit(maxiter=50)
    return _FITTED[key]


@pytest.mark.parametrize("name", _RESULT_METHODS)
def test_results_method(name):
    label = "StateSpaceResults." + name
    keys = [(c, i) for c in sorted(_SOUND) for i in range(len(_SOUND[c]))]

    def run(data):
        _count(label)
        res = _fitted(data.draw(st.sampled_from(keys), label="results"))
        fn = getattr(res, name)
        args, kwargs = [], {}
        for p in _params(fn):
            if p.default is not p.empty and data.draw(st.integers(0, 2), label="omit") == 0:
                continue
            v = data.draw(argument(p.name), label=p.name)
            if p.kind == p.KEYWORD_ONLY or p.default is not p.empty:
                kwargs[p.name] = v
            else:
                args.append(v)
        check_call(label, fn, args, kwargs)

    _sweep(run, settings().max_examples)
