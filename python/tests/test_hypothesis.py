"""The property-based sweep of the public API (api_sweep.py), run in a child
interpreter: a crash or a hang there shows here as a failure that names the
call being made, with the child's traceback.  $VANTREL_HYPOTHESIS_PROFILE
picks the profile ("default", about a minute; "night", hours)."""
import os
import signal
import subprocess
import sys
import warnings

import numpy as np
import pytest

import vantrel

HERE = os.path.dirname(os.path.abspath(__file__))


def test_api_sweep(tmp_path):
    log, counts = tmp_path / "current", tmp_path / "counts"
    # The child runs in tmp_path (Hypothesis may write there): the package
    # and the libraries by absolute paths.
    package = os.path.dirname(os.path.dirname(os.path.abspath(vantrel.__file__)))
    env = dict(os.environ, VANTREL_SWEEP_LOG=str(log), VANTREL_SWEEP_COUNTS=str(counts),
               VANTREL_LIB_DIR=vantrel.lib_dir(),
               PYTHONPATH=os.pathsep.join([package] + [p for p in os.environ.get(
                   "PYTHONPATH", "").split(os.pathsep) if p]))
    night = os.environ.get("VANTREL_HYPOTHESIS_PROFILE") == "night"
    cmd = [sys.executable, "-X", "faulthandler", "-m", "pytest", "-q", "-p", "no:cacheprovider",
           "-p", "no:randomly", os.path.join(HERE, "api_sweep.py")]
    try:
        proc = subprocess.run(cmd, env=env, cwd=str(tmp_path), capture_output=True, text=True,
                              timeout=None if night else 600)
    except subprocess.TimeoutExpired as e:
        raise AssertionError("the sweep hangs; last call: %s" % log.read_text()) from e
    # faulthandler's report after a crash starts with "Fatal Python error".
    err = proc.stderr
    at = max(err.find("Fatal Python error"), 0)
    tail = proc.stdout[-6000:] + "\n" + err[at:at + 4000]
    if proc.returncode < 0:
        raise AssertionError("the interpreter died of %s during %s\n%s" % (
            signal.Signals(-proc.returncode).name, log.read_text(), tail))
    hang = tmp_path / "current.hang"
    if hang.exists() and hang.read_text():
        raise AssertionError("a call hangs: %s\n%s" % (log.read_text(), hang.read_text()))
    # Per target: examples, then calls that returned, warned, raised a
    # host error, were refused by the package's checks.
    examples = {}
    if counts.exists():
        for line in counts.read_text().splitlines():
            name, rest = line.split(" ", 1)
            examples[name] = [int(k) for k in rest.split()]
    total = np.sum(list(examples.values()), axis=0) if examples else np.zeros(5, int)
    print("\nsweep: %d examples over %d targets: %d returned, %d warned, %d host errors, "
          "%d refused" % ((total[0], len(examples)) + tuple(total[1:])))
    for name, k in sorted(examples.items()):
        print("  %-32s %s" % (name, " ".join("%5d" % v for v in k)))
    assert proc.returncode == 0, tail
    assert examples and min(k[0] for k in examples.values()) > 0


def test_sweep_findings(nile):
    """What the sweep found: arguments of the wrong kind raised errors that
    named no argument (or AttributeError, or a DeprecationWarning), and
    builders whose numbers overflow handed on infinite matrices."""
    model = vantrel.Model(sys=[[1.0], [1.0]], var=[[1469.1, 0.0], [0.0, 15099.0]])
    # The simulation smoother warns once under the exact treatment: its
    # argument checks are seen on the host's Vbig start.
    approx = vantrel.Model(sys=[[1.0], [1.0]], var=[[1469.1, 0.0], [0.0, 15099.0]],
                           diffuse="approximate")
    cases = [
        (lambda: vantrel.add_regression(None, np.arange(5.0)), TypeError, "model"),
        (lambda: vantrel.stsm(None), TypeError, "components"),
        (lambda: vantrel.stsm([[0, "a"]]), TypeError, "components"),
        (lambda: vantrel.spline("a"), TypeError, "delta"),
        (lambda: vantrel.arma(ar=[0.5], sigma=None), TypeError, "sigma"),
        (lambda: vantrel.arma(ma=[-1e308]), ValueError, "ma"),
        (lambda: vantrel.stsm([[vantrel.LEVEL, 1e200]]), ValueError, "components"),
        (lambda: model.moments(nile, ["smoothed"]), ValueError, "which"),
        (lambda: model.conditional(nile, {"a": 1}), ValueError, "which"),
        (lambda: model.simsmo_draw(None), TypeError, "weights"),
        (lambda: approx.simsmo_draw(approx.simsmo_weights(nile), seed="x"), TypeError, "seed"),
        (lambda: vantrel.set_library_warnings(np.zeros(0)), TypeError, "on"),
        (lambda: vantrel.set_strict(np.zeros(0)), TypeError, "flag"),
        (lambda: vantrel.fit(None, nile, [1.0]), TypeError, "build"),
        (lambda: vantrel.fit(lambda p: None, nile, [1.0]), TypeError, "build"),
        (lambda: vantrel.fit(lambda p: model, nile, "ab"), ValueError, "start"),
        (lambda: vantrel.fit(lambda p: model, nile, [1.0], method="nope"), ValueError, "method"),
        (lambda: vantrel.fit(lambda p: model, nile, [1.0], bounds="ab"), ValueError, "bounds"),
        (lambda: model.loglik(np.array([np.inf, -np.inf, 1.0])), ValueError, "y"),
        (lambda: vantrel.fit(lambda p: model, nile, [1 + 1j]), ValueError, "start"),
        (lambda: model.forecast(nile, 2**70), ValueError, "steps"),
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for f, kind, name in cases:
            with pytest.raises(kind, match=r"\b%s\b" % name):
                f()
        # Data whose sum overflows: a numerical failure, not numpy's warning.
        with pytest.raises(vantrel.VantrelWarning):
            model.loglik(np.array([1e308, 1e308, 1.0]))
    assert not vantrel.set_strict(False)


def test_sweep_findings_exact():
    """Found after the exact treatment joined: elements near the largest
    double overflowed the variance check (LinAlgError); data a model fits
    exactly gave loglik_conc a zero scale (math domain error); an innovation
    far outside a tiny variance gave loglik -inf.  Both now warn and give NaN."""
    h = 1.4e308
    # Eigenvalues h (1 +- 0.9) and h (1 +- 1.1): a variance, then not one.
    vantrel.Model([[1.0], [1.0]], [[h, 0.9 * h], [0.9 * h, h]])
    with pytest.raises(vantrel.VantrelError, match=r"var: not positive semi-definite: "
                       r"smallest eigenvalue -1\.4e\+307"):
        vantrel.Model([[1.0], [1.0]], [[h, 1.1 * h], [1.1 * h, h]])
    # No state observed: y = 0 is the mean, the scale sum of squares is 0.
    unobserved = vantrel.Model([[0.0], [0.0]], 0.1 * np.eye(2))
    # The diffuse level seen through a loading too small to count: an
    # ordinary step of variance 5e-324 and innovation -4.
    huge = vantrel.Model([[1.0], [1e-9]], np.diag([0.5, 5e-324]))
    for call in (lambda: unobserved.loglik_conc(np.array([0.0])).loglik,
                 lambda: huge.loglik(np.array([-4.0, 0.0])),
                 lambda: huge.score(np.array([-4.0, 0.0])).loglik):
        with pytest.warns(vantrel.VantrelWarning):
            assert np.isnan(call())

    # Draws of an explosive model overflow: NaN there, warned.
    walk = vantrel.Model([[1e10], [1.0]], np.eye(2), init=[[1.0], [0.0]])
    with pytest.warns(vantrel.VantrelWarning, match="overflow"):
        sim = walk.simulate(40, seed=1)
    assert not np.isinf(sim.state).any() and np.isnan(sim.state).any()
