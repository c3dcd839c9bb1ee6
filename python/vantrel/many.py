"""Fitting one model to each of many series on a Dask cluster.

The work is embarrassingly parallel: every series is fitted on its own, in a
worker process that imports vantrel from its own environment and has its own
loaded library (the host's call lock, random generator and storage are per
process).  Series travel to the workers in batches, so that the scheduler's
cost per task stays small next to the fits of a batch.
"""
import logging
import math
import os
import sys
import threading
import uuid
import warnings

import numpy as np
import pandas as pd

__all__ = ["fit_many", "series_seed", "current_seed", "batch_size_for"]

# Batches per worker thread: enough to even out fits of different cost and
# to lose little work when a worker dies, few enough that the scheduler's
# cost (about 1 ms a task) stays far below the fits of a batch.
_BATCHES_PER_THREAD = 4
_MAX_BATCH = 256

# Held around the whole of one series: a worker process fits one series at
# a time.  With several threads, the draws of two series would otherwise
# interleave in the process's one generator, and the warnings caught for
# one series (the warnings filters are process-wide) mix with another's.
# The host's calls are serialised by its own lock anyway.
_series_lock = threading.Lock()
_current = {"seed": None}


def current_seed():
    """The seed of the series this worker process is building or fitting
    (`series_seed` of fit_many's base seed and the series' position), or
    None outside fit_many or without a base seed.  Code in `spec` or
    `apply` passes it to draws that take a seed of their own, for example
    ``results.simulate(12, seed=vantrel.many.current_seed())``."""
    return _current["seed"]


def series_seed(base, position):
    """The seed of the series at `position` (0-based, in the order of the
    data) for the base seed `base`: the first 64-bit word of
    ``numpy.random.SeedSequence(base, spawn_key=(position,))``, which is the
    `position`-th child of ``SeedSequence(base).spawn(...)``.

    It depends on nothing but `base` and `position`, so a series draws the
    same numbers whichever worker runs it, and the draws of one series can
    be repeated in one process with ``vantrel.seed(series_seed(base, i))``.
    """
    seq = np.random.SeedSequence(int(base), spawn_key=(int(position),))
    return int(seq.generate_state(1, np.uint64)[0])


def batch_size_for(nseries, nthreads):
    """Series per task for `nseries` series on a cluster of `nthreads` worker
    threads: about four batches per thread, at least 1 and at most 256
    series.

    One fit takes milliseconds to a second; the scheduler's cost of a task
    (sending it, running it, sending the result back) is about a
    millisecond, so from a handful of series per batch on it is under a
    tenth of the work.  Four batches per thread keep every thread busy to
    the end when fits differ in cost; the upper bound keeps the work lost
    with a dead worker and the steps of the progress bar small on large
    runs."""
    per = math.ceil(nseries / (_BATCHES_PER_THREAD * max(int(nthreads), 1)))
    return int(min(_MAX_BATCH, max(1, per)))


def _strip(s):
    """`s` without its leading and trailing missing values (NaN padding of
    a shorter series); missing values inside it stay."""
    values = s.to_numpy(dtype=float, na_value=np.nan)
    seen = np.flatnonzero(~np.isnan(values))
    if seen.size == 0:
        return s.iloc[:0].astype(float)
    return s.iloc[seen[0]:seen[-1] + 1].astype(float)


def _series_list(data):
    """(name, Series) pairs of `data` in its order, padding stripped."""
    if isinstance(data, np.ndarray):
        if data.ndim != 2:
            raise ValueError("vantrel: fit_many: data must be a DataFrame, a dict of series "
                             "or a 2-D array with time first, not a %d-D array" % data.ndim)
        data = pd.DataFrame(data)
    if isinstance(data, pd.DataFrame):
        if not data.columns.is_unique:
            dup = data.columns[data.columns.duplicated()][0]
            raise ValueError("vantrel: fit_many: data has more than one column named %r" % (dup,))
        pairs = [(name, data.iloc[:, j]) for j, name in enumerate(data.columns)]
    elif isinstance(data, dict):
        pairs = []
        for name, s in data.items():
            if not isinstance(s, pd.Series):
                a = np.asarray(s, dtype=float)
                if a.ndim != 1:
                    raise ValueError("vantrel: fit_many: data[%r] must be one series" % (name,))
                s = pd.Series(a)
            pairs.append((name, s))
    else:
        raise TypeError("vantrel: fit_many: data must be a DataFrame with a column per series, "
                        "a dict of Series or a 2-D array, not %s" % type(data).__name__)
    out = []
    for name, s in pairs:
        try:
            s = _strip(s)
        except (TypeError, ValueError) as e:
            raise ValueError("vantrel: fit_many: data[%r] is not numeric: %s" % (name, e)) from None
        s.name = name
        out.append((name, s))
    return out


def _named(values, names, what):
    """`values` as a float Series indexed by parameter name."""
    if isinstance(values, pd.Series):
        return values.astype(float)
    a = np.asarray(values, dtype=float).ravel()
    if names is None or len(names) != a.size:
        names = ["param%d" % i for i in range(a.size)]
    return pd.Series(a, index=list(names), dtype=float, name=what)


def _check_series(y):
    """The reason `y` cannot be fitted, or None."""
    v = y.to_numpy(dtype=float, na_value=np.nan)
    v = v[np.isfinite(v)]
    if v.size == 0:
        return "the series has no observations"
    if v.size > 1 and np.all(v == v[0]):
        # The likelihood of a model with any noise grows without bound as
        # its variances go to 0: there are no estimates to give.
        return "the series is constant: a model's variances cannot be estimated from it"
    return None


def _forecast_rows(res, steps, alpha):
    fc = res.forecast(steps)
    mean = np.asarray(fc.mean, dtype=float).reshape(-1)
    var = np.asarray(fc.var, dtype=float).reshape(-1)
    ci = np.asarray(fc.conf_int(alpha=alpha), dtype=float).reshape(-1, 2)
    if mean.size != steps or var.size != steps or ci.shape[0] != steps:
        raise ValueError("forecast: %d steps asked for, %d returned" % (steps, mean.size))
    index = getattr(fc.mean, "index", None)
    time = list(index) if index is not None and len(index) == steps else [None] * steps
    return {"time": time, "mean": mean, "mean_se": np.sqrt(np.maximum(var, 0.0)),
            "mean_ci_lower": ci[:, 0], "mean_ci_upper": ci[:, 1]}


def _fit_one(spec, y, options):
    """One series' row: a dict with params, bse, llf, aic, nobs,
    converged, error, warnings, extra and forecast.  Raises in "raise"
    mode."""
    row = {"error": ""}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _fit_into(row, spec, y, options)
    texts = []
    for w in caught:
        text = str(w.message)
        if text not in texts:
            texts.append(text)
    row["warnings"] = "; ".join(texts)
    return row


def _fit_into(row, spec, y, options):
    try:
        reason = _check_series(y)
        if reason is not None:
            raise ValueError(reason)
        model = spec(y)
        res = model.fit(**options["fit_kwargs"])
        names = getattr(res, "param_names", None)
        row["params"] = _named(res.params, names, "params")
        row["bse"] = _named(res.bse, list(row["params"].index), "bse")
        row["llf"] = float(res.llf)
        row["aic"] = float(res.aic)
        row["nobs"] = float(getattr(res, "nobs", np.nan))
        row["converged"] = bool(res.converged)
        if not math.isfinite(row["llf"]):
            raise ValueError("the fit's log-likelihood is not finite (%r)" % row["llf"])
        if options["forecast"]:
            row["forecast"] = _forecast_rows(res, options["forecast"], options["alpha"])
        if options["apply"] is not None:
            extra = options["apply"](res, y)
            row["extra"] = dict(extra) if not np.isscalar(extra) else {"apply": extra}
    except Exception as e:
        if options["on_error"] == "raise":
            if hasattr(e, "add_note"):
                e.add_note("vantrel: fit_many: while fitting series %r" % (y.name,))
            raise
        # A failed series keeps nothing of what it got before the failure.
        row.clear()
        row["error"] = "%s: %s" % (type(e).__name__, e) if str(e) else type(e).__name__
        row["converged"] = False


def _run_batch(spec, items, options):
    """Worker side: fits the series of one batch, in order.  `items`: a list
    of (position, Series, seed or None).  Returns [(position, row)]."""
    from . import _host  # the worker's own vantrel and library

    out = []
    for position, y, s in items:
        with _series_lock:
            if s is not None:
                _host.seed(s)
            _current["seed"] = s
            try:
                out.append((position, _fit_one(spec, y, options)))
            finally:
                _current["seed"] = None
    return out


def _interactive():
    if "ipykernel" in sys.modules:
        return True
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


def _progress_bar(total, enabled):
    if not enabled or not _interactive():
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="series", desc="fit_many")


def _local_client():
    """A local cluster of one single-threaded worker process per core, and
    a client of it.  Workers see this process's VANTREL_LIB_DIR (made
    absolute) and import path."""
    from distributed import Client, LocalCluster
    from dask.system import CPU_COUNT

    env = {}
    if os.environ.get("VANTREL_LIB_DIR"):
        from ._host import lib_dir
        env["VANTREL_LIB_DIR"] = lib_dir()
    if os.environ.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in os.environ["PYTHONPATH"].split(os.pathsep) if p)
    cluster = LocalCluster(n_workers=CPU_COUNT, threads_per_worker=1,
                           processes=True, dashboard_address=":0",
                           silence_logs=logging.ERROR, env=env)
    try:
        client = Client(cluster)
    except BaseException:
        cluster.close()
        raise
    return cluster, client


def _table(series, rows, extra_cols):
    """The results table: one row per series, in the data's order."""
    names = [name for name, _ in series]
    pnames = []
    seen = set()
    for row in rows:
        for p in row.get("params", pd.Series(dtype=float)).index:
            if p not in seen:
                seen.add(p)
                pnames.append(p)
    cols = {}
    for p in pnames:
        cols[p] = [row["params"].get(p, np.nan) if "params" in row else np.nan for row in rows]
    for p in pnames:
        cols["bse_%s" % p] = [row["bse"].get(p, np.nan) if "bse" in row else np.nan
                              for row in rows]
    for c in ("llf", "aic", "nobs"):
        cols[c] = [row.get(c, np.nan) for row in rows]
    cols["converged"] = [bool(row.get("converged", False)) for row in rows]
    cols["error"] = [row["error"] for row in rows]
    cols["warnings"] = [row.get("warnings", "") for row in rows]
    for c in extra_cols:
        cols[c] = [row.get("extra", {}).get(c, np.nan) for row in rows]
    index = pd.Index(names, name="series")
    table = pd.DataFrame(cols, index=index)
    for p in pnames:
        table[p] = table[p].astype(float)
        table["bse_%s" % p] = table["bse_%s" % p].astype(float)
    return table


def _forecast_table(series, rows, steps):
    parts = []
    for (name, _), row in zip(series, rows):
        fc = row.get("forecast")
        if fc is None:
            nan = np.full(steps, np.nan)
            fc = {"time": [None] * steps, "mean": nan, "mean_se": nan,
                  "mean_ci_lower": nan, "mean_ci_upper": nan}
        part = pd.DataFrame(fc)
        part.index = pd.MultiIndex.from_arrays(
            [[name] * steps, np.arange(1, steps + 1)], names=["series", "step"])
        parts.append(part)
    table = pd.concat(parts) if parts else pd.DataFrame(
        columns=["time", "mean", "mean_se", "mean_ci_lower", "mean_ci_upper"])
    if table["time"].isna().all():
        table = table.drop(columns="time")
    return table


def fit_many(spec, data, *, client=None, progress=True, on_error="record", forecast=None,
             alpha=0.05, seed=None, apply=None, fit_kwargs=None, batch_size=None):
    """Fits a model to each of many series, in parallel on a Dask cluster.

    Parameters
    ----------
    spec : callable
        Takes one series (a pandas Series with its index, named after the
        series) and returns an unfitted model, for example
        ``lambda y: vantrel.Structural(y, slope=True, seasonal=12)``.  Its
        ``fit(**fit_kwargs)`` gives a results object with ``params`` and
        ``bse`` (Series by parameter name), ``llf``, ``aic``, ``nobs``,
        ``converged`` and, with `forecast`, ``forecast(steps)``.
    data : DataFrame, dict of Series or 2-D array
        One column per series (time first), or a dict from series name to
        series.  Leading and trailing missing values (the padding of a
        shorter series in a DataFrame) are dropped; missing values inside a
        series stay missing.
    client : distributed.Client, optional
        The cluster to run on, used as it is.  None starts a local cluster
        (one single-threaded worker process per core) and closes it when the
        fits are done.  Workers import vantrel from their own environment.
    progress : bool, default True
        Shows a progress bar (tqdm) when standard error is a terminal or in
        a notebook; nothing otherwise.
    on_error : {"record", "raise"}, default "record"
        "record": a series that fails gets the error's text in the
        ``error`` column (and NaN estimates); the other series go on.
        A failed series gets nothing else: its estimates, statistics and
        forecasts are NaN, also when only its forecast or `apply` failed.
        "raise": the first failure that comes back stops the run and is
        raised, with a note naming the series.
    forecast : int, optional
        Steps ahead to forecast each fitted series; adds a second table.
    alpha : float, default 0.05
        The forecast intervals cover 1 - alpha.
    seed : int, optional
        Base seed.  Before the series at position i (0-based, in the order
        of `data`) is built and fitted, its worker seeds vantrel's host
        generator with ``series_seed(seed, i)``, and `current_seed` gives
        that number to `spec` and `apply` for draws that take a seed (numpy
        generators), so draws do not depend on the worker, the batch or
        the cluster's size.  None leaves the host generator alone.
    apply : callable, optional
        ``apply(results, y)`` runs on the worker after each successful fit;
        it returns a dict (or Series) of values added as columns of the
        table, or one value (column ``apply``).
    fit_kwargs : dict, optional
        Keyword arguments of the model's ``fit``.
    batch_size : int, optional
        Series per task; by default `batch_size_for` (about four batches
        per worker thread, at most 256 series).

    Returns
    -------
    table : DataFrame
        Indexed by series name (index name ``series``), in the order of
        `data`: a column per parameter estimate (the parameter's name), a
        column ``bse_<name>`` per standard error, then ``llf``, ``aic``,
        ``nobs``, ``converged`` (bool), ``error`` (empty for a series
        fitted without error) and ``warnings`` (the distinct texts of the
        warnings raised while the series was built, fitted and forecast,
        joined by "; "), then the columns of `apply`.  A series with
        no observations is not given to `spec`; its ``error`` says so.
    forecasts : DataFrame
        Only with `forecast`, returned as ``(table, forecasts)``: indexed by
        (``series``, ``step``), step 1 .. forecast, with columns ``time``
        (the forecast's time label, when the results give one), ``mean``,
        ``mean_se`` (standard error of the observation forecast),
        ``mean_ci_lower`` and ``mean_ci_upper``.

    Notes
    -----
    Series are fitted in batches, one task per batch.  A worker that dies
    takes its running batches with it; Dask runs them again elsewhere, and
    every series appears in the table exactly once.  Under
    ``on_error="record"`` a batch that fails as a whole (for example after
    its workers died too often) gives its series the error's text.
    """
    if not callable(spec):
        raise TypeError("vantrel: fit_many: spec must be callable (a series -> a model)")
    if on_error not in ("record", "raise"):
        raise ValueError("vantrel: fit_many: on_error must be 'record' or 'raise', not %r"
                         % (on_error,))
    if forecast is not None:
        if isinstance(forecast, bool) or not isinstance(forecast, (int, np.integer)) \
                or forecast < 1:
            raise ValueError("vantrel: fit_many: forecast must be a positive int, not %r"
                             % (forecast,))
        forecast = int(forecast)
    if not 0.0 < float(alpha) < 1.0:
        raise ValueError("vantrel: fit_many: alpha must lie in (0, 1), not %r" % (alpha,))
    if seed is not None:
        if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
            raise ValueError("vantrel: fit_many: seed must be a non-negative int, not %r"
                             % (seed,))
    if apply is not None and not callable(apply):
        raise TypeError("vantrel: fit_many: apply must be callable")
    if batch_size is not None and (isinstance(batch_size, bool)
                                   or not isinstance(batch_size, (int, np.integer))
                                   or batch_size < 1):
        raise ValueError("vantrel: fit_many: batch_size must be a positive int, not %r"
                         % (batch_size,))
    if fit_kwargs is not None and not isinstance(fit_kwargs, dict):
        raise TypeError("vantrel: fit_many: fit_kwargs must be a dict")

    series = _series_list(data)
    options = {"fit_kwargs": dict(fit_kwargs or {}), "forecast": forecast,
               "alpha": float(alpha), "apply": apply, "on_error": on_error}
    items = [(i, y, None if seed is None else series_seed(seed, i))
             for i, (_, y) in enumerate(series)]

    own = None
    if client is None and items:
        own, client = _local_client()
    try:
        rows = _run(client, spec, items, options, batch_size, progress) if items else {}
    finally:
        if own is not None:
            client.close()
            own.close()

    rows = [rows[i] for i in range(len(series))]
    extra_cols = []
    for row in rows:
        for c in row.get("extra", {}):
            if c not in extra_cols:
                extra_cols.append(c)
    table = _table(series, rows, extra_cols)
    if forecast is None:
        return table
    return table, _forecast_table(series, rows, forecast)


def _run(client, spec, items, options, batch_size, progress):
    """Sends the batches, collects {position: row} as they come back."""
    from distributed import as_completed

    if not hasattr(client, "submit"):
        raise TypeError("vantrel: fit_many: client must be a distributed.Client")
    if batch_size is None:
        nthreads = sum(client.nthreads().values()) or 1
        batch_size = batch_size_for(len(items), nthreads)
    batches = [items[k:k + batch_size] for k in range(0, len(items), batch_size)]
    token = uuid.uuid4().hex
    futures = {}
    for b, batch in enumerate(batches):
        f = client.submit(_run_batch, spec, batch, options, key="vantrel-fit_many-%s-%d"
                          % (token, b), pure=False, retries=0)
        futures[f.key] = (f, batch)
    bar = _progress_bar(len(items), progress)
    rows = {}
    try:
        for f in as_completed([f for f, _ in futures.values()]):
            batch = futures[f.key][1]
            try:
                done = f.result()
            except Exception as e:
                if options["on_error"] == "raise":
                    raise
                text = "%s: %s" % (type(e).__name__, e)
                done = [(position, {"error": "batch failed: " + text, "converged": False})
                        for position, _, _ in batch]
            for position, row in done:
                rows.setdefault(position, row)
            if bar is not None:
                bar.update(len(done))
    finally:
        if bar is not None:
            bar.close()
        pending = [f for f, _ in futures.values() if not f.done()]
        if pending:
            client.cancel(pending)
    return rows
