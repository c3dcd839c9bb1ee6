#!/usr/bin/python3
"""Fits a local linear trend with a monthly seasonal to the Mauna Loa CO2
series (monthly means, five months missing), prints the summary and
writes three pictures: the components with their 95% bands, the residual
diagnostics, and the last years with a five-year forecast and its interval.

    PYTHONPATH=python VANTREL_LIB_DIR=build /usr/bin/python3 examples/co2.py [out-dir]
"""
import os
import sys

import matplotlib
matplotlib.use("Agg")
import pandas as pd
from matplotlib.figure import Figure

import vantrel

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "out"
    os.makedirs(out, exist_ok=True)
    data = pd.read_csv(os.path.join(HERE, "data", "co2.csv"))
    start = "%d-%02d" % (data["year"][0], data["month"][0])
    co2 = pd.Series(data["co2"].to_numpy(),
                    index=pd.period_range(start, periods=len(data), freq="M"), name="co2")

    res = vantrel.Structural(co2, slope=True, seasonal=12).fit()
    print(res.summary())

    res.plot_components().savefig(os.path.join(out, "co2_components.png"), dpi=90)
    res.plot_diagnostics().savefig(os.path.join(out, "co2_diagnostics.png"), dpi=90)

    fc = res.forecast(60)
    ci = fc.conf_int(0.05)
    recent = co2["1990":]
    fig = Figure(figsize=(8, 4), layout="constrained")
    ax = fig.subplots()
    ax.plot(recent.index.to_timestamp(), recent.to_numpy(), ".", ms=3, color="0.3",
            label="monthly mean")
    t = fc.mean.index.to_timestamp()
    ax.plot(t, fc.mean.to_numpy(), color="C0", label="forecast")
    ax.fill_between(t, ci["lower"].to_numpy(), ci["upper"].to_numpy(), color="C0",
                    alpha=0.25, label="95% interval")
    ax.set_ylabel("CO2 (ppm)")
    ax.set_title("Mauna Loa CO2: five-year forecast")
    ax.legend(loc="upper left", fontsize="small")
    fig.savefig(os.path.join(out, "co2_forecast.png"), dpi=90)
    print("wrote co2_components.png, co2_diagnostics.png and co2_forecast.png in %s" % out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
