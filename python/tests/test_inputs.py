"""Errors, warnings, inputs of every wrong kind, data shapes, and the
builders against their closed forms."""
import warnings

import numpy as np
import pytest

import vantrel as V

LL = V.Model([[1.0], [1.0]], [[0.5, 0.0], [0.0, 2.0]], init=[[3.0], [1.0]])
Y = np.array([1.0, 2.5, np.nan, 1.5, 0.5])


def local_level_loglik(y, q, h, p1, a1):
    """Prediction error decomposition of the local level, by hand."""
    a, p, ll = a1, p1, 0.0
    for v in y:
        if np.isnan(v):
            p += q
            continue
        f = p + h
        ll -= 0.5 * (np.log(2 * np.pi) + np.log(f) + (v - a) ** 2 / f)
        k = p / f
        a, p = a + k * (v - a), p - k * p + q
    return ll


def test_data_kinds_give_the_same_numbers():
    want = local_level_loglik(Y, 0.5, 2.0, 3.0, 1.0)
    assert LL.loglik(Y) == pytest.approx(want, rel=1e-12)
    pd = pytest.importorskip("pandas")
    yi = np.array([1, 3, 2, 0, 4])
    same = LL.loglik(yi.astype(float))
    for y in (yi, yi.astype(np.float32), yi.reshape(1, -1), yi.reshape(-1, 1),
              np.asfortranarray(yi.reshape(1, -1).astype(float)), np.repeat(yi, 2)[::2] * 1.0,
              pd.Series(yi), list(yi)):
        assert LL.loglik(y) == same
    # Several series: (N x n), (n x N) and a DataFrame agree; square refused.
    two = V.Model(np.array([[0.9], [1.0], [0.5]]), np.eye(3), init=[[1.0], [0.0]])
    y2 = np.array([[1.0, 2.0, np.nan, 0.5], [0.3, np.nan, 1.2, 1.1]])
    ref = two.loglik(y2)
    assert two.loglik(y2.T) == ref and two.loglik(pd.DataFrame(y2.T)) == ref
    assert two.loglik(np.asfortranarray(y2)) == ref
    with pytest.raises(ValueError, match="ambiguous"):
        two.loglik(y2[:, :2])
    # Inputs are never modified, and the model keeps its own copies.
    sys = np.array([[1.0], [1.0]])
    m = V.Model(sys, np.eye(2))
    sys[0, 0] = 7.0
    assert m.sys[0, 0] == 1.0
    y = Y.copy()
    for method in (m.loglik, m.filter, m.smoother, m.smoothed, m.disturbances, m.score):
        method(y)
    assert np.array_equal(y, Y, equal_nan=True)
    # Nor are the model's own arrays, where the host writes time-varying values.
    tv = V.Model([[1.0], [1.0]], np.eye(2), idx_sys=[[-1], [0]], idx_var=[[0, -1], [-1, -1]],
                 x=[[2.0, 3.0, 4.0, 5.0, 6.0]])
    tv.simsmo_draw(tv.simsmo_weights(Y))
    tv.weights(Y, "smoothed", time=2)
    assert tv.sys.tolist() == [[1.0], [1.0]] and tv.var.tolist() == [[1.0, 0.0], [0.0, 1.0]]


@pytest.mark.parametrize("bad, err", [
    (lambda: V.Model([1.0, 1.0], np.eye(2)), ValueError),                  # 1-D sys
    (lambda: V.Model(np.ones((1, 1)), np.eye(1)), ValueError),             # no series
    (lambda: V.Model(np.ones((2, 1)), np.eye(3)), ValueError),             # var size
    (lambda: V.Model(np.ones((2, 1)), np.eye(2), init=np.ones((1, 1))), ValueError),
    (lambda: V.Model(np.ones((2, 1)), np.eye(2), mean=[1.0]), ValueError),
    (lambda: V.Model([[np.nan], [1.0]], np.eye(2)), ValueError),
    (lambda: V.Model([[1.0], [1.0]], [[np.inf, 0], [0, 1]]), ValueError),
    (lambda: V.Model(np.ones((2, 1)) * 1j, np.eye(2)), TypeError),
    (lambda: V.Model([["a"], ["b"]], np.eye(2)), TypeError),
    (lambda: V.Model([[1.0], [1, 2]], np.eye(2)), TypeError),              # ragged
    (lambda: V.Model(np.ones((2, 1)), np.eye(2), idx_sys=[[-1], [0.5]], x=np.ones((1, 3))),
     ValueError),
    (lambda: V.Model(np.ones((2, 1)), np.eye(2), idx_sys=[[-1], [0]]), ValueError),
    (lambda: LL.loglik(np.array([1.0, np.inf])), ValueError),
    (lambda: LL.loglik(np.zeros(0)), ValueError),
    (lambda: LL.smoothed(np.zeros((0, 0))), ValueError),
    (lambda: LL.loglik(np.ones((2, 3))), ValueError),
    (lambda: LL.loglik(np.ones((2, 2, 2))), ValueError),
    (lambda: LL.loglik("abc"), TypeError),
    (lambda: LL.moments(Y, "nonsense"), ValueError),
    (lambda: V.arma([], [], 1.0), ValueError),
    (lambda: V.fit(lambda p: LL, Y, [np.nan]), ValueError),
    (lambda: LL.simsmo_weights(Y, select=[2]), ValueError),
    (lambda: LL.simsmo_weights(Y, select=[[0]]), TypeError),
    (lambda: LL.simsmo_draw(LL.simsmo_weights(Y), np.zeros((1, 5))), ValueError),
    (lambda: LL.simsmo_draw(LL.filter(Y)), TypeError),
    (lambda: LL.conditional(Y, "mean"), ValueError),
    (lambda: LL.weights(Y, "smoothed", time=5), ValueError),
    (lambda: LL.weights(Y, "smoothed", time=1, series=1), ValueError),
    (lambda: LL.weights(Y, "smoothed", time=1.0), TypeError),
    (lambda: LL.recursion(np.ones((3, 3))), ValueError),
    (lambda: LL.recursion(np.ones((3, 2)), initial=[1.0, 2.0]), ValueError),
    (lambda: V.seed(-1), ValueError),
])
def test_wrong_inputs_raise(bad, err):
    with pytest.raises(err):
        bad()


def test_host_errors_and_numerical_failures():
    with pytest.raises(V.VantrelError, match=r"^GetLdsStsm\(\): at least two components"):
        V.stsm([(V.LEVEL, 1.0)])
    assert issubclass(V.VantrelError, ValueError)
    # A filter store of another model: the host's size check.
    other = V.Model(np.ones((3, 1)), np.eye(3), diffuse="approximate").filter(np.ones((2, 4)))
    with pytest.raises(V.VantrelError, match="3 x 4 matrix expected"):
        LL.smoother(other)
    # An index past the rows of x.
    tv = V.Model([[1.0], [1.0]], np.eye(2), idx_sys=[[-1], [5]], x=np.ones((1, 3)))
    with pytest.raises(V.VantrelError, match=r"^Lds\(\)"):
        tv.loglik(np.ones(3))

    missing = np.full(4, np.nan)
    with pytest.warns(V.VantrelWarning, match=r"LdsLik\(\): non-positive semi-definite"):
        assert np.isnan(LL.loglik(missing))
    with pytest.warns(V.VantrelWarning, match=r"KalmanFil\(\)"):
        f = LL.filter(missing)
    assert not f.ok and np.isnan(f.store).all() and f.gain.shape == (4, 1)
    with pytest.warns(V.VantrelWarning):
        s = LL.smoother(missing)
    assert not s.ok and np.isnan(s.state_residual).all()
    zero = V.Model([[1.0], [1.0]], np.zeros((2, 2)), init=[[0.0], [0.0]])
    with pytest.warns(V.VantrelWarning, match=r"LdsMomentEst\(\)"):
        r = zero.smoothed(np.ones(3))
    assert not r.ok and np.isnan(r.smoothed_state).all() and np.isnan(r.final_cumulant_var).all()
    with pytest.warns(V.VantrelWarning, match=r"LdsLikSco\(\): non-positive semi-definite "
                                              r"innovation matrix"):
        assert np.isnan(zero.score(np.ones(3)).score).all()
    with V.strict_mode():
        with pytest.raises(V.VantrelNumericalError, match=r"LdsLikConc\(\)"):
            zero.loglik_conc(np.ones(3))
    # With the library's own messages off, a failure still warns.
    V.set_library_warnings(False)
    try:
        with pytest.warns(V.VantrelWarning, match="numerical failure"):
            assert np.isnan(zero.loglik(np.ones(3)))
    finally:
        V.set_library_warnings(True)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert np.isfinite(LL.loglik(Y))
    assert V.version() == 300 and "Vantrel 3.00" in V.about()


def test_draws_and_weights_raise_host_errors_and_warn():
    with pytest.raises(V.VantrelError, match=r"^SimSmoWgt\(\): zero vector in argument 1$"):
        LL.simsmo_weights(Y, select=[])
    quiet = V.Model([[1.0], [1.0]], [[0.0, 0.0], [0.0, 1.0]], init=[[1.0], [0.0]])
    with pytest.raises(V.VantrelError, match=r"^LdsCondDens\(\): no simulations possible$"):
        quiet.conditional(Y, "draw")
    # Weights of another model: the host's size check of the filter store.
    other = V.Model(np.ones((3, 1)), np.eye(3)).simsmo_weights(np.ones((2, 5)), [0])
    with pytest.raises(V.VantrelError, match="3 x 5 matrix expected"):
        LL.simsmo_draw(other, np.zeros((5, 1)))
    # A selected element without variance: C_t cannot be decomposed.
    with pytest.warns(V.VantrelWarning, match=r"SimSmoWgt\(\): choleski decomposition failed"):
        w = quiet.simsmo_weights(Y, select=[0])
    assert not w.ok and np.isnan(w.factor).all()
    with pytest.warns(V.VantrelWarning, match=r"LdsRecursion\(\): result not finite"):
        r = LL.recursion([[1e308, 0.0], [1e308, 0.0]])
    assert not r.ok and np.isnan(r.state).all()


def test_builders_closed_forms():
    phi, sigma = 0.6, 1.5
    ar = V.arma([phi], [], sigma)
    np.testing.assert_allclose(ar.sys, [[phi], [1.0]])
    np.testing.assert_allclose(ar.var, [[sigma ** 2, 0.0], [0.0, 0.0]])
    np.testing.assert_allclose(ar.init, [[sigma ** 2 / (1 - phi ** 2)], [0.0]], rtol=1e-12)
    theta = 0.4
    ma = V.arma([], [theta], 1.0)
    np.testing.assert_allclose(ma.init[:2], [[1 + theta ** 2, theta], [theta, theta ** 2]],
                               rtol=1e-12, atol=1e-15)
    with pytest.warns(V.VantrelWarning, match=r"GetLdsArma\(\): system error"):
        unit = V.arma([1.0], [], 1.0)
    assert np.isnan(unit.init).all()

    st = V.stsm([(V.IRREG, 2.0), (V.LEVEL, 3.0)])
    np.testing.assert_array_equal(st.sys, [[1.0], [1.0]])
    np.testing.assert_array_equal(st.var, [[9.0, 0.0], [0.0, 4.0]])
    np.testing.assert_array_equal(st.init, [[-1.0], [0.0]])
    assert st.positions.tolist() == [1, 0]

    sp = V.spline(3.0)
    np.testing.assert_allclose(sp.sys, [[1, 1], [0, 1], [1, 0]])
    np.testing.assert_allclose(sp.var, [[1, 1.5, 0], [1.5, 3, 0], [0, 0, 1]])
    irr = V.spline(3.0, gaps=[1.0, 2.0])
    np.testing.assert_allclose(irr.x, [[1, 2], [3, 6], [1.5, 6], [1, 8]])

    # Regression: with a diffuse coefficient and no other noise the
    # smoothed coefficient is least squares.
    rng = np.random.default_rng(5)
    x = np.column_stack([np.ones(30), np.linspace(0, 3, 30)])
    y = x @ [2.0, -1.0] + rng.normal(size=30)
    reg = V.regression(x)
    np.testing.assert_array_equal(reg.idx_sys, [[-1, -1], [-1, -1], [0, 1]])
    beta = np.linalg.lstsq(x, y, rcond=None)[0]
    np.testing.assert_allclose(reg.smoothed(y).smoothed_state[-1], beta, rtol=1e-6)
    # The same regression put in front of a local level with zero level
    # noise (a constant): the level takes the place of the intercept.
    both = V.add_regression(V.Model([[1.0], [1.0]], [[0.0, 0.0], [0.0, 1.0]]), x[:, 1])
    np.testing.assert_array_equal(both.sys, [[1, 0], [0, 1], [0, 1]])
    np.testing.assert_allclose(both.smoothed(y).smoothed_state[-1], beta[::-1], rtol=1e-6)
