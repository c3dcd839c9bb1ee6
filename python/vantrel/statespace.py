"""Common ground of the model classes: the data with its index, the
likelihood as a function of the named parameters, its gradient, and the
maximum likelihood fit on an unconstrained scale."""
import math
import warnings

import numpy as np
from scipy import optimize

from . import _convert
from ._host import VantrelError, VantrelWarning


def _real_array(a, name):
    """A float array from `a`, refusing complex numbers and anything that
    is not numbers with an error naming `name`."""
    try:
        arr = np.asarray(a)
        if arr.dtype.kind == "c":
            raise TypeError
        return np.array(arr, dtype=float)
    except (TypeError, ValueError):
        raise VantrelError("vantrel: %s: real numbers expected" % name) from None


def _real(value):
    """`value` as a float when it is a real number (not a bool), else None."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer,
                                                                      np.floating)):
        return None
    return float(value)


def _whole(value, name, low=0):
    """An int of at least `low` from a whole number; the error names `name`."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer, float)) \
            or not float(value).is_integer() or value < low:
        raise VantrelError("vantrel: %s: a whole number of at least %d expected, %r found"
                           % (name, low, value))
    return int(value)


def _alpha(alpha):
    """A significance level in (0, 1); the error names alpha."""
    if isinstance(alpha, (bool, np.bool_)) or not isinstance(alpha, (int, float, np.number)) \
            or not 0 < alpha < 1:
        raise VantrelError("vantrel: alpha: a number in (0, 1) expected, %r found" % (alpha,))
    return float(alpha)


def _endog(y):
    """A float (n,) copy of one series and its pandas index (or None)."""
    index = getattr(y, "index", None)
    if hasattr(y, "columns"):
        if y.shape[1] != 1:
            raise VantrelError("vantrel: y: one series expected, a frame of %d columns found"
                               % y.shape[1])
        y = y.iloc[:, 0]
    name = getattr(y, "name", None)
    a = _real_array(y, "y")
    if a.ndim == 2 and 1 in a.shape:    # one row or one column
        a = a.reshape(-1)
    if a.ndim == 0:
        raise VantrelError("vantrel: y: one series (a 1-D array) expected, a single number "
                           "found")
    if a.ndim != 1:
        raise VantrelError("vantrel: y: one series (a 1-D array) expected, shape %s found"
                           % (a.shape,))
    if np.isinf(a).any():
        raise VantrelError("vantrel: y: contains infinity (NaN marks a missing value)")
    if np.isnan(a).all():
        raise VantrelError("vantrel: y: no observed value")
    return np.ascontiguousarray(a), index, name


def _exog(exog, n, name="exog"):
    """Regressors as an (n, k) float array and their names."""
    names = None
    if hasattr(exog, "columns"):
        names = [str(c) for c in exog.columns]
    elif getattr(exog, "name", None) is not None:
        names = [str(exog.name)]
    a = _real_array(exog, name)
    if a.ndim == 1:
        a = a.reshape(-1, 1)
    if a.ndim != 2:
        raise VantrelError("vantrel: %s: an (n,) or (n, k) array expected, shape %s found"
                           % (name, a.shape))
    if a.shape[0] != n:
        raise VantrelError("vantrel: %s: %d rows expected (one per time point), %d found"
                           % (name, n, a.shape[0]))
    if a.shape[1] == 0 or not np.isfinite(a).all():
        raise VantrelError("vantrel: %s: at least one column of finite numbers expected" % name)
    if names is None:
        names = ["x%d" % (i + 1) for i in range(a.shape[1])]
    return np.ascontiguousarray(a), names


def central_differences(f, p, h):
    """Central differences (f(p + h_i e_i) - f(p - h_i e_i)) / (2 h_i) of a
    scalar or array valued f, stacked along a last axis of length p.size."""
    cols = []
    for i in range(p.size):
        up, dn = p.copy(), p.copy()
        up[i] += h[i]
        dn[i] -= h[i]
        cols.append((np.asarray(f(up), dtype=float) - np.asarray(f(dn), dtype=float))
                    / (up[i] - dn[i]))
    return np.stack(cols, axis=-1)


def _complex_jacobian(f, x):
    """Jacobian of a map f: R^k -> R^k written with complex-safe operations,
    by complex steps (exact to rounding)."""
    k = x.size
    jac = np.empty((k, k))
    h = 1e-30
    for i in range(k):
        z = x.astype(complex)
        z[i] += 1j * h
        jac[:, i] = np.imag(f(z)) / h
    return jac


class StateSpaceModel:
    """Base of the model classes: a parametrised state space model of one
    series, fitted by maximum likelihood.

    Subclasses set `param_names` and the parameter kinds, and provide
    `_build(params, exog)` (the vantrel.Model at natural-scale parameters),
    `transform_params`, `untransform_params` and `start_params`.
    """

    def __init__(self, y, exog=None):
        self.endog, self._index, self.endog_name = _endog(y)
        self.nobs = self.endog.size
        self.exog, self.exog_names = (None, []) if exog is None else _exog(exog, self.nobs)
        self.k_exog = 0 if self.exog is None else self.exog.shape[1]
        self.nfev = 0

    # ---- parameters ------------------------------------------------------
    @property
    def k_params(self):
        """Number of estimated parameters."""
        return len(self.param_names)

    def _check_params(self, params, name="params"):
        p = _real_array(getattr(params, "values", params), name).ravel()
        if p.size != self.k_params:
            raise VantrelError("vantrel: %s: %d values expected (%s), %d found"
                               % (name, self.k_params, ", ".join(self.param_names), p.size))
        if not np.isfinite(p).all():
            raise VantrelError("vantrel: %s: finite numbers expected" % name)
        for i in self._variance_params:
            if p[i] < 0:
                raise VantrelError("vantrel: %s: %s is a variance, %r found"
                                   % (name, self.param_names[i], p[i]))
        return p

    def _check_unconstrained(self, x):
        """Unconstrained parameters `x` (complex ones too: the gradient
        takes complex steps)."""
        a = np.asarray(x)
        if a.dtype.kind not in "iufc" or a.ndim != 1 or a.size != self.k_params:
            raise VantrelError("vantrel: x: %d numbers expected (%s)"
                               % (self.k_params, ", ".join(self.param_names)))
        if not np.isfinite(a).all():
            raise VantrelError("vantrel: x: finite numbers expected")
        return a.astype(complex if a.dtype.kind == "c" else float)

    def _var_patterns(self):
        """{parameter number: d x d matrix V}: parameters that move only the
        variance matrix, each entering it as p * V.  The analytic score
        gives their derivatives."""
        return {}

    def _steps(self, p):
        """Difference steps of the natural parameters: relative for
        variances, at least 1e-6 otherwise."""
        h = 1e-6 * np.maximum(np.abs(p), 1.0)
        for i in self._variance_params:
            h[i] = 1e-6 * abs(p[i]) if p[i] != 0 else 1e-12
        return h

    def _room(self, p):
        """Distance of each parameter to the nearest end of its range
        (infinite where there is none); difference steps keep within it."""
        return np.full(p.size, np.inf)

    # ---- likelihood --------------------------------------------------------
    def model(self, params):
        """The vantrel.Model at natural-scale parameters `params`."""
        return self._build(self._check_params(params), None)

    def loglike(self, params):
        """Log-likelihood at natural-scale `params` (NaN where the model
        cannot be evaluated)."""
        p = self._check_params(params)
        return self._loglike(p)

    def _loglike(self, p):
        self.nfev += 1
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", VantrelWarning)
            try:
                mod = self._build(p, None)
            except VantrelError:
                return math.nan
            return mod.loglik(self.endog)

    def score(self, params):
        """Gradient of the log-likelihood with respect to the natural-scale
        parameters: the analytic score (Model.score) for parameters that
        move only the variance matrix, central differences for the others."""
        return self._score(self._check_params(params))

    def _score(self, p):
        # NaN where the model cannot be evaluated, without numpy's warnings.
        with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
            return self._score_at(p)

    def _score_at(self, p):
        k = p.size
        g = np.empty(k)
        pats = self._var_patterns()
        if pats:
            self.nfev += 1
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", VantrelWarning)
                try:
                    sc = self._build(p, None).score(self.endog).score
                except VantrelError:
                    sc = np.nan
            for i, v in pats.items():
                g[i] = 0.5 * np.sum(sc * v)
        h = np.minimum(self._steps(p), 0.5 * self._room(p))
        rest = np.array([i for i in range(k) if i not in pats], dtype=int)
        if rest.size:
            def part(q):
                full = p.copy()
                full[rest] = q
                return self._loglike(full)
            g[rest] = central_differences(part, p[rest], h[rest])
        return g

    def _hessian(self, p):
        """Hessian of the log-likelihood on the natural scale, by central
        differences of the gradient, symmetrised.  Rows and columns of
        variances held at 0 are NaN: the others' block is the Hessian
        with those held fixed."""
        k = p.size
        free = np.ones(k, dtype=bool)
        free[[i for i in self._variance_params if p[i] == 0.0]] = False
        hess = np.full((k, k), np.nan)
        if free.any():
            h = np.minimum(1e2 * self._steps(p), 0.25 * self._room(p))[free]

            def grad_free(q):
                full = p.copy()
                full[free] = q
                return self._score(full)[free]
            block = central_differences(grad_free, p[free], h)
            hess[np.ix_(free, free)] = 0.5 * (block + block.T)
        return hess

    def _zero_variances(self, p):
        """Variances that the search drove towards 0 (below 1e-6 of the
        largest) set to exactly 0 where that does not lower the
        log-likelihood; the log scale can only approach it."""
        top = max([p[i] for i in self._variance_params] + [0.0])
        near = [i for i in self._variance_params if 0.0 < p[i] < 1e-6 * top]
        best = self._loglike(p) if near else None
        for i in near:
            q = p.copy()
            q[i] = 0.0
            ll = self._loglike(q)
            if ll >= best - 1e-9:
                p, best = q, max(ll, best)
        return p

    # ---- fitting -------------------------------------------------------------
    def fit(self, start=None, method=None, maxiter=None, *, gtol=1e-3, warn=True):
        """Maximum likelihood estimates of the parameters.

        The search runs on the unconstrained scale of `untransform_params`
        (scipy.optimize.minimize, BFGS by default) with the analytic
        gradient where the parameters move only the variance matrix.
        Convergence is judged at the end by the gradient, not by the
        optimiser's message.

        Parameters
        ----------
        start : array_like, optional
            Natural-scale starting values, in the order of `param_names`;
            by default `start_params`, derived from the data.
        method : str, optional
            A method of scipy.optimize.minimize ("BFGS", "L-BFGS-B",
            "Nelder-Mead", ...).
        maxiter : int, optional
            Largest number of optimiser iterations (default 500).
        gtol : float, optional
            The fit counts as converged when no element of the gradient of
            the log-likelihood on the unconstrained scale exceeds `gtol` in
            absolute value (default 1e-3: the log-likelihood then lies
            within about 1e-6 of the local maximum).
        warn : bool, optional
            Issue a VantrelWarning when the fit did not converge or stopped
            with a parameter on a boundary of its range.

        Returns
        -------
        StateSpaceResults
        """
        from .results import StateSpaceResults
        seen = int(np.count_nonzero(~np.isnan(self.endog)))
        if seen < 2:
            raise VantrelError("vantrel: y: %d observed value; a fit needs at least two" % seen)

        self.nfev = 0
        p0 = self.start_params if start is None else self._check_params(start, "start")
        x0 = self.untransform_params(p0)
        k = x0.size

        def negll(x):
            v = self._loglike(self.transform_params(x))
            return -v if np.isfinite(v) else 1e100

        def grad(x):
            p = self.transform_params(x)
            g = self._score(p) @ _complex_jacobian(self.transform_params, x)
            return -g if np.isfinite(g).all() else np.zeros(k)

        method = "BFGS" if method is None else method
        if not isinstance(method, str):
            raise VantrelError("vantrel: method: a method name of scipy.optimize.minimize "
                               "expected, %r found" % (method,))
        opts = {"maxiter": 500 if maxiter is None else _whole(maxiter, "maxiter")}
        if isinstance(gtol, (bool, np.bool_)) or not isinstance(gtol, (int, float, np.number)) \
                or not gtol > 0:
            raise VantrelError("vantrel: gtol: a positive number expected, %r found" % (gtol,))
        warn = _convert.flag(warn, "warn")
        if method.upper() in ("BFGS", "L-BFGS-B", "CG"):
            # The rounding noise of the log-likelihood and of its gradient
            # grows with the number of time points; asking for less than it
            # only buys failed line searches.
            opts["gtol"] = 1e-5 * max(1.0, self.nobs / 1000.0)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            try:
                opt = optimize.minimize(negll, x0, jac=grad, method=method, options=opts)
            except ValueError as e:
                if "solver" not in str(e).lower():
                    raise
                raise VantrelError("vantrel: method: %s" % e) from None
        x = np.asarray(opt.x, dtype=float)
        # (not grad(x): that turns a failed evaluation into a zero gradient)
        gx = self._score(self.transform_params(x)) @ _complex_jacobian(self.transform_params, x)
        converged = bool(np.all(np.abs(gx) <= gtol))
        p = self._zero_variances(self.transform_params(x))
        boundary = [self.param_names[i] for i in self._at_boundary(p, self._score(p))]
        fit_info = dict(converged=converged, boundary=boundary, gradient=gx,
                        message=str(opt.message), nit=int(getattr(opt, "nit", 0)),
                        nfev_fit=self.nfev, method=method, optimizer=opt)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            hess = self._hessian(p)
        res = StateSpaceResults(self, p, hessian=hess, fit_info=fit_info)
        if warn and not converged:
            warnings.warn("vantrel: fit: not converged: the largest gradient element on the "
                          "unconstrained scale is %.3g (%s)" % (np.max(np.abs(gx)), opt.message),
                          VantrelWarning, stacklevel=2)
        if warn and boundary:
            warnings.warn("vantrel: fit: estimates on a boundary of their range: %s"
                          % ", ".join(boundary), VantrelWarning, stacklevel=2)
        return res

    def _at_boundary(self, p, g):
        """Numbers of the parameters that sit at a bound of their range (a
        variance at 0 with the likelihood still rising towards it)."""
        out = []
        top = max([p[i] for i in self._variance_params] + [0.0])
        for i in self._variance_params:
            if p[i] <= 1e-8 * top and g[i] <= 0:
                out.append(i)
        room = self._room(p)
        out += [i for i in range(p.size) if room[i] < 1e-4]
        return sorted(out)

    def smooth(self, params):
        """Results (filtered and smoothed) at given natural-scale `params`,
        without fitting."""
        from .results import StateSpaceResults
        return StateSpaceResults(self, self._check_params(params))

    # ---- the data's index ----------------------------------------------------
    def _future_index(self, steps):
        """The index continued for `steps` time points after the data."""
        import pandas as pd
        idx = self._index
        if idx is None:
            return None
        if isinstance(idx, pd.PeriodIndex):
            return pd.period_range(idx[-1] + 1, periods=steps, freq=idx.freq)
        if isinstance(idx, pd.DatetimeIndex):
            freq = idx.freq or (pd.infer_freq(idx) if idx.size >= 3 else None)
            if freq is None:
                raise VantrelError("vantrel: y: its DatetimeIndex has no frequency to continue")
            return pd.date_range(idx[-1], periods=steps + 1, freq=freq)[1:]
        if idx.dtype.kind in "iu":
            step = idx[-1] - idx[-2] if idx.size > 1 else 1
            return pd.Index(idx[-1] + step * np.arange(1, steps + 1))
        return pd.RangeIndex(idx.size, idx.size + steps)

    def _wrap(self, a, index=None, name=None):
        """A time-indexed result as a pandas Series (or DataFrame) carrying
        the data's index, or the numpy array when the data had none."""
        import pandas as pd
        index = self._index if index is None else index
        if self._index is None:
            return a
        if a.ndim == 1:
            return pd.Series(a, index=index, name=name)
        return pd.DataFrame(a, index=index, columns=name)
