"""Maximum likelihood fitting of a user's parametrised model."""
import math
import numbers

import numpy as np
from scipy import optimize, stats

from . import _checks, _convert
from ._host import VantrelError, quiet
from .builders import COMPONENT_NAMES, IRREG
from .model import Model
from .statespace import central_differences

_NORMAL90 = 1.6448536269514722   # half width of a two-sided 90% band
_METHODS = ("nelder-mead", "powell", "cg", "bfgs", "newton-cg", "l-bfgs-b", "tnc", "cobyla",
            "slsqp", "trust-constr", "dogleg", "trust-ncg", "trust-exact", "trust-krylov")


def _var_only(build, p, h):
    """True when, around p, the parameters move only the variance matrix:
    the score with respect to Var then gives the gradient by the chain rule."""
    base = build(p)
    fixed = lambda mo: [mo.sys, mo.init, mo.mean, mo.idx_sys, mo.idx_var, mo.idx_mean, mo.x]
    ref = fixed(base)
    for i in range(len(p)):
        q = p.copy()
        q[i] += h[i]
        other = fixed(build(q))
        for a, b in zip(ref, other):
            if (a is None) != (b is None) or (a is not None and not np.array_equal(a, b)):
                return False
    return True


def _steps(p):
    return 1e-4 * np.maximum(np.abs(p), 1.0)


class FitResult:
    """Outcome of `fit`: params, loglik, aic, bic, bse (standard errors from
    the observed information), cov_params, the fitted `model`, `converged`
    (judged by the gradient at the end), `boundary` (parameters stopped at
    a bound), `search_gradient` (the log-likelihood's gradient on the
    search scale) and the optimiser's own report (`message`, `nfev`)."""

    def __init__(self, **kw):
        self.__dict__.update(kw)

    def summary(self):
        """A text table of the estimates and the fit statistics."""
        w = max([len(n) for n in self.names] + [9])
        lines = ["Maximum likelihood fit (vantrel)",
                 "  observations %d   parameters %d   %s" % (
                     self.nobs, len(self.params),
                     "converged" if self.converged else "NOT converged: largest scaled gradient "
                     "element %.3g (%s)" % (np.max(np.abs(self.search_gradient)), self.message)),
                 "  log-likelihood %.6f   AIC %.4f   BIC %.4f" % (self.loglik, self.aic, self.bic),
                 "",
                 "%-*s %14s %12s %9s %8s" % (w, "parameter", "estimate", "std.err", "z", "P>|z|")]
        for name, p, s in zip(self.names, self.params, self.bse):
            z = p / s if s > 0 else math.nan
            pv = 2 * stats.norm.sf(abs(z)) if np.isfinite(z) else math.nan
            lines.append("%-*s %14.6g %12.4g %9.3f %8.4f" % (w, name, p, s, z, pv))
        if getattr(self, "boundary", None):
            lines.append("stopped on a bound: %s" % ", ".join(self.boundary))
        return "\n".join(lines)

    def __repr__(self):
        return "FitResult(params=%s, loglik=%.6f)" % (np.array2string(self.params), self.loglik)

    def smoothed(self):
        """Smoothed states and signals of the fitted model."""
        return self.model.smoothed(self.y)

    def plot_components(self, filename=None, *, components=None, index=None, title=None):
        """Draws the data with the smoothed signal, and each component's
        smoothed state, with 90% bands.  `components`: {label: state index};
        by default one panel per component of a structural model (its first
        state), else one per state.  Returns the matplotlib Figure and, with
        `filename`, writes it there."""
        from matplotlib.figure import Figure

        model = self.model
        sm = model.smoothed(self.y)
        y = _convert.data(self.y, model.nseries)
        if components is None:
            if getattr(model, "positions", None) is not None:
                components = {}
                for code, pos in zip(model.components, model.positions):
                    if code != IRREG and 0 <= pos < model.m:
                        components[COMPONENT_NAMES.get(code, "state %d" % pos)] = int(pos)
            else:
                components = {"state %d" % i: i for i in range(model.m)}
        t = np.arange(y.shape[1]) if index is None else np.asarray(index)
        if index is None and hasattr(self.y, "index"):
            t = np.asarray(self.y.index)
        panels = 1 + len(components)
        fig = Figure(figsize=(8, 2.6 * panels), layout="constrained")
        axes = fig.subplots(panels, 1, sharex=True, squeeze=False)[:, 0]
        sig = sm.smoothed_signal if model.nseries == 1 else sm.smoothed_signal[:, 0]
        sig_var = sm.smoothed_signal_var if model.nseries == 1 else sm.smoothed_signal_var[:, 0]
        band = _NORMAL90 * np.sqrt(np.maximum(sig_var, 0.0))
        ax = axes[0]
        ax.plot(t, y[0], ".", color="0.3", label="data")
        ax.plot(t, sig, color="C0", label="smoothed signal")
        ax.fill_between(t, sig - band, sig + band, color="C0", alpha=0.25, label="90% band")
        ax.legend(loc="best", fontsize="small")
        ax.set_title(title or "data and smoothed signal")
        for ax, (label, i) in zip(axes[1:], components.items()):
            mean = sm.smoothed_state[:, i]
            band = _NORMAL90 * np.sqrt(np.maximum(sm.smoothed_state_var[:, i], 0.0))
            ax.plot(t, mean, color="C1")
            ax.fill_between(t, mean - band, mean + band, color="C1", alpha=0.25)
            ax.set_title("smoothed %s" % label)
        if filename is not None:
            fig.savefig(filename, dpi=100)
        return fig


def fit(build, y, start, *, names=None, bounds=None, method=None, gradient="auto",
        options=None, transform=None, gtol=1e-3):
    """Maximum likelihood estimates of the parameters p of the model
    `build(p)` (a vantrel.Model) for the data y, starting from `start`.

    The search runs with scipy.optimize.minimize (BFGS, or L-BFGS-B when
    `bounds` are given, or `method`).  gradient="auto" uses the analytic
    score (LdsLikSco) when the parameters move only the variance matrix,
    numerical differences otherwise; "score" or "numerical" force one.
    Standard errors come from the observed information: the inverse Hessian
    of -loglik at the estimates, differenced from the gradient.  Parameters
    for which `build` raises VantrelError (a variance that is not one, a
    non-stationary ARMA) lie outside the model's domain: the search sees
    them as of no likelihood; at `start` the error is raised.  Data
    without any observation raises VantrelError naming y.

    `transform`: a pair (constrain, unconstrain) of functions between an
    unconstrained vector x and the parameters p = constrain(x) (see
    vantrel.transforms); the search then runs over x from
    unconstrain(start), so that p keeps within its range, while the
    estimates, standard errors and the gradient are reported for p.

    Convergence is judged at the end, not by the optimiser's message: the
    fit has converged when every element of the gradient of the
    log-likelihood on the search scale, times max(1, |x_i|), is at most
    `gtol` in absolute value (elements pushing against a bound of `bounds`
    left out).  `boundary` lists the parameters stopped at a bound."""
    if not callable(build):
        raise TypeError("vantrel: fit: build: a function of the parameters expected, %s found"
                        % type(build).__name__)
    try:
        if np.asarray(start).dtype.kind == "c":
            raise TypeError
        p0 = np.array(start, dtype=float).ravel()
    except (TypeError, ValueError):
        p0 = np.zeros(0)
    if p0.size == 0 or not np.isfinite(p0).all():
        raise ValueError("vantrel: fit: start must be a non-empty vector of finite numbers")
    k = p0.size
    if method is not None and not callable(method) and (
            not isinstance(method, str) or method.lower() not in _METHODS):
        raise ValueError("vantrel: fit: method: one of scipy.optimize.minimize's methods "
                         "expected, %r found" % (method,))
    if bounds is not None:
        try:
            ok = len(bounds) == k and all(len(b) == 2 and all(
                v is None or (isinstance(v, numbers.Real) and not isinstance(v, bool))
                for v in b) for b in bounds)
        except TypeError:
            ok = False
        if not ok:
            raise ValueError("vantrel: fit: bounds: %d pairs (low, high) of numbers or None "
                             "expected" % k)
    names = list(names) if names is not None else ["p%d" % i for i in range(k)]
    if len(names) != k:
        raise ValueError("vantrel: fit: %d names for %d parameters" % (len(names), k))
    if gradient not in ("auto", "score", "numerical"):
        raise ValueError("vantrel: fit: gradient must be 'auto', 'score' or 'numerical'")
    first = build(p0)
    if not isinstance(first, Model):
        raise TypeError("vantrel: fit: build: a function returning a vantrel.Model expected, "
                        "it returned %s" % type(first).__name__)
    data = _checks.observed(_convert.data(y, first.nseries))
    nobs = int(np.isfinite(data).sum())
    use_score = gradient == "score" or (gradient == "auto" and _var_only(build, p0, _steps(p0)))

    def negll(p):
        try:
            model = build(p)
        except VantrelError:        # p outside the model's domain
            return 1e100
        with quiet():
            v = model.loglik(data)
        return -v if np.isfinite(v) else 1e100

    def grad_score(p):
        h = _steps(p)
        with quiet():
            try:
                sc = build(p).score(data)
                dvar = central_differences(lambda q: build(q).var, p, h)
            except VantrelError:    # a step outside the model's domain
                return np.zeros(k)
            g = 0.5 * np.einsum("ij,ijk->k", sc.score, dvar)
        return -g if np.isfinite(g).all() else np.zeros(k)

    def grad_num(p):
        return central_differences(negll, p, _steps(p))

    jac = grad_score if use_score else grad_num
    if transform is not None:
        constrain, unconstrain = transform
        x0 = np.asarray(unconstrain(p0), dtype=float).ravel()
        if x0.shape != p0.shape or not np.isfinite(x0).all():
            raise ValueError("vantrel: transform: unconstrain(start) must give %d finite numbers"
                             % k)
        if bounds is not None:
            raise ValueError("vantrel: fit: give either bounds or transform, not both")
        hx = 1e-6 * np.maximum(np.abs(x0), 1.0)

        def search_f(x):
            return negll(np.asarray(constrain(x), dtype=float))

        def search_g(x):
            # Chain rule: the gradient in p times dp/dx (central differences).
            p = np.asarray(constrain(x), dtype=float)
            return jac(p) @ central_differences(constrain, x, hx)
    else:
        constrain, x0, search_f, search_g = (lambda x: x), p0, negll, jac
    if method is None:
        method = "L-BFGS-B" if bounds is not None else "BFGS"
    opts = {"gtol": 1e-5} if method in ("BFGS", "L-BFGS-B") else {}
    if method == "L-BFGS-B":
        opts["ftol"] = 1e-13
    opts.update(options or {})
    res = optimize.minimize(search_f, x0, jac=search_g, method=method, bounds=bounds,
                            options=opts)
    x = np.asarray(res.x, dtype=float)
    p = np.asarray(constrain(x), dtype=float)
    gx = search_g(x)
    check = np.abs(gx) * np.maximum(np.abs(x), 1.0)
    at_bound = np.zeros(k, dtype=bool)
    if bounds is not None:
        for i, (lo, hi) in enumerate(bounds):
            tol = 1e-8 * max(1.0, abs(x[i]))
            # gx is the gradient of -loglik: at a lower bound the likelihood
            # rises outwards when gx > 0, at an upper one when gx < 0.
            at_bound[i] = (lo is not None and lo == hi) or \
                          (lo is not None and x[i] - lo <= tol and gx[i] > 0) or \
                          (hi is not None and hi - x[i] <= tol and gx[i] < 0)
    converged = bool(np.all((check <= gtol) | at_bound))

    # Observed information: central differences of the gradient, symmetrised.
    hess = central_differences(jac, p, _steps(p))
    hess = 0.5 * (hess + hess.T)
    try:
        cov = np.linalg.inv(hess)
        bse = np.sqrt(np.where(np.diag(cov) > 0, np.diag(cov), np.nan))
    except np.linalg.LinAlgError:
        cov = np.full((k, k), np.nan)
        bse = np.full(k, np.nan)
    ll = -negll(p)
    return FitResult(params=p, loglik=ll, aic=-2 * ll + 2 * k, bic=-2 * ll + k * math.log(nobs),
                     bse=bse, cov_params=cov, hessian=hess, names=names, nobs=nobs,
                     model=build(p), y=y, converged=converged,
                     boundary=[names[i] for i in np.flatnonzero(at_bound)],
                     search_gradient=-gx, message=str(res.message), nfev=int(res.nfev),
                     gradient="score" if use_score else "numerical", optimizer=res)
