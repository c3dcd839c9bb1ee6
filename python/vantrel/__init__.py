"""vantrel: linear Gaussian state space models from Python.

The library's host functions are reached through the stand-in Kel host
(libkelhost.so) with ctypes; the two libraries are loaded from
$VANTREL_LIB_DIR when set, else from the package's _libs folder.

    import vantrel
    model = vantrel.stsm([(vantrel.LEVEL, 38.0), (vantrel.IRREG, 123.0)])
    model.loglik(y)
    res = vantrel.fit(build, y, start)
    res = vantrel.Structural(y, slope=True, seasonal=12).fit()   # or vantrel.Arima
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
from .results import Component, Forecast, StateSpaceResults
from .structural import Structural
from . import transforms

__version__ = "3.0"
