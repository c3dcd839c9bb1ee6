"""Checks of a model and of its data made before any host call, and host
error messages that name an argument by its position, put in terms of the
Python arguments."""
import contextlib
import re

import numpy as np

from ._host import VantrelError

#: Largest difference |a[i, j] - a[j, i]| accepted in a variance matrix, as
#: a multiple of its largest absolute element: rounding in a product such as
#: L @ L.T stays far below it.
SYMMETRY_TOL = 1e-12

#: Most negative eigenvalue accepted in a variance matrix, as a multiple of
#: its largest absolute eigenvalue: a rank-deficient variance computed in
#: floating point has eigenvalues of order 1e-16 times that around zero.
PSD_TOL = 1e-10

# Python names of the state space form, in the order the host functions
# take it after their data argument.
_FORM = ("sys", "var", "init", "mean", "idx_sys", "idx_var", "idx_mean",
         "x (the model's time-varying data)")

# Python names of the arguments ahead of the data argument, by host
# function (None: a result reference, never the subject of a message).
_LEAD = {"LdsMomentEst": ("which", None), "LdsCondDens": ("which",),
         "LdsWeights": ("which",), "SimSmoWgt": ("select",),
         "SimSmoDraw": ("weights (its selection)", "z", "weights")}

# Python names of the data argument where it is not the observations y.
_DATA = {"KalmanSmo": "y (its filter store)", "SimSmoWgt": "y (its filter store)",
         "SimSmoDraw": "weights (its filter store)", "LdsRecursion": "disturbances"}

_LEADING = re.compile(r"argument (\d+): (.*)", re.S)
_TRAILING = re.compile(r"(.*) in argument (\d+)", re.S)


def _variance(a, rows, name, block, hint=""):
    """Refuses a square array that is not a variance to rounding.

    Parameters
    ----------
    a : ndarray
        The square block checked.
    rows : ndarray
        Row numbers of `a` in the argument, for the message.
    name : str
        The Python argument.
    block : str
        What `a` is of it ("" for the whole), for the message.
    hint : str
        Added to the message on asymmetry.

    Raises
    ------
    VantrelError
        When `a` is not symmetric to SYMMETRY_TOL times its largest
        absolute element, or has an eigenvalue below -PSD_TOL times its
        largest absolute eigenvalue.
    """
    if a.size == 0:
        return
    scale = np.abs(a).max()
    if scale == 0.0:
        return
    # Compared on the matrix's own scale: elements near the largest double
    # would overflow in a - a.T or a + a.T.
    u = a / scale
    diff = np.abs(u - u.T)
    if diff.max() > SYMMETRY_TOL:
        i, j = np.unravel_index(np.argmax(diff), diff.shape)
        i, j = min(i, j), max(i, j)
        raise VantrelError("vantrel: %s: %snot symmetric: %s[%d, %d] = %r but %s[%d, %d] = %r%s"
                           % (name, block, name, rows[i], rows[j], a[i, j], name, rows[j],
                              rows[i], a[j, i], hint))
    diag = np.diagonal(u)
    if np.count_nonzero(u) == np.count_nonzero(diag):
        eig = diag
    else:
        eig = np.linalg.eigvalsh(0.5 * (u + u.T))
    low, high = float(eig.min()), float(np.abs(eig).max())
    if low < -PSD_TOL * high:
        raise VantrelError("vantrel: %s: %snot positive semi-definite: smallest eigenvalue %.6g "
                           "(largest absolute %.6g)" % (name, block, low * float(scale),
                                                         high * float(scale)))


def form(var, init, m, idx_var=None, x=None):
    """Refuses a `var` or `init` that is not a variance.

    `var`, and the variance block of `init` (its first m rows), must be
    symmetric to SYMMETRY_TOL and positive semi-definite to PSD_TOL, both
    relative to the matrix's scale.  A negative diagonal element of init
    marks a diffuse element, whose row and column take no part.  Init may
    also be given as its lower triangle with zeros above (the library reads
    the diagonal and below only).  Elements of var that vary over time
    (idx_var >= 0) are not known here: the rows and columns they touch are
    left out, which checks the block every var_t shares, and the rows of x
    that give diagonal elements must not be negative.

    Parameters
    ----------
    var : ndarray
        (m+N) x (m+N) variance matrix.
    init : ndarray or None
        (m+1) x m initial state.
    m : int
        Number of states.
    idx_var : ndarray or None
        Index matrix of the time-varying elements of var.
    x : ndarray or None
        Time-varying data.

    Raises
    ------
    VantrelError
        Naming `var`, `init` or `x`, before any host call.
    """
    d = var.shape[0]
    keep = np.ones(d, dtype=bool)
    if idx_var is not None and idx_var.shape != var.shape:
        idx_var = None          # the host's size check names it
    if idx_var is not None:
        varying = idx_var >= 0
        keep = ~(varying.any(axis=0) | varying.any(axis=1))
    rows = np.flatnonzero(keep)
    _variance(var[np.ix_(rows, rows)], rows, "var",
              "" if keep.all() else "block of the elements constant over time ")
    if idx_var is not None and x is not None:
        for i in range(d):
            j = int(idx_var[i, i])
            if 0 <= j < x.shape[0] and x[j].min() < 0.0:
                t = int(np.argmin(x[j]))
                raise VantrelError("vantrel: x (the model's time-varying data): row %d, the "
                                   "variance var[%d, %d] over time, is negative at time point "
                                   "%d: %r" % (j, i, i, t, x[j, t]))
    if init is not None:
        p = init[:m]
        rows = np.flatnonzero(np.diagonal(p) >= 0.0)
        p = p[np.ix_(rows, rows)]
        if not np.triu(p, 1).any():
            # the lower triangle alone, which is all the library reads
            p = np.tril(p) + np.tril(p, -1).T
        _variance(p, rows, "init",
                  "variance block (first m rows%s) " % (
                      "" if rows.size == m else ", without the rows and columns of the diffuse "
                      "elements"), "; give it whole, or its lower triangle with zeros above")


def observed(y, name="y"):
    """Refuses data without a single observation.

    Parameters
    ----------
    y : ndarray
        N x n data matrix, NaN for a missing value.
    name : str
        The Python argument that gave `y`.

    Returns
    -------
    ndarray
        `y` itself.

    Raises
    ------
    VantrelError
        Naming `name`, when every value of `y` is NaN.
    """
    flat = y.reshape(-1)
    if flat.size and (flat[0] == flat[0] or flat[-1] == flat[-1] or not np.isnan(flat).all()):
        return y
    raise VantrelError("vantrel: %s: no observation at all (every value is NaN)" % name)


def _translated(error, names, note=None):
    """`error` with the argument it names by position put in Python terms.

    Parameters
    ----------
    error : VantrelError
        A host error: "argument K: ..." (the host's type and size checks)
        or "...(): ... in argument K" (the library's own), K counted from 1.
    names : sequence of str or None
        The Python name of each argument position, None where unknown.
    note : callable, optional
        note(name) gives text to add in parentheses, or None.

    Returns
    -------
    VantrelError
        "vantrel: <name>: <the message without its position>", or `error`
        itself when it names no position of a known name.
    """
    text = str(error)
    if text.startswith("Lds():"):
        return error            # the form check counts its positions from 0
    leading = _LEADING.fullmatch(text)
    trailing = None if leading else _TRAILING.fullmatch(text)
    if not (leading or trailing):
        return error
    pos = int(leading.group(1) if leading else trailing.group(2))
    name = names[pos - 1] if 0 < pos <= len(names) else None
    if name is None:
        return error
    text = "vantrel: %s: %s" % (name, leading.group(2) if leading else trailing.group(1))
    extra = note(name) if note else None
    if extra:
        text += " (%s)" % extra
    return VantrelError(text, error.code)


def model_error(error, host_name, nlead, data):
    """A host error of a Model method in terms of its Python arguments.

    Parameters
    ----------
    error : VantrelError
        The error the host raised.
    host_name : str
        The host function called.
    nlead : int
        Number of arguments ahead of the data argument.
    data : ndarray
        The data argument (its columns are the time points).

    Returns
    -------
    VantrelError
        The error naming the Python argument (the model's sys, var, init,
        mean, idx_sys, idx_var, idx_mean or x, the data, or a method
        argument), or `error` itself.
    """
    lead = _LEAD.get(host_name, ())
    names = tuple(lead[:nlead]) + (None,) * (nlead - len(lead))
    data_name = _DATA.get(host_name, "y")
    names += (data_name,) + _FORM

    def note(name):
        if name == _FORM[-1] and data_name == "y":
            return "one column per time point of y, which has %d" % data.shape[1]
        return None

    return _translated(error, names, note)


@contextlib.contextmanager
def arguments(*names):
    """Context in which host errors name Python arguments.

    Parameters
    ----------
    *names : str
        The Python argument at each position of the host call, from 1.

    Raises
    ------
    VantrelError
        A host error of the with block, naming the Python argument where it
        named a position.
    """
    try:
        yield
    except VantrelError as e:
        new = _translated(e, names)
        if new is e:
            raise
        raise new from None
