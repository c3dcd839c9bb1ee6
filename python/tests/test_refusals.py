"""Models that are not models, data without observations and builder
parameters without a model are refused with the Python argument's name;
host messages that name an argument by position name the Python one."""
import re

import numpy as np
import pytest

import vantrel as V

SYS2 = [[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]]


def refused(match, build):
    with pytest.raises(V.VantrelError, match="^" + re.escape(match)):
        build()


def test_variances_must_be_variances():
    # var: [[1, 2], [2, 1]] has eigenvalues 3 and -1
    refused("vantrel: var: not symmetric: var[0, 1] = 0.5 but var[1, 0] = 0.4",
            lambda: V.Model([[1.0], [1.0]], [[1.0, 0.5], [0.4, 1.0]]))
    refused("vantrel: var: not positive semi-definite: smallest eigenvalue -1 (largest "
            "absolute 3)", lambda: V.Model([[1.0], [1.0]], [[1.0, 2.0], [2.0, 1.0]]))
    refused("vantrel: var: not positive semi-definite: smallest eigenvalue -1e-09",
            lambda: V.Model(SYS2, np.diag([1.0, -1e-9, 1.0])))
    # rounding is not refused: a rank-one sigma^2 R R' and L L' with noise at
    # 1e-14 of the scale
    r = np.array([1.0, 0.3, -0.7])
    V.Model(SYS2, 2.5 * np.outer(r, r))
    a = np.random.default_rng(1).standard_normal((3, 3))
    v = a @ a.T
    v[0, 1] += 1e-14 * np.abs(v).max()
    V.Model(SYS2, v)

    # init: whole and symmetric, or the lower triangle the library reads
    low = V.Model(SYS2, np.eye(3), init=[[2.0, 0.0], [0.5, 1.0], [0.0, 0.0]])
    full = V.Model(SYS2, np.eye(3), init=[[2.0, 0.5], [0.5, 1.0], [0.0, 0.0]])
    y = np.array([0.3, np.nan, 1.2, -0.4])
    assert low.loglik(y) == full.loglik(y)
    refused("vantrel: init: variance block (first m rows) not symmetric: init[0, 1] = 0.6 but "
            "init[1, 0] = 0.5; give it whole, or its lower triangle with zeros above",
            lambda: V.Model(SYS2, np.eye(3), init=[[2.0, 0.6], [0.5, 1.0], [0.0, 0.0]]))
    refused("vantrel: init: variance block (first m rows) not positive semi-definite: "
            "smallest eigenvalue -1", lambda: V.Model(SYS2, np.eye(3), init=[[1, 2], [2, 1], [0, 0]]))
    # a diffuse element's row and column take no part ...
    sys3 = np.vstack([np.eye(3), np.ones((1, 3))])
    V.Model(sys3, np.eye(4), init=[[-1, 9, 9], [9, 1, 0], [9, 0, 1], [0, 0, 0]])
    V.Model(SYS2, np.eye(3), init=[[-1, 5], [5, -1], [0, 0]])
    # ... the proper block is checked
    refused("vantrel: init: variance block (first m rows, without the rows and columns of the "
            "diffuse elements) not positive semi-definite: smallest eigenvalue -1 (largest "
            "absolute 3)",
            lambda: V.Model(sys3, np.eye(4), init=[[-1, 0, 0], [0, 1, 2], [0, 2, 1], [0, 0, 0]]))

    # time-varying var: the constant block, and the rows of x giving variances
    refused("vantrel: var: block of the elements constant over time not positive "
            "semi-definite", lambda: V.Model([[1.0], [1.0]], [[1.0, 0.0], [0.0, -1.0]],
                                            idx_var=[[0, -1], [-1, -1]], x=np.ones((1, 3))))
    refused("vantrel: x (the model's time-varying data): row 0, the variance var[0, 0] over "
            "time, is negative at time point 2: -0.5",
            lambda: V.Model([[1.0], [1.0]], np.eye(2), idx_var=[[0, -1], [-1, -1]],
                            x=[[1.0, 2.0, -0.5]]))
    # a placeholder where the element varies is not checked
    tv = V.Model([[1.0], [1.0]], [[-1.0, 0.0], [0.0, 1.0]], idx_var=[[0, -1], [-1, -1]],
                 x=[[1.0, 2.0, 0.5]], init=[[1.0], [0.0]])
    assert np.isfinite(tv.loglik(np.ones(3)))


def test_data_without_observations_and_positional_host_messages():
    model = V.Model([[1.0], [1.0]], np.eye(2), init=[[1.0], [0.0]])
    for method in (model.loglik, model.smoothed, model.filter, model.smoother):
        refused("vantrel: y: no observation at all (every value is NaN)",
                lambda: method(np.full(6, np.nan)))
    two = V.Model(np.vstack([np.eye(2), np.eye(2)]), np.eye(4), init=[[1, 0], [0, 1], [0, 0]])
    refused("vantrel: y: no observation at all", lambda: two.loglik(np.full((2, 5), np.nan)))
    assert np.isfinite(two.loglik(np.array([[np.nan] * 4, [np.nan] * 3 + [1.0]])))
    refused("vantrel: y: no observation at all",
            lambda: V.fit(lambda p: model, np.full(5, np.nan), [1.0]))
    # a start outside the model's domain is refused; steps outside it are
    # left by the search
    level = lambda p: V.Model([[1.0], [1.0]], np.diag(p))
    refused("vantrel: var: not positive semi-definite", lambda: V.fit(level, np.ones(5), [1, -1]))
    outside = []

    def noise(p):
        outside.append(p[0] < 0)
        return V.Model([[0.0], [0.0]], [[0.0, 0.0], [0.0, p[0]]], init=[[0.0], [0.0]])

    y = 2 * np.random.default_rng(3).standard_normal(2000)
    assert np.isfinite(V.fit(noise, y, [40.0]).loglik) and any(outside)

    # the exact diffuse path checks x itself; the host's argument 11 of
    # LdsLik and argument 9 of KalmanFil under the approximate start
    refused("vantrel: x (the model's time-varying data): at least 100 columns expected, 10 "
            "found (one column per time point of y, which has 100)",
            lambda: V.regression(np.ones(10)).loglik(np.ones(100)))
    reg = V.regression(np.ones(10))
    approx = V.Model(reg.sys, reg.var, idx_sys=reg.idx_sys, x=reg.x, diffuse="approximate")
    refused("vantrel: x (the model's time-varying data): 1 x 100 matrix expected, 1 x 10 found "
            "(one column per time point of y, which has 100)",
            lambda: approx.loglik(np.ones(100)))
    refused("vantrel: x (the model's time-varying data): 1 x 7 matrix expected, 1 x 10 found",
            lambda: approx.filter(np.ones(7)))
    refused("vantrel: idx_var: 2 x 2 matrix expected, 3 x 3 found",
            lambda: V.Model([[1.0], [1.0]], np.eye(2), idx_sys=[[-1], [0]],
                            idx_var=-np.ones((3, 3)), x=np.ones((1, 3))).loglik(np.ones(3)))


def test_builders_refuse_parameters_without_a_model():
    # 1.5: explosive with a regular stationarity system; 1, and 0.5 + 0.5:
    # unit roots; 0.2, -1.1: roots of modulus sqrt(1.1)
    for ar in ([1.5], [1.0], [-1.0], [0.5, 0.5], [0.2, -1.1]):
        refused("vantrel: ar: GetLdsArma(): AR coefficients not stationary",
                lambda: V.arma(ar, [0.4]))
    near = V.arma([0.999], [], 2.0)
    assert near.init[0, 0] == pytest.approx(4.0 / (1 - 0.999 ** 2), rel=1e-9)
    refused("vantrel: sigma: GetLdsArma(): standard deviation not appropriate",
            lambda: V.arma([0.5], [], 1e200))
    refused("vantrel: delta: GetLdsSpline(): smoothing parameter not appropriate",
            lambda: V.spline(-1.0))
    refused("vantrel: gaps: GetLdsSpline(): time steps not appropriate",
            lambda: V.spline(1.0, gaps=[1.0, -0.5]))
    line = V.spline(0.0)
    np.testing.assert_array_equal(line.var, np.diag([0.0, 0.0, 1.0]))
