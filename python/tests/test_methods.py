"""Every Model method against the joint Gaussian of the whole model
(tests/dense.py), and the older ones against the same host function called
through the C API alone (identical numbers)."""
import numpy as np
import pytest

import vantrel
from dense import Dense

TOL = dict(rtol=1e-8, atol=1e-9)


def univ_case():
    sys = np.array([[1.0, 1.0], [0.0, 0.9], [1.0, 0.5]])
    var = np.array([[0.5, 0.1, 0.2], [0.1, 0.3, -0.1], [0.2, -0.1, 1.5]])
    init = np.array([[2.0, 0.3], [0.3, 1.0], [1.0, -0.5]])
    y = np.array([[1.2, 0.7, np.nan, 2.5, 1.9, 3.1, 2.2, np.nan, 4.0, 3.3, 4.4, 5.0]])
    return sys, var, init, y


def multi_case():
    sys = np.array([[0.8, 0.2], [-0.1, 0.7], [1.0, 0.0], [0.4, 1.2]])
    var = np.array([[1.0, 0.2, 0.1, 0.0], [0.2, 0.8, 0.0, 0.1],
                    [0.1, 0.0, 0.9, 0.3], [0.0, 0.1, 0.3, 1.1]])
    init = np.array([[1.5, 0.0], [0.4, 2.0], [0.5, -1.0]])
    y = np.array([[0.3, -0.2, np.nan, 1.1, 0.8, np.nan, -0.5, 0.9, 1.4, 0.2],
                  [1.0, 0.4, np.nan, -0.3, 0.6, 1.7, 0.1, np.nan, 0.2, -0.8]])
    return sys, var, init, y


@pytest.fixture(params=["univ", "multi"])
def case(request):
    sys, var, init, y = univ_case() if request.param == "univ" else multi_case()
    return vantrel.Model(sys, var, init=init), Dense(sys, var, init, y), y


def series(a, N):
    """Per-series values in the Model's layout: (n,) for one series."""
    a = np.asarray(a)
    return a[:, 0] if N == 1 else a


def test_likelihoods_and_score(case, raw):
    model, dn, y = case
    form = (model.sys, model.var, model.init)
    assert model.loglik(y) == pytest.approx(dn.loglik(), rel=1e-10)
    # The same numbers through the C API.
    _, (ll, s2) = raw("LdsLik", "ref", "ref", y, *form)
    assert model.loglik(y) == ll
    conc = model.loglik_conc(y)
    _, (cll, cs2) = raw("LdsLikConc", "ref", "ref", y, *form)
    assert (conc.loglik, conc.scale) == (cll, cs2)
    # Concentrated: -1/2 (cnt log 2pi + log|C| + cnt (log s2 + 1)), s2 = r'C^-1 r / cnt.
    cnt = np.isfinite(y).sum()
    ll_unit = dn.loglik()
    quad = -2 * ll_unit - cnt * np.log(2 * np.pi) - dn_logdet(dn)
    s2_dense = quad / cnt
    assert conc.scale == pytest.approx(s2_dense, rel=1e-9)
    assert conc.loglik == pytest.approx(
        -0.5 * (cnt * np.log(2 * np.pi) + dn_logdet(dn) + cnt * (np.log(s2_dense) + 1)), rel=1e-10)

    sc = model.score(y)
    _, (sll, ss2, sscore) = raw("LdsLikSco", "ref", "ref", "ref", y, *form)
    assert (sc.loglik, sc.scale) == (sll, ss2) and np.array_equal(sc.score, sscore, equal_nan=True)
    assert sc.loglik == ll and sc.scale == s2
    # 0.5 * score is the gradient with respect to a symmetric Var.
    d, h = model.d, 1e-6
    for i in range(d):
        for j in range(i + 1):
            e = np.zeros((d, d))
            e[i, j] = e[j, i] = h
            up = Dense(model.sys, model.var + e, model.init, y).loglik()
            dn_ = Dense(model.sys, model.var - e, model.init, y).loglik()
            want = (up - dn_) / (2 * h)
            got = 0.5 * sc.score[i, i] if i == j else sc.score[i, j]
            assert got == pytest.approx(want, rel=1e-5, abs=1e-6)


def dn_logdet(dn):
    A, _ = dn._obs(dn.n)
    return np.linalg.slogdet(A @ dn.S @ A.T)[1]


def test_filter_and_smoother(case, raw):
    model, dn, y = case
    m, N, n = model.m, model.nseries, y.shape[1]
    form = (model.sys, model.var, model.init)
    f = model.filter(y)
    store, _ = raw("KalmanFil", y, *form)
    assert np.array_equal(f.store, store, equal_nan=True)
    for t in range(n):
        mean, cov = dn.condition(t)
        obs = np.isfinite(y[:, t])
        Y, A1 = dn.Yt[t], dn.St[t + 1]
        F = (Y @ cov @ Y.T)[np.ix_(obs, obs)]
        v = y[obs, t] - (Y @ mean)[obs]
        K = (A1 @ cov @ Y.T)[:, obs] @ np.linalg.inv(F)
        innov = np.zeros(N) if obs.any() else np.full(N, np.nan)
        innov[obs] = v
        gain = np.zeros((m, N))
        gain[:, obs] = K
        inv = np.zeros((N, N))
        inv[np.ix_(obs, obs)] = np.linalg.inv(F)
        np.testing.assert_allclose(f.innovations[t], innov if N > 1 else innov[0], **TOL)
        np.testing.assert_allclose(f.gain[t], gain if N > 1 else gain[:, 0], **TOL)
        np.testing.assert_allclose(f.innovation_inv_var[t], inv if N > 1 else inv[0, 0], **TOL)

    s = model.smoother(y)
    out, _ = raw("KalmanSmo", store, *form)
    assert np.array_equal(s.state_residual, out[:m, 1:].T, equal_nan=True)
    assert np.array_equal(s.initial_residual_var, out[model.d:model.d + m, 0], equal_nan=True)
    # u_t = Var^-1 E(w_t | y), D_t = Var^-1 (Var - Var(w_t | y)) Var^-1.
    mean, cov = dn.condition(n)
    vi = np.linalg.inv(model.var)
    for t in range(n):
        W = dn.W[t]
        u = vi @ (W @ mean)
        D = vi @ (model.var - W @ cov @ W.T) @ vi
        np.testing.assert_allclose(s.state_residual[t], u[:m], **TOL)
        np.testing.assert_allclose(s.obs_residual[t], u[m:] if N > 1 else u[m], **TOL)
        np.testing.assert_allclose(s.state_residual_var[t], np.diag(D)[:m], **TOL)
        np.testing.assert_allclose(s.obs_residual_var[t], np.diag(D)[m:] if N > 1 else D[m, m],
                                   **TOL)
    # The initial state: E(alpha_0 | y) = a1 + P1 r, Var = P1 - P1 N P1.
    p1i = np.linalg.inv(dn.P1)
    np.testing.assert_allclose(s.initial_residual, p1i @ (mean[:m] - dn.a1), **TOL)
    np.testing.assert_allclose(s.initial_residual_var,
                               np.diag(p1i @ (dn.P1 - cov[:m, :m]) @ p1i), **TOL)
    assert model.smoother(f).state_residual.tobytes() == s.state_residual.tobytes()


def test_moments(case, raw):
    model, dn, y = case
    m, N, d, n = model.m, model.nseries, model.d, y.shape[1]
    form = (model.sys, model.var, model.init)
    for which, code in (("predicted", 0), ("filtered", 5), ("smoothed", 1), ("disturbances", 3)):
        res = model.moments(y, which)
        fin, (mom,) = raw("LdsMomentEst", code, "ref", y, *form)
        if which == "disturbances":
            got = [res.smoothed_state_disturbance, res.smoothed_obs_disturbance,
                   res.smoothed_state_disturbance_var, res.smoothed_obs_disturbance_var]
        else:
            got = [getattr(res, which + k) for k in ("_state", "_signal", "_state_var",
                                                     "_signal_var")]
        for k, g in enumerate(got):   # state, signal, state var, signal var blocks
            rows = [slice(0, m), slice(m, d), slice(d, d + m), slice(d + m, 2 * d)][k]
            assert np.array_equal(g, series(mom[rows].T, N) if k % 2 else mom[rows].T, equal_nan=True)
        extra = (res.next_state, res.next_state_var) if which in ("predicted", "filtered") \
            else (res.final_cumulant, res.final_cumulant_var)
        assert np.array_equal(extra[0], fin[m], equal_nan=True) and np.array_equal(extra[1], fin[:m], equal_nan=True)

    H = np.diag(model.var)[m:]
    st, sig, cond = dn.predicted()
    p = model.predicted(y)
    np.testing.assert_allclose(p.predicted_state, [s[0][0] for s in st[:n]], **TOL)
    np.testing.assert_allclose(p.predicted_state_var, [s[1][0] for s in st[:n]], **TOL)
    np.testing.assert_allclose(p.predicted_signal, series([s[0][0] for s in sig], N), **TOL)
    np.testing.assert_allclose(p.predicted_signal_var, series([s[1][0] for s in sig], N), **TOL)
    np.testing.assert_allclose(p.next_state, st[n][0][0], **TOL)
    Sn = dn.St[n]
    np.testing.assert_allclose(p.next_state_var, Sn @ cond[n][1] @ Sn.T, **TOL)

    st, sig = dn.filtered()
    f = model.filtered(y)
    np.testing.assert_allclose(f.filtered_state, [s[0][0] for s in st], **TOL)
    np.testing.assert_allclose(f.filtered_state_var, [s[1][0] for s in st], **TOL)
    np.testing.assert_allclose(f.filtered_signal, series([s[0][0] for s in sig], N), **TOL)
    # The filtered signal variance carries the observation noise variance:
    # it starts from the innovation variance.
    want = np.array([s[1][0] for s in sig]) + H
    np.testing.assert_allclose(f.filtered_signal_var, series(want, N), **TOL)

    (smean, svar), (gmean, gvar), (wmean, wvar), c = dn.smoothed()
    s = model.smoothed(y)
    np.testing.assert_allclose(s.smoothed_state, smean, **TOL)
    np.testing.assert_allclose(s.smoothed_state_var, svar, **TOL)
    np.testing.assert_allclose(s.smoothed_signal, series(gmean, N), **TOL)
    np.testing.assert_allclose(s.smoothed_signal_var, series(gvar, N), **TOL)
    dist = model.disturbances(y)
    np.testing.assert_allclose(dist.smoothed_state_disturbance, wmean[:, :m], **TOL)
    np.testing.assert_allclose(dist.smoothed_obs_disturbance, series(wmean[:, m:], N), **TOL)
    # Reported: the variance of the estimate, Var - Var(w_t | y).
    np.testing.assert_allclose(dist.smoothed_state_disturbance_var,
                               np.diag(model.var)[:m] - wvar[:, :m], **TOL)
    np.testing.assert_allclose(dist.smoothed_obs_disturbance_var,
                               series(H - wvar[:, m:], N), **TOL)


def selection(model):
    """A state disturbance and an observation noise element."""
    return [0, 2] if model.nseries == 1 else [1, 2]


def test_simsmo_weights(case, raw):
    model, dn, y = case
    n, sel = y.shape[1], selection(model)
    w = model.simsmo_weights(y, sel)
    mask = np.isin(np.arange(model.d), sel)
    assert np.array_equal(model.simsmo_weights(y, mask).store, w.store)
    wgt, _ = raw("SimSmoWgt", np.diag(mask * 1.0), model.filter(y).store, model.sys,
                 model.var, model.init)
    assert np.array_equal(w.store, wgt)
    # M_t M_t' = Var of the selected u_t given y and the selected u after t.
    G = np.eye(model.d)[sel]
    for t in range(n):
        later = [G @ dn.W[s] for s in range(t + 1, n)]
        cov = dn.covariance_given(np.vstack(later) if later else [])
        np.testing.assert_allclose(w.factor[t] @ w.factor[t].T,
                                   G @ dn.W[t] @ cov @ dn.W[t].T @ G.T, **TOL)


def test_simsmo_draw(case):
    model, dn, y = case
    m, d, n, sel = model.m, model.d, y.shape[1], selection(model)
    r = len(sel)
    w = model.simsmo_weights(y, sel)
    mean, cov = dn.condition(n)
    rows = np.vstack([np.eye(d)[sel] @ dn.W[t] for t in range(n)])   # u_t[sel], t by t
    # z = 0: the conditional mean, 0 where not selected, and the cumulant
    # r_0 = P1^-1 (E(alpha_0 | y) - a1).
    base = model.simsmo_draw(w, np.zeros((n, r)))
    np.testing.assert_allclose(base.disturbance[:, sel].ravel(), rows @ mean, **TOL)
    assert not np.delete(base.disturbance, sel, axis=1).any()
    np.testing.assert_allclose(base.initial_residual,
                               np.linalg.solve(dn.P1, mean[:m] - dn.a1), **TOL)
    # Affine in z: the map B from z to the draw has B B' = Var(u[sel] | y).
    B = np.empty((n * r, n * r))
    for j in range(n * r):
        z = np.zeros(n * r)
        z[j] = 1.0
        B[:, j] = model.simsmo_draw(w, z.reshape(n, r)).disturbance[:, sel].ravel()
    B -= base.disturbance[:, sel].ravel()[:, None]
    np.testing.assert_allclose(B @ B.T, rows @ cov @ rows.T, **TOL)


def test_conditional(case):
    model, dn, y = case
    m, N, n = model.m, model.nseries, y.shape[1]
    (smean, svar), (gmean, _), (wmean, _), _ = dn.smoothed()
    s = model.conditional(y, "smoothed")
    np.testing.assert_allclose(s.state, smean, **TOL)
    np.testing.assert_allclose(s.signal, series(gmean, N), **TOL)
    dist = model.conditional(y, "disturbances")
    np.testing.assert_allclose(dist.state_disturbance, wmean[:, :m], **TOL)
    np.testing.assert_allclose(dist.obs_disturbance, series(wmean[:, m:], N), **TOL)
    # Draws: vantrel.seed and seed= start the same stream; both draw codes
    # take the same numbers, so code 4's state disturbances drive code 2's
    # states and its observation noise is y minus code 2's signal.
    vantrel.seed(11)
    a = model.conditional(y, "draw")
    assert np.array_equal(a.state, model.conditional(y, "draw", seed=11).state)
    u = model.conditional(y, "disturbance_draw", seed=11)
    np.testing.assert_allclose(a.state[1:], a.state[:-1] @ model.sys[:m].T
                               + u.state_disturbance[:-1], **TOL)
    np.testing.assert_allclose(u.obs_disturbance,
                               series(y.T - a.signal.reshape(n, N), N), **TOL)
    # 400 draws: mean and variance of the states match the dense smoother.
    draws = np.array([model.conditional(y, "draw").state for _ in range(400)])
    assert (np.abs(draws.mean(0) - smean) < 5 * np.sqrt(svar / 400)).all()
    np.testing.assert_allclose(draws.var(0), svar, rtol=0.35)


def test_weights(case):
    model, dn, y = case
    m, N, n = model.m, model.nseries, y.shape[1]
    # (time, series): the first time point, a missing target, another one.
    targets = [(0, 0), (2, 0), (n - 1, 0)] if N == 1 else [(0, 1), (7, 1), (4, 0)]
    for which, upto in (("predicted", 0), ("filtered", 1), ("smoothed", None)):
        for tau, i in targets:
            w = model.weights(y, which, time=tau, series=i)
            last = n if upto is None else tau + upto
            G = dn.estimator(dn.St[tau], last)
            want = np.zeros((n, m))
            for col, (t, k) in enumerate(dn.observed(last)):
                if k == i:
                    want[t] = G[:, col]
            np.testing.assert_allclose(w.state_weights, want, **TOL)
            np.testing.assert_allclose(w.signal_weights, series(want @ dn.Z.T, N), **TOL)


def test_recursion():
    sys = np.array([[0.9, 0.3], [0.0, 1.0], [1.0, 0.5], [-0.4, 2.0]])
    var = np.diag([0.5, 2.0, 1.0, 3.0])
    init = np.array([[-1.0, 0.0], [0.0, 2.0], [0.5, -1.0]])   # state 0 diffuse
    mean = np.array([0.1, -0.2, 1.0, 0.3])
    rng = np.random.default_rng(2)
    e, e0 = rng.normal(size=(6, 4)), rng.normal(size=2)
    res = vantrel.Model(sys, var, init=init, mean=mean).recursion(e, e0)
    vbig = 9999999.99 * 3.0
    alpha = init[2] + np.array([vbig * e0[0], 2.0 * e0[1]])
    states, obs = [alpha], []
    for t in range(6):
        obs.append(mean[2:] + sys[2:] @ alpha + e[t, 2:])
        alpha = mean[:2] + sys[:2] @ alpha + e[t, :2]
        states.append(alpha)
    np.testing.assert_allclose(res.state, states, rtol=1e-12)
    np.testing.assert_allclose(res.observation, obs, rtol=1e-12)
    # Z_t = 1, 2, 3 from x of n columns: y_t = Z_t t + 1.
    tv = vantrel.Model([[1.0], [1.0]], np.eye(2), init=[[1.0], [0.0]], idx_sys=[[-1], [0]],
                       x=[[1.0, 2.0, 3.0]])
    assert tv.recursion(np.ones((3, 2))).observation.tolist() == [1.0, 3.0, 7.0]
    one = vantrel.Model([[1.0], [1.0]], np.eye(2)).recursion(np.zeros((0, 2)), [1e-7])
    assert one.state.tolist() == [[9999999.99 * 1e-7]] and one.observation.shape == (0,)
