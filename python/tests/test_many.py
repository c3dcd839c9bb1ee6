"""fit_many on a local two-worker Dask cluster: the same numbers as fits
made one by one here, series that cannot be fitted, a worker killed during a
run, and seeded draws that do not depend on the worker."""
import functools
import logging
import os
import signal
import threading
import time

import numpy as np
import pandas as pd
import pytest

import vantrel

distributed = pytest.importorskip("distributed")

SD_LEVEL, SD_IRREG = 0.5, 1.0
NSERIES = 60


class LocalLevel:
    """An unfitted local level model of one series, fitted with vantrel.fit;
    its results carry params and bse by name, llf, aic, nobs, converged and
    forecast(steps)."""

    names = ["sd.level", "sd.irregular"]

    def __init__(self, y):
        self.y = y

    @staticmethod
    def build(p):
        return vantrel.stsm([(vantrel.LEVEL, p[0]), (vantrel.IRREG, p[1])])

    def fit(self):
        return Fitted(vantrel.fit(self.build, self.y.to_numpy(), [1.0, 1.0], names=self.names),
                      self.y)


class Fitted:
    def __init__(self, r, y):
        self.r, self.y = r, y
        self.params = pd.Series(r.params, index=LocalLevel.names)
        self.bse = pd.Series(r.bse, index=LocalLevel.names)
        self.llf, self.aic, self.nobs, self.converged = r.loglik, r.aic, r.nobs, r.converged

    def forecast(self, steps):
        ext = np.concatenate([self.y.to_numpy(), np.full(steps, np.nan)])
        mo = self.r.model.predicted(ext)
        return Forecast(mo.predicted_signal[-steps:], mo.predicted_signal_var[-steps:])


class Forecast:
    def __init__(self, mean, var):
        self.mean, self.var = mean, var

    def conf_int(self, alpha=0.05):
        from scipy.stats import norm
        h = norm.ppf(1 - alpha / 2) * np.sqrt(self.var)
        return np.column_stack([self.mean - h, self.mean + h])


class KillHere(LocalLevel):
    """Announces its worker's pid in a file on the first visit of series
    `victim`, then waits there to be killed."""

    victim = "s20"

    def __init__(self, y, marker):
        super().__init__(y)
        if y.name == self.victim:
            try:
                fd = os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
            except FileExistsError:
                return
            os.write(fd, str(os.getpid()).encode())
            os.close(fd)
            time.sleep(30)


def _draws(res, y):
    """Two numbers of a conditional draw from the host's generator."""
    d = LocalLevel.build(res.params.to_numpy()).conditional(y.to_numpy(), "draw")
    return {"draw_first": d.signal[0], "draw_last": d.signal[-1], "length": len(y),
            "start": y.index[0]}


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
        y = np.cumsum(rng.normal(0, SD_LEVEL, n)) + rng.normal(0, SD_IRREG, n)
        if i % 7 == 3:
            y[n // 2] = np.nan
        col = np.full(70, np.nan)
        lead = i % 5
        col[lead:lead + n] = y
        cols["s%02d" % i] = col
    return pd.DataFrame(cols, index=t)


@pytest.fixture(scope="module")
def one_by_one(panel):
    """Each column's observed stretch, and its fit made here."""
    out = {}
    for name in panel:
        s = panel[name]
        y = s.loc[s.first_valid_index():s.last_valid_index()]
        out[name] = (y, LocalLevel(y).fit())
    return out


def _same_as_one_by_one(table, one_by_one):
    assert list(table.index) == list(one_by_one)
    for name, (y, r) in one_by_one.items():
        row = table.loc[name]
        assert row["error"] == ""
        for p in LocalLevel.names:
            assert row[p] == r.params[p] and row["bse_" + p] == r.bse[p], (name, p)
        assert (row["llf"], row["aic"], row["nobs"], row["converged"]) == \
            (r.llf, r.aic, r.nobs, r.converged), name


def test_equals_fits_one_by_one(client, panel, one_by_one):
    table, fc = vantrel.fit_many(LocalLevel, panel, client=client, progress=False, forecast=3,
                                 alpha=0.1, apply=_draws)
    _same_as_one_by_one(table, one_by_one)
    # Padding stripped, inner gaps kept.
    for name, (y, _) in one_by_one.items():
        assert table.loc[name, "length"] == len(y) and table.loc[name, "start"] == y.index[0]
    # The estimates recover the simulated standard deviations.
    est = table[LocalLevel.names].abs().median()
    assert abs(est["sd.level"] - SD_LEVEL) < 0.15 and abs(est["sd.irregular"] - SD_IRREG) < 0.2
    # Forecasts of a local level: the filtered level, variance growing by
    # sd.level^2 a step, 90% intervals.
    assert fc.index.names == ["series", "step"] and len(fc) == 3 * NSERIES
    for name in ("s00", "s33"):
        y, r = one_by_one[name]
        f = fc.loc[name]
        filt = r.r.model.filtered(y.to_numpy())
        level, pvar = filt.filtered_state[-1, 0], filt.filtered_state_var[-1, 0]
        sl, si = r.params.to_numpy() ** 2
        se = np.sqrt(pvar + sl * np.arange(1, 4) + si)
        np.testing.assert_allclose(f["mean"], level, rtol=1e-12)
        np.testing.assert_allclose(f["mean_se"], se, rtol=1e-10)
        np.testing.assert_allclose(f["mean_ci_upper"], level + 1.6448536269514722 * se,
                                   rtol=1e-10)
    # A dict of series gives the same rows.
    some = {k: one_by_one[k][0] for k in ("s05", "s41")}
    sub = vantrel.fit_many(LocalLevel, some, client=client, progress=False)
    _same_as_one_by_one(sub, {k: one_by_one[k] for k in some})


def test_series_that_cannot_be_fitted(client, one_by_one, capsys):
    good = one_by_one["s07"][0]
    data = pd.DataFrame({"empty": np.nan, "good": good, "flat": 2.5}, index=good.index)
    # client=None: a local cluster, closed afterwards; no progress bar
    # without a terminal.
    table = vantrel.fit_many(LocalLevel, data, batch_size=1)
    assert "fit_many" not in capsys.readouterr().err
    assert list(table.index) == ["empty", "good", "flat"]
    assert "no observations" in table.loc["empty", "error"]
    assert "constant" in table.loc["flat", "error"]
    for name in ("empty", "flat"):
        assert not table.loc[name, "converged"]
        assert table.loc[name, LocalLevel.names + ["llf", "aic"]].isna().all()
    _same_as_one_by_one(table.loc[["good"]], {"good": one_by_one["s07"]})
    with pytest.raises(ValueError, match="constant") as info:
        vantrel.fit_many(LocalLevel, data[["flat", "good"]], client=client, progress=False,
                         on_error="raise")
    assert "'flat'" in "".join(getattr(info.value, "__notes__", []))
    with pytest.raises(ValueError, match="on_error"):
        vantrel.fit_many(LocalLevel, data, client=client, on_error="ignore")


def test_worker_killed_during_run(client, panel, one_by_one, tmp_path):
    marker = str(tmp_path / "pid")
    pids = set(client.run(os.getpid).values())
    out = {}
    run = threading.Thread(target=lambda: out.setdefault("table", vantrel.fit_many(
        functools.partial(KillHere, marker=marker), panel, client=client, progress=False, batch_size=4)))
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
    cols = ["draw_first", "draw_last"]
    # One batch: every series on one worker; batches of 7: on both.
    one = vantrel.fit_many(LocalLevel, panel, client=client, progress=False, seed=base,
                           apply=_draws, batch_size=NSERIES)[cols]
    two = vantrel.fit_many(LocalLevel, panel, client=client, progress=False, seed=base,
                           apply=_draws, batch_size=7)[cols]
    pd.testing.assert_frame_equal(one, two, check_exact=True)
    # The same draws here, from the host generator seeded with the
    # position's child of SeedSequence(base).
    children = np.random.SeedSequence(base).spawn(NSERIES)
    for i in (0, 17, 59):
        name = "s%02d" % i
        y, r = one_by_one[name]
        vantrel.seed(int(children[i].generate_state(1, np.uint64)[0]))
        assert list(two.loc[name]) == list(_draws(r, y).values())[:2]
    assert two["draw_first"].nunique() == NSERIES
