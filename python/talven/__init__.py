"""TALVEN for Python: two-stage Q-learning with adaptive bootstrap confidence intervals for data
from sequential multiple-assignment randomized trials (SMARTs).

>>> import pandas as pd, talven
>>> study = pd.read_csv("examples/smart_study.csv")
>>> result = talven.fit(study, response="y", stg1trt="a1", tailor1="o11", stg2trt="a2",
...                     tailor2="o21", main1="age", main2=["age", "sidefx"],
...                     stg2sample="stage2", intervals=True, seed=2018)
>>> result.coef

The analysis is that of ``PROC TALVEN`` in the ``talven`` command, through the same study layer:
the same data, options and seed give the same numbers, bit for bit. The package is not
thread-safe: run one analysis at a time per process.
"""
from ._fit import Rules, TalvenError, TalvenResult, TalvenWarning
from ._options import fit

__all__ = ["fit", "TalvenResult", "Rules", "TalvenError", "TalvenWarning"]
__version__ = "1.0.0"
