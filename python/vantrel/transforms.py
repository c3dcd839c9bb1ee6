"""Maps between the natural scale of model parameters and an unconstrained
scale on which an optimiser can move freely.

Each pair ``constrain_*`` / ``unconstrain_*`` is mutually inverse.  The
constraining maps are written with operations that also accept complex
numbers, so that their Jacobian can be taken by a complex step.
"""
import numpy as np

from ._host import VantrelError

__all__ = ["constrain_variance", "unconstrain_variance", "constrain_stationary",
           "unconstrain_stationary", "constrain_invertible", "unconstrain_invertible",
           "constrain_interval", "unconstrain_interval"]


def constrain_variance(x):
    """Variance exp(x) > 0 from an unconstrained x (x is the log-variance),
    x capped at 709 so that the variance stays finite (complex x, of the
    gradient's complex steps, keeps its imaginary part)."""
    x = np.asarray(x)
    return np.exp(np.minimum(x.real, 709.0) + (1j * x.imag if x.dtype.kind == "c" else 0.0))


def unconstrain_variance(v, name="variance"):
    """Log-variance of a positive variance `v`."""
    v = np.asarray(v, dtype=float)
    if np.any(~(v > 0)):
        raise VantrelError("vantrel: %s: a positive variance expected, %s found" % (name, v))
    return np.log(v)


def constrain_interval(x, lower, upper):
    """A value in the open interval (lower, upper) from an unconstrained x
    (the logistic function, scaled)."""
    x = np.asarray(x)
    # exp(-x) capped as in constrain_variance: 1 / (1 + 8e307) is lower.
    e = np.exp(np.minimum(-x.real, 709.0) + (-1j * x.imag if x.dtype.kind == "c" else 0.0))
    return lower + (upper - lower) / (1.0 + e)


def unconstrain_interval(v, lower, upper, name="value"):
    """The inverse of `constrain_interval`."""
    v = np.asarray(v, dtype=float)
    if np.any(~((v > lower) & (v < upper))):
        raise VantrelError("vantrel: %s: values in (%g, %g) expected, %s found"
                           % (name, lower, upper, v))
    u = (v - lower) / (upper - lower)
    return np.log(u / (1.0 - u))


def constrain_stationary(x):
    """Coefficients phi_1 .. phi_p of a stationary autoregression
    y_t = phi_1 y_{t-1} + ... + phi_p y_{t-p} + e_t from p unconstrained
    numbers (Monahan 1984; Jones 1980).

    Each x_k becomes a partial autocorrelation r_k = x_k / sqrt(1 + x_k^2)
    in (-1, 1), and the Durbin-Levinson recursion turns the partial
    autocorrelations into coefficients: phi^(k)_k = r_k,
    phi^(k)_j = phi^(k-1)_j - r_k phi^(k-1)_(k-j).
    """
    x = np.atleast_1d(x)
    # x / sqrt(1 + x^2) with x scaled by its size, so that x^2 cannot
    # overflow (complex x of the gradient's steps too).
    s = np.maximum(1.0, np.abs(x.real))
    r = (x / s) / np.sqrt((1.0 / s) ** 2 + (x / s) ** 2)
    phi = r[:0]
    for k in range(r.size):
        phi = np.concatenate([phi - r[k] * phi[::-1], r[k:k + 1]])
    return phi


def unconstrain_stationary(phi, name="ar"):
    """The inverse of `constrain_stationary`: the unconstrained numbers of
    stationary AR coefficients `phi`.  Raises VantrelError when `phi` is
    not stationary (a partial autocorrelation outside (-1, 1))."""
    phi = np.atleast_1d(np.asarray(phi, dtype=float)).copy()
    p = phi.size
    r = np.empty(p)
    for k in range(p, 0, -1):
        rk = phi[k - 1]
        if not abs(rk) < 1.0:
            raise VantrelError("vantrel: %s: the coefficients %s are not those of a "
                               "stationary autoregression" % (name, np.asarray(phi)))
        r[k - 1] = rk
        head = phi[:k - 1]
        phi = (head + rk * head[::-1]) / (1.0 - rk * rk)
    return r / np.sqrt(1.0 - r * r)


def constrain_invertible(x):
    """Coefficients theta_1 .. theta_q of an invertible moving average
    e_t + theta_1 e_{t-1} + ... + theta_q e_{t-q} (the polynomial
    1 + theta_1 z + ... + theta_q z^q has no root in the unit disc)."""
    return -constrain_stationary(x)


def unconstrain_invertible(theta, name="ma"):
    """The inverse of `constrain_invertible`."""
    return unconstrain_stationary(-np.asarray(theta, dtype=float), name)
