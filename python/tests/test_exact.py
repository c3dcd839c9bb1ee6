"""The exact diffuse treatment (diffuse="exact", the default) against
statsmodels' exact diffuse initialisation, an independent implementation,
and against closed forms."""
import warnings

import numpy as np
import pytest

import vantrel as V

sm = pytest.importorskip("statsmodels.api")


def close(got, want, rtol):
    """Relative agreement at every element, relative to the array's scale
    where an element is near zero (slopes and seasonals cross zero)."""
    got, want = np.asarray(got, float), np.asarray(want, float)
    np.testing.assert_allclose(got, want, rtol=rtol, atol=rtol * np.nanmax(np.abs(want)))


def diag(cov):
    """(k, k, n) covariances of statsmodels -> (n, k) diagonals."""
    return np.diagonal(cov, axis1=0, axis2=1)


@pytest.fixture(scope="module")
def co2():
    data = sm.datasets.co2.load_pandas().data["co2"].resample("MS").mean()
    return data.to_numpy()


def nile_case(nile):
    model = V.stsm([(V.LEVEL, np.sqrt(1469.1)), (V.IRREG, np.sqrt(15099.0))])
    mod = sm.tsa.UnobservedComponents(nile, "llevel", use_exact_diffuse=True)
    return model, mod, np.array([15099.0, 1469.1])


def co2_case(y):
    sd = [0.2255, 0.00186, 0.00321, 0.155]
    model = V.stsm([(V.LEVEL, sd[0]), (V.SLOPE, sd[1]), (V.SEAS_DUMMY, sd[2], 12),
                    (V.IRREG, sd[3])])
    mod = sm.tsa.UnobservedComponents(y, "lltrend", seasonal=12, use_exact_diffuse=True)
    return model, mod, np.square([sd[3], sd[0], sd[1], sd[2]])


@pytest.mark.parametrize("case", ["nile", "co2"])
def test_one_series_against_statsmodels(case, nile, co2):
    y = nile if case == "nile" else co2
    model, mod, params = nile_case(nile) if case == "nile" else co2_case(co2)
    ref = mod.smooth(params)
    assert np.isnan(y).sum() == (5 if case == "co2" else 0)
    assert model.loglik(y) == pytest.approx(ref.llf, rel=1e-9)
    s = model.smoothed(y)
    assert s.nobs_diffuse == ref.nobs_diffuse
    close(s.smoothed_state, ref.smoothed_state.T, 1e-8)
    close(s.smoothed_state_var, diag(ref.smoothed_state_cov), 1e-8)
    assert (s.smoothed_state_var > 0).all() and (s.smoothed_signal_var > 0).all()
    # Predicted and filtered: statsmodels reports the finite parts inside
    # the diffuse period too.
    p, f = model.predicted(y), model.filtered(y)
    close(p.predicted_state, ref.predicted_state[:, :-1].T, 1e-8)
    close(p.predicted_state_var, diag(ref.predicted_state_cov)[:-1], 1e-8)
    close(p.predicted_signal_var, ref.forecasts_error_cov[0, 0], 1e-8)
    close(f.filtered_state, ref.filtered_state.T, 1e-8)
    close(f.filtered_state_var, diag(ref.filtered_state_cov), 1e-8)
    d = model.disturbances(y)
    h = model.var[-1, -1]
    close(d.smoothed_obs_disturbance, ref.smoothed_measurement_disturbance[0], 1e-8)
    close(h - d.smoothed_obs_disturbance_var, ref.smoothed_measurement_disturbance_cov[0, 0],
          1e-8)
    # Forecasts, with the missing months of CO2 inside the data.
    fc, want = model.forecast(y, 24), ref.get_forecast(24)
    close(fc.mean, want.predicted_mean, 1e-8)
    close(fc.var, want.var_pred_mean, 1e-8)
    close(fc.conf_int(0.1), want.conf_int(alpha=0.1), 1e-8)
    assert fc.state.shape == fc.state_var.shape == (24, model.m)
    # The exact filter's innovations after the diffuse period.
    fil = model.filter(y)
    t0 = ref.nobs_diffuse
    close(fil.innovations[t0:], ref.forecasts_error[0, t0:], 1e-8)
    assert (fil.kind[:t0] != 1).any() and (fil.kind[t0:][~np.isnan(y[t0:])] == 1).all()
    # Weights of the observations in the predicted and filtered level.
    for which, want in (("predicted", ref.predicted_state), ("filtered", ref.filtered_state)):
        w = model.weights(y, which, 60)
        assert w.state_weights[:, 0] @ np.nan_to_num(y) == pytest.approx(want[0, 60], rel=1e-9)


def test_score_is_the_gradient_of_the_exact_loglik(co2):
    model, mod, params = co2_case(co2)
    sc = model.score(co2)
    assert sc.loglik == pytest.approx(mod.loglike(params), rel=1e-9)
    # The concentrated log-likelihood is the log-likelihood at the scale
    # that maximises it.
    conc = model.loglik_conc(co2)
    assert conc.loglik == pytest.approx(mod.loglike(params * conc.scale), rel=1e-9)
    for f in (0.99, 1.01):
        assert mod.loglike(params * conc.scale * f) < conc.loglik
    # statsmodels' parameters are the variances of the irregular, level,
    # slope and seasonal: Var[13][13], [0][0], [1][1], [2][2].
    def central(k, h):
        up, down = params.copy(), params.copy()
        up[k] += h
        down[k] -= h
        return (mod.loglike(up) - mod.loglike(down)) / (2 * h)

    for k, i in enumerate([13, 0, 1, 2]):
        h = 5e-3 * params[k]
        grad = (4 * central(k, h / 2) - central(k, h)) / 3     # Richardson
        assert 0.5 * sc.score[i, i] == pytest.approx(grad, rel=2e-5)


def test_two_series_with_correlated_observation_noise():
    rng = np.random.default_rng(3)
    n = 80
    T = np.array([[1.0, 1.0], [0.0, 1.0]])
    Z = np.array([[1.0, 0.0], [0.5, 1.0]])
    Q, H = np.diag([0.3, 0.01]), np.array([[1.0, 0.6], [0.6, 2.0]])
    full = rng.standard_normal((n, 2)).cumsum(0)
    y = full.copy()
    y[0, 1] = y[5, 0] = np.nan
    y[9] = np.nan

    def peer(data):
        mod = sm.tsa.statespace.MLEModel(data, k_states=2, initialization="diffuse")
        for name, value in (("design", Z), ("transition", T), ("selection", np.eye(2)),
                            ("state_cov", Q), ("obs_cov", H)):
            mod.ssm[name] = value
        return mod

    mod = peer(y)
    ref = mod.ssm.smooth()
    var = np.zeros((4, 4))
    var[:2, :2], var[2:, 2:] = Q, H
    model = V.Model(np.vstack([T, Z]), var)
    assert model.loglik(y) == pytest.approx(ref.llf, rel=1e-9)
    # Without missing values one rotation serves every time point; the
    # observation constants are taken off before it.
    assert model.loglik(full) == pytest.approx(peer(full).ssm.loglike(), rel=1e-9)
    shifted = V.Model(model.sys, var, mean=[0.0, 0.0, 5.0, -3.0])
    assert shifted.loglik(y + [5.0, -3.0]) == pytest.approx(ref.llf, rel=1e-9)
    s = model.smoothed(y)
    assert s.nobs_diffuse == ref.nobs_diffuse
    close(s.smoothed_state, ref.smoothed_state.T, 1e-8)
    close(s.smoothed_state_var, diag(ref.smoothed_state_cov), 1e-8)
    close(s.smoothed_signal, (Z @ ref.smoothed_state).T, 1e-8)
    signal_var = np.einsum("ij,jkt,ik->ti", Z, ref.smoothed_state_cov, Z)
    close(s.smoothed_signal_var, signal_var, 1e-8)
    close(model.filtered(y).filtered_signal_var[3:],
          np.einsum("ij,jkt,ik->ti", Z, ref.filtered_state_cov, Z)[3:] + np.diag(H), 1e-8)
    # Observed noises are y - Z alpha, with the smoothed signal's variance.
    d = model.disturbances(y)
    seen = ~np.isnan(y)
    close(d.smoothed_obs_disturbance[seen], (y - (Z @ ref.smoothed_state).T)[seen], 1e-8)
    close((np.diag(H) - d.smoothed_obs_disturbance_var)[seen], signal_var[seen], 1e-8)
    t0 = ref.nobs_diffuse
    p = model.predicted(y)
    close(p.predicted_signal[t0:], ref.forecasts[:, t0:].T, 1e-8)
    close(p.predicted_signal_var[t0:], diag(ref.forecasts_error_cov)[t0:], 1e-8)
    # Weights of both series' observations (rotated back) in the filtered
    # state.
    est = sum(model.weights(y, "filtered", 40, series=i).state_weights.T @ np.nan_to_num(y[:, i])
              for i in range(2))
    close(est, ref.filtered_state[:, 40], 1e-9)
    # The score of the full observation variance (its noise moved into the
    # state) against central differences of statsmodels' log-likelihood.
    sc = model.score(y)
    assert sc.loglik == pytest.approx(ref.llf, rel=1e-9)
    for name, base, (i, j) in (("obs_cov", H, (0, 1)), ("obs_cov", H, (1, 1)),
                               ("state_cov", Q, (0, 0))):
        lls = []
        for h in (1e-5, -1e-5):
            moved = base.copy()
            moved[i, j] += h
            moved[j, i] = moved[i, j]
            mod.ssm[name] = moved
            lls.append(mod.ssm.loglike())
        mod.ssm[name] = base
        off = 2 if name == "obs_cov" else 0
        want = (lls[0] - lls[1]) / 2e-5
        assert sc.score[i + off, j + off] * (1.0 if i != j else 0.5) == pytest.approx(want,
                                                                                    rel=1e-6)
    # A covariance between state and observation noise is refused.
    var[0, 2] = var[2, 0] = 0.1
    with pytest.raises(V.VantrelError, match="var: a covariance between state and observation"):
        V.Model(np.vstack([T, Z]), var).loglik(y)


def test_models_without_diffuse_elements_and_the_approximate_start(nile):
    proper = V.Model([[0.8], [1.0]], np.diag([1469.1, 15099.0]), init=[[4000.0], [900.0]])
    other = V.Model(proper.sys, proper.var, init=proper.init, diffuse="approximate")
    assert not proper.has_diffuse
    assert proper.loglik(nile) == other.loglik(nile)
    np.testing.assert_array_equal(proper.smoothed(nile).smoothed_state_var,
                                  other.smoothed(nile).smoothed_state_var)
    level = V.Model([[1.0], [1.0]], np.diag([1469.1, 15099.0]))
    approx = V.Model(level.sys, level.var, diffuse="approximate")
    assert level.has_diffuse
    # LdsLik leaves out log(2 pi) and keeps log of the scaled F of the one
    # diffuse step: the two differ by about 0.5 log(2 pi).
    assert approx.loglik(nile) - level.loglik(nile) == pytest.approx(0.5 * np.log(2 * np.pi),
                                                                      abs=1e-3)
    with pytest.raises(V.VantrelError, match="diffuse: 'exact' or 'approximate'"):
        V.Model(level.sys, level.var, diffuse="flat")
    with pytest.raises(V.VantrelError, match="y: smoother takes data"):
        level.smoother(level.filter(nile))


def test_regression_forecast_is_the_least_squares_prediction():
    rng = np.random.default_rng(11)
    n, steps = 60, 4
    x = np.column_stack([np.ones(n + steps), rng.standard_normal(n + steps) * 1000.0])
    y = x[:n] @ [2.0, 0.003] + rng.standard_normal(n)
    model = V.regression(x[:n])
    model = V.Model(model.sys, [[0.0, 0.0, 0.0], [0.0, 0.0, 0.0], [0.0, 0.0, 1.5]],
                    init=model.init, idx_sys=model.idx_sys, x=model.x)
    with pytest.raises(V.VantrelError, match="x: the model varies over time"):
        model.forecast(y, steps)
    fc = model.forecast(y, steps, x=x[n:])
    X = x[:n]
    beta = np.linalg.solve(X.T @ X, X.T @ y)
    close(fc.mean, x[n:] @ beta, 1e-9)
    close(fc.var, 1.5 * (1.0 + np.einsum("ti,ij,tj->t", x[n:], np.linalg.inv(X.T @ X), x[n:])),
          1e-9)
    close(fc.state, np.tile(beta, (steps, 1)), 1e-9)


def test_draws_and_simulation(nile):
    model, mod, params = nile_case(nile)
    ref = mod.smooth(params)
    mean, var = ref.smoothed_state[0], ref.smoothed_state_cov[0, 0]
    draws = np.array([model.conditional(nile, "draw", seed=k).state[:, 0] for k in range(400)])
    # Mean and variance of 400 exact conditional draws, the diffuse first
    # time point included.
    assert (np.abs(draws.mean(0) - mean) < 4.5 * np.sqrt(var / 400)).all()
    ratio = draws.var(0) / var
    assert 0.75 < ratio.min() and ratio.max() < 1.3 and abs(ratio.mean() - 1) < 0.03
    same = model.conditional(nile, "draw", seed=5).state
    np.testing.assert_array_equal(same[:, 0], draws[5])
    dist = model.conditional(nile, "disturbance_draw", seed=1)
    cmean = model.conditional(nile, "disturbances")
    close(cmean.obs_disturbance, ref.smoothed_measurement_disturbance[0], 1e-8)
    # A draw's observation noise and state disturbances imply the data.
    level = np.concatenate([[0.0], np.cumsum(dist.state_disturbance[:-1, 0])])
    np.testing.assert_allclose(np.diff(nile - dist.obs_disturbance), np.diff(level), atol=1e-8)

    # Unconditional simulation: the recursion's noises have the model's
    # variances; the diffuse level starts at 0.
    sim = V.Model([[0.5, 0.0], [0.0, 1.0], [1.0, 1.0]], np.diag([2.0, 0.0, 3.0]),
                  init=[[1.0, 0.0], [0.0, -1.0], [0.0, 0.0]], mean=[0.0, 1.0, 4.0])
    r = sim.simulate(40000, seed=2)
    assert (r.state[:, 1] == 1.0 * np.arange(40000)).all()
    u = r.state[1:, 0] - 0.5 * r.state[:-1, 0]
    e = r.observation - r.state.sum(1) - 4.0
    assert u.var() == pytest.approx(2.0, rel=0.03) and e.var() == pytest.approx(3.0, rel=0.03)
    assert abs(np.corrcoef(u, e[:-1])[0, 1]) < 0.02
    np.testing.assert_array_equal(sim.simulate(5, seed=9).observation,
                                  sim.simulate(5, seed=9).observation)


def test_methods_without_exact_counterpart_warn_once(nile):
    from vantrel import model as module
    module._warned.discard("recursion")
    level = V.Model([[1.0], [1.0]], np.diag([1.0, 2.0]))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        level.recursion(np.zeros((3, 2)))
        level.recursion(np.zeros((3, 2)))
    assert ["recursion has no exact" in str(w.message) for w in caught] == [True]


def test_time_varying_spline_against_the_dense_flat_prior():
    from dense import flat_smoothed
    rng = np.random.default_rng(5)
    n = 40
    gaps = rng.uniform(0.5, 2.0, n)
    y = np.sin(np.cumsum(gaps) / 5) + 0.3 * rng.standard_normal(n)
    y[[0, 7, 8, 30]] = np.nan
    model = V.spline(0.2, gaps)
    assert model.has_diffuse and model.x is not None

    def at(t, base, table):
        out = base.copy()
        if table is not None:
            i, j = np.nonzero(table >= 0)
            out[i, j] = model.x[table[i, j].astype(int), t]
        return out
    sys = [at(t, model.sys, model.idx_sys) for t in range(n)]
    var = [at(t, model.var, model.idx_var) for t in range(n)]
    mean, vdiag = flat_smoothed(sys, var, y.reshape(1, -1), np.zeros(2), np.zeros((2, 2)),
                                np.eye(2))
    s = model.smoothed(y)
    # The dense inverses keep about eight digits; the Vbig start misses by 4%.
    close(s.smoothed_state, mean, 1e-7)
    close(s.smoothed_state_var, vdiag, 1e-7)
    assert (s.smoothed_state_var > 0).all()


def test_long_series_in_two_stretches():
    # Past 4000 observations the exact routines cover the diffuse period and
    # the host's recursions the rest, started from the exact predicted state.
    rng = np.random.default_rng(8)
    n = 4500
    y = np.cumsum(np.cumsum(0.01 * rng.standard_normal(n)) + rng.standard_normal(n))
    y += 2.0 * rng.standard_normal(n)
    y[[1, 2, 3000]] = np.nan
    model = V.stsm([(V.LEVEL, 1.0), (V.SLOPE, 0.01), (V.IRREG, 2.0)])
    mod = sm.tsa.UnobservedComponents(y, "lltrend", use_exact_diffuse=True)
    ref = mod.smooth([4.0, 1.0, 1e-4])
    assert model.loglik(y) == pytest.approx(ref.llf, rel=1e-9)
    s, p, f = model.smoothed(y), model.predicted(y), model.filtered(y)
    assert s.nobs_diffuse == ref.nobs_diffuse == 4
    close(s.smoothed_state, ref.smoothed_state.T, 1e-8)
    close(s.smoothed_state_var, diag(ref.smoothed_state_cov), 1e-8)
    close(p.predicted_state_var, diag(ref.predicted_state_cov)[:-1], 1e-8)
    close(p.predicted_signal_var, ref.forecasts_error_cov[0, 0], 1e-8)
    close(f.filtered_state, ref.filtered_state.T, 1e-8)
    close(f.filtered_signal_var - 4.0, np.einsum("jkt->t", ref.filtered_state_cov[:1, :1]),
          1e-8)
