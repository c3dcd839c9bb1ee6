"""Installs the Python package vantrel with the two libraries it loads.

The build step runs CMake to build libvantrel.so and libkelhost.so (Release,
without tests, benchmarks or examples) and puts them into the package's
_libs folder.  It needs nothing from the network: install with

    pip install --no-build-isolation .

into a virtual environment made with `python3 -m venv --system-site-packages`
(Debian's setuptools, numpy and scipy come from the system).
"""
import os
import shutil
import subprocess

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

ROOT = os.path.dirname(os.path.abspath(__file__))


class BuildWithCMake(build_py):
    def run(self):
        super().run()
        tree = os.path.join(ROOT, "build-python")
        subprocess.check_call(["cmake", "-S", ROOT, "-B", tree, "-DCMAKE_BUILD_TYPE=Release",
                               "-DVANTREL_TESTS=OFF", "-DVANTREL_BENCH=OFF",
                               "-DVANTREL_EXAMPLES=OFF"])
        subprocess.check_call(["cmake", "--build", tree, "--target", "vantrel", "kelhost",
                               "-j%d" % max(1, min(os.cpu_count() or 1, 4))])
        dest = os.path.join(self.build_lib, "vantrel", "_libs")
        os.makedirs(dest, exist_ok=True)
        for name in ("libvantrel.so", "libkelhost.so"):
            shutil.copy2(os.path.join(tree, name), os.path.join(dest, name))


class BinaryDistribution(Distribution):
    """The package carries native libraries: the wheel is platform-specific."""

    def has_ext_modules(self):
        return True


setup(
    name="vantrel",
    version="3.0",
    description="Linear Gaussian state space models: filtering, smoothing, likelihood, "
                "model builders (Python front end of the Vantrel library)",
    packages=["vantrel"],
    package_dir={"": "python"},
    python_requires=">=3.9",
    install_requires=["numpy", "scipy"],
    extras_require={"many": ["pandas", "distributed", "tqdm"]},
    extras_require={"plot": ["matplotlib"]},
    cmdclass={"build_py": BuildWithCMake},
    distclass=BinaryDistribution,
    zip_safe=False,
)
