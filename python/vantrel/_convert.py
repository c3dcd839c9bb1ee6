"""Checks and conversions of user input into the arrays the host reads."""
import math

import numpy as np

_INDEX_LIMIT = 2.0**31


def _as_array(a, name):
    if hasattr(a, "to_numpy") and not isinstance(a, np.ndarray):   # pandas
        a = a.to_numpy()
    try:
        arr = np.asarray(a)
    except Exception as e:          # ragged lists and the like
        raise TypeError("vantrel: %s: not an array of numbers (%s)" % (name, e)) from None
    kind = arr.dtype.kind
    if kind == "O":
        try:
            arr = arr.astype(np.float64)
        except (TypeError, ValueError):
            raise TypeError("vantrel: %s: not an array of numbers" % name) from None
    elif kind not in "iuf":
        raise TypeError("vantrel: %s: numbers expected, dtype %s found" % (name, arr.dtype))
    return arr


def flag(value, name):
    """A switch: True, False, 1 or 0 (numpy's too); TypeError naming `name`."""
    if isinstance(value, (bool, np.bool_, int, np.integer)) and value in (0, 1):
        return bool(value)
    raise TypeError("vantrel: %s: True or False expected, %r found" % (name, value))


def matrix(a, name, *, ndim2=True, allow_nan=False, copy=True):
    """A C-ordered float64 2-D array from `a` (a copy when `copy`).  Numbers
    become 1 x 1 matrices; 1-D arrays become columns when not `ndim2`."""
    arr = _as_array(a, name)
    if arr.ndim == 0:
        arr = arr.reshape(1, 1)
    elif arr.ndim == 1 and not ndim2:
        arr = arr.reshape(-1, 1)
    if arr.ndim != 2:
        raise ValueError("vantrel: %s: a 2-D array expected, %d-D found" % (name, arr.ndim))
    out = np.array(arr, dtype=np.float64, order="C", copy=copy)
    finite = np.isfinite(out)
    if not finite.all():
        if not allow_nan or np.isinf(out).any():
            raise ValueError("vantrel: %s: contains %s" % (
                name, "NaN or infinity" if not allow_nan else "infinity"))
    return out


def index_matrix(a, name):
    out = matrix(a, name)
    if (out != np.round(out)).any() or (np.abs(out) >= _INDEX_LIMIT).any():
        raise ValueError("vantrel: %s: whole numbers (row numbers of x, or -1) expected" % name)
    return out


def data(y, nseries, name="y"):
    """The N x n data matrix (C-ordered float64, NaN = missing) from one
    series (1-D array or pandas Series) or several: an (N x n) or (n x N)
    array, or a DataFrame with one column per series.  The orientation of an
    array follows from N; a square N x N array is refused."""
    if (type(y) is np.ndarray and y.ndim == 1 and nseries == 1 and y.dtype == np.float64
            and y.flags.c_contiguous):
        # The common case, without copies: one float64 series.
        if y.size == 0:
            raise ValueError("vantrel: %s: no time points" % name)
        with np.errstate(over="ignore", invalid="ignore"):   # inf - inf, 1e308 + 1e308
            total = np.add.reduce(y)
        if not math.isfinite(total) and np.isinf(y).any():
            raise ValueError("vantrel: %s: contains infinity (NaN marks a missing value)"
                             % name)
        return y.reshape(1, -1)
    frame = hasattr(y, "columns") and hasattr(y, "to_numpy")
    arr = _as_array(y, name)
    if arr.ndim == 1:
        if nseries != 1:
            raise ValueError("vantrel: %s: one series given to a model of %d series"
                             % (name, nseries))
        arr = arr.reshape(1, -1)
    elif arr.ndim == 2:
        if frame:
            arr = arr.T
        rows, cols = arr.shape
        if nseries == 1:
            if rows != 1:
                if cols != 1:
                    raise ValueError("vantrel: %s: a %d x %d array for a model of one series"
                                     % (name, rows, cols))
                arr = arr.T
        elif not frame:
            if rows == nseries and cols == nseries:
                raise ValueError(
                    "vantrel: %s: a square %d x %d array for a model of %d series is "
                    "ambiguous; pass a pandas DataFrame with one column per series"
                    % (name, rows, cols, nseries))
            if cols == nseries:
                arr = arr.T
            elif rows != nseries:
                raise ValueError("vantrel: %s: a %d x %d array for a model of %d series; "
                                 "(N x n) or (n x N) expected" % (name, rows, cols, nseries))
        elif rows != nseries:
            raise ValueError("vantrel: %s: a DataFrame of %d columns for a model of %d series"
                             % (name, rows, nseries))
    else:
        raise ValueError("vantrel: %s: a 1-D or 2-D array expected, %d-D found"
                         % (name, arr.ndim))
    out = np.ascontiguousarray(arr, dtype=np.float64)
    if out.shape[1] == 0:
        # LdsMomentEst does not survive a data matrix without columns.
        raise ValueError("vantrel: %s: no time points" % name)
    if np.isinf(out).any():
        raise ValueError("vantrel: %s: contains infinity (NaN marks a missing value)" % name)
    return out
