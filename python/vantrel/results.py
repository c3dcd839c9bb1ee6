"""Results of a fitted (or evaluated) model class: estimates with their
uncertainty, components, residual diagnostics, forecasts and pictures."""
import math
import warnings

import numpy as np
from scipy import stats

from ._host import VantrelError, VantrelWarning
from .model import Model
from .statespace import _alpha, _exog, _whole


def _sqrtm(v):
    """A square root S of a symmetric positive semi-definite v (S S' = v)."""
    w, u = np.linalg.eigh(0.5 * (v + v.T))
    return u * np.sqrt(np.maximum(w, 0.0))


def _plot_index(index, n):
    """x values matplotlib can draw: timestamps for a PeriodIndex."""
    import pandas as pd
    if index is None:
        return np.arange(n)
    if isinstance(index, pd.PeriodIndex):
        return index.to_timestamp()
    return index


class Component:
    """Filtered and smoothed estimates of one component with their
    variances (pandas Series when the data had an index, else arrays):
    `filtered`, `filtered_var`, `smoothed`, `smoothed_var`."""

    def __init__(self, name, **fields):
        self.name = name
        self.__dict__.update(fields)

    def __repr__(self):
        return "Component(%r)" % self.name


class Forecast:
    """Forecasts of the observations with their variances.

    Attributes
    ----------
    mean, var : pandas.Series or ndarray
        Forecast means and variances (the variances include the observation
        noise), indexed by the continuation of the data's index.
    se : pandas.Series or ndarray
        Standard errors, sqrt(var).
    state, state_var : pandas.DataFrame or ndarray
        Forecasts of the states (steps, m) and their variances.
    """

    def __init__(self, mean, var, state, state_var, wrap, index):
        self._wrap, self._index = wrap, index
        self.mean = wrap(mean, index, "mean")
        self.var = wrap(var, index, "var")
        self.se = wrap(np.sqrt(var), index, "se")
        self.state, self.state_var = wrap(state, index), wrap(state_var, index)
        self._m, self._v = mean, var

    def conf_int(self, alpha=0.05):
        """Normal (1 - alpha) intervals: a frame with columns lower and upper
        (an (steps, 2) array when the data had no index)."""
        z = stats.norm.ppf(1 - _alpha(alpha) / 2)
        band = z * np.sqrt(self._v)
        out = np.column_stack([self._m - band, self._m + band])
        return self._wrap(out, self._index, ["lower", "upper"])

    def summary_frame(self, alpha=0.05):
        """mean, se, lower and upper in one frame."""
        import pandas as pd
        ci = np.asarray(self.conf_int(alpha))
        return pd.DataFrame({"mean": self._m, "se": np.sqrt(self._v), "lower": ci[:, 0],
                             "upper": ci[:, 1]}, index=self._index)


class StateSpaceResults:
    """Results of a model class at given parameters (from `fit` or
    `smooth`).

    Attributes
    ----------
    params : pandas.Series
        Natural-scale estimates, indexed by `param_names`.
    bse, tvalues, pvalues : pandas.Series
        Standard errors from the observed information (the inverse of the
        negative Hessian of the log-likelihood on the natural scale, by
        central differences of the score), z statistics and two-sided
        normal p-values.
    llf, aic, bic, hqic : float
        Log-likelihood (exact diffuse) and information criteria with
        `df_model`, the number of parameters plus the number of diffuse
        initial state elements, and `nobs`.
    nobs : int
        Number of time points (missing ones included, as statsmodels).
    nobs_diffuse : int
        Time points of the diffuse period; diagnostics start after it.
    converged : bool
        Whether the gradient on the unconstrained scale was small at the
        end of the fit (`gradient` holds it); `boundary` lists estimates
        stopped at an edge of their range.
    resid : pandas.Series or ndarray
        Standardised one-step-ahead prediction errors (NaN in the diffuse
        period and where y is missing).
    fittedvalues : pandas.Series or ndarray
        One-step-ahead predictions of y.
    level, slope, seasonal, cycle : Component
        The model's components (those it has), filtered and smoothed.
    regression : pandas.DataFrame
        With regressors: their coefficients given all the data (the
        smoothed constant states) and standard errors.
    """

    def __init__(self, model, params, hessian=None, fit_info=None):
        self.model = model
        self.param_names = list(model.param_names)
        import pandas as pd
        self.params = pd.Series(np.asarray(params, dtype=float), index=self.param_names)
        p = self.params.to_numpy()
        self.ssm = model._build(p, None)
        y = model.endog
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", VantrelWarning)
            self.llf = float(self.ssm.loglik(y))
            pred = self.ssm.predicted(y)
        self.nobs = model.nobs
        # The diffuse initial elements count as parameters in the
        # information criteria (Durbin and Koopman 2012, 7.4; statsmodels).
        init = self.ssm.init
        self.k_diffuse_states = self.ssm.m if init is None else int(np.sum(np.diag(init) < 0))
        k = len(p) + self.k_diffuse_states
        self.df_model = k
        self.aic = -2 * self.llf + 2 * k
        self.bic = -2 * self.llf + k * math.log(self.nobs)
        self.hqic = -2 * self.llf + 2 * k * math.log(math.log(self.nobs))
        self.nobs_diffuse = int(getattr(pred, "nobs_diffuse", 0))
        fitted = pred.predicted_signal
        fvar = pred.predicted_signal_var
        with np.errstate(invalid="ignore", divide="ignore"):
            resid = (y - fitted) / np.sqrt(fvar)
        resid[:self.nobs_diffuse] = np.nan
        self._resid = resid
        self.resid = model._wrap(resid, name="resid")
        self.fittedvalues = model._wrap(fitted, name="fittedvalues")
        self.forecasts_error_var = model._wrap(fvar, name="forecasts_error_var")
        self._hessian = hessian
        info = fit_info or {}
        self.converged = info.get("converged")
        self.boundary = info.get("boundary", [])
        self.gradient = None if "gradient" not in info else pd.Series(
            info["gradient"], index=self.param_names)
        self.nfev = info.get("nfev_fit")
        self.fit_info = info
        self._components = None

    # ---- estimates ----------------------------------------------------------
    @property
    def cov_params(self):
        """Covariance matrix of the estimates (a frame), the inverse of the
        negative Hessian of the log-likelihood on the natural scale; NaN
        for variances estimated at 0, the others' with those held there."""
        import pandas as pd
        if self._hessian is None:
            self._hessian = self.model._hessian(self.params.to_numpy())
        hess = self._hessian
        free = np.isfinite(np.diag(hess))
        cov = np.full(hess.shape, np.nan)
        try:
            cov[np.ix_(free, free)] = np.linalg.inv(-hess[np.ix_(free, free)])
        except np.linalg.LinAlgError:
            pass
        return pd.DataFrame(cov, index=self.param_names, columns=self.param_names)

    @property
    def bse(self):
        """Standard errors: square roots of the diagonal of `cov_params`
        (NaN where that is not positive)."""
        d = np.diag(self.cov_params.to_numpy())
        import pandas as pd
        return pd.Series(np.sqrt(np.where(d > 0, d, np.nan)), index=self.param_names)

    @property
    def tvalues(self):
        """z statistics, params / bse."""
        return self.params / self.bse

    @property
    def pvalues(self):
        """Two-sided p-values of the z statistics under the normal law."""
        import pandas as pd
        return pd.Series(2 * stats.norm.sf(np.abs(self.tvalues.to_numpy())),
                         index=self.param_names)

    def conf_int(self, alpha=0.05):
        """Normal (1 - alpha) confidence intervals of the parameters: a frame
        with columns lower and upper."""
        import pandas as pd
        z = stats.norm.ppf(1 - _alpha(alpha) / 2)
        b = self.bse
        return pd.DataFrame({"lower": self.params - z * b, "upper": self.params + z * b})

    # ---- components ---------------------------------------------------------
    def _component_model(self):
        """The fitted model in a basis whose state `first` of each block is
        the component's contribution z'alpha to y (the slope: its state): a
        change of basis with
        determinant 1 inside each block, so moments of the component come
        out as moments of one state."""
        ssm = self.ssm
        blocks = self.model._blocks() if hasattr(self.model, "_blocks") else {}
        m = ssm.m
        M = np.eye(m)
        for first, size, z in blocks.values():
            if np.count_nonzero(z) > 1:
                M[first, first:first + size] = z
        if np.array_equal(M, np.eye(m)):
            return ssm, blocks
        Mi = np.linalg.inv(M)
        sys_ = np.vstack([M @ ssm.sys[:m] @ Mi, ssm.sys[m:] @ Mi])
        var = ssm.var.copy()
        var[:m, :m] = M @ var[:m, :m] @ M.T
        init = None
        if ssm.init is not None:
            P = ssm.init[:m].copy()
            diffuse = np.diag(P) < 0
            P[diffuse, :] = 0.0
            P[:, diffuse] = 0.0
            P = M @ P @ M.T
            P[diffuse, diffuse] = -1.0
            init = np.vstack([P, ssm.init[m:] @ M.T])
        mean = None
        if ssm.mean is not None:
            mean = ssm.mean[:, 0].copy()
            mean[:m] = M @ mean[:m]
        return Model(sys_, var, init=init, mean=mean, idx_sys=ssm.idx_sys, x=ssm.x), blocks

    @property
    def components(self):
        """{name: Component} of the model's components."""
        if self._components is None:
            mod, blocks = self._component_model()
            y = self.model.endog
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", VantrelWarning)
                fil = mod.filtered(y)
                smo = mod.smoothed(y)
            w = self.model._wrap
            self._components = {
                name: Component(name, filtered=w(fil.filtered_state[:, f].copy(), name=name),
                                filtered_var=w(fil.filtered_state_var[:, f].copy(), name=name),
                                smoothed=w(smo.smoothed_state[:, f].copy(), name=name),
                                smoothed_var=w(smo.smoothed_state_var[:, f].copy(), name=name))
                for name, (f, size, z) in blocks.items()}
            if self.model.k_exog:
                k = self.model.k_exog
                import pandas as pd
                self.regression = pd.DataFrame(
                    {"coef": smo.smoothed_state[0, :k],
                     "std err": np.sqrt(smo.smoothed_state_var[0, :k])},
                    index=self.model.exog_names)
        return self._components

    def __getattr__(self, name):
        if name in ("level", "slope", "seasonal", "cycle", "regression"):
            comps = self.components
            if name in comps:
                return comps[name]
            if name == "regression" and "regression" in self.__dict__:
                return self.__dict__["regression"]
        raise AttributeError(name)

    # ---- forecasts and simulation ---------------------------------------------
    def _extended(self, steps, exog, name="exog"):
        """The model over the data and `steps` further time points."""
        model = self.model
        if not isinstance(steps, (int, np.integer)) or isinstance(steps, bool) \
                or not 1 <= steps < 2**31:
            raise VantrelError("vantrel: steps: a positive whole number expected, %r found"
                               % (steps,))
        if model.exog is None:
            if exog is not None:
                raise VantrelError("vantrel: %s: the model has no regressors" % name)
            return self.ssm
        if exog is None:
            raise VantrelError("vantrel: %s: values of the %d regressors for the %d steps "
                               "needed" % (name, model.k_exog, steps))
        x, _ = _exog(exog, steps, name)
        if x.shape[1] != model.k_exog:
            raise VantrelError("vantrel: %s: %d columns expected, %d found"
                               % (name, model.k_exog, x.shape[1]))
        return model._build(self.params.to_numpy(), np.vstack([model.exog, x]))

    def forecast(self, steps=1, exog=None):
        """Forecasts of the next `steps` observations.

        Parameters
        ----------
        steps : int
            Number of time points after the data.
        exog : array_like, optional
            The regressors at those time points, (steps,) or (steps, k);
            required when the model has regressors.

        Returns
        -------
        Forecast
            `mean`, `var` and `conf_int(alpha)`, indexed by the data's index
            continued.
        """
        mod = self._extended(steps, exog)
        y = np.r_[self.model.endog, np.full(steps, np.nan)]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", VantrelWarning)
            pred = mod.predicted(y)
        n = self.model.nobs
        return Forecast(pred.predicted_signal[n:].copy(), pred.predicted_signal_var[n:].copy(),
                        pred.predicted_state[n:].copy(), pred.predicted_state_var[n:].copy(),
                        self.model._wrap, self.model._future_index(steps))

    def simulate(self, nsimulations, repetitions=1, anchor="end", exog=None, seed=None):
        """Draws of the observations from the fitted model.

        Parameters
        ----------
        nsimulations : int
            Time points per path.
        repetitions : int
            Number of paths.
        anchor : {"end", "start"}
            "end": paths continue the data, from the predictive distribution
            of the state after the last observation (the data's index
            continued); "start": paths from the model's initial
            distribution, diffuse elements at 0 (the data's index).
        exog : array_like, optional
            Regressors at the simulated time points, for a model with
            regressors.
        seed : int or numpy.random.Generator, optional
            Seed of numpy.random.default_rng.

        Returns
        -------
        pandas.DataFrame or ndarray
            (nsimulations, repetitions).
        """
        if not isinstance(anchor, str) or anchor not in ("start", "end"):
            raise VantrelError('vantrel: anchor: "start" or "end" expected, %r found' % (anchor,))
        nsimulations = _whole(nsimulations, "nsimulations", 1)
        repetitions = _whole(repetitions, "repetitions", 1)
        try:
            np.random.default_rng(seed)
        except (TypeError, ValueError) as e:
            raise VantrelError("vantrel: seed: %s" % e) from None
        rng = np.random.default_rng(seed)
        n = self.model.nobs
        if anchor == "end":
            mod = self._extended(nsimulations, exog)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", VantrelWarning)
                pred = self.ssm.predicted(self.model.endog)
            a0, P0 = pred.next_state, pred.next_state_var
            index = self.model._future_index(nsimulations)
            if mod.x is not None:
                mod = Model(mod.sys, mod.var, init=mod.init, mean=mod.mean,
                            idx_sys=mod.idx_sys, x=np.ascontiguousarray(mod.x[:, n:]))
        else:
            if nsimulations > n and self.model.exog is not None:
                raise VantrelError("vantrel: nsimulations: at most %d from the start of a model "
                                   "with regressors" % n)
            mod = self.ssm
            m = mod.m
            init = mod.init if mod.init is not None else -np.eye(m + 1, m)
            P0 = init[:m].copy()
            diffuse = np.diag(P0) < 0
            P0[diffuse, :] = 0.0
            P0[:, diffuse] = 0.0
            a0 = init[m].copy()
            index = None if self.model._index is None else self.model._index[:nsimulations]
            if index is not None and nsimulations > n:      # on past the data
                index = index.append(self.model._future_index(nsimulations - n))
            if mod.x is not None:
                mod = Model(mod.sys, mod.var, init=mod.init, mean=mod.mean,
                            idx_sys=mod.idx_sys, x=np.ascontiguousarray(mod.x[:, :nsimulations]))
        m, d = mod.m, mod.d
        # Each path: alpha_0 drawn, then the recursion from drawn disturbances.
        start = np.vstack([np.zeros((m, m)), np.zeros((1, m))])
        S0, Sv = _sqrtm(P0), _sqrtm(mod.var)
        out = np.empty((nsimulations, repetitions))
        for r in range(repetitions):
            start[m] = a0 + S0 @ rng.standard_normal(m)
            run = Model(mod.sys, mod.var, init=start, mean=mod.mean, idx_sys=mod.idx_sys, x=mod.x)
            u = rng.standard_normal((nsimulations, d)) @ Sv.T
            out[:, r] = run.recursion(u).observation
        if index is None:
            return out
        import pandas as pd
        return pd.DataFrame(out, index=index)

    # ---- residual diagnostics -------------------------------------------------
    # The three tests read the standardised residuals after the diffuse
    # period, as statsmodels does; months without an observation are left
    # out (statsmodels counts them as residuals of 0).
    def _diag_resid(self):
        return self._resid[self.nobs_diffuse:]

    def test_serial_correlation(self, method="ljungbox", lags=None):
        """Ljung-Box test of the standardised residuals after the diffuse
        period (missing values left out).

        Parameters
        ----------
        lags : int, optional
            Largest lag; default min(10, nobs_effective // 5), or
            min(2 s, nobs_effective // 5) with a seasonal period s.

        Returns
        -------
        ndarray
            (1, 2, lags): the statistics Q(1) .. Q(lags) and their
            chi-squared p-values.
        """
        if not isinstance(method, str) or method != "ljungbox":
            raise VantrelError('vantrel: method: "ljungbox" expected, %r found' % (method,))
        e = self._diag_resid()
        e = e[np.isfinite(e)]
        n = e.size
        if lags is None:
            s = getattr(self.model, "seasonal", None) or 0
            lags = min(2 * s, n // 5) if s else min(10, n // 5)
        lags = _whole(lags, "lags", 1)
        if lags >= n:
            raise VantrelError("vantrel: lags: at most %d (one less than the %d residuals) "
                               "expected, %d found" % (n - 1, n, lags))
        x = e - e.mean()
        den = np.dot(x, x)
        acf = np.array([np.dot(x[:n - k], x[k:]) / den for k in range(1, lags + 1)])
        q = n * (n + 2) * np.cumsum(acf ** 2 / (n - np.arange(1, lags + 1)))
        return np.array([[q, stats.chi2.sf(q, np.arange(1, lags + 1))]])

    def test_normality(self, method="jarquebera"):
        """Jarque-Bera test of the standardised residuals after the diffuse
        period: (1, 4) array of the statistic, its p-value, the skewness and
        the kurtosis."""
        if not isinstance(method, str) or method != "jarquebera":
            raise VantrelError('vantrel: method: "jarquebera" expected, %r found' % (method,))
        e = self._diag_resid()
        e = e[np.isfinite(e)]
        n = e.size
        x = e - e.mean()
        m2 = np.mean(x ** 2)
        skew = np.mean(x ** 3) / m2 ** 1.5
        kurt = np.mean(x ** 4) / m2 ** 2
        jb = n / 6.0 * (skew ** 2 + (kurt - 3.0) ** 2 / 4.0)
        return np.array([[jb, stats.chi2.sf(jb, 2), skew, kurt]])

    def test_heteroskedasticity(self, method="breakvar"):
        """Two-sided test of equal variance of the standardised residuals in
        the first and last thirds after the diffuse period: (1, 2) array of
        H = (sum of squares, last third) / (sum of squares, first third) and
        its p-value from the F distribution."""
        if not isinstance(method, str) or method != "breakvar":
            raise VantrelError('vantrel: method: "breakvar" expected, %r found' % (method,))
        e = self._diag_resid()
        h = int(np.round(e.size / 3))
        last, first = e[-h:] ** 2, e[:h] ** 2
        dl, df = np.isfinite(last).sum(), np.isfinite(first).sum()
        H = np.nansum(last) / np.nansum(first)
        p = 2 * min(stats.f.cdf(H, dl, df), stats.f.sf(H, dl, df))
        return np.array([[H, p]])

    # ---- text -----------------------------------------------------------------
    def summary(self, alpha=0.05):
        """The estimates, fit statistics and residual diagnostics as text."""
        name = type(self.model).__name__
        if self.converged is None:
            state = "evaluated at given parameters"
        elif self.converged:
            state = "converged"
        else:
            state = "NOT converged (largest gradient %.3g)" % np.max(np.abs(self.gradient))
        lines = ["%s results (vantrel)" % name,
                 "  observations %d (diffuse %d)   parameters %d   %s"
                 % (self.nobs, self.nobs_diffuse, len(self.params), state),
                 "  log-likelihood %.4f   AIC %.4f   BIC %.4f   HQIC %.4f"
                 % (self.llf, self.aic, self.bic, self.hqic), ""]
        w = max([len(n) for n in self.param_names] + [9])
        ci = self.conf_int(alpha).to_numpy()
        lines.append("%-*s %13s %11s %8s %7s %11s %11s" % (
            w, "", "coef", "std err", "z", "P>|z|", "[%g" % (alpha / 2), "%g]" % (1 - alpha / 2)))
        for i, n in enumerate(self.param_names):
            lines.append("%-*s %13.6g %11.4g %8.3f %7.3f %11.5g %11.5g" % (
                w, n, self.params.iloc[i], self.bse.iloc[i], self.tvalues.iloc[i],
                self.pvalues.iloc[i], ci[i, 0], ci[i, 1]))
        if self.model.k_exog:
            reg = self.regression
            lines.append("regression coefficients (constant states, given all the data):")
            for name, (b, se) in zip(reg.index, reg.to_numpy()):
                lines.append("%-*s %13.6g %11.4g %8.3f" % (w, name, b, se, b / se))
        lb = self.test_serial_correlation(lags=1)
        jb = self.test_normality()
        het = self.test_heteroskedasticity()
        lines += ["",
                  "Ljung-Box (L1) (Q): %10.2f   Jarque-Bera (JB): %10.2f" % (lb[0, 0, 0], jb[0, 0]),
                  "Prob(Q):            %10.2f   Prob(JB):         %10.2f" % (lb[0, 1, 0], jb[0, 1]),
                  "Heteroskedasticity (H): %6.2f   Skew:             %10.2f" % (het[0, 0], jb[0, 2]),
                  "Prob(H) (two-sided):    %6.2f   Kurtosis:         %10.2f" % (het[0, 1], jb[0, 3])]
        if self.boundary:
            lines.append("Warning: estimates on a boundary of their range: %s"
                         % ", ".join(self.boundary))
        if self.converged is False:
            lines.append("Warning: the optimiser stopped away from a maximum: %s"
                         % self.fit_info.get("message"))
        return "\n".join(lines)

    def __repr__(self):
        return "<%s results: llf %.4f, params %s>" % (
            type(self.model).__name__, self.llf, dict(self.params.round(6)))

    # ---- pictures ---------------------------------------------------------------
    def plot_components(self, alpha=0.05, figsize=None):
        """The data with the one-step predictions (after the diffuse
        period), then each component's
        smoothed estimate with its (1 - alpha) band.  Returns the
        matplotlib Figure."""
        from matplotlib.figure import Figure
        comps = self.components
        n = self.model.nobs
        t = _plot_index(self.model._index, n)
        z = stats.norm.ppf(1 - _alpha(alpha) / 2)
        panels = 1 + len(comps)
        fig = Figure(figsize=figsize or (8, 2.4 * panels), layout="constrained")
        axes = fig.subplots(panels, 1, sharex=True, squeeze=False)[:, 0]
        ax = axes[0]
        ax.plot(t, self.model.endog, ".", ms=3, color="0.3", label="data")
        ax.set_title("data")
        for ax, (name, c) in zip(axes[1:], comps.items()):
            mean = np.asarray(c.smoothed)
            band = z * np.sqrt(np.maximum(np.asarray(c.smoothed_var), 0.0))
            ax.plot(t, mean, color="C0", label="smoothed %s" % name)
            ax.fill_between(t, mean - band, mean + band, color="C0", alpha=0.25,
                            label="%g%% band" % (100 * (1 - alpha)))
            ax.set_title("smoothed %s" % name)
            ax.legend(loc="best", fontsize="small")
        d = self.nobs_diffuse
        axes[0].plot(t[d:], np.asarray(self.fittedvalues)[d:], color="C1", lw=0.8,
                     label="one-step prediction")
        axes[0].legend(loc="best", fontsize="small")
        return fig

    def plot_diagnostics(self, lags=10, figsize=None):
        """Standardised residuals, their histogram with the standard normal
        density, a normal Q-Q plot and the correlogram, after the diffuse
        period.  Returns the matplotlib Figure."""
        from matplotlib.figure import Figure
        d = self.nobs_diffuse
        t = _plot_index(self.model._index, self.model.nobs)[d:]
        e = self._resid[d:]
        ok = np.isfinite(e)
        fig = Figure(figsize=figsize or (10, 7), layout="constrained")
        ax = fig.subplots(2, 2)
        ax[0, 0].plot(t, e, lw=0.8)
        ax[0, 0].axhline(0, color="0.5", lw=0.8)
        ax[0, 0].set_title("standardised residuals")
        ee = e[ok]
        ax[0, 1].hist(ee, bins="auto", density=True, color="C0", alpha=0.6, label="histogram")
        g = np.linspace(min(-4.0, ee.min()), max(4.0, ee.max()), 200)
        ax[0, 1].plot(g, stats.norm.pdf(g), color="C1", label="N(0, 1)")
        ax[0, 1].legend(fontsize="small")
        ax[0, 1].set_title("histogram and normal density")
        (osm, osr), _ = stats.probplot(ee, dist="norm")
        ax[1, 0].plot(osm, osr, ".", ms=3)
        ax[1, 0].plot(osm, osm, color="C1", lw=0.8)
        ax[1, 0].set_title("normal Q-Q")
        x = ee - ee.mean()
        n = x.size
        lags = max(1, min(int(lags), n - 1))
        acf = np.array([np.dot(x[:n - k], x[k:]) for k in range(1, lags + 1)]) / np.dot(x, x)
        ax[1, 1].vlines(np.arange(1, lags + 1), 0, acf)
        ax[1, 1].plot(np.arange(1, lags + 1), acf, "o", ms=4)
        ax[1, 1].axhline(0, color="0.5", lw=0.8)
        ax[1, 1].axhspan(-1.96 / math.sqrt(n), 1.96 / math.sqrt(n), color="C0", alpha=0.15)
        ax[1, 1].set_title("correlogram")
        return fig
