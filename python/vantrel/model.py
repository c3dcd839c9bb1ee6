"""The model object: a state space form and one method per host function."""
import contextlib
import math
import warnings

import numpy as np

from . import _convert
from ._host import (OUT, Plan, matrix_record, VantrelNumericalError, VantrelWarning, call, warn_messages)

_EMPTY = np.zeros((0, 0))
_strict = [False]


def set_strict(flag):
    """Strict mode on (True) or off: a numerical failure then raises
    VantrelNumericalError instead of warning.  Returns the previous mode."""
    old = _strict[0]
    _strict[0] = bool(flag)
    return old


@contextlib.contextmanager
def strict_mode(flag=True):
    """Strict mode (or not) for the statements of a with block."""
    old = set_strict(flag)
    try:
        yield
    finally:
        set_strict(old)


class Result:
    """Named numpy arrays returned by a model method.  `fields` lists the
    names; a numerical failure leaves every array NaN and `ok` False."""

    def __init__(self, ok=True, **fields):
        self.ok = ok
        self.fields = tuple(fields)
        self.__dict__.update(fields)

    def __repr__(self):
        parts = []
        for k in self.fields:
            v = getattr(self, k)
            parts.append("%s=%s" % (k, "array%s" % (v.shape,) if isinstance(v, np.ndarray)
                                    else repr(v)))
        return "%s(%s)" % (type(self).__name__, ", ".join(parts))


class FilterResult(Result):
    """Kalman filter output.  `store` is the host's filter store (R x n),
    which `Model.smoother` takes back."""


class SmootherResult(Result):
    """Smoothed residuals r_t (state part), s_t (observation part) and their
    variances, and those of the initial state (r and diag N after t = 0)."""


class Moments(Result):
    """Means and variance diagonals of states, signals or disturbances."""


class ScoreResult(Result):
    """Log-likelihood, scale estimate and score with respect to Var."""


class ConcLik(Result):
    """Concentrated log-likelihood and the scale estimate."""


# LdsMomentEst selections: prefix of the field names, selection code.
_MOMENTS = {"predicted": 0, "filtered": 5, "smoothed": 1, "disturbances": 3}


def _series(a, nseries):
    """Per-series array with time first: (n, N), or (n,) for one series."""
    a = a.T
    return a[:, 0].copy() if nseries == 1 else np.ascontiguousarray(a)


class Model:
    """A linear Gaussian state space model.

    sys: (m+N) x m system matrix (transition T above, observation Z below);
    var: (m+N) x (m+N) variance of the state and observation disturbances;
    init: (m+1) x m initial state (variance above, mean in the last row; a
    negative diagonal element marks a diffuse element), None for all diffuse;
    mean: m+N constants of the state and observation equations;
    idx_sys, idx_var, idx_mean: index matrices of the time-varying elements
    (-1 keeps an element, j >= 0 takes its value at time t from x[j, t]);
    x: k x n time-varying data, one row per index, one column per time point.

    Data passed to the methods: one series as a 1-D array or pandas Series,
    several as an (N x n) or (n x N) array or a DataFrame with one column per
    series; NaN marks a missing value.  Results are numpy arrays with time
    first; per-series arrays drop the series axis for a model of one series.
    """

    def __init__(self, sys, var, *, init=None, mean=None, idx_sys=None, idx_var=None,
                 idx_mean=None, x=None):
        self.sys = _convert.matrix(sys, "sys")
        self.var = _convert.matrix(var, "var")
        d, m = self.sys.shape
        if m < 1 or d <= m:
            raise ValueError("vantrel: sys: (m+N) x m with m >= 1 and N >= 1 expected, "
                             "%d x %d found" % (d, m))
        if self.var.shape != (d, d):
            raise ValueError("vantrel: var: %d x %d expected, %d x %d found"
                             % ((d, d) + self.var.shape))
        self.init = None if init is None else _convert.matrix(init, "init")
        if self.init is not None and self.init.shape != (m + 1, m):
            raise ValueError("vantrel: init: %d x %d expected, %d x %d found"
                             % ((m + 1, m) + self.init.shape))
        self.mean = None if mean is None else _convert.matrix(mean, "mean", ndim2=False)
        if self.mean is not None and self.mean.shape != (d, 1):
            raise ValueError("vantrel: mean: %d values expected, %d x %d found"
                             % ((d,) + self.mean.shape))
        self.idx_sys = None if idx_sys is None else _convert.index_matrix(idx_sys, "idx_sys")
        self.idx_var = None if idx_var is None else _convert.index_matrix(idx_var, "idx_var")
        self.idx_mean = None if idx_mean is None else _convert.index_matrix(
            _convert.matrix(idx_mean, "idx_mean", ndim2=False), "idx_mean")
        self.x = None if x is None else _convert.matrix(x, "x")
        indexed = any(a is not None for a in (self.idx_sys, self.idx_var, self.idx_mean))
        if indexed and self.x is None:
            raise ValueError("vantrel: index matrices given without x")
        for a in (self.sys, self.var, self.init, self.mean, self.idx_sys, self.idx_var,
                  self.idx_mean, self.x):
            if a is not None:
                a.setflags(write=False)
        self.m = m
        self.nseries = d - m
        self.positions = None   # set by the structural model builder
        form = [self.sys, self.var, self.init, self.mean]
        if indexed:
            form += [self.idx_sys, self.idx_var, self.idx_mean, self.x]
        while form[-1] is None:
            form.pop()
        self._form = [_EMPTY if a is None else a for a in form]
        # Records over the model's matrices, made once: the arrays are
        # read-only and the records are copied into each call's arguments.
        self._keep = []
        self._records = [matrix_record(a, self._keep) for a in self._form]
        self._plans = {}

    @property
    def d(self):
        return self.m + self.nseries

    def __repr__(self):
        return "Model(m=%d, N=%d%s%s%s)" % (
            self.m, self.nseries, ", init" if self.init is not None else "",
            ", mean" if self.mean is not None else "",
            ", time-varying" if len(self._form) > 4 else "")

    # ---- the one generic path ------------------------------------------
    def _run(self, name, lead, data, *, status=True, writes_form=False):
        """Calls host function `name` with the arguments `lead` (ints and
        OUT), then the data argument `data` (already a host matrix), then
        the model.  Returns the host's Reply, or None after a numerical
        failure (warned, or raised in strict mode).  `writes_form`: the
        function writes time-varying values into Sys and Var, so it gets
        copies of them."""
        if writes_form:
            reply = call(name, lead + [data] + [a.copy() for a in self._form])
        else:
            key = (name,) + tuple(lead)
            plan = self._plans.get(key)
            if plan is None:
                plan = self._plans[key] = Plan(name, lead + [None] + self._records, len(lead))
            reply = plan.run(data)
        failed = status and isinstance(reply.value, int) and reply.value == 0
        if not failed:
            if reply.messages:
                warn_messages(reply.messages)
            return reply
        text = "; ".join(reply.messages) or "%s(): numerical failure" % name
        if _strict[0]:
            raise VantrelNumericalError(text)
        warnings.warn(text, VantrelWarning, stacklevel=3)
        return None

    def _data(self, y):
        return _convert.data(y, self.nseries)

    # ---- one thin method per host function -----------------------------
    def loglik(self, y):
        """Log-likelihood of the observations (LdsLik); NaN on failure."""
        r = self._run("LdsLik", [OUT, OUT], self._data(y))
        return r.outs[0] if r else math.nan

    def loglik_conc(self, y):
        """Log-likelihood with the scale of the variances concentrated out
        (LdsLikConc): fields loglik and scale."""
        r = self._run("LdsLikConc", [OUT, OUT], self._data(y))
        if r is None:
            return ConcLik(False, loglik=math.nan, scale=math.nan)
        return ConcLik(loglik=r.outs[0], scale=r.outs[1])

    def score(self, y):
        """Log-likelihood, scale (as LdsLik's variance) and the d x d score
        sum_t (u_t u_t' - D_t) (LdsLikSco); the gradient with respect to a
        symmetric Var is 0.5 * score, element by element."""
        r = self._run("LdsLikSco", [OUT, OUT, OUT], self._data(y))
        if r is None:
            return ScoreResult(False, loglik=math.nan, scale=math.nan,
                               score=np.full((self.d, self.d), math.nan))
        return ScoreResult(loglik=r.outs[0], scale=r.outs[1], score=r.outs[2])

    def filter(self, y):
        """Kalman filter (KalmanFil): innovations (n, N), gain (n, m, N) and
        inverse innovation variance (n, N, N); for one series (n,), (n, m)
        and (n,).  Missing time points hold NaN innovations and zeros."""
        yy = self._data(y)
        r = self._run("KalmanFil", [], yy)
        N, m, n = self.nseries, self.m, yy.shape[1]
        store = r.value if r else np.full((N + N * m + N * (N + 1) // 2, n), math.nan)
        gain = np.empty((n, m, N))
        inv = np.zeros((n, N, N))
        row = N
        for j in range(N):
            gain[:, :, j] = store[row:row + m].T
            row += m
            for i in range(j + 1):
                inv[:, i, j] = inv[:, j, i] = store[row + i]
            row += j + 1
        if N == 1:
            gain, inv = gain[:, :, 0], inv[:, 0, 0].copy()
        return FilterResult(r is not None, innovations=_series(store[:N], N), gain=gain,
                            innovation_inv_var=inv, store=store)

    def smoother(self, y):
        """Smoothing recursion (KalmanSmo) over the filter output of `y`
        (data, or a FilterResult of this model): state_residual r_t (n, m),
        obs_residual s_t (n, N), their variances (diagonals of D_t), and
        initial_residual, initial_residual_var (r and diag N after t = 0)."""
        if not isinstance(y, FilterResult):
            y = self.filter(y)
        if not y.ok:
            n = y.store.shape[1]
            out = np.full((2 * self.d, n + 1), math.nan)
            ok = False
        else:
            r = self._run("KalmanSmo", [], y.store)
            ok = r is not None
            out = r.value if ok else np.full((2 * self.d, y.store.shape[1] + 1), math.nan)
        m, d, N = self.m, self.d, self.nseries
        return SmootherResult(
            ok, state_residual=out[:m, 1:].T.copy(), obs_residual=_series(out[m:d, 1:], N),
            state_residual_var=out[d:d + m, 1:].T.copy(),
            obs_residual_var=_series(out[d + m:, 1:], N),
            initial_residual=out[:m, 0].copy(), initial_residual_var=out[d:d + m, 0].copy())

    def moments(self, y, which):
        """Moment estimates (LdsMomentEst); `which` is "predicted",
        "filtered", "smoothed" or "disturbances".  Fields, for the first
        three with the prefix `which`: <which>_state (n, m), _state_var
        (diagonals), _signal (n, N), _signal_var; predicted and filtered add
        next_state, next_state_var (a and P one step past the data);
        smoothed and disturbances add final_cumulant, final_cumulant_var
        (r and N after t = 0).  Disturbances: smoothed_state_disturbance,
        smoothed_obs_disturbance and their _var diagonals, which are those
        of Var D_t Var, the variance of the smoothed estimate (as used for
        auxiliary residuals); the variance of the disturbance given the
        data is Var minus it.  The predicted and filtered signal variances
        include the observation noise (they start from the innovation
        variance); the smoothed one is that of Z alpha_t alone."""
        if which not in _MOMENTS:
            raise ValueError("vantrel: moments: which must be one of %s"
                             % ", ".join(_MOMENTS))
        yy = self._data(y)
        r = self._run("LdsMomentEst", [_MOMENTS[which], OUT], yy)
        m, d, N, n = self.m, self.d, self.nseries, yy.shape[1]
        mom = r.outs[0] if r else np.full((2 * d, n), math.nan)
        fin = r.value if r else np.full((m + 1, m), math.nan)
        if which == "disturbances":
            fields = dict(smoothed_state_disturbance=mom[:m].T.copy(),
                          smoothed_state_disturbance_var=mom[d:d + m].T.copy(),
                          smoothed_obs_disturbance=_series(mom[m:d], N),
                          smoothed_obs_disturbance_var=_series(mom[d + m:], N))
        else:
            fields = {which + "_state": mom[:m].T.copy(),
                      which + "_state_var": mom[d:d + m].T.copy(),
                      which + "_signal": _series(mom[m:d], N),
                      which + "_signal_var": _series(mom[d + m:], N)}
        if which in ("predicted", "filtered"):
            fields.update(next_state=fin[m].copy(), next_state_var=fin[:m].copy())
        else:
            fields.update(final_cumulant=fin[m].copy(), final_cumulant_var=fin[:m].copy())
        return Moments(r is not None, **fields)

    def predicted(self, y):
        """One-step-ahead predicted states and signals (moments)."""
        return self.moments(y, "predicted")

    def filtered(self, y):
        """Filtered states and signals (moments)."""
        return self.moments(y, "filtered")

    def smoothed(self, y):
        """Smoothed states and signals (moments)."""
        return self.moments(y, "smoothed")

    def disturbances(self, y):
        """Smoothed disturbances (moments)."""
        return self.moments(y, "disturbances")
