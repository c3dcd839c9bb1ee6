"""Calls from several threads at once: each result equals the same call made
alone, seeded draws do not depend on the thread, and the per-thread switches
(strict mode, fit's silencing of warnings) stay in their own thread."""
import random
import threading
import warnings

import numpy as np
import pytest

import vantrel

THREADS = 8


def _run_threads(work, count=THREADS):
    """Runs work(k) in `count` threads started together; returns the
    exceptions they raised."""
    barrier = threading.Barrier(count)
    errors = []

    def body(k):
        try:
            barrier.wait()
            work(k)
        except BaseException as e:     # reported by the test, not lost
            errors.append(e)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads), "a thread hangs"
    return errors


def _same(a, b):
    return all(np.array_equal(x, y, equal_nan=True) for x, y in zip(a, b)) and len(a) == len(b)


@pytest.mark.filterwarnings("ignore::vantrel.VantrelWarning")
def test_mixed_calls_match_calls_made_alone(nile):
    y = nile
    y2 = np.vstack([nile, nile[::-1] * 0.5])
    y2[0, 10:15] = np.nan
    shared = vantrel.Model(sys=[[1.0], [1.0]], var=[[1469.1, 0.0], [0.0, 15099.0]])
    bad = vantrel.Model(sys=[[1.0], [0.0]], var=np.zeros((2, 2)), init=[[0.0], [0.0]])

    def two_series():     # a separate model per call, from a builder
        m = vantrel.stsm([(vantrel.LEVEL, 30.0), (vantrel.IRREG, 100.0)])
        return vantrel.Model(np.vstack([m.sys, [[0.5]]]), np.diag([900.0, 1e4, 4e3]))

    calls = {
        "loglik": lambda: (shared.loglik(y),),
        "smoothed": lambda: (shared.smoothed(y).smoothed_state,
                             shared.smoothed(y).smoothed_state_var),
        "filter": lambda: (shared.filter(y).store,),
        "weights": lambda: (shared.weights(y, "smoothed", 30).state_weights,),
        "failing": lambda: (bad.loglik(y), bad.smoothed(y).smoothed_state),
        "stsm": lambda: (vantrel.stsm([(vantrel.LEVEL, 38.0), (vantrel.SLOPE, 1.0),
                                       (vantrel.IRREG, 120.0)]).loglik(y),),
        "arma": lambda: (vantrel.arma(ar=[0.6], ma=[0.3], sigma=2.0).smoothed(
            y - y.mean()).smoothed_state,),
        "regression": lambda: (vantrel.regression(np.arange(100.0)).loglik_conc(y).loglik,),
        "two series": lambda: (two_series().loglik(y2), two_series().smoothed(y2).smoothed_state),
        "simsmo": lambda: (shared.simsmo_draw(shared.simsmo_weights(y), seed=5).disturbance,),
    }
    for k in range(4):
        calls["draw %d" % k] = (lambda k=k: (shared.conditional(y, "draw", seed=100 + k).state,))
        calls["disturbance draw %d" % k] = (lambda k=k: (
            two_series().conditional(y2, "disturbance_draw", seed=k).state_disturbance,))
    alone = {name: f() for name, f in calls.items()}
    # The seeded draws are draws: different seeds, different numbers.
    assert not np.array_equal(alone["draw 0"][0], alone["draw 1"][0])
    assert np.isnan(alone["failing"][0]) and np.isfinite(alone["loglik"][0])

    mismatches = []

    def work(k):
        order = list(calls) * 3
        random.Random(k).shuffle(order)
        for name in order:
            got = calls[name]()
            if not _same(got, alone[name]):
                mismatches.append((k, name))

    assert _run_threads(work) == []
    assert mismatches == []


def test_strict_mode_and_silencing_stay_in_their_thread(nile):
    bad = vantrel.Model(sys=[[1.0], [0.0]], var=np.zeros((2, 2)), init=[[0.0], [0.0]])
    filters = list(warnings.filters)
    wrong = []

    def work(k):
        for _ in range(60):
            if k % 2:
                with vantrel.strict_mode():
                    try:
                        bad.loglik(nile)
                        wrong.append("strict thread %d got no error" % k)
                    except vantrel.VantrelNumericalError:
                        pass
            elif not np.isnan(bad.loglik(nile)):
                    wrong.append("thread %d got a number" % k)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vantrel.VantrelWarning)
        errors = _run_threads(work, 4)
    assert errors == [] and wrong == []
    assert not vantrel.set_strict(False)

    # Fits in several threads leave the process's warning filters as they
    # were (fit silences its failed steps in its own thread only).
    def build(p):
        return vantrel.stsm([(vantrel.LEVEL, p[0]), (vantrel.IRREG, p[1])])
    want = vantrel.fit(build, nile, start=[30.0, 100.0]).params
    fits = []
    assert _run_threads(lambda k: fits.append(
        vantrel.fit(build, nile, start=[30.0, 100.0]).params), 4) == []
    assert all(np.array_equal(p, want) for p in fits)
    assert warnings.filters == filters
    with pytest.warns(vantrel.VantrelWarning, match="non-positive"):
        bad.loglik(nile)
