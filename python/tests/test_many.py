"""fit_many on a local two-worker Dask cluster: the same numbers as fits
made one by one here, series that cannot be fitted, a worker killed during a
run, and seeded draws that do not depend on the worker."""
import functools
import logging
import os
import signal
import threading
import time
import warnings

import numpy as np
import pandas as pd
import pytest

import vantrel

distributed = pytest.importorskip("distributed")
pytestmark = pytest.mark.filterwarnings("ignore::vantrel.VantrelWarning")

VAR_LEVEL, VAR_IRREG = 0.25, 1.0
NAMES = ["sigma2.irregular", "sigma2.level"]
NSERIES = 60


def local_level(y):
    return vantrel.Structural(y)


def kill_here(y, marker, victim="s20"):
    """A local level; on the first visit of series `victim` it announces its
    worker's pid in the file `marker`, then waits there to be killed."""
    if y.name == victim:
        try:
            fd = os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        except FileExistsError:
            return local_level(y)
        os.write(fd, str(os.getpid()).encode())
        os.close(fd)
        time.sleep(30)
    return local_level(y)


def _draws(res, y, seed=None):
    """Two numbers of a conditional draw with the series' seed, one of a
    draw from the host's generator (an AR(1) has no diffuse state), and the
    stretch of data the model was built on."""
    seed = vantrel.many.current_seed() if seed is None else seed
    d = res.ssm.conditional(y.to_numpy(), "draw", seed=seed)
    ar1 = vantrel.stsm([(vantrel.AR1, 1.0, 0.0, 0.5), (vantrel.IRREG, 1.0)])
    h = ar1.conditional(y.to_numpy(), "draw")
    return {"draw_first": d.signal[0], "draw_last": d.signal[-1], "host_draw": h.signal[0],
            "length": len(y), "start": y.index[0]}


def _cluster(n):
    cluster = distributed.LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                       dashboard_address=":0", silence_logs=logging.CRITICAL)
    return cluster, distributed.Client(cluster)


@pytest.fixture(scope="module")
def client():
    # Worker processes inherit the environment: make the library folder absolute.
    os.environ["VANTREL_LIB_DIR"] = vantrel.lib_dir()
    cluster, c = _cluster(2)
    yield c
    c.close()
    cluster.close()


@pytest.fixture(scope="module")
def panel():
    """Local level series of 30 to 59 points from known variances, NaN
    padded in front or behind, a few missing values inside."""
    rng = np.random.default_rng(30)
    t = pd.date_range("2001-01", periods=70, freq="MS")
    cols = {}
    for i in range(NSERIES):
        n = 30 + i % 30
        y = np.cumsum(rng.normal(0, VAR_LEVEL ** 0.5, n)) + rng.normal(0, VAR_IRREG ** 0.5, n)
        if i % 7 == 3:
            y[n // 2] = np.nan
        col = np.full(70, np.nan)
        lead = i % 5
        col[lead:lead + n] = y
        cols["s%02d" % i] = col
    return pd.DataFrame(cols, index=t)


@pytest.fixture(scope="module")
def one_by_one(panel):
    """Each column's observed stretch, its fit made here and the texts of
    the warnings the fit raised."""
    out = {}
    for name in panel:
        s = panel[name]
        y = s.loc[s.first_valid_index():s.last_valid_index()]
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            r = local_level(y).fit()
        out[name] = (y, r, list(dict.fromkeys(str(w.message) for w in caught)))
    return out


def _same_as_one_by_one(table, one_by_one):
    assert list(table.index) == list(one_by_one)
    for name, (y, r, warned) in one_by_one.items():
        row = table.loc[name]
        assert row["error"] == "" and row["warnings"] == "; ".join(warned), name
        got = [row[p] for p in NAMES] + [row["bse_" + p] for p in NAMES] + \
            [row["llf"], row["aic"], row["nobs"]]
        want = list(r.params[NAMES]) + list(r.bse[NAMES]) + [r.llf, r.aic, r.nobs]
        # Bit for bit; a standard error at a boundary estimate is NaN in both.
        np.testing.assert_array_equal(got, want, err_msg=name)
        assert row["converged"] == r.converged, name


def test_equals_fits_one_by_one(client, panel, one_by_one):
    table, fc = vantrel.fit_many(local_level, panel, client=client, progress=False, forecast=3,
                                 alpha=0.1, apply=_draws)
    _same_as_one_by_one(table, one_by_one)
    # Padding stripped, inner gaps kept.
    for name, (y, _, _) in one_by_one.items():
        assert table.loc[name, "length"] == len(y) and table.loc[name, "start"] == y.index[0]
    # The estimates recover the simulated variances.
    est = table[NAMES].median()
    assert abs(est["sigma2.level"] - VAR_LEVEL) < 0.1
    assert abs(est["sigma2.irregular"] - VAR_IRREG) < 0.25
    # Forecasts of a local level: the filtered level, variance growing by
    # sigma2.level a step, 90% intervals.
    assert fc.index.names == ["series", "step"] and len(fc) == 3 * NSERIES
    for name in ("s00", "s33"):
        y, r, _ = one_by_one[name]
        f = fc.loc[name]
        filt = r.ssm.filtered(y.to_numpy())
        level, pvar = filt.filtered_state[-1, 0], filt.filtered_state_var[-1, 0]
        si, sl = r.params[NAMES]
        se = np.sqrt(pvar + sl * np.arange(1, 4) + si)
        assert list(f["time"]) == list(pd.date_range(y.index[-1], periods=4, freq="MS")[1:])
        np.testing.assert_allclose(f["mean"], level, rtol=1e-12)
        np.testing.assert_allclose(f["mean_se"], se, rtol=1e-10)
        np.testing.assert_allclose(f["mean_ci_upper"], level + 1.6448536269514722 * se,
                                   rtol=1e-10)
    # A dict of series gives the same rows.
    some = {k: one_by_one[k][0] for k in ("s05", "s41")}
    sub = vantrel.fit_many(local_level, some, client=client, progress=False)
    _same_as_one_by_one(sub, {k: one_by_one[k] for k in some})


def test_series_that_cannot_be_fitted(client, one_by_one, capsys):
    good = one_by_one["s07"][0]
    data = pd.DataFrame({"empty": np.nan, "good": good, "flat": 2.5}, index=good.index)
    # client=None: a local cluster, closed afterwards; no progress bar
    # without a terminal.
    table = vantrel.fit_many(local_level, data, batch_size=1)
    assert "fit_many" not in capsys.readouterr().err
    assert list(table.index) == ["empty", "good", "flat"]
    assert "no observations" in table.loc["empty", "error"]
    assert "constant" in table.loc["flat", "error"]
    for name in ("empty", "flat"):
        assert not table.loc[name, "converged"]
        assert table.loc[name, NAMES + ["llf", "aic"]].isna().all()
    _same_as_one_by_one(table.loc[["good"]], {"good": one_by_one["s07"]})
    with pytest.raises(ValueError, match="constant") as info:
        vantrel.fit_many(local_level, data[["flat", "good"]], client=client, progress=False,
                         on_error="raise")
    assert "'flat'" in "".join(getattr(info.value, "__notes__", []))
    with pytest.raises(ValueError, match="on_error"):
        vantrel.fit_many(local_level, data, client=client, on_error="ignore")


def test_worker_killed_during_run(client, panel, one_by_one, tmp_path):
    marker = str(tmp_path / "pid")
    pids = set(client.run(os.getpid).values())
    out = {}
    run = threading.Thread(target=lambda: out.setdefault("table", vantrel.fit_many(
        functools.partial(kill_here, marker=marker), panel, client=client, progress=False, batch_size=4)))
    run.start()
    deadline = time.monotonic() + 30
    pid = ""
    while not pid and time.monotonic() < deadline:
        time.sleep(0.05)
        if os.path.exists(marker):
            pid = open(marker).read()
    assert pid and int(pid) in pids
    os.kill(int(pid), signal.SIGKILL)
    run.join(60)
    assert not run.is_alive()
    assert int(pid) not in set(client.run(os.getpid).values())
    _same_as_one_by_one(out["table"], one_by_one)


def test_seeded_draws_do_not_depend_on_the_worker(client, panel, one_by_one):
    base = 2026
    cols = ["draw_first", "draw_last", "host_draw"]
    # One batch: every series on one worker; batches of 7: on both.
    one = vantrel.fit_many(local_level, panel, client=client, progress=False, seed=base,
                           apply=_draws, batch_size=NSERIES)[cols]
    two = vantrel.fit_many(local_level, panel, client=client, progress=False, seed=base,
                           apply=_draws, batch_size=7)[cols]
    pd.testing.assert_frame_equal(one, two, check_exact=True)
    # The same draws here, with the position's child of SeedSequence(base).
    children = np.random.SeedSequence(base).spawn(NSERIES)
    for i in (0, 17, 59):
        name = "s%02d" % i
        y, r, _ = one_by_one[name]
        seed = int(children[i].generate_state(1, np.uint64)[0])
        vantrel.seed(seed)
        assert list(two.loc[name]) == list(_draws(r, y, seed).values())[:3]
    assert two["draw_first"].nunique() == NSERIES and two["host_draw"].nunique() == NSERIES
