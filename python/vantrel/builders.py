"""Model builders (GetLdsStsm, GetLdsArma, GetLdsReg, AddLdsReg,
GetLdsSpline) and the library information functions."""
import math
import numbers

import numpy as np

from . import _checks, _convert
from ._host import OUT, InOut, matrix_record, VantrelNumericalError, call, warn_messages
from .model import Model, _strict

# Component codes of the structural model builder.
LEVEL, SLOPE, TREND, SEAS_DUMMY, SEAS_TRIG, SEAS_ZEROSUM, BWCYCLE = range(7)
CYCLE0, CYCLE1, CYCLE2, CYCLE3, CYCLE4 = range(7, 12)
CYCLE5, CYCLE6, CYCLE7, CYCLE8, CYCLE9 = range(12, 17)
AR1, AR2, IRREG = 17, 18, 19

COMPONENT_NAMES = {LEVEL: "level", SLOPE: "slope", TREND: "trend",
                   SEAS_DUMMY: "seasonal", SEAS_TRIG: "seasonal",
                   SEAS_ZEROSUM: "seasonal", BWCYCLE: "bwcycle", AR1: "ar1", AR2: "ar2",
                   IRREG: "irregular"}
COMPONENT_NAMES.update({c: "cycle%d" % (c - CYCLE0) for c in range(CYCLE0, CYCLE9 + 1)})


def _failed(name, reply):
    text = "; ".join(reply.messages) or "%s(): failure" % name
    if _strict[0]:
        raise VantrelNumericalError(text)
    warn_messages([text], stacklevel=4)


def _number(value, func, name):
    """`value` as a finite float; TypeError or ValueError naming `name`."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError("vantrel: %s: %s: a number expected, %s found"
                        % (func, name, type(value).__name__))
    if not math.isfinite(value):
        raise ValueError("vantrel: %s: %s must be finite" % (func, name))
    return float(value)


def _finite_form(func, names, *mats):
    """Refuses matrices of a built model that overflowed."""
    for a in mats:
        if a is not None and not np.isfinite(a).all():
            raise ValueError("vantrel: %s: %s too large: the model's matrices overflow"
                             % (func, names))


def _row(a, name):
    """A 1 x k row of numbers from a number or a 1-D sequence."""
    return np.ascontiguousarray(_convert.matrix(a, name, ndim2=False).reshape(1, -1))


def stsm(components):
    """Structural time series model (GetLdsStsm).  `components`: one row per
    component, (code, sigma[, period/order/frequency[, damping/phi/a[, order/b]]]),
    codes LEVEL ... IRREG of this module; shorter rows are padded with 0.
    The model's `positions` holds the first state of each row's component
    (m for the irregular) and `components` the rows' codes."""
    rows = None
    if not isinstance(components, np.ndarray):
        try:
            rows = [np.atleast_1d(np.asarray(r, dtype=float)) for r in components]
        except (TypeError, ValueError):
            rows = None
        if rows is None or any(r.ndim != 1 for r in rows):
            raise TypeError("vantrel: stsm: components: rows of numbers expected")
        rows = [list(r) for r in rows]
    if rows is not None:
        width = max([len(r) for r in rows] + [2])
        spec = np.array([r + [0.0] * (width - len(r)) for r in rows], dtype=float)
        if spec.size == 0:
            spec = np.zeros((0, 2))
    else:
        spec = components
    spec = _convert.matrix(spec, "components")
    reply = call("GetLdsStsm", [spec, OUT, OUT, OUT])
    warn_messages(reply.messages)
    sys_, var, init = reply.outs
    _finite_form("stsm", "components", sys_, var, init)
    model = Model(sys_, var, init=init)
    model.positions = np.asarray(reply.value).ravel().astype(int)
    model.components = [int(c) for c in spec[:, 0]]
    return model


def arma(ar=(), ma=(), sigma=1.0):
    """ARMA(p, q) model with innovation standard deviation `sigma` and the
    stationary initial variance (GetLdsArma).  AR coefficients that are not
    stationary (a root of z^p - ar[0] z^(p-1) - ... - ar[p-1] of modulus 1
    or more, a unit root included) raise VantrelError naming `ar`.  A
    failure of the host's solve is a numerical failure: warned, and the
    model's init is NaN."""
    ar = _row(ar, "ar")
    ma = _row(ma, "ma")
    if ar.size == 0 and ma.size == 0:
        raise ValueError("vantrel: arma: at least one AR or MA coefficient required")
    sigma = _number(sigma, "arma", "sigma")
    with _checks.arguments("ar", "ma", "sigma"):
        reply = call("GetLdsArma", [ar if ar.size else np.zeros((0, 0)),
                                    ma if ma.size else np.zeros((0, 0)), sigma,
                                    OUT, OUT, OUT])
    sys_, var, init = reply.outs
    _finite_form("arma", "ar, ma or sigma", sys_, var)
    if reply.value == 0:
        _failed("GetLdsArma", reply)
        # Sys and Var are complete; the initial state has no value.
        model = Model(sys_, var, init=np.zeros(sys_.shape))
        model.init = np.full(sys_.shape, np.nan)
        model.init.setflags(write=False)
        model._form[2] = model.init
        model._records[2] = matrix_record(model.init, model._keep)
        model._plans.clear()
        return model
    _finite_form("arma", "ar, ma or sigma", init)
    warn_messages(reply.messages)
    return Model(sys_, var, init=init)


def _exog(x, name="x"):
    """Regressors as a k x n host matrix from an (n,) or (n, k) array."""
    a = _convert.matrix(x, name, ndim2=False)
    return np.ascontiguousarray(a.T)


def regression(x):
    """Regression model y_t = x_t' beta + e_t with diffuse constant beta
    (GetLdsReg).  `x`: regressors, (n,) for one or (n, k), time first."""
    xx = _exog(x)
    reply = call("GetLdsReg", [xx, OUT, OUT, OUT, OUT])
    sys_, var, init, idx = reply.outs
    return Model(sys_, var, init=init, idx_sys=idx, x=xx)


def add_regression(model, x):
    """`model` (time-invariant) with regression coefficients on `x` ((n,) or
    (n, k), time first) put in front of its states (AddLdsReg).  Covariances
    between state and observation disturbances are not carried over; a mean
    vector is, with zeros for the new states."""
    if not isinstance(model, Model):
        raise TypeError("vantrel: add_regression: model: a vantrel.Model expected, %s found"
                        % type(model).__name__)
    if len(model._form) > 4:
        raise ValueError("vantrel: add_regression: the model already has time-varying elements")
    if model.nseries != 1:
        raise ValueError("vantrel: add_regression: a model of one series expected")
    xx = _exog(x)
    m = model.m
    init = model.init
    if init is None:
        init = np.zeros((m + 1, m))
        np.fill_diagonal(init[:m], -1.0)
    reply = call("AddLdsReg", [xx, InOut(model.sys), InOut(model.var), InOut(init),
                               InOut(np.zeros((0, 0)))])
    warn_messages(reply.messages)
    sys_, var, init2, idx = reply.outs
    mean = None
    if model.mean is not None:
        mean = np.concatenate([np.zeros(xx.shape[0]), model.mean[:, 0]])
    return Model(sys_, var, init=init2, mean=mean, idx_sys=idx, x=xx)


def spline(delta, gaps=None):
    """Cubic smoothing spline with smoothing ratio `delta` (GetLdsSpline),
    both initial states diffuse; `gaps` (n,) gives the time step before each
    time point for irregular spacing.  A negative `delta` or gap raises
    VantrelError naming it; 0 is accepted (no smoothing variance: a straight
    line, or two time points at the same time)."""
    delta = _number(delta, "spline", "delta")
    if gaps is None:
        with _checks.arguments("delta", "gaps"):
            reply = call("GetLdsSpline", [delta, np.zeros((0, 0)), OUT, OUT, OUT])
        sys_, var, init = reply.outs
        _finite_form("spline", "delta", sys_, var, init)
        return Model(sys_, var, init=init)
    g = _row(gaps, "gaps")
    if g.size == 0:
        return spline(delta)
    with _checks.arguments("delta", "gaps"):
        reply = call("GetLdsSpline", [delta, g, OUT, OUT, OUT, OUT, OUT, OUT])
    sys_, var, init, idx_sys, idx_var, x = reply.outs
    _finite_form("spline", "delta or gaps", sys_, var, init, x)
    return Model(sys_, var, init=init, idx_sys=idx_sys, idx_var=idx_var, x=x)


def version():
    """The library's version times 100 (LdsVersion)."""
    return call("LdsVersion", []).value


def about():
    """The library's banner (LdsAbout), as text."""
    return "\n".join(call("LdsAbout", []).messages)


def set_library_warnings(on):
    """Switches the library's own warning messages on or off (LdsWarning).
    Numerical failures still warn (or raise in strict mode), with a text of
    their own when the library says nothing."""
    call("LdsWarning", [1 if _convert.flag(on, "on") else 0])
