"""ARIMA models with differences as diffuse leading states."""
import math
import warnings

import numpy as np
from numpy.polynomial import polynomial as npoly

from . import transforms as tr
from ._host import VantrelError
from .builders import add_regression, arma
from .model import Model
from .statespace import StateSpaceModel, _real


def _order(order):
    try:
        vals = [_real(v) for v in order]
    except TypeError:
        vals = []
    ok = len(vals) == 3 and all(v is not None and v.is_integer() for v in vals)
    if ok:
        p, d, q = (int(v) for v in vals)
    if not ok:
        raise VantrelError("vantrel: order: three whole numbers (p, d, q) expected, %r found"
                           % (order,))
    for name, v in zip("pdq", (p, d, q)):
        if v < 0:
            raise VantrelError("vantrel: order: %s = %d is negative" % (name, v))
    return p, d, q


def _lags(a, k):
    """Columns a_{t-1} .. a_{t-k} for t = k .. n-1."""
    n = a.size
    return np.column_stack([a[k - j:n - j] for j in range(1, k + 1)]) if k else np.zeros((n, 0))


def _ols(y, X):
    ok = np.isfinite(y) & np.isfinite(X).all(axis=1)
    if ok.sum() <= X.shape[1]:
        return np.zeros(X.shape[1]), np.where(ok, y, np.nan)
    b = np.linalg.lstsq(X[ok], y[ok], rcond=None)[0]
    return b, y - X @ b


def _shrink(coef, constrain):
    """Coefficients pulled towards 0 until `constrain`'s inverse accepts
    them (stationary, or invertible)."""
    for _ in range(200):
        try:
            constrain(coef)
            return coef
        except VantrelError:
            coef = 0.9 * coef
    return np.zeros_like(coef)


class Arima(StateSpaceModel):
    r"""ARIMA(p, d, q) model with an optional seasonal difference, a constant
    and regressors.

    .. math::

        \phi(B)\,(1 - B)^d (1 - B^s)^D\, (y_t - x_t'\beta) = c + \theta(B)\,
        \varepsilon_t, \qquad \varepsilon_t \sim N(0, \sigma^2)

    with :math:`\phi(B) = 1 - \phi_1 B - \dots - \phi_p B^p` and
    :math:`\theta(B) = 1 + \theta_1 B + \dots + \theta_q B^q` (the signs of
    statsmodels' SARIMAX and R's arima).  The ARMA part is built by the
    library's ARMA builder (GetLdsArma) and starts from its stationary
    distribution; the differences are d + s leading states holding the
    past observations, diffuse and treated exactly.

    Parameters
    ----------
    y : array_like or pandas.Series
        The series; NaN marks a missing value.
    order : (int, int, int)
        p, d, q: AR order, number of ordinary differences, MA order.
    seasonal_diff : int
        Period s of one seasonal difference (1 - B^s), 0 for none.
    exog : array_like, optional
        Regressors, (n,) or (n, k): their coefficients :math:`\beta` are
        constant states with a diffuse start (estimated by the smoother,
        not parameters of the likelihood).
    trend : {None, "c"}
        "c" adds the constant c (parameter ``intercept``; the mean of the
        differenced series is c / (1 - phi_1 - ... - phi_p)).

    Notes
    -----
    Parameters, in this order: ``intercept`` (with trend="c"),
    ``ar.L1`` .. ``ar.Lp``, ``ma.L1`` .. ``ma.Lq``, ``sigma2``.  The fit
    keeps the AR part stationary and the MA part invertible by estimating
    partial autocorrelations on an unconstrained scale (Monahan 1984,
    Jones 1980) and sigma2 on the log scale.
    """

    def __init__(self, y, order=(1, 0, 0), seasonal_diff=0, exog=None, trend=None):
        super().__init__(y, exog)
        self.p, self.d, self.q = _order(order)
        sd = _real(seasonal_diff)
        if sd is None or not sd.is_integer() or sd < 0 or sd == 1:
            raise VantrelError("vantrel: seasonal_diff: 0 or a period of at least 2 expected, "
                               "%r found" % (seasonal_diff,))
        self.seasonal_diff = int(seasonal_diff)
        if not (trend is None or isinstance(trend, str) and trend in ("n", "c")):
            raise VantrelError('vantrel: trend: None or "c" expected, %r found' % (trend,))
        self.trend = "c" if trend == "c" else None
        # (1 - B)^d (1 - B^s): y_t = sum_k a_k y_{t-k} + w_t.
        poly = np.array([1.0])
        for _ in range(self.d):
            poly = npoly.polymul(poly, [1.0, -1.0])
        if self.seasonal_diff:
            poly = npoly.polymul(poly, np.r_[1.0, np.zeros(self.seasonal_diff - 1), -1.0])
        self._diff_coef = -poly[1:]
        names = (["intercept"] if self.trend else []) \
            + ["ar.L%d" % i for i in range(1, self.p + 1)] \
            + ["ma.L%d" % i for i in range(1, self.q + 1)] + ["sigma2"]
        self.param_names = names
        self._variance_params = [len(names) - 1]

    def _split(self, p):
        k = 1 if self.trend else 0
        c = p[0] if self.trend else 0.0
        return c, p[k:k + self.p], p[k + self.p:k + self.p + self.q], p[-1]

    def _build(self, p, exog):
        c, ar, ma, s2 = self._split(p)
        if not s2 > 0:
            raise VantrelError("vantrel: params: sigma2 must be positive")
        block = arma(ar if ar.size else [0.0], ma, math.sqrt(s2))
        ra = block.m
        K = self._diff_coef.size
        m = K + ra
        sys_ = np.zeros((m + 1, m))
        var = np.zeros((m + 1, m + 1))
        init = np.zeros((m + 1, m))
        sys_[K:m, K:] = block.sys[:ra]
        var[K:m, K:m] = block.var[:ra, :ra]
        init[K:m, K:] = block.init[:ra]
        if K:
            # Leading states: y_{t-1} .. y_{t-K}.
            sys_[0, :K] = self._diff_coef
            sys_[0, K] = 1.0
            sys_[np.arange(1, K), np.arange(K - 1)] = 1.0
            sys_[m, :K] = self._diff_coef
            init[np.arange(K), np.arange(K)] = -1.0
        sys_[m, K] = 1.0
        mean = None
        if self.trend:
            mean = np.zeros(m + 1)
            mean[K] = c
            ta = block.sys[:ra]
            e1 = np.zeros(ra)
            e1[0] = c
            init[m, K:] = np.linalg.solve(np.eye(ra) - ta, e1)
        mod = Model(sys_, var, init=init, mean=mean)
        if self.exog is not None:
            mod = add_regression(mod, self.exog if exog is None else exog)
        return mod

    def _room(self, p):
        """Distance of the partial autocorrelations of the AR part and of
        the MA part from +-1 (infinite for the intercept and sigma2)."""
        room = np.full(p.size, np.inf)
        k = 1 if self.trend else 0
        for lo, n, sign in ((k, self.p, 1.0), (k + self.p, self.q, -1.0)):
            if n:
                coef = sign * p[lo:lo + n]
                try:
                    x = tr.unconstrain_stationary(coef)
                    r = np.abs(x) / np.sqrt(1.0 + x * x)
                except VantrelError:
                    r = np.ones(n)
                room[lo:lo + n] = 1.0 - r
        return room

    def transform_params(self, x):
        """Natural-scale parameters from unconstrained ones: the AR
        coefficients of stationary partial autocorrelations, the MA
        coefficients of an invertible polynomial, sigma2 = exp(x); the
        intercept as it is."""
        x = self._check_unconstrained(x)
        k = 1 if self.trend else 0
        parts = [x[:k], tr.constrain_stationary(x[k:k + self.p])[:self.p],
                 tr.constrain_invertible(x[k + self.p:k + self.p + self.q])[:self.q],
                 tr.constrain_variance(x[-1:])]
        return np.concatenate(parts)

    def untransform_params(self, params):
        """The inverse of `transform_params`."""
        p = self._check_params(params)
        c, ar, ma, s2 = self._split(p)
        k = 1 if self.trend else 0
        return np.concatenate([p[:k], tr.unconstrain_stationary(ar, "ar") if ar.size else [],
                               tr.unconstrain_invertible(ma, "ma") if ma.size else [],
                               tr.unconstrain_variance([s2], "sigma2")])

    @property
    def start_params(self):
        """Starting values from the data (Hannan-Rissanen): the differenced
        series (after least squares on the regressors) is fitted by a long
        autoregression, then regressed on its own lags and the lagged
        residuals of that; coefficients outside the stationary or
        invertible region are shrunk towards 0.  On a series too short for
        that, the coefficients start at 0 and sigma2 at 1."""
        # Too few points leave empty or one-point slices: no numpy warnings,
        # the fallbacks below take over.
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore", RuntimeWarning)
            try:
                p = self._start_params()
            except (ValueError, np.linalg.LinAlgError):
                p = np.full(self.k_params, np.nan)
        p[~np.isfinite(p)] = 0.0
        if not p[-1] > 0:
            p[-1] = 1.0
        return p

    def _start_params(self):
        y = self.endog.copy()
        if self.exog is not None:
            y = _ols(y, self.exog)[1]
        w = y.copy()
        K = self._diff_coef.size
        if K:
            w = y[K:] - _lags(y, K) @ self._diff_coef
        mu = np.nanmean(w) if self.trend else 0.0
        wc = w - mu
        p, q = self.p, self.q
        if q:
            L = int(min(max(2 * (p + q), 10), max(wc.size // 4, p + q + 1)))
            _, e = _ols(wc[L:], _lags(wc, L))
            e = np.r_[np.full(L, np.nan), e]
            k = max(p, q)
            X = np.column_stack([_lags(wc, k)[:, :p], _lags(e, k)[:, :q]])
            b, resid = _ols(wc[k:], X)
        elif p:
            b, resid = _ols(wc[p:], _lags(wc, p))
        else:
            b, resid = np.zeros(0), wc
        ar = _shrink(b[:p], lambda a: tr.unconstrain_stationary(a))
        ma = _shrink(b[p:p + q], lambda a: tr.unconstrain_invertible(a))
        s2 = np.nanvar(resid) if np.isfinite(resid).sum() > 1 else np.nanvar(wc)
        if not s2 > 0:
            s2 = 1.0
        head = [mu * (1.0 - ar.sum())] if self.trend else []
        return np.concatenate([head, ar, ma, [s2]])
