"""Structural time series models by component name."""
import math

import numpy as np

from . import transforms as tr
from ._host import VantrelError
from .builders import CYCLE0, IRREG, LEVEL, SEAS_DUMMY, SEAS_TRIG, SLOPE, add_regression, stsm
from .statespace import StateSpaceModel, _real

_SEASONAL_FORMS = {"dummy": SEAS_DUMMY, "trigonometric": SEAS_TRIG}


def _switch(value, name, fixed_ok=True):
    """True (stochastic), "fixed" (no disturbance) or False for a component
    keyword."""
    if isinstance(value, str):
        if fixed_ok and value == "fixed":
            return "fixed"
        raise VantrelError("vantrel: %s: True, False%s expected, %r found"
                           % (name, ' or "fixed"' if fixed_ok else "", value))
    if value is None or isinstance(value, (bool, np.bool_, int, np.integer)) \
            and value in (0, 1):
        return bool(value)
    raise VantrelError("vantrel: %s: True, False%s expected, %r found"
                       % (name, ' or "fixed"' if fixed_ok else "", value))


class Structural(StateSpaceModel):
    r"""Univariate structural time series model (unobserved components).

    .. math::

        y_t = \mu_t + \gamma_t + \psi_t + x_t'\beta + \varepsilon_t,
        \qquad \varepsilon_t \sim N(0, \sigma^2_\varepsilon)

    with the level :math:`\mu_{t+1} = \mu_t + \nu_t + \eta_t`, the slope
    :math:`\nu_{t+1} = \nu_t + \zeta_t`, a seasonal :math:`\gamma_t` and a
    damped stochastic cycle :math:`\psi_t`.  Built with the library's
    structural model builder (GetLdsStsm) and, for regressors, AddLdsReg.

    Parameters
    ----------
    y : array_like or pandas.Series
        The series; NaN marks a missing value.  A pandas index (dates or
        periods) is carried into every time-indexed result.
    level : {True, False, "fixed"}
        A random walk level (parameter ``sigma2.level``, the variance of
        :math:`\eta_t`); "fixed" keeps the level without disturbance.
    slope : {False, True, "fixed"}
        A slope of the level (``sigma2.slope``, the variance of
        :math:`\zeta_t`); needs a level.
    seasonal : int, optional
        Seasonal period s >= 2 (``sigma2.seasonal``).
    seasonal_form : {"dummy", "trigonometric"}
        "dummy": :math:`\gamma_{t+1} = -\sum_{j=1}^{s-1}\gamma_{t+1-j} +
        \omega_t`, s - 1 states, the disturbance variance
        ``sigma2.seasonal``.  "trigonometric": the harmonics
        :math:`2\pi j/s`, j = 1 .. floor(s/2), each a pair of states
        rotating at its frequency (one state at frequency pi for even s),
        s - 1 states in all, every state disturbed with variance
        ``sigma2.seasonal``.
    cycle : bool or float
        A damped stochastic cycle
        :math:`(\psi_{t+1}, \psi^*_{t+1})' = \rho R(\lambda)(\psi_t,
        \psi^*_t)' + \kappa_t` with R the rotation by the frequency
        :math:`\lambda`.  Parameters ``sigma2.cycle`` (the variance of each
        element of :math:`\kappa_t`; the cycle's own variance is
        sigma2.cycle / (1 - rho^2)), ``frequency.cycle`` (lambda in
        (0, pi)) and ``damping.cycle`` (rho in (0, 1)).  A number is a
        guess of the period (time points per cycle) to start from; True
        guesses it from the periodogram.
    irregular : bool
        The observation noise :math:`\varepsilon_t` (``sigma2.irregular``).
    exog : array_like, optional
        Regressors, (n,) or (n, k).  Their coefficients :math:`\beta` are
        constant states with a diffuse start, estimated by the smoother
        (not parameters of the likelihood).

    Notes
    -----
    The level, slope, seasonal and regression states start diffuse and are
    treated exactly (the log-likelihood is the diffuse likelihood of
    Durbin and Koopman, as statsmodels' ``use_exact_diffuse=True``); the
    cycle starts from its stationary distribution (statsmodels'
    UnobservedComponents starts every state diffuse, the cycle's too, so
    for a model with a cycle its log-likelihood differs).  Variances are
    estimated on the log scale, the damping and the frequency through
    logistic maps, so that the estimates always lie inside their ranges.
    """

    def __init__(self, y, level=True, slope=False, seasonal=None, seasonal_form="dummy",
                 cycle=False, irregular=True, exog=None, **unknown):
        for name in unknown:
            hint = " (the slope of the level is `slope`)" if name in ("trend", "stochastic_trend") \
                else ""
            raise VantrelError("vantrel: %s: not a component of Structural (level, slope, "
                               "seasonal, cycle, irregular, exog)%s" % (name, hint))
        super().__init__(y, exog)
        self.level = _switch(level, "level")
        self.slope = _switch(slope, "slope")
        self.irregular = _switch(irregular, "irregular", fixed_ok=False)
        if not isinstance(seasonal_form, str) or seasonal_form not in _SEASONAL_FORMS:
            raise VantrelError('vantrel: seasonal_form: "dummy" or "trigonometric" expected, '
                               '%r found' % (seasonal_form,))
        self.seasonal_form = seasonal_form
        if seasonal is not None and seasonal is not False:
            if _real(seasonal) is None or not _real(seasonal).is_integer() or seasonal < 2:
                raise VantrelError("vantrel: seasonal: a whole period of at least 2 expected, "
                                   "%r found" % (seasonal,))
            seasonal = int(seasonal)
        else:
            seasonal = None
        self.seasonal = seasonal
        if isinstance(cycle, bool) or cycle is None:
            self.cycle, self._cycle_period = bool(cycle), None
        else:
            c = _real(cycle)
            if c is None or not c > 2.0 or not math.isfinite(c):
                raise VantrelError("vantrel: cycle: True, False or a period above 2 expected, "
                                   "%r found" % (cycle,))
            self.cycle, self._cycle_period = True, c
        if self.slope and not self.level:
            raise VantrelError("vantrel: slope: a slope needs a level (level=True or \"fixed\")")
        if not (self.level or self.seasonal or self.cycle):
            raise VantrelError("vantrel: no component with states: ask for a level, a seasonal "
                               "or a cycle")

        # Parameters, in statsmodels' order: variances, then the cycle's.
        names, self._rows = [], []
        if self.irregular:
            names.append("sigma2.irregular")
        if self.level is True:
            names.append("sigma2.level")
        if self.slope is True:
            names.append("sigma2.slope")
        if self.seasonal:
            names.append("sigma2.seasonal")
        if self.cycle:
            names += ["sigma2.cycle", "frequency.cycle", "damping.cycle"]
        self.param_names = names
        self._variance_params = [i for i, n in enumerate(names) if n.startswith("sigma2.")]
        self._template = self._build(np.ones(len(names)) * 0.5, None)
        self._patterns = None

    # ---- the state space form ------------------------------------------
    def _spec(self, p):
        """Rows of the builder's component matrix at natural parameters p."""
        val = dict(zip(self.param_names, p))
        sd = lambda key: math.sqrt(val[key]) if key in val else 0.0
        rows = []
        if self.level:
            rows.append([LEVEL, sd("sigma2.level"), 0.0, 0.0])
        if self.slope:
            rows.append([SLOPE, sd("sigma2.slope"), 0.0, 0.0])
        if self.seasonal:
            rows.append([_SEASONAL_FORMS[self.seasonal_form], sd("sigma2.seasonal"),
                         float(self.seasonal), 0.0])
        if self.cycle:
            rho = val["damping.cycle"]
            # The builder's sigma is the cycle's own standard deviation.
            rows.append([CYCLE0, math.sqrt(val["sigma2.cycle"] / (1.0 - rho * rho)),
                         val["frequency.cycle"], rho])
        rows.append([IRREG, sd("sigma2.irregular"), 0.0, 0.0])
        return rows

    def _build(self, p, exog):
        if not np.isfinite(p).all():
            raise VantrelError("vantrel: params: finite numbers expected")
        mod = stsm(self._spec(p))
        positions = mod.positions
        if self.exog is not None:
            x = self.exog if exog is None else exog
            mod = add_regression(mod, x)
            positions = positions + self.k_exog
        mod.positions = positions
        return mod

    def _blocks(self):
        """{component name: (first state, states, observation weights)} of
        the template model."""
        mod = self._template
        z = mod.sys[mod.m]
        names = (["level"] if self.level else []) + (["slope"] if self.slope else []) \
            + (["seasonal"] if self.seasonal else []) + (["cycle"] if self.cycle else [])
        sizes = {"level": 1, "slope": 1, "seasonal": (self.seasonal or 1) - 1, "cycle": 2}
        out = {}
        for name, pos in zip(names, mod.positions):
            size = sizes[name]
            out[name] = (int(pos), size, z[pos:pos + size].copy())
        return out

    def _var_patterns(self):
        if self._patterns is None:
            pats = {}
            mod = self._template
            d, m = mod.d, mod.m
            blocks = self._blocks()
            for i, name in enumerate(self.param_names):
                if name == "sigma2.irregular":
                    v = np.zeros((d, d))
                    v[m, m] = 1.0
                    pats[i] = v
                elif name in ("sigma2.level", "sigma2.slope", "sigma2.seasonal"):
                    first, size, _ = blocks[name[7:]]
                    v = np.zeros((d, d))
                    sl = slice(first, first + size)
                    v[sl, sl] = mod.var[sl, sl] / 0.5
                    pats[i] = v
            self._patterns = pats
        return self._patterns

    def _room(self, p):
        room = np.full(p.size, np.inf)
        for i, name in enumerate(self.param_names):
            if name == "frequency.cycle":
                room[i] = min(p[i], math.pi - p[i])
            elif name == "damping.cycle":
                room[i] = min(p[i], 1.0 - p[i])
        return room

    # ---- parameter scales -------------------------------------------------
    def transform_params(self, x):
        """Natural-scale parameters from unconstrained ones: variances
        exp(x), the cycle's frequency pi / (1 + exp(-x)) and damping
        1 / (1 + exp(-x))."""
        x = self._check_unconstrained(x)
        out = x.copy()
        for i, name in enumerate(self.param_names):
            if name.startswith("sigma2."):
                out[i] = tr.constrain_variance(x[i])
            elif name == "frequency.cycle":
                out[i] = tr.constrain_interval(x[i], 0.0, math.pi)
            elif name == "damping.cycle":
                out[i] = tr.constrain_interval(x[i], 0.0, 1.0)
        return out

    def untransform_params(self, params):
        """The inverse of `transform_params`."""
        p = self._check_params(params)
        out = p.copy()
        for i, name in enumerate(self.param_names):
            if name.startswith("sigma2."):
                out[i] = tr.unconstrain_variance(p[i], name)
            elif name == "frequency.cycle":
                out[i] = tr.unconstrain_interval(p[i], 0.0, math.pi, name)
            elif name == "damping.cycle":
                out[i] = tr.unconstrain_interval(p[i], 0.0, 1.0, name)
        return out

    @property
    def start_params(self):
        """Starting values from the data: the variance of the first
        differences shared out over the components in a few proportions,
        the one with the highest likelihood kept; the cycle's frequency
        from the given period or from the periodogram."""
        y = self.endog
        dy = np.diff(y)
        v = np.nanvar(dy) if np.isfinite(dy).sum() > 1 else np.nanvar(y)
        if not v > 0:
            v = 1.0
        shares = [
            {"irregular": 0.5, "level": 0.2, "slope": 1e-4, "seasonal": 1e-2, "cycle": 0.1},
            {"irregular": 0.2, "level": 0.5, "slope": 1e-3, "seasonal": 1e-3, "cycle": 0.2},
            {"irregular": 0.8, "level": 0.02, "slope": 1e-6, "seasonal": 1e-4, "cycle": 0.05},
            {"irregular": 0.05, "level": 0.8, "slope": 1e-2, "seasonal": 0.05, "cycle": 0.5},
        ]
        lam = None
        if self.cycle:
            if self._cycle_period is not None:
                lam = 2 * math.pi / self._cycle_period
            else:
                lam = self._periodogram_peak()
        best, best_ll = None, -math.inf
        for share in shares:
            p = np.empty(self.k_params)
            for i, name in enumerate(self.param_names):
                if name.startswith("sigma2."):
                    p[i] = v * share[name[7:]]
                elif name == "frequency.cycle":
                    p[i] = lam
                else:
                    p[i] = 0.9
            ll = self._loglike(p)
            if np.isfinite(ll) and ll > best_ll:
                best, best_ll = p, ll
        return best if best is not None else p

    def _periodogram_peak(self):
        """Frequency of the largest periodogram ordinate of the linearly
        detrended series, among periods from 3 to n / 2."""
        y = self.endog
        t = np.arange(y.size)
        ok = np.isfinite(y)
        coef = np.polyfit(t[ok], y[ok], 1)
        e = np.where(ok, y - np.polyval(coef, t), 0.0)
        power = np.abs(np.fft.rfft(e)) ** 2
        freq = 2 * math.pi * np.arange(power.size) / y.size
        keep = (freq >= 4 * math.pi / y.size) & (freq <= 2 * math.pi / 3)
        if not keep.any():
            return 2 * math.pi / max(3.0, y.size / 4)
        return float(freq[keep][np.argmax(power[keep])])
