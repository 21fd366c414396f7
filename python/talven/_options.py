# Generated from include/talven_options.h by the bindings target; do not edit.
"""talven.fit: its arguments and help, from the study layer's option table."""
from __future__ import annotations

from typing import Any, Optional

from ._fit import Data, Names, TalvenResult, run

# (argument, statement name, kind, role whose variables count it): how each argument reaches the
# study layer.
OPTIONS = (
    ("data", "DATA", "input", None),
    ("response", "RESPONSE", "role", None),
    ("stg1trt", "STG1TRT", "role", None),
    ("tailor1", "TAILOR1", "role", None),
    ("stg2trt", "STG2TRT", "role", None),
    ("tailor2", "TAILOR2", "role", None),
    ("main1", "MAIN1", "role", None),
    ("main2", "MAIN2", "role", None),
    ("stg2sample", "STG2SAMPLE", "role", None),
    ("contrasts", "CONTRAST1", "input", None),
    (None, "NTREATS1", "integer", "STG1TRT"),
    (None, "NTREATS2", "integer", "STG2TRT"),
    ("intervals", "DERIVECI", "flag", None),
    ("alpha", "ALPHA", "real", None),
    ("nbootstrap1", "NBOOTSTRAP1", "integer", None),
    ("nbootstrap2", "NBOOTSTRAP2", "integer", None),
    ("ngrid", "NGRID", "integer", None),
    ("grid_scale", "GRID_SCALE", "real", None),
    ("seed", "SEED", "seed", None),
    ("cores", "CORES", "integer", None),
    ("minimize", "MINIMIZE", "flag", None),
    ("progress", "PROGRESS", "package", None),
)


def fit(data: Data, response: Names, stg1trt: Names, tailor1: Names, stg2trt: Names,
        tailor2: Names, main1: Names = None, main2: Names = None, stg2sample: Names = None,
        contrasts: Any = None, intervals: bool = False, alpha: float = 0.05,
        nbootstrap1: int = 1000, nbootstrap2: int = 1000, ngrid: int = 10,
        grid_scale: float = 2.58, seed: Optional[int] = None, cores: Optional[int] = None,
        minimize: bool = False, progress: Optional[bool] = None) -> TalvenResult:
    """Two-stage Q-learning by backward induction, with adaptive bootstrap confidence intervals
    for the stage-1 coefficients and contrasts of them.

    The analysis is that of ``PROC TALVEN`` in the ``talven`` command, with the same data rules
    and messages: with the same data, options and ``seed`` it gives the same numbers, bit for bit.
    A variable list is a name or a list of names; a stage has one treatment more than it has
    treatment variables.

    Parameters
    ----------
    data:
        the data, one observation (subject) per row; missing values are NaN or NA (DATA=).
    response:
        the final outcome (RESPONSE).
    stg1trt:
        the stage-1 treatment variables, one fewer than the stage-1 treatments (STG1TRT).
    tailor1:
        the stage-1 tailoring covariates (TAILOR1).
    stg2trt:
        the stage-2 treatment variables, one fewer than the stage-2 treatments (STG2TRT).
    tailor2:
        the stage-2 tailoring covariates (TAILOR2).
    main1:
        the stage-1 main-effect covariates (MAIN1).
    main2:
        the stage-2 main-effect covariates (MAIN2).
    stg2sample:
        the indicator of the stage-2 sample: 1 in it, 0 not (STG2SAMPLE).
    contrasts:
        contrasts of the stage-1 coefficients: one row per contrast, one column per coefficient
        in the order of the estimates; a missing coefficient counts as 0 (CONTRAST1=).
    intervals:
        compute the adaptive confidence intervals; two treatments at each stage only (DERIVECI).
    alpha:
        one minus the confidence level of the intervals (ALPHA=).
    nbootstrap1:
        replicates of the main bootstrap (NBOOTSTRAP1=).
    nbootstrap2:
        replicates of the bootstrap of the stage-2 covariance (NBOOTSTRAP2=).
    ngrid:
        grid values per stage-2 treatment-effect coefficient (NGRID=).
    grid_scale:
        half-width of the grid in standard deviations (GRID_SCALE=).
    seed:
        the seed of the bootstrap, 1 to 2147483562: a repeatable run (SEED=). None: seeded from
        the clock; the result's seed repeats the run.
    cores:
        threads of the bootstrap; 0 or less: every usable core (CORES=). None: every usable
        core.
    minimize:
        smaller outcomes are better (MINIMIZE).
    progress:
        show the progress of a fit that runs for more than two seconds. None: only when Python
        or R runs interactively.

    Returns
    -------
    TalvenResult

    Raises
    ------
    TalvenError
        With the explanation when the analysis cannot be done. Doubtful inputs give a
        :class:`TalvenWarning` through Python's warnings.

    Not thread-safe: run one analysis at a time per process.
    """
    return run(OPTIONS, locals())
