#!/usr/bin/python3
"""Fits the local level model to the Nile flows with vantrel.fit, prints the
summary and writes the smoothed level with its 90% band as a PNG.

    PYTHONPATH=python VANTREL_LIB_DIR=build /usr/bin/python3 examples/nile.py [out-dir]
"""
import os
import sys

import numpy as np

import vantrel

HERE = os.path.dirname(os.path.abspath(__file__))


def local_level(p):
    """Local level model with standard deviations p = (level, irregular)."""
    return vantrel.stsm([(vantrel.LEVEL, p[0]), (vantrel.IRREG, p[1])])


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "out"
    os.makedirs(out, exist_ok=True)
    data = np.loadtxt(os.path.join(HERE, "data", "nile.csv"), delimiter=",", skiprows=1)
    years, flow = data[:, 0].astype(int), data[:, 1]

    fit = vantrel.fit(local_level, flow, start=[30.0, 100.0],
                      names=["sd level", "sd irregular"])
    print(fit.summary())
    print("\nvariances: level %.1f, irregular %.1f" % tuple(np.square(fit.params)))

    path = os.path.join(out, "nile_components.png")
    fit.plot_components(path, index=years, title="Nile flow at Aswan, 1871-1970")
    print("wrote", path)


if __name__ == "__main__":
    main()
