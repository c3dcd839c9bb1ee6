"""Structural and Arima against statsmodels (exact diffuse starts on both
sides): the optimum, standard errors, residual diagnostics, components and
forecasts; the parameter transforms; refused specifications."""
import warnings

import matplotlib
matplotlib.use("Agg")
import numpy as np
import pandas as pd
import pytest

import vantrel
from vantrel import transforms as tr

sm = pytest.importorskip("statsmodels.api")

warnings.filterwarnings("ignore", module="statsmodels")


def _peer_fit(peer):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return peer.fit(disp=0, cov_type="approx", maxiter=500)


def _check(ours, peer, *, share_of_se, diagnostics=True, steps=6, exog_future=None):
    """Fit both, compare the optimum, then everything else at the peer's
    parameters."""
    r = _peer_fit(peer)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vantrel.VantrelWarning)
        res = ours.fit()
    assert res.converged
    # Our optimum is as high as the peer's, and within 1e-4.
    assert res.llf > r.llf - 1e-6 and abs(res.llf - r.llf) < 1e-4
    np.testing.assert_allclose(peer.loglike(res.params.to_numpy()), res.llf, atol=1e-7)
    # The two optimisers stop at slightly different points of a flat top:
    # the estimates agree to a small fraction of their standard errors.
    free = [i for i, n in enumerate(res.param_names) if n not in res.boundary]
    gap = np.abs(res.params.to_numpy() - np.asarray(r.params))[free]
    assert np.all(gap <= share_of_se * np.asarray(r.bse)[free])
    at = ours.smooth(np.asarray(r.params))
    sr = peer.smooth(np.asarray(r.params))
    assert abs(at.llf - sr.llf) < 1e-7
    np.testing.assert_allclose([at.aic, at.bic, at.hqic], [sr.aic, sr.bic, sr.hqic], rtol=1e-9)
    if not res.boundary:
        np.testing.assert_allclose(at.bse, np.asarray(r.bse), rtol=2e-2)
    if diagnostics:
        d = sr.nobs_diffuse
        assert at.nobs_diffuse == d
        np.testing.assert_allclose(at.resid[d:], sr.filter_results.standardized_forecasts_error[0, d:],
                                   rtol=1e-6, atol=1e-8)
        for ours_t, peer_t in [(at.test_serial_correlation(), sr.test_serial_correlation("ljungbox")),
                               (at.test_normality(), sr.test_normality("jarquebera")),
                               (at.test_heteroskedasticity(),
                                sr.test_heteroskedasticity("breakvar"))]:
            np.testing.assert_allclose(ours_t, peer_t, rtol=1e-6)
    f, g = at.forecast(steps, exog=exog_future), sr.get_forecast(steps, exog=exog_future)
    np.testing.assert_allclose(f.mean, g.predicted_mean, rtol=1e-8)
    np.testing.assert_allclose(f.var, g.var_pred_mean, rtol=1e-8)
    np.testing.assert_allclose(f.conf_int(0.1), g.conf_int(alpha=0.1), rtol=1e-8)
    return res, at, sr


@pytest.fixture(scope="module")
def co2():
    return sm.datasets.co2.load_pandas().data["co2"].resample("MS").mean()


def test_nile_local_level_with_period_index(nile):
    y = pd.Series(nile, index=pd.period_range("1871", periods=100, freq="A"))
    res, at, sr = _check(vantrel.Structural(y), sm.tsa.UnobservedComponents(
        y, "llevel", use_exact_diffuse=True), share_of_se=0.05)
    assert list(res.params.index) == ["sigma2.irregular", "sigma2.level"]
    f = res.forecast(3)
    assert list(f.mean.index.astype(str)) == ["1971", "1972", "1973"]
    assert at.level.smoothed.index.equals(y.index)
    np.testing.assert_allclose(at.level.smoothed, sr.level.smoothed, rtol=1e-8)
    np.testing.assert_allclose(at.level.filtered_var, sr.level.filtered_cov, rtol=1e-8)
    # t and p values follow from the estimates and the standard errors.
    assert np.allclose(res.pvalues, 2 * (1 - __import__("scipy").stats.norm.cdf(
        abs(res.params / res.bse))))
    assert "Ljung-Box" in res.summary()
    # Stopped early, far from the top: said so, whatever the optimiser says.
    with pytest.warns(vantrel.VantrelWarning, match="not converged"):
        early = vantrel.Structural(y).fit(start=[1000.0, 10.0], maxiter=1)
    assert not early.converged and "NOT converged" in early.summary()
    for fig in (res.plot_components(), res.plot_diagnostics()):
        assert isinstance(fig, matplotlib.figure.Figure) and len(fig.axes) >= 2
        fig.savefig(__import__("io").BytesIO(), format="png")


def test_co2_trend_seasonal_missing_months(co2):
    assert co2.isna().sum() == 5
    ours = vantrel.Structural(co2, slope=True, seasonal=12)
    peer = sm.tsa.UnobservedComponents(co2, "lltrend", seasonal=12, use_exact_diffuse=True)
    # statsmodels puts 0 where y is missing into the diagnostics; we leave
    # those months out, so the diagnostics are compared on complete series.
    res, at, sr = _check(ours, peer, share_of_se=0.05, diagnostics=False, steps=24)
    assert res.nobs == 526
    assert res.forecast(2).mean.index[0] == pd.Timestamp("2002-01-01")
    for name, peer_name in (("level", "level"), ("slope", "trend"), ("seasonal", "seasonal")):
        np.testing.assert_allclose(getattr(at, name).smoothed, getattr(sr, peer_name).smoothed,
                                   rtol=1e-7, atol=1e-9)
    assert np.isnan(at.resid[co2.isna()]).all()
    fig = res.plot_components()
    assert len(fig.axes) == 4


def test_airline_trigonometric_seasonal(airline):
    y = pd.Series(airline, index=pd.date_range("1949-01", periods=144, freq="MS"))
    ours = vantrel.Structural(y, slope=True, seasonal=12, seasonal_form="trigonometric")
    # statsmodels' harmonic at frequency pi keeps a never observed state, so
    # its diffuse period never ends: the likelihood and the smoothed
    # seasonal compare, its residual diagnostics and forecasts do not.
    peer = sm.tsa.UnobservedComponents(y, "lltrend", freq_seasonal=[{"period": 12}],
                                       use_exact_diffuse=True)
    r = _peer_fit(peer)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vantrel.VantrelWarning)
        res = ours.fit()
    # statsmodels stops short of the slope's boundary (3e-4 lower); started
    # from our estimates it stays there.
    assert res.converged and res.llf > r.llf - 1e-6
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        r2 = peer.fit(start_params=np.maximum(res.params.to_numpy(), 1e-12), disp=0)
    assert abs(res.llf - r2.llf) < 1e-4
    assert res.boundary == ["sigma2.slope"] and res.params[2] == 0 and r.params[2] < 1e-9
    assert np.isnan(res.bse[2]) and np.isfinite(res.bse[[0, 1, 3]]).all()
    np.testing.assert_allclose(res.params[[0, 1, 3]], np.asarray(r2.params)[[0, 1, 3]],
                               rtol=1e-2)
    at, sr = ours.smooth(np.asarray(r.params)), peer.smooth(np.asarray(r.params))
    np.testing.assert_allclose(at.llf, sr.llf, atol=1e-7)
    np.testing.assert_allclose(at.seasonal.smoothed, sr.freq_seasonal[0].smoothed,
                               rtol=1e-6, atol=1e-9)
    # The variance of the sum of the harmonics, covariances included
    # (statsmodels' freq_seasonal adds the variances alone).
    z = np.r_[0.0, 0.0, np.tile([1.0, 0.0], 6)]
    var = np.einsum("i,ijt,j->t", z, sr.smoothed_state_cov, z)
    np.testing.assert_allclose(at.seasonal.smoothed_var, var, rtol=1e-6)
    assert res.plot_diagnostics() is not None


def test_arma21_constant_macro_and_arima111():
    mac = sm.datasets.macrodata.load_pandas().data
    idx = pd.period_range("1959Q1", periods=len(mac), freq="Q")
    infl = pd.Series(mac["infl"].to_numpy(), index=idx)
    res, _, _ = _check(vantrel.Arima(infl, order=(2, 0, 1), trend="c"),
                       sm.tsa.SARIMAX(infl, order=(2, 0, 1), trend="c", use_exact_diffuse=True),
                       share_of_se=0.01)
    assert list(res.params.index) == ["intercept", "ar.L1", "ar.L2", "ma.L1", "sigma2"]
    gdp = np.log(mac["realgdp"].to_numpy()) * 100
    res, at, _ = _check(vantrel.Arima(gdp, order=(1, 1, 1)),
                        sm.tsa.SARIMAX(gdp, order=(1, 1, 1), use_exact_diffuse=True),
                        share_of_se=0.01)
    assert isinstance(res.resid, np.ndarray) and at.nobs_diffuse == 1
    # A seasonal difference: the leading states hold the last d + s values.
    ours = vantrel.Arima(gdp, order=(1, 1, 0), seasonal_diff=4)
    peer = sm.tsa.SARIMAX(gdp, order=(1, 1, 0), seasonal_order=(0, 1, 0, 4),
                          use_exact_diffuse=True)
    p = np.array([0.3, 0.8])
    np.testing.assert_allclose(ours.loglike(p), peer.loglike(p), atol=1e-7)
    # Regressors as constant diffuse states ahead of the differences.
    x = mac["unemp"].to_numpy()
    peer = sm.tsa.SARIMAX(gdp, exog=x, order=(1, 1, 1), mle_regression=False,
                          use_exact_diffuse=True)
    p = np.array([0.3, -0.1, 0.8])
    np.testing.assert_allclose(vantrel.Arima(gdp, order=(1, 1, 1), exog=x).loglike(p),
                               peer.loglike(p), atol=1e-7)
    # White noise around a constant, with gaps: the estimates are the mean
    # and the (1/n) variance of what is observed.
    y = infl.to_numpy().copy()
    y[[3, 50, 51]] = np.nan
    res = vantrel.Arima(y, order=(0, 0, 0), trend="c").fit()
    np.testing.assert_allclose(res.params, [np.nanmean(y), np.nanvar(y)], rtol=1e-6)


def test_local_level_with_regression(nile):
    x = np.column_stack([(np.arange(100) >= 28).astype(float), np.sin(np.arange(100) / 5.0)])
    xf = np.column_stack([np.ones(4), np.sin(np.arange(100, 104) / 5.0)])
    peer = sm.tsa.UnobservedComponents(nile, "llevel", exog=x, mle_regression=False,
                                       use_exact_diffuse=True)
    res, at, sr = _check(vantrel.Structural(nile, exog=x), peer, share_of_se=0.05,
                         steps=4, exog_future=xf)
    np.testing.assert_allclose(at.regression["coef"], sr.smoothed_state[1:, -1], rtol=1e-7)
    sim = res.simulate(4, repetitions=3, exog=xf, seed=1)
    assert sim.shape == (4, 3) and np.isfinite(sim).all()
    with pytest.raises(vantrel.VantrelError, match="exog"):
        res.forecast(4)


def test_transforms_round_trip():
    rng = np.random.default_rng(3)
    for p in (1, 2, 5):
        x = rng.normal(scale=2.0, size=p)
        phi = tr.constrain_stationary(x)
        # Stationary: the roots of 1 - phi_1 z - ... lie outside the unit circle.
        assert np.all(np.abs(np.roots(np.r_[-phi[::-1], 1.0])) > 1)
        np.testing.assert_allclose(tr.unconstrain_stationary(phi), x, rtol=1e-9)
        theta = tr.constrain_invertible(x)
        assert np.all(np.abs(np.roots(np.r_[theta[::-1], 1.0])) > 1)
        np.testing.assert_allclose(tr.unconstrain_invertible(theta), x, rtol=1e-9)
    # AR(1): the coefficient is the partial autocorrelation x / sqrt(1 + x^2).
    assert tr.constrain_stationary([0.75])[0] == pytest.approx(0.6)
    np.testing.assert_allclose(tr.constrain_interval(tr.unconstrain_interval(2.0, 0, np.pi),
                                                     0, np.pi), 2.0)
    np.testing.assert_allclose(tr.constrain_variance(tr.unconstrain_variance(3.5)), 3.5)
    with pytest.raises(vantrel.VantrelError, match="ar"):
        tr.unconstrain_stationary([1.2])
    model = vantrel.Arima(np.arange(30.0) % 7, order=(2, 0, 1), trend="c")
    p = np.array([0.2, 0.5, -0.3, 0.4, 2.0])
    np.testing.assert_allclose(model.transform_params(model.untransform_params(p)), p)
    # Far out on the unconstrained scale: the limits, finite and quiet
    # (x^2 and exp(x) would overflow).
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert tr.constrain_stationary([-1e308])[0] == -1.0
        # Partial autocorrelations -1 and 1: phi = (r1 - r2 r1, r2) = (0, 1).
        np.testing.assert_array_equal(tr.constrain_stationary([-1e308, 1e200]), [0.0, 1.0])
        assert tr.constrain_stationary([1e154])[0] == pytest.approx(1.0)
        assert tr.constrain_interval(-1e308, 0.0, 1.0) == pytest.approx(np.exp(-709.0))
        assert np.isfinite(tr.constrain_variance(1e308))
        # The complex steps of the gradient: d/dx x / sqrt(1 + x^2) = (1 + x^2)^-1.5.
        assert tr.constrain_stationary([0.3 + 1e-20j])[0].imag == pytest.approx(
            1e-20 / 1.09 ** 1.5)


def test_bad_specifications(nile):
    cases = [
        (lambda: vantrel.Structural(nile, level="sometimes"), "level"),
        (lambda: vantrel.Structural(nile, trend=True), "trend: not a component"),
        (lambda: vantrel.Structural(nile, seasonal=1), "seasonal"),
        (lambda: vantrel.Structural(nile, seasonal_form="fourier", seasonal=4), "seasonal_form"),
        (lambda: vantrel.Structural(nile, level=False, slope=True), "slope"),
        (lambda: vantrel.Structural(nile, exog=np.ones(99)), "exog"),
        (lambda: vantrel.Arima(nile, order=(1, -1, 0)), "order"),
        (lambda: vantrel.Arima(nile, order=(1, 0)), "order"),
        (lambda: vantrel.Arima(nile, trend="t"), "trend"),
        (lambda: vantrel.Arima(nile, exog=np.ones((50, 2))), "exog"),
        (lambda: vantrel.Structural(nile).smooth([1.0]), "params"),
        # Found by the sweep: errors that named nothing, or a math domain error.
        (lambda: vantrel.Structural(pd.Series([3.0])).fit(), "y: 1 observed value"),
        (lambda: vantrel.Structural(pd.Series([3.0]).iloc[0]), "y: one series"),
        (lambda: vantrel.Structural(nile).smooth([-1.0, 1.0]), "params: sigma2.irregular"),
        (lambda: vantrel.Structural(nile, seasonal="4"), "seasonal"),
        (lambda: vantrel.Structural(nile, cycle="x"), "cycle"),
        (lambda: vantrel.Arima(nile, order=[1 + 1j, 0, 0]), "order"),
        (lambda: vantrel.Arima(nile * 1j), "y"),
        (lambda: vantrel.Arima(nile).fit(method="nope"), "method"),
        (lambda: vantrel.Arima(nile).fit(maxiter="x"), "maxiter"),
        (lambda: vantrel.Arima(nile).transform_params([np.inf, 1.0]), "x"),
    ]
    for make, word in cases:
        with pytest.raises(vantrel.VantrelError, match=word):
            make()


def test_generic_fit_with_transform_and_gradient_judgement(nile):
    # Standard deviations on the log scale: the Nile variances come out
    # positive at statsmodels' optimum, and convergence is read from the
    # gradient, not from BFGS's "precision loss".
    build = lambda sd: vantrel.stsm([(vantrel.LEVEL, sd[0]), (vantrel.IRREG, sd[1])])
    fit = vantrel.fit(build, nile, [10.0, 10.0], transform=(np.exp, np.log),
                      names=["sd level", "sd irregular"])
    peer = sm.tsa.UnobservedComponents(nile, "llevel", use_exact_diffuse=True)
    r = _peer_fit(peer)
    assert fit.converged and fit.loglik > r.llf - 1e-6 and abs(fit.loglik - r.llf) < 1e-4
    np.testing.assert_allclose(fit.params ** 2, np.asarray(r.params)[::-1], rtol=2e-2)
    # Bounds that cut the optimum off (sd level 38.3): a stop on a bound.
    low = vantrel.fit(build, nile, [70.0, 100.0], bounds=[(60.0, None), (1.0, None)])
    assert low.boundary == ["p0"] and low.converged and low.params[0] == 60.0
    high = vantrel.fit(build, nile, [20.0, 100.0], bounds=[(1.0, 30.0), (1.0, None)])
    assert high.boundary == ["p0"] and high.converged and high.params[0] == 30.0


def test_cycle_parameters_and_simulated_forecast_spread(nile):
    # statsmodels starts the cycle diffuse; given the stationary start that
    # the structural builder gives it, the likelihoods agree: sigma2.cycle is
    # the disturbance variance, frequency and damping as in statsmodels.
    from statsmodels.tsa.statespace.initialization import Initialization
    peer = sm.tsa.UnobservedComponents(nile, "llevel", cycle=True, stochastic_cycle=True,
                                       damped_cycle=True, use_exact_diffuse=True)
    init = Initialization(3)
    init.set((0, 1), "diffuse")
    init.set((1, 3), "stationary")
    ours = vantrel.Structural(nile, cycle=25.0)
    for p in ([15000.0, 1000.0, 300.0, 0.4, 0.7], [9000.0, 50.0, 2000.0, 2.0, 0.95]):
        peer.update(p)      # (update puts back the all-diffuse start)
        peer.ssm.initialization = init
        np.testing.assert_allclose(ours.loglike(p), peer.ssm.loglike(), atol=1e-7)
    # Paths drawn from the end of the data spread as the forecasts do.
    res = vantrel.Structural(nile).smooth([15000.0, 1500.0])
    sims = res.simulate(3, repetitions=4000, seed=5)
    f = res.forecast(3)
    se = np.sqrt(f.var / 4000)
    assert np.all(np.abs(sims.mean(axis=1) - f.mean) < 4 * se)
    np.testing.assert_allclose(sims.var(axis=1), f.var, rtol=0.1)
    # From the start and on past the data: the index runs on by the year.
    n = len(nile)
    years = pd.Series(nile, index=pd.Index(np.arange(1871, 1871 + n)))
    path = vantrel.Structural(years).smooth([15000.0, 1500.0]).simulate(
        n + 3, anchor="start", seed=1)
    assert path.shape == (n + 3, 1)
    np.testing.assert_array_equal(path.index, np.arange(1871, 1871 + n + 3))
