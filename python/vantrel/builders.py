"""Model builders (GetLdsStsm, GetLdsArma, GetLdsReg, AddLdsReg,
GetLdsSpline) and the library information functions."""

import numpy as np

from . import _convert
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


def stsm(components):
    """Structural time series model (GetLdsStsm).  `components`: one row per
    component, (code, sigma[, period/order/frequency[, damping/phi/a[, order/b]]]),
    codes LEVEL ... IRREG of this module; shorter rows are padded with 0.
    The model's `positions` holds the first state of each row's component
    (m for the irregular) and `components` the rows' codes."""
    rows = [list(np.atleast_1d(np.asarray(r, dtype=float))) for r in components] \
        if not isinstance(components, np.ndarray) else None
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
    model = Model(sys_, var, init=init)
    model.positions = np.asarray(reply.value).ravel().astype(int)
    model.components = [int(c) for c in spec[:, 0]]
    return model


def arma(ar=(), ma=(), sigma=1.0):
    """ARMA(p, q) model with innovation standard deviation `sigma` and the
    stationary initial variance (GetLdsArma).  A singular stationarity
    system (a unit root) is a numerical failure: warned, and the model's
    init is NaN."""
    ar = _convert.matrix(np.atleast_1d(np.asarray(ar, dtype=float)).reshape(1, -1), "ar")
    ma = _convert.matrix(np.atleast_1d(np.asarray(ma, dtype=float)).reshape(1, -1), "ma")
    if ar.size == 0 and ma.size == 0:
        raise ValueError("vantrel: arma: at least one AR or MA coefficient required")
    if not np.isfinite(sigma):
        raise ValueError("vantrel: arma: sigma must be finite")
    reply = call("GetLdsArma", [ar if ar.size else np.zeros((0, 0)),
                                ma if ma.size else np.zeros((0, 0)), float(sigma),
                                OUT, OUT, OUT])
    sys_, var, init = reply.outs
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
    time point for irregular spacing."""
    if not np.isfinite(delta):
        raise ValueError("vantrel: spline: delta must be finite")
    if gaps is None:
        reply = call("GetLdsSpline", [float(delta), np.zeros((0, 0)), OUT, OUT, OUT])
        sys_, var, init = reply.outs
        return Model(sys_, var, init=init)
    g = _convert.matrix(np.atleast_1d(np.asarray(gaps, dtype=float)).reshape(1, -1), "gaps")
    if g.size == 0:
        return spline(delta)
    reply = call("GetLdsSpline", [float(delta), g, OUT, OUT, OUT, OUT, OUT, OUT])
    sys_, var, init, idx_sys, idx_var, x = reply.outs
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
    call("LdsWarning", [1 if on else 0])
