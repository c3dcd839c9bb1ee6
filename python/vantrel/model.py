"""The model object: a state space form and one method per host function."""
import contextlib
import math
import warnings

import numpy as np

from . import _checks, _convert, _exact
from ._host import (OUT, Plan, matrix_record, StrictSwitch, VantrelError,
                    VantrelNumericalError, VantrelWarning, call, host, seed as _seed, warn_messages)

_EMPTY = np.zeros((0, 0))
_strict = StrictSwitch()
_DIFFUSE = ("exact", "approximate")
# Methods that have warned, once per process, that they treat a diffuse
# initial state approximately.
_warned = set()


def _rng(seed, where):
    """numpy's generator from `seed`; the error names the argument."""
    try:
        return np.random.default_rng(seed)
    except (TypeError, ValueError) as e:
        raise type(e)("vantrel: %s: seed: %s" % (where, e)) from None


def _approximate_only(name):
    if name not in _warned:
        _warned.add(name)
        warnings.warn("vantrel: %s has no exact diffuse treatment; diffuse initial elements "
                      "get the large variance Vbig" % name, VantrelWarning, stacklevel=4)


def set_strict(flag):
    """Strict mode on (True) or off for the whole process: a numerical
    failure then raises VantrelNumericalError instead of warning.  Returns
    the previous mode (as this thread sees it)."""
    old = _strict[0]
    _strict[0] = _convert.flag(flag, "flag")
    return old


@contextlib.contextmanager
def strict_mode(flag=True):
    """Strict mode (or not) for the statements of a with block, in the
    thread that runs the block only."""
    with _strict.override(_convert.flag(flag, "flag")):
        yield


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


class SimSmoWeights(Result):
    """Simulation smoother weights of the selected disturbance elements.
    `store` is the host's weight store and `filter_store` the filter store
    it was made from; Model.simsmo_draw takes both back."""


class SimSmoDraw(Result):
    """One simulation smoother draw of the selected disturbances."""


class Conditional(Result):
    """Smoothed or drawn states and signals, or disturbances, given all
    observations."""


class Forecast(Result):
    """Forecasts of the observations and states past the data."""

    def conf_int(self, alpha=0.05):
        """Bounds of the (1 - alpha) prediction intervals of the
        observations: an array of mean's shape with a last axis of 2
        (lower, upper)."""
        if not 0.0 < alpha < 1.0:
            raise VantrelError("vantrel: alpha: a number in (0, 1) expected, %r found"
                               % (alpha,))
        from scipy import stats
        half = stats.norm.ppf(1.0 - alpha / 2.0) * np.sqrt(self.var)
        return np.stack([self.mean - half, self.mean + half], axis=-1)


class ObsWeights(Result):
    """Weights of the observations of one series in the state and signal
    estimates at one target time point."""


class RecursionResult(Result):
    """States and observations of the model run forward from given
    disturbances."""


# LdsMomentEst selections: prefix of the field names, selection code.
_MOMENTS = {"predicted": 0, "filtered": 5, "smoothed": 1, "disturbances": 3}

# LdsCondDens selection codes.
_CONDITIONAL = {"smoothed": 1, "draw": 2, "disturbances": 3, "disturbance_draw": 4}

# LdsWeights selection codes.
_WEIGHTS = {"predicted": 0, "smoothed": 1, "filtered": 5}


def _weight_store(store, d, r):
    """Wn_t (n, r, d) and M_t (n, r, r) from a weight store: column t holds,
    for k = 0..r-1, row k of Wn_t, then M_t[k..r-1][k]."""
    n = store.shape[1]
    wn = np.empty((n, r, d))
    fac = np.zeros((n, r, r))
    row = 0
    for k in range(r):
        wn[:, k, :] = store[row:row + d].T
        row += d
        fac[:, k:, k] = store[row:row + r - k].T
        row += r - k
    return wn, fac


def _position(value, size, name):
    """A time point or series number in range(size); negative ones count
    from the end."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError("vantrel: %s: an int expected, %s found" % (name, type(value).__name__))
    if not -size <= value < size:
        raise ValueError("vantrel: %s: %d is not in 0 .. %d" % (name, value, size - 1))
    return int(value) % size


def _series(a, nseries):
    """Per-series array with time first: (n, N), or (n,) for one series."""
    a = a.T
    return a[:, 0].copy() if nseries == 1 else np.array(a, order="C")


class Model:
    """A linear Gaussian state space model.

    Parameters
    ----------
    sys : array_like
        (m+N) x m system matrix (transition T above, observation Z below).
    var : array_like
        (m+N) x (m+N) variance of the state and observation disturbances.
    init : array_like, optional
        (m+1) x m initial state (variance above, mean in the last row; a
        negative diagonal element marks a diffuse element).  None makes
        every element diffuse.
    mean : array_like, optional
        m+N constants of the state and observation equations.
    idx_sys, idx_var, idx_mean : array_like, optional
        Index matrices of the time-varying elements (-1 keeps an element,
        j >= 0 takes its value at time t from x[j, t]).
    x : array_like, optional
        k x n time-varying data, one row per index, one column per time
        point.
    diffuse : {"exact", "approximate"}
        Treatment of diffuse initial elements.  "exact" (the default) gives
        them an infinite variance and uses the exact diffuse filter and
        smoothers (univariate, series by series); "approximate" gives them
        the large finite variance Vbig of the library's host functions, as
        a Kel program gets.  A model without diffuse elements gives the same
        numbers either way (both then run the host functions).

    Notes
    -----
    Data passed to the methods: one series as a 1-D array or pandas Series,
    several as an (N x n) or (n x N) array or a DataFrame with one column
    per series; NaN marks a missing value, and data without any observation
    raises VantrelError.  Results are numpy arrays with time first;
    per-series arrays drop the series axis for a model of one series.

    Under "exact", a model with diffuse elements may have a full observation
    variance: the series are rotated (H = L D L' over the observed series of
    each time point, L unit lower triangular) so that the rotated noises are
    independent; this keeps the likelihood and the state moments.  A
    covariance between state and observation disturbances is refused with
    VantrelError.  Methods without an exact counterpart (`smoother`,
    `simsmo_weights`, `simsmo_draw`, `recursion`, and `weights` of the
    smoothed state) keep the Vbig start and warn once per process when
    called on a model with diffuse elements.

    var and init's variance block must be variances: symmetric and positive
    semi-definite to rounding (vantrel._checks.form states the tolerances);
    the rows and columns of diffuse elements take no part, and init may be
    given as its lower triangle alone.  A VantrelError naming the argument
    refuses anything else, before any host call.
    """

    def __init__(self, sys, var, *, init=None, mean=None, idx_sys=None, idx_var=None,
                 idx_mean=None, x=None, diffuse="exact"):
        if diffuse not in _DIFFUSE:
            raise VantrelError("vantrel: diffuse: 'exact' or 'approximate' expected, %r found"
                               % (diffuse,))
        self.diffuse = diffuse
        self._engine = None
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
        for name, a, shape in (("idx_sys", self.idx_sys, (d, m)),
                               ("idx_var", self.idx_var, (d, d)),
                               ("idx_mean", self.idx_mean, (d, 1))):
            if a is not None and a.shape != shape:
                raise VantrelError("vantrel: %s: %d x %d matrix expected, %d x %d found"
                                   % ((name,) + shape + a.shape))
        indexed = any(a is not None for a in (self.idx_sys, self.idx_var, self.idx_mean))
        if indexed and self.x is None:
            raise ValueError("vantrel: index matrices given without x")
        _checks.form(self.var, self.init, m, self.idx_var, self.x)
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

    @property
    def has_diffuse(self):
        """True when the model has diffuse initial elements (no init, or a
        negative diagonal element of init)."""
        if self.init is None:
            return True
        init = self.init
        if getattr(self, "_diffuse_of", None) is not init:
            self._diffuse_of = init
            self._has_diffuse = bool((np.diagonal(init) < 0).any())
        return self._has_diffuse

    def _exact(self, y=None):
        """The exact engine when the exact routines apply (diffuse="exact"
        and diffuse elements), else None.  With `y` (a host data matrix),
        also checks that x covers its time points."""
        if self.diffuse != "exact" or not self.has_diffuse:
            return None
        if self._engine is None:
            m = self.m
            cross = bool(np.any(self.var[:m, m:] != 0.0))
            if self.idx_var is not None:
                cross = cross or bool(np.any(self.idx_var[:m, m:] >= 0)
                                      or np.any(self.idx_var[m:, :m] >= 0))
            if cross:
                raise VantrelError(
                    "vantrel: var: a covariance between state and observation disturbances "
                    "is not supported with diffuse='exact' and diffuse initial elements; "
                    "pass diffuse='approximate'")
            self._engine = _exact.Engine(self)
        if y is not None and self.x is not None and self.x.shape[1] < y.shape[1]:
            raise VantrelError("vantrel: x (the model's time-varying data): at least %d "
                               "columns expected, %d found (one column per time point of y, "
                               "which has %d)" % (y.shape[1], self.x.shape[1], y.shape[1]))
        return self._engine

    def _approximate(self, name, y=None):
        """Warns once per process that method `name` treats the diffuse
        elements of this model with Vbig; refuses a FilterResult of the
        exact filter."""
        if isinstance(y, FilterResult) and getattr(y, "exact", False):
            raise VantrelError("vantrel: y: %s takes data or a FilterResult of the host's "
                               "filter (diffuse='approximate'), not one of the exact filter"
                               % name)
        if self.diffuse == "exact" and self.has_diffuse:
            _approximate_only(name)

    def _numerical(self, text):
        """A numerical failure of the exact routines: raised in strict mode,
        else warned."""
        if _strict[0]:
            raise VantrelNumericalError(text)
        warnings.warn(text, VantrelWarning, stacklevel=3)

    def __repr__(self):
        return "Model(m=%d, N=%d%s%s%s)" % (
            self.m, self.nseries, ", init" if self.init is not None else "",
            ", mean" if self.mean is not None else "",
            ", time-varying" if len(self._form) > 4 else "")

    # ---- the one generic path ------------------------------------------
    def _run(self, name, lead, data, *, status=True, writes_form=False, form=None):
        """Calls host function `name` with the arguments `lead` (ints and
        OUT), then the data argument `data` (already a host matrix), then
        the model.  Returns the host's Reply, or None after a numerical
        failure (warned, or raised in strict mode).  `writes_form`: the
        function writes time-varying values into Sys and Var, so it gets
        copies of them.  `form`: arrays passed in place of the model's."""
        try:
            if form is not None:
                reply = call(name, lead + [data] + form)
            elif writes_form:
                reply = call(name, lead + [data] + [a.copy() for a in self._form])
            else:
                key = (name,) + tuple(lead)
                plan = self._plans.get(key)
                if plan is None:
                    plan = self._plans[key] = Plan(name, lead + [None] + self._records,
                                                   len(lead))
                reply = plan.run(data)
        except VantrelError as e:
            raise _checks.model_error(e, name, len(lead), data) from None
        failed = status and isinstance(reply.value, int) and reply.value == 0
        if not failed:
            if reply.messages:
                warn_messages(reply.messages)
            return reply
        text = "; ".join(reply.messages) or "%s(): numerical failure" % name
        if _strict[0]:
            raise VantrelNumericalError(text)
        warn_messages([text], stacklevel=4)
        return None

    def _data(self, y):
        return _checks.observed(_convert.data(y, self.nseries))

    # ---- one thin method per host function -----------------------------
    def loglik(self, y):
        """Log-likelihood of the observations.

        Parameters
        ----------
        y : array_like
            Observations (NaN = missing).

        Returns
        -------
        float
            The log-likelihood; NaN after a numerical failure.

        Notes
        -----
        Under diffuse="exact" with diffuse elements this is the exact diffuse
        log-likelihood of the univariate (series by series) filter, as
        statsmodels gives it with use_exact_diffuse=True: for every observed
        scalar observation -0.5 log(2 pi), then -0.5 log F_inf for a step
        that reduces the rank of the diffuse variance (F_inf = Z P_inf Z',
        P_inf with the absolute values of init's diffuse entries, the
        identity without init) and -0.5 (log F + v^2 / F) for every other
        step (F = Z P Z' + H).  So the diffuse steps count in the number of
        observations but have no squared innovation.  Otherwise (no diffuse
        elements, or "approximate") it is the host's LdsLik: -0.5 (cnt
        log(2 pi) + L + cnt s2) with cnt the observations less the diffuse
        elements and L the log-determinants less D log(Vbig), which drops
        one log(2 pi) and keeps a term of order log(Vbig) of the diffuse
        steps.  Without diffuse elements the two agree.
        """
        yy = self._data(y)
        eng = self._exact(yy)
        if eng is None:
            r = self._run("LdsLik", [OUT, OUT], yy)
            return r.outs[0] if r else math.nan
        res = self._exact_sums(eng, yy)
        return math.nan if res is None else res[0]

    def _exact_sums(self, eng, yy, name="loglik"):
        """(loglik, nobs, sum of squares, ordinary steps, sum of log
        determinants) of the exact filter, or None after a warned failure.

        The exact filter runs over the diffuse period and one time point
        more; from there on the state is proper, and the host's filter
        (LdsLik, faster than the element-wise one) takes the rest of the
        data from the exact predicted mean and variance: the likelihood
        factorises at that time point."""
        with host().lock:
            res = self._exact_sums_locked(eng, yy, name)
        if res is not None and not all(math.isfinite(v) for v in res):
            # An innovation far outside a tiny variance: the sums overflow,
            # as the host's filter reports for its own.
            self._numerical("%s(): the log-likelihood overflows (an innovation far outside "
                            "its variance)" % name)
            return None
        return res

    def _exact_sums_locked(self, eng, yy, name):
        n = yy.shape[1]
        # Short series: the element-wise filter throughout costs less than
        # setting up the host's call.
        res = eng.filter(eng.form(yy), 0, store=False, head=n * self.nseries > 4000)
        upto = res["upto"]
        if res["ok"] and upto < n:
            head = _exact.loglik_terms(res, yy[:, :upto])
            tail = self._tail(res)
            rest = np.ascontiguousarray(yy[:, upto:])
            r = call("LdsLik", [OUT, OUT, rest] + tail._form)
            if r.value == 1:
                cnt = int(np.count_nonzero(~np.isnan(rest)))
                ss = r.outs[1] * cnt
                ld = -2.0 * r.outs[0] - cnt * _exact.LOG2PI - ss
                nobs, k = head[1] + cnt, head[3] + cnt
                ss, ld = head[2] + ss, head[4] + ld
                return -0.5 * (nobs * _exact.LOG2PI + ld + ss), nobs, ss, k, ld
            # The host refused the rest (a singular innovation variance that
            # the element-wise filter may skip): the exact filter throughout.
        if not res["ok"] or upto < n:
            res = eng.filter(eng.form(yy), 0, store=False)
        if not res["ok"]:
            self._numerical("%s(): the exact diffuse filter failed (a zero innovation "
                            "variance, or too few observations after the diffuse period)"
                            % name)
            return None
        return _exact.loglik_terms(res, yy)

    def _tail(self, res):
        """The model from time point res["upto"] on, started from the exact
        filter's predicted mean and variance there (a proper start: the
        diffuse period is over).  The exact results from there on are the
        host's ordinary ones for this model."""
        m, upto = self.m, res["upto"]
        P = res["swork"][:m]
        P = 0.5 * (P + P.T)
        np.fill_diagonal(P, np.maximum(np.diag(P), 0.0))
        return Model(self.sys, self.var, init=np.vstack([P, res["swork"][m]]), mean=self.mean,
                     idx_sys=self.idx_sys, idx_var=self.idx_var, idx_mean=self.idx_mean,
                     x=None if self.x is None else self.x[:, upto:], diffuse="approximate")

    def _split_moments(self, eng, f, yy, which):
        """Moments of a long series in two stretches: the exact filter (and
        StateSmoExactFrom) over the diffuse period and one time point more,
        the host's LdsMomentEst from there on; None when the split does not
        apply."""
        m, d, N, n = self.m, self.d, self.nseries, yy.shape[1]
        smooth = which == "smoothed"
        if smooth:
            res = eng.filter(f, 1, pred=True, low=True, inf_out=True, head=True)
        else:
            res = eng.filter(f, 0, store=False, pred=which == "predicted",
                             filt=which == "filtered", head=True)
        upto = res["upto"]
        if not res["ok"] or upto >= n:
            return None
        rest = np.ascontiguousarray(yy[:, upto:])
        r = call("LdsMomentEst", [_MOMENTS[which], OUT, rest] + self._tail(res)._form)
        if not isinstance(r.value, np.ndarray):
            return None
        mom = np.empty((2 * d, n))
        mom[:, upto:] = r.outs[0]
        fin = r.value
        if smooth:
            S0 = np.zeros((m + 2, m))
            S0[:m], S0[m] = fin[:m], fin[m]
            fin = eng.state_smooth(dict(f, n=upto), res, S0)[:m + 1]
            mom[:, :upto] = res["pred"][:, :upto]
            mom[m:d, :upto] -= eng.obs_const(upto).T
        else:
            mom[:, :upto] = res["pred" if which == "predicted" else "filt"][:, :upto]
            mom[d + m:, :upto] += self._noise(eng, upto)
        return mom, fin, -(-res["dstar"] // N)

    def _noise(self, eng, n):
        """N x n (or N x 1) observation noise variances."""
        m = self.m
        H = eng.obs_var(n)
        return (np.diag(self.var[m:, m:])[:, None] if H is None
                else np.diagonal(H, axis1=1, axis2=2).T)

    def loglik_conc(self, y):
        """Log-likelihood with the scale of the variances concentrated out.

        Parameters
        ----------
        y : array_like
            Observations (N x n, n x N or one series; NaN = missing).

        Returns
        -------
        ConcLik
            Fields loglik and scale.  Under diffuse="exact" with diffuse
            elements the scale multiplies every variance but the diffuse
            one: scale = sum of v^2/F over the k ordinary steps / k and
            loglik = -0.5 (nobs log(2 pi) + sum of the log F_inf and log F
            terms + k log(scale) + k); else the host's LdsLikConc.
        """
        yy = self._data(y)
        eng = self._exact(yy)
        if eng is None:
            r = self._run("LdsLikConc", [OUT, OUT], yy)
            if r is None:
                return ConcLik(False, loglik=math.nan, scale=math.nan)
            return ConcLik(loglik=r.outs[0], scale=r.outs[1])
        res = self._exact_sums(eng, yy, "loglik_conc")
        if res is None:
            return ConcLik(False, loglik=math.nan, scale=math.nan)
        _, nobs, ss, k, ld = res
        s2 = ss / k if k > 0 else math.nan
        if not (0.0 < s2 < math.inf):
            # Data the model fits exactly (or no ordinary step): no scale.
            self._numerical("loglik_conc(): the concentrated scale is %r (the sum of squared "
                            "standardised innovations over %d ordinary steps)" % (s2, k))
            return ConcLik(False, loglik=math.nan, scale=math.nan)
        ll = -0.5 * (nobs * _exact.LOG2PI + ld + k * (math.log(s2) + 1.0))
        return ConcLik(loglik=ll, scale=s2)

    def score(self, y):
        """Log-likelihood with its score with respect to Var.

        Parameters
        ----------
        y : array_like
            Observations, as for loglik.

        Returns
        -------
        ScoreResult
            Fields loglik, scale (sum of squared standardised innovations
            over their count) and score (d x d): the gradient of loglik
            with respect to a symmetric Var is 0.5 * score, element by
            element.  Under diffuse="exact" with diffuse elements the score
            is that of the exact diffuse log-likelihood, from the exact
            disturbance smoother: the state block sum_t (r_t r_t' - N_t),
            the observation diagonal sum of (e^2 - D) over the observed
            steps.  For a full observation variance the noise is moved
            into the state and its block is the noise states' sums (NaN
            when that variance varies over time).  Else the host's LdsLikSco,
            sum_t (u_t u_t' - D_t).
        """
        yy = self._data(y)
        eng = self._exact(yy)
        d = self.d
        if eng is None:
            r = self._run("LdsLikSco", [OUT, OUT, OUT], yy)
            if r is None:
                return ScoreResult(False, loglik=math.nan, scale=math.nan,
                                   score=np.full((d, d), math.nan))
            return ScoreResult(loglik=r.outs[0], scale=r.outs[1], score=r.outs[2])
        aug = self._noise_in_state() if eng.rotate else None
        work = aug._exact() if aug is not None else eng
        with host().lock:
            f = work.form(yy)
            res = work.filter(f, 0)
            if res["ok"]:
                acc, init = work.dist_smooth(f, res)
        if not res["ok"]:
            self._numerical("score(): the exact diffuse filter failed")
            return ScoreResult(False, loglik=math.nan, scale=math.nan,
                               score=np.full((d, d), math.nan))
        m, N = self.m, self.nseries
        if aug is not None:
            # The noise of time t is state element m+i at t: its variance
            # enters through the state disturbances of t-1 and, for t = 0,
            # through the initial state.
            score = np.zeros((d, d))
            score[:m, :m] = acc[:m, :m]
            score[m:, m:] = acc[m:m + N, m:m + N] + init[m:, m:]
            acc = score
        elif eng.rotate:
            acc[m:, m:] = math.nan
        ll = _exact.loglik_terms(res, yy)[0]
        known = acc[:m] if eng.rotate and aug is None else acc
        if not (math.isfinite(ll) and math.isfinite(res["sumsq"]) and np.isfinite(known).all()):
            # As loglik: an innovation far outside its variance overflows.
            self._numerical("score(): the log-likelihood or its score overflows")
            return ScoreResult(False, loglik=math.nan, scale=math.nan,
                               score=np.full((d, d), math.nan))
        return ScoreResult(loglik=ll, scale=res["sumsq"], score=acc)

    def _noise_in_state(self):
        """The model with its observation noise moved into the state (noise
        of time t = state element m+i at t, observed without noise), for
        the score of a full observation variance; None when that variance
        varies over time."""
        m, N = self.m, self.nseries
        if self.idx_var is not None and np.any(self.idx_var[m:, m:] >= 0):
            return None
        m2, d2 = m + N, m + 2 * N
        sys = np.zeros((d2, m2))
        sys[:m, :m] = self.sys[:m]
        sys[m2:, :m] = self.sys[m:]
        sys[m2:, m:m2] = np.eye(N)
        var = np.zeros((d2, d2))
        var[:m, :m] = self.var[:m, :m]
        var[m:m2, m:m2] = self.var[m:, m:]
        init = np.zeros((m2 + 1, m2))
        if self.init is None:
            init[:m, :m] = -np.eye(m)
        else:
            init[:m, :m] = self.init[:m]
            init[m2, :m] = self.init[m]
        init[m:m2, m:m2] = self.var[m:, m:]

        def move(table, rows, cols):
            if table is None:
                return None
            out = -np.ones((rows, cols))
            out[:m, :table.shape[1]] = table[:m]
            out[m2:, :table.shape[1]] = table[m:]
            return out
        mean = None if self.mean is None else np.concatenate(
            [self.mean[:m, 0], np.zeros(N), self.mean[m:, 0]])
        idx_var = None
        if self.idx_var is not None:
            idx_var = -np.ones((d2, d2))
            idx_var[:m, :m] = self.idx_var[:m, :m]
        return Model(sys, var, init=init, mean=mean, idx_sys=move(self.idx_sys, d2, m2),
                     idx_var=idx_var, idx_mean=move(self.idx_mean, d2, 1), x=self.x)

    def filter(self, y):
        """Kalman filter.

        Parameters
        ----------
        y : array_like
            Observations to filter.

        Returns
        -------
        FilterResult
            innovations (n, N), gain (n, m, N) and innovation_inv_var
            (n, N, N); for one series (n,), (n, m) and (n,).  Missing time
            points hold NaN innovations and zeros.  From the host's
            KalmanFil (gain T P Z' F^-1, multivariate) when the model has no
            diffuse elements or diffuse="approximate".  Under "exact" with
            diffuse elements, from the exact diffuse filter, series by
            series: the innovation of series i given the series before it,
            the updating gain P Z_i' / F_i, and a diagonal inverse variance
            1 / F_i; inside the diffuse period a diffuse step holds
            innovation 0, gain M_inf / F_inf and inverse variance 0; the
            field kind (as innovations) holds 0 for a diffuse step, 1 for an
            ordinary one, -1 for a missing one; for a rotated full
            observation variance the series are the rotated ones.  Such a
            result is not taken back by smoother or simsmo_weights.
        """
        yy = self._data(y)
        eng = self._exact(yy)
        N, m, n = self.nseries, self.m, yy.shape[1]
        if eng is not None:
            with host().lock:
                res = eng.filter(eng.form(yy), 0)
                st = res["estore"].copy()
            ok = res["ok"]
            if not ok:
                self._numerical("filter(): the exact diffuse filter failed")
                st = np.full((m + 3, N * n), math.nan)
            gain = np.ascontiguousarray(st[1:m + 1].reshape(m, n, N).transpose(1, 0, 2))
            inv = np.zeros((n, N, N))
            idx = np.arange(N)
            inv[:, idx, idx] = st[m + 1].reshape(n, N)
            if N == 1:
                gain, inv = gain[:, :, 0], inv[:, 0, 0].copy()
            out = FilterResult(ok, innovations=_series(st[0].reshape(n, N).T, N), gain=gain,
                               innovation_inv_var=inv,
                               kind=_series(st[m + 2].reshape(n, N).T, N), store=st)
            out.exact = True
            return out
        return self._host_filter(y)

    def _host_filter(self, y):
        """The host's KalmanFil (see filter)."""
        yy = self._data(y)
        N, m, n = self.nseries, self.m, yy.shape[1]
        r = self._run("KalmanFil", [], yy)
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
        initial_residual, initial_residual_var (r and diag N after t = 0).

        No exact diffuse counterpart: diffuse elements get the host's Vbig
        start whatever `diffuse` says (a warning, once per process).
        """
        self._approximate("smoother", y)
        if not isinstance(y, FilterResult):
            y = self._host_filter(y)
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
        """Moment estimates of states, signals or disturbances.

        Parameters
        ----------
        y : array_like
            Observations, as for loglik.
        which : {"predicted", "filtered", "smoothed", "disturbances"}
            The estimates.

        Returns
        -------
        Moments
            For the first three, with the prefix `which`: <which>_state
            (n, m), <which>_state_var (diagonals), <which>_signal (n, N),
            <which>_signal_var.  Predicted and filtered add next_state,
            next_state_var (a and P one step past the data); smoothed and
            disturbances add final_cumulant, final_cumulant_var (r and N
            after t = 0).  Disturbances: smoothed_state_disturbance,
            smoothed_obs_disturbance and their _var diagonals, which are
            those of Var D_t Var, the variance of the smoothed estimate (as
            used for auxiliary residuals); the variance of the disturbance
            given the data is Var minus it.  The predicted and filtered
            signal variances include the observation noise (they start from
            the innovation variance); the smoothed one is that of Z alpha_t
            alone, and the smoothed signal has no constant.

        Notes
        -----
        Under diffuse="exact" with diffuse elements the estimates come from
        the exact diffuse filter and smoothers.  Under "exact" the Moments
        carry nobs_diffuse, the number of time points in the diffuse period
        (0 without diffuse elements).
        Inside it the predicted and filtered variances are the finite parts
        P* (and F = Z P* Z' + H), as statsmodels reports them: the diffuse
        part is infinite.  Predicted and filtered signals, and the smoothed
        ones, are exact.  With a full observation variance (rotated series)
        the filtered and smoothed signal variances take one more exact run
        per series (NaN when Z varies over time), the observation
        disturbances of missing elements and final_cumulant are NaN.
        """
        if not isinstance(which, str) or which not in _MOMENTS:
            raise ValueError("vantrel: moments: which must be one of %s"
                             % ", ".join(_MOMENTS))
        with host().lock:
            return self._moments(self._data(y), which)

    def _moments(self, yy, which):
        m, d, N, n = self.m, self.d, self.nseries, yy.shape[1]
        eng = self._exact(yy)
        extra = {"nobs_diffuse": 0} if self.diffuse == "exact" else {}
        if eng is None:
            r = self._run("LdsMomentEst", [_MOMENTS[which], OUT], yy)
            ok = r is not None
            mom = r.outs[0] if r else np.full((2 * d, n), math.nan)
            fin = r.value if r else np.full((m + 1, m), math.nan)
        else:
            mom, fin, nd = self._exact_moments(eng, yy, which)
            ok = mom is not None
            if not ok:
                mom, fin = np.full((2 * d, n), math.nan), np.full((m + 1, m), math.nan)
            extra["nobs_diffuse"] = nd
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
        fields.update(extra)
        return Moments(ok, **fields)

    def _exact_moments(self, eng, yy, which):
        """The moment matrix (2d x n) and the final (m+1) x m matrix in the
        host's layout, and nobs_diffuse; None, None, nobs_diffuse after a
        warned failure."""
        m, d, N, n = self.m, self.d, self.nseries, yy.shape[1]
        f = eng.form(yy)
        if not eng.rotate and which != "disturbances" and n * N > 4000:
            split = self._split_moments(eng, f, yy, which)
            if split is not None:
                return split
        if which in ("predicted", "filtered"):
            pred = which == "predicted"
            res = eng.filter(f, 0, store=False, pred=pred, low=pred and eng.rotate,
                             filt=not pred)
        elif which == "smoothed":
            res = eng.filter(f, 1, pred=True, low=True, inf_out=True)
        else:
            res = eng.filter(f, 0)
        nd = -(-res["dstar"] // N)
        if not res["ok"]:
            self._numerical("%s(): the exact diffuse filter failed (a zero innovation "
                            "variance, or too few observations after the diffuse period)"
                            % which)
            return None, None, nd
        noise = self._noise(eng, n)
        if which in ("predicted", "filtered"):
            mom = res["pred"] if pred else res["filt"]
            fin = res["swork"][:m + 1].copy()
            if eng.rotate:
                Z = eng.obs_rows(n)
                Z = np.broadcast_to(self.sys[m:], (n, N, m)) if Z is None else Z
                mom[m:d] = np.einsum("tim,mt->it", Z, mom[:m]) + eng.obs_const(n).T
                if pred:
                    P = _exact.full_var(mom[d:d + m], res["low"])
                    mom[d + m:] = np.einsum("tim,tmk,tik->it", Z, P, Z) + noise
                else:
                    mom[d + m:] = self._rotated_signal_var(eng, yy, smooth=False) + noise
            else:
                mom[d + m:] += noise
        elif which == "smoothed":
            S0 = eng.state_smooth(f, res)
            mom = res["pred"]
            fin = S0[:m + 1].copy()
            if eng.rotate:
                Z = eng.obs_rows(n)
                Z = np.broadcast_to(self.sys[m:], (n, N, m)) if Z is None else Z
                mom[m:d] = np.einsum("tim,mt->it", Z, mom[:m])
                mom[d + m:] = self._rotated_signal_var(eng, yy, smooth=True)
                fin[:] = math.nan
            else:
                mom[m:d] -= eng.obs_const(n).T
        else:
            mom, S = eng.disturbances(f, res)
            fin = S[:m + 1].copy()
            if eng.rotate:
                # The rotated noises are L^-1 eps: eps = L (rotated).
                # eps = L (rotated noises); at an observed element eps = y -
                # c - Z alpha, whose variance given the data is the smoothed
                # signal's.  A missing element correlated with observed ones
                # is left NaN.
                mom[m:d] = np.where(np.isnan(yy), math.nan,
                                    np.einsum("tij,jt->it", f["rot"], mom[m:d]))
                sv = self._rotated_signal_var(eng, yy, smooth=True)
                mom[d + m:] = np.where(np.isnan(yy), math.nan, noise - sv)
                fin[:] = math.nan
        # The states (and, unrotated, the signals) are finite unless the
        # recursions broke down, e.g. on a diffuse element the data never
        # determine seen through loadings near the smallest double; nothing
        # is infinite unless a product overflowed (Var D Var of variances
        # near 1e300).
        rows = np.r_[0:m, d:d + m] if eng.rotate or which == "disturbances" else slice(None)
        if not np.isfinite(mom[rows]).all() or np.isinf(mom).any():
            self._numerical("%s(): the exact diffuse recursions gave values that are not "
                            "finite" % which)
            return None, None, nd
        return mom, fin, nd

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

    # ---- simulation, conditional densities, weights, recursion ---------
    def _selection(self, select):
        """The d x d selection matrix (ones on the diagonal of the selected
        elements) and the sorted indices, from indices or a boolean mask;
        None selects the state disturbances with positive variance."""
        d = self.d
        if select is None:
            idx = np.array([i for i in range(self.m) if self.var[i, i] > 0.0], dtype=int)
        else:
            try:
                a = np.asarray(select)
            except ValueError:      # ragged nesting
                raise TypeError("vantrel: select: indices or a boolean mask expected") from None
            if a.dtype == bool:
                if a.shape != (d,):
                    raise ValueError("vantrel: select: a mask of %d values expected, shape %s "
                                     "found" % (d, a.shape))
                idx = np.flatnonzero(a)
            elif a.ndim <= 1 and (a.dtype.kind in "iu" or a.size == 0):
                idx = np.unique(a.astype(np.int64).ravel())
                if idx.size and (idx[0] < 0 or idx[-1] >= d):
                    raise ValueError("vantrel: select: indices 0 .. %d expected" % (d - 1))
            else:
                raise TypeError("vantrel: select: indices or a boolean mask expected")
        sel = np.zeros((d, d))
        sel[idx, idx] = 1.0
        return sel, idx

    def simsmo_weights(self, y, select=None):
        """Simulation smoother weights (SimSmoWgt) for `y` (data, or a
        FilterResult of this model).  `select`: the elements of the
        disturbance u_t = (state disturbances, observation noise), d values,
        to draw: indices or a boolean mask of d values; None selects the
        state disturbances with positive variance.  Fields: selected (r,)
        the selected indices in increasing order; factor (n, r, r) the lower
        triangular M_t with M_t M_t' = C_t, the variance of the selected
        elements of u_t given all observations and the selected elements
        after t; weights (n, r, d) the normalised weights, M_t^-1 times the
        selected rows of Var_t D_t, D_t = [S_t, -S_t K_t; -K_t' S_t,
        F_t^-1 + K_t' S_t K_t] with S_t the backward matrix of the pass;
        store (host layout) and filter_store, which
        simsmo_draw takes back.  A failed decomposition of C_t warns and
        gives NaN.

        No exact diffuse counterpart: diffuse elements get the host's Vbig
        start whatever `diffuse` says (a warning, once per process).
        """
        self._approximate("simsmo_weights", y)
        if not isinstance(y, FilterResult):
            y = self._host_filter(y)
        sel, idx = self._selection(select)
        r, d, n = idx.size, self.d, y.store.shape[1]
        store = None
        # An empty selection still goes to the host, which refuses it.
        if y.ok or r == 0:
            reply = self._run("SimSmoWgt", [sel], y.store, writes_form=True)
            store = reply.value if reply else None
        ok = store is not None
        if not ok:
            store = np.full((d * r + r * (r + 1) // 2, n), math.nan)
        wn, fac = _weight_store(store, d, r)
        return SimSmoWeights(ok, selected=idx, factor=fac, weights=wn, store=store,
                             filter_store=y.store)

    def simsmo_draw(self, weights, z=None, *, seed=None):
        """One simulation smoother draw (SimSmoDraw) of the selected
        disturbances given all observations.  `weights`: a SimSmoWeights of
        this model; `z`: (n, r) standard normal numbers, time first, column
        k for the k-th selected element; None draws them with
        numpy.random.default_rng(seed) (seed None: fresh entropy, no two
        runs alike).  The draw is affine in z: z = 0
        gives the conditional mean.  Fields: disturbance (n, d), row t the
        drawn u_t (state disturbances, then observation noise; 0 in the
        elements not selected); initial_residual (m,), the backward vector
        s after t = 0 (with z = 0 the smoothing cumulant r of
        smoother().initial_residual).

        No exact diffuse counterpart: diffuse elements get the host's Vbig
        start whatever `diffuse` says (a warning, once per process).
        """
        if not isinstance(weights, SimSmoWeights):
            raise TypeError("vantrel: simsmo_draw: weights: a SimSmoWeights of this model "
                            "expected, %s found" % type(weights).__name__)
        self._approximate("simsmo_draw")
        r, (d, n) = weights.selected.size, (self.d, weights.store.shape[1])
        if z is None:
            rng = _rng(seed, "simsmo_draw")
            z = rng.standard_normal((n, r))
        z = _convert.matrix(z, "z", ndim2=False)
        if z.shape != (n, r):
            raise ValueError("vantrel: z: (n, r) = (%d, %d) expected, %s found"
                             % (n, r, z.shape))
        out = None
        if weights.ok:
            sel, _ = self._selection(weights.selected)
            reply = self._run("SimSmoDraw", [sel, np.ascontiguousarray(z.T), weights.store],
                              weights.filter_store, writes_form=True)
            out = reply.value if reply else None
        ok = out is not None
        if not ok:
            out = np.full((d, n + 1), math.nan)
        return SimSmoDraw(ok, disturbance=out[:, 1:].T.copy(),
                          initial_residual=out[:self.m, 0].copy())

    def conditional(self, y, which="smoothed", *, seed=None):
        """States, signals or disturbances given all observations
        (LdsCondDens).  `which`: "smoothed" (means) or "draw" (one draw)
        of the states and signals, fields state (n, m) and signal (n, N);
        "disturbances" (means) or "disturbance_draw" (one draw of the state
        disturbances with the observation noise they imply, NaN where an
        observation is missing), fields state_disturbance (n, m) and
        obs_disturbance (n, N).  For one series the signal and observation
        fields are (n,).  A draw takes its normal numbers from the host's
        generator (r (n+1) + m of them, r the state disturbances with
        positive variance); `seed` seeds it first, else the draw continues
        from vantrel.seed or the host's own fixed start.

        Under diffuse="exact" with diffuse elements the means come from the
        exact smoothers and a draw is an exact draw given the data under the
        diffuse start, by mean correction: one unconditional draw of the
        model (diffuse elements at 0, see simulate) with the data's missing
        values, plus the smoothed estimate from the data, less the smoothed
        estimate from the drawn observations.  Its normal numbers come from
        numpy.random.default_rng(seed)."""
        if not isinstance(which, str) or which not in _CONDITIONAL:
            raise ValueError("vantrel: conditional: which must be one of %s"
                             % ", ".join(_CONDITIONAL))
        yy = self._data(y)
        eng = self._exact(yy)
        if eng is not None:
            return self._exact_conditional(yy, which, seed)
        lead = [_CONDITIONAL[which]]
        if seed is not None and which in ("draw", "disturbance_draw"):
            with host().lock:
                _seed(seed)
                reply = self._run("LdsCondDens", lead, yy)
        else:
            reply = self._run("LdsCondDens", lead, yy)
        m, N = self.m, self.nseries
        out = reply.value if reply else np.full((self.d, yy.shape[1]), math.nan)
        names = ("state", "signal") if which in ("smoothed", "draw") \
            else ("state_disturbance", "obs_disturbance")
        return Conditional(reply is not None, **{names[0]: out[:m].T.copy(),
                                                 names[1]: _series(out[m:], N)})

    def _rotated_signal_var(self, eng, yy, smooth):
        """N x n variances of Z_i alpha_t (smoothed or filtered) for a model
        with rotated series, one exact run per series; NaN when Z varies
        over time or a run fails."""
        m, N, n = self.m, self.nseries, yy.shape[1]
        out = np.full((N, n), math.nan)
        if eng.obs_rows(n) is not None:
            return out
        for i in range(N):
            r = eng.combination(eng.form(yy), self.sys[m + i], smooth)
            if r is not None:
                out[i] = r[1]
        return out

    def _exact_conditional(self, yy, which, seed):
        m, N, n = self.m, self.nseries, yy.shape[1]
        names = ("state", "signal") if which in ("smoothed", "draw") \
            else ("state_disturbance", "obs_disturbance")
        eng = self._exact()

        def means(data):
            if names[0] == "state":
                r = self.moments(data, "smoothed")
                sig = r.smoothed_signal.reshape(n, N) + eng.obs_const(n)
                return r.ok, r.smoothed_state, sig
            r = self.moments(data, "disturbances")
            return (r.ok, r.smoothed_state_disturbance,
                    r.smoothed_obs_disturbance.reshape(n, N))

        ok, a, b = means(yy)
        if which in ("draw", "disturbance_draw"):
            sim = self._draw(n, _rng(seed, "conditional"))
            missing = np.isnan(yy.T)
            yplus = np.where(missing, math.nan, sim["observation"])
            ok2, a2, b2 = means(np.ascontiguousarray(yplus.T))
            ok = ok and ok2
            if names[0] == "state":
                a = sim["state"] + a - a2
                Z = eng.obs_rows(n)
                Z = np.broadcast_to(self.sys[m:], (n, N, m)) if Z is None else Z
                b = np.einsum("tim,tm->ti", Z, a) + eng.obs_const(n)
            else:
                a = sim["disturbance"][:, :m] + a - a2
                b = np.where(missing, math.nan, sim["disturbance"][:, m:] + b - b2)
        if not ok:
            a, b = np.full_like(a, math.nan), np.full_like(b, math.nan)
        return Conditional(ok, **{names[0]: a, names[1]: b[:, 0].copy() if N == 1 else b})

    def weights(self, y, which, time, series=0):
        """Observation weights (LdsWeights) of the "predicted", "filtered"
        or "smoothed" state at time point `time` (negative counts from the
        end): the weights with which the observation of series `series` at
        each time point enters that estimate.  `y`: data, of which only the
        pattern of missing values is used.  Fields: state_weights (n, m),
        row t the weights w_t in the m state elements (0 where that
        observation is missing; predicted: 0 from `time` on; filtered: 0
        after it); signal_weights (n, N), or (n,) for one series, row t
        Z_time w_t, the weights in the signal at `time`; time, series.  The
        estimate is the sum of these weights times the observations of every
        series (one call per series) plus a constant from init and mean.

        Under diffuse="exact" with diffuse elements the predicted and
        filtered weights come from the exact filter (fWeightPred), for
        rotated series taken back to the original ones; the constant then
        holds no term of the diffuse elements.  The smoothed weights have
        no exact counterpart: they keep the Vbig start (a warning, once per
        process)."""
        if not isinstance(which, str) or which not in _WEIGHTS:
            raise ValueError("vantrel: weights: which must be one of %s" % ", ".join(_WEIGHTS))
        yy = self._data(y)
        N, n, m = self.nseries, yy.shape[1], self.m
        tau = _position(time, n, "time")
        i = _position(series, N, "series")
        eng = self._exact(yy)
        if eng is not None and which != "smoothed":
            with host().lock:
                return self._exact_weights(eng, yy, which, tau, i)
        if which == "smoothed":
            self._approximate("weights (smoothed)")
        # 0 for an observation, NaN for a missing one; the target is the one
        # element that is neither (-1.0, missing, when it is not observed).
        pattern = np.where(np.isnan(yy), math.nan, 0.0)
        pattern[i, tau] = -1.0 if np.isnan(yy[i, tau]) else 1.0
        reply = self._run("LdsWeights", [_WEIGHTS[which]], pattern, writes_form=True)
        out = reply.value if reply else np.full((self.d, n), math.nan)
        return ObsWeights(reply is not None, state_weights=out[:m].T.copy(),
                          signal_weights=_series(out[m:], N), time=tau, series=i)

    def _exact_weights(self, eng, yy, which, tau, i):
        m, N, n = self.m, self.nseries, yy.shape[1]
        f = eng.form(yy)
        res = eng.filter(f, 0)
        if not res["ok"]:
            self._numerical("weights(): the exact diffuse filter failed")
            W = np.full((self.d, N * n), math.nan)
        else:
            W = eng.weights(f, res, 5 if which == "filtered" else 0, tau)
        w = W[:m].reshape(m, n, N).transpose(1, 0, 2)          # (n, m, N) rotated
        if eng.rotate:
            # The rotated observations are L_t^-1 (y_t - c_t).
            w = np.einsum("tmj,tji->tmi", w, np.linalg.inv(f["rot"]))
        sw = np.ascontiguousarray(w[:, :, i])
        Z = eng.obs_rows(n)
        Zt = self.sys[m:] if Z is None else Z[tau]
        with np.errstate(over="ignore", invalid="ignore"):
            sig = Zt @ sw.T
        ok = res["ok"]
        if ok and not (np.isfinite(sw[~np.isnan(yy[i])]).all()
                       and np.isfinite(sig[:, ~np.isnan(yy[i])]).all()):
            # Transition elements near the largest double: the weights overflow.
            self._numerical("weights(): the weights overflow")
            ok = False
        return ObsWeights(ok, state_weights=sw, signal_weights=_series(sig, N),
                          time=tau, series=i)

    def _with_x(self, x, n, steps, name="x"):
        """This model, or a copy whose x covers time points 0 .. n+steps-1
        (x: the index data of the time points n .. n+steps-1)."""
        if self.x is None:
            if x is not None:
                raise VantrelError("vantrel: %s: the model has no time-varying elements" % name)
            return self
        if x is None:
            if self.x.shape[1] >= n + steps:
                return self
            raise VantrelError(
                "vantrel: %s: the model varies over time: pass the index data of the %d "
                "periods ahead, %d x %d (x has %d columns, %d needed)"
                % (name, steps, self.x.shape[0], steps, self.x.shape[1], n + steps))
        xx = _convert.matrix(x, name, ndim2=False)
        if xx.shape[0] != self.x.shape[0] and xx.shape[1] == self.x.shape[0]:
            xx = xx.T
        if xx.shape != (self.x.shape[0], steps):
            raise VantrelError("vantrel: %s: %d x %d expected (one row per row of the "
                               "model's x, one column per period), %d x %d found"
                               % ((name, self.x.shape[0], steps) + xx.shape))
        if self.x.shape[1] < n:
            raise VantrelError("vantrel: x: the model's x has %d columns, %d needed"
                               % (self.x.shape[1], n))
        full = np.hstack([self.x[:, :n], xx])
        return Model(self.sys, self.var, init=self.init, mean=self.mean, idx_sys=self.idx_sys,
                     idx_var=self.idx_var, idx_mean=self.idx_mean, x=full,
                     diffuse=self.diffuse)

    def forecast(self, y, steps, x=None):
        """Forecasts `steps` periods past the data.

        Parameters
        ----------
        y : array_like
            Observations (n time points).
        steps : int
            Number of periods ahead, at least 1.
        x : array_like, optional
            For a time-varying model whose x does not reach past the data:
            the index data of the periods n .. n+steps-1, one row per row of
            the model's x, one column per period.

        Returns
        -------
        Forecast
            mean and var: each series' forecast and its variance (with the
            observation noise), (steps,) for one series, (steps, N) for
            several; state and state_var (steps, m): the states' predicted
            means and variances (diagonals); conf_int(alpha=0.05) the
            prediction intervals.  The forecasts are the predicted moments
            of the data extended by `steps` missing time points, under the
            model's diffuse treatment.
        """
        if isinstance(steps, (bool, np.bool_)) or not isinstance(steps, (int, np.integer)) \
                or not 1 <= steps < 2**31:
            raise VantrelError("vantrel: steps: a positive int (below 2**31) expected, %r found"
                               % (steps,))
        yy = self._data(y)
        N, n = self.nseries, yy.shape[1]
        model = self._with_x(x, n, int(steps))
        ext = np.hstack([yy, np.full((N, int(steps)), math.nan)])
        p = model.predicted(ext)
        return Forecast(p.ok, mean=p.predicted_signal[n:].copy(),
                        var=p.predicted_signal_var[n:].copy(),
                        state=p.predicted_state[n:].copy(),
                        state_var=p.predicted_state_var[n:].copy())

    def _draw(self, n, rng):
        """One unconditional draw over n time points: dict of state (n, m),
        observation (n, N), disturbance (n, d)."""
        m, d, N = self.m, self.d, self.nseries
        eng = _exact.Engine(self)
        if self.x is not None and self.x.shape[1] < n:
            raise VantrelError("vantrel: x: %d time points expected, %d found"
                               % (n, self.x.shape[1]))
        z = rng.standard_normal((n, d))
        V = eng.full_var(n)
        F = _exact.factor(V)
        dist = z @ F.T if F.ndim == 2 else np.einsum("tij,tj->ti", F, z)
        U = np.zeros((d, n + 1))
        U[:, 1:] = dist.T
        if self.init is not None:
            proper = np.diag(self.init[:m]) >= 0
            P = np.tril(self.init[:m]) + np.tril(self.init[:m], -1).T
            P = np.where(proper[:, None] & proper[None, :], P, 0.0)
            a0 = np.where(proper, self.init[m], 0.0)
            U[:m, 0] = a0 + _exact.factor(P) @ rng.standard_normal(m)
        f = eng.form(np.zeros((N, n)), rotate=False)
        state, obs = eng.draw(f, U)
        return dict(state=np.ascontiguousarray(state.T),
                    observation=obs.T + eng.obs_const(n), disturbance=dist)

    def simulate(self, steps, *, seed=None, x=None):
        """Unconditional draws of the states and observations.

        Parameters
        ----------
        steps : int
            Number of time points.
        seed : int or numpy.random.Generator, optional
            Seed of numpy.random.default_rng (None: fresh entropy).
        x : array_like, optional
            Index data of the time points 0 .. steps-1 for a time-varying
            model (default: the model's x).

        Returns
        -------
        RecursionResult
            state (steps, m), alpha_0 .. alpha_{steps-1}, and observation
            (steps, N), or (steps,) for one series, from the model's
            recursion alpha_{t+1} = d_t + T_t alpha_t + u_t, y_t = c_t +
            Z_t alpha_t + e_t with (u_t, e_t) ~ N(0, Var_t).  alpha_0 is
            drawn from init's mean and variance for the proper elements;
            diffuse elements (and every element without init) start at 0.
        """
        if isinstance(steps, (bool, np.bool_)) or not isinstance(steps, (int, np.integer)) \
                or not 1 <= steps < 2**31:
            raise VantrelError("vantrel: steps: a positive int (below 2**31) expected, %r found"
                               % (steps,))
        model = self
        if x is not None:
            if self.x is None:
                raise VantrelError("vantrel: x: the model has no time-varying elements")
            xx = _convert.matrix(x, "x")
            model = Model(self.sys, self.var, init=self.init, mean=self.mean,
                          idx_sys=self.idx_sys, idx_var=self.idx_var, idx_mean=self.idx_mean,
                          x=xx, diffuse=self.diffuse)
        sim = model._draw(int(steps), _rng(seed, "simulate"))
        bad = [k for k in ("state", "observation") if not np.isfinite(sim[k]).all()]
        if bad:
            # Variances near the largest double: the draws overflow.
            for k in bad:
                sim[k] = np.where(np.isfinite(sim[k]), sim[k], math.nan)
            warnings.warn("vantrel: simulate: the drawn %s overflow (NaN there)"
                          % " and ".join(bad), VantrelWarning, stacklevel=2)
        return RecursionResult(state=sim["state"],
                               observation=_series(sim["observation"].T, self.nseries))

    def recursion(self, disturbances, initial=None):
        """The model run forward from given disturbances (LdsRecursion).
        `disturbances`: (n, d), row t the disturbance (u_t, e_t) of time
        point t (state part, then observation part), added as given (not
        scaled by var); `initial`: m values e_0 (default zeros), making the
        initial state a + P e_0 with a and P from init, Vbig e_0[i] for a
        diffuse element or without init.  Fields: state (n+1, m), alpha_0
        .. alpha_n with alpha_{t+1} = d_t + T_t alpha_t + u_t; observation
        (n, N), or (n,) for one series, y_t = c_t + Z_t alpha_t + e_t (d_t,
        c_t from mean).  A time-varying model reads x at time points 0 ..
        n-1, so x may have n columns (or n + 1, as the host asks).

        No exact diffuse counterpart: diffuse elements get the host's Vbig
        start whatever `diffuse` says (a warning, once per process).
        """
        self._approximate("recursion")
        m, d = self.m, self.d
        e = _convert.matrix(disturbances, "disturbances")
        if e.shape[1] != d:
            raise ValueError("vantrel: disturbances: (n, %d) expected, %s found" % (d, e.shape))
        e0 = np.zeros(m) if initial is None else _convert.matrix(
            initial, "initial", ndim2=False).ravel()
        if e0.size != m:
            raise ValueError("vantrel: initial: %d values expected, %d found" % (m, e0.size))
        n = e.shape[0]
        E = np.zeros((d, n + 1))
        E[:m, 0] = e0
        E[:, 1:] = e.T
        form = None
        if len(self._form) > 4 and self.x.shape[1] == n:
            # The host asks x for as many columns as E has, n + 1, and reads
            # n of them: x of n columns gets one more that is never read.
            form = self._form[:-1] + [np.hstack([self.x, self.x[:, -1:]])]
        reply = self._run("LdsRecursion", [], E, form=form)
        out = reply.value if reply else np.full((d, n + 1), math.nan)
        return RecursionResult(reply is not None, state=out[:m].T.copy(),
                               observation=_series(out[m:, 1:], self.nseries))
