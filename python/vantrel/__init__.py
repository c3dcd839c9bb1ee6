"""vantrel: linear Gaussian state space models from Python.

The library's host functions are reached through the stand-in Kel host
(libkelhost.so) with ctypes; the two libraries are loaded from
$VANTREL_LIB_DIR when set, else from the package's _libs folder.

    import vantrel
    model = vantrel.stsm([(vantrel.LEVEL, 38.0), (vantrel.IRREG, 123.0)])
    model.loglik(y)
    res = vantrel.fit(build, y, start)
    res = vantrel.Structural(y, slope=True, seasonal=12).fit()   # or vantrel.Arima

Threads
-------
Every function and method may be called from several threads at once.  The
host keeps one state per process (its storage, its random generator, the
message switch), so the package makes one host call at a time: a lock is
held for the length of each host call, and the threads' host calls run one
after the other while the Python work around them (checking and converting
the input, unpacking the results) goes on in the other threads.  A model's
matrices are read-only and each call's result is its own, so one model may
be shared by threads.

* ``seed=k`` (`Model.conditional`) seeds the host's generator and draws under
  one hold of the lock: the draw is the same whichever thread makes it.
  `vantrel.seed` followed by an unseeded draw is not: another thread's draw
  may come in between and take numbers from the same stream.
* `strict_mode` applies to the thread (and context) that runs the with block;
  `set_strict` sets the mode for every thread that is not inside such a block.
* `set_library_warnings` switches the library's messages for the whole
  process.
* Warnings are issued in the thread whose call failed; `fit` silences its own
  failed steps in its own thread only.
"""
from ._host import VantrelError, VantrelNumericalError, VantrelWarning, lib_dir, seed
from .builders import (AR1, AR2, BWCYCLE, CYCLE0, CYCLE1, CYCLE2, CYCLE3, CYCLE4, CYCLE5,
                       CYCLE6, CYCLE7, CYCLE8, CYCLE9, IRREG, LEVEL, SEAS_DUMMY, SEAS_TRIG,
                       SEAS_ZEROSUM, SLOPE, TREND, about, add_regression, arma, regression,
                       set_library_warnings, spline, stsm, version)
from .arima import Arima
from .fit import FitResult, fit
from .many import fit_many
from .model import (ConcLik, Conditional, FilterResult, Forecast, Model, Moments, ObsWeights,
                    RecursionResult, Result, ScoreResult, SimSmoDraw, SimSmoWeights,
                    SmootherResult, set_strict, strict_mode)
# results.Forecast (of the model classes) stays vantrel.results.Forecast:
# vantrel.Forecast is the one Model.forecast returns.
from .results import Component, StateSpaceResults
from .structural import Structural
from . import transforms

__version__ = "3.0"
