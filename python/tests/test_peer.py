"""vantrel.fit against statsmodels' UnobservedComponents, an independent
implementation, on the Nile local level and the airline basic structural
model.

By default (diffuse="exact") a diffuse initial state is treated exactly, as
statsmodels does with use_exact_diffuse=True: the log-likelihoods agree and
estimates agree to the optimisers' tolerance.  With diffuse="approximate"
the library gives diffuse elements the variance Vbig = 9999999.99 * max(1,
largest diagonal element of Var), with D log(Vbig) taken off the
log-determinant and the D diffuse elements taken off the count of
observations: against statsmodels with the same proper initial variance
Vbig I (the matching treatment), smoothed states agree to rounding, and the
log-likelihoods differ by exactly D/2 (log(2 pi) + log(Vbig)).
"""
import warnings

import numpy as np
import pytest

import vantrel

sm_structural = pytest.importorskip("statsmodels.tsa.statespace.structural")
LOG2PI = np.log(2 * np.pi)


def level_model(p):
    return vantrel.Model([[1.0], [1.0]], np.diag(np.square(p)))


def bsm(p):
    V = vantrel
    return V.stsm([(V.LEVEL, p[0]), (V.SLOPE, p[1]), (V.SEAS_DUMMY, p[2], 12), (V.IRREG, p[3])])


def vbig(model):
    return 9999999.99 * max(1.0, np.diag(model.var).max())


def approximate(model):
    return vantrel.Model(model.sys, model.var, init=model.init, diffuse="approximate")


def statsmodels_fit(y, **spec):
    mod = sm_structural.UnobservedComponents(y, use_exact_diffuse=True, **spec)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return mod, mod.fit(disp=False, method="bfgs", maxiter=2000, gtol=1e-8,
                            cov_type="approx")


def matching(mod, model, params):
    """statsmodels' smoother with the library's proper initial state."""
    mod.ssm.initialize_known(np.zeros(model.m), vbig(model) * np.eye(model.m))
    mod.loglikelihood_burn = 0
    return mod.smooth(params), mod.loglike(params)


def test_nile_local_level(nile, tmp_path):
    fit = vantrel.fit(level_model, nile, [30.0, 100.0], names=["sd level", "sd irregular"])
    mod, ref = statsmodels_fit(nile, level="local level")
    var = np.square(fit.params)                     # level, irregular
    sm_var = ref.params[::-1]                       # statsmodels: irregular, level
    np.testing.assert_allclose(var, sm_var, rtol=1e-4)
    assert fit.loglik == pytest.approx(ref.llf, abs=1e-5)
    assert fit.aic == pytest.approx(-2 * fit.loglik + 4)
    assert fit.bic == pytest.approx(-2 * fit.loglik + 2 * np.log(100))
    # Standard errors of the variances by the delta method (d var / d sd =
    # 2 sd), against statsmodels' numerical Hessian of the variances.
    np.testing.assert_allclose(2 * np.abs(fit.params) * fit.bse, ref.bse[::-1], rtol=0.03)
    text = fit.summary()
    assert "sd irregular" in text and "%.6f" % fit.loglik in text
    png = tmp_path / "nile.png"
    fig = fit.plot_components(png)
    assert len(fig.axes) == 2 and png.read_bytes()[:4] == b"\x89PNG"

    model = approximate(level_model(fit.params))
    smooth, ll = matching(mod, model, var[::-1])
    s = model.smoothed(nile)
    np.testing.assert_allclose(s.smoothed_state[:, 0], smooth.smoothed_state[0], atol=1e-6, rtol=0)
    # At t = 0 the smoothed variance is Vbig - Vbig^2 N, a difference of two
    # numbers near 1e11 that leaves only a few digits in either program.
    np.testing.assert_allclose(s.smoothed_state_var[1:, 0], smooth.smoothed_state_cov[0, 0, 1:],
                               rtol=1e-6)
    assert model.loglik(nile) == pytest.approx(ll + 0.5 * (LOG2PI + np.log(vbig(model))),
                                               abs=1e-5)


def test_airline_basic_structural_model(airline, tmp_path):
    fit = vantrel.fit(bsm, airline, [0.03, 0.003, 0.03, 0.03])
    mod, ref = statsmodels_fit(airline, level="local linear trend", seasonal=12)
    var = np.square(fit.params)[[3, 0, 1, 2]]       # irregular, level, slope, seasonal
    np.testing.assert_allclose(var, ref.params, rtol=0, atol=2e-3 * ref.params.max())
    assert fit.loglik == pytest.approx(ref.llf, abs=1e-4)
    assert fit.model.positions.tolist() == [0, 1, 2, 13]
    fig = fit.plot_components(tmp_path / "airline.png")
    assert [ax.get_title() for ax in fig.axes[1:]] == ["smoothed level", "smoothed slope",
                                                       "smoothed seasonal"]

    model = approximate(bsm(fit.params))
    smooth, ll = matching(mod, model, var)
    s = model.smoothed(airline)
    np.testing.assert_allclose(s.smoothed_state[:, 0], smooth.smoothed_state[0], atol=1e-6, rtol=0)
    # Thirteen elements of variance near 1e11 leave about 1e-5 of rounding.
    assert model.loglik(airline) == pytest.approx(ll + 6.5 * (LOG2PI + np.log(vbig(model))),
                                                  abs=5e-5)
