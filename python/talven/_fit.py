"""talven.fit and its result, over the study layer's C interface."""
from __future__ import annotations

import ctypes
import warnings
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd

from . import _binding as b
from . import _interrupt

Names = Union[str, Sequence[str], None]
Data = Union[pd.DataFrame, Mapping[str, Any]]


class TalvenError(Exception):
    """An analysis that could not be done.

    ``str(error)`` is the explanation: the error messages and, when the analysis itself failed,
    its diagnostic lines. ``error.messages`` holds every message of the run as
    ``(severity, text)`` pairs, ``error.diagnostic`` the diagnostic lines alone.
    """

    def __init__(self, message: str, messages: Sequence[Tuple[str, str]] = (),
                 diagnostic: Sequence[str] = ()) -> None:
        super().__init__(message)
        self.messages: List[Tuple[str, str]] = list(messages)
        self.diagnostic: List[str] = list(diagnostic)


class TalvenWarning(UserWarning):
    """A doubtful input or result: the analysis went on (observations left out, few replicates,
    collinear replicates skipped, ...)."""


_SEVERITY = {b.MESSAGE_ERROR: "error", b.MESSAGE_WARNING: "warning", b.MESSAGE_NOTE: "note",
             b.MESSAGE_PLAIN: "text", b.MESSAGE_PROGRESS: "progress"}


def _names(value: Names) -> Optional[List[str]]:
    if value is None:
        return None
    if isinstance(value, str):
        return [value]
    names = list(value)
    for name in names:
        if not isinstance(name, str):
            raise TalvenError(f"Variable names must be strings; got {name!r}.")
    return names


def _as_doubles(name: str, values: Any, n: Optional[int]) -> np.ndarray:
    """One variable as contiguous doubles, missing values as NaN."""
    if isinstance(values, pd.Series):
        dtype = values.dtype
        if not (pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype)):
            raise TalvenError(f"Variable {name} is not numeric ({dtype}); the analysis reads "
                              "numeric variables only.")
        array = values.to_numpy(dtype="float64", na_value=np.nan)
    else:
        array = np.asarray(values)
        if array.dtype.kind not in "biuf":
            raise TalvenError(f"Variable {name} is not numeric ({array.dtype}); the analysis "
                              "reads numeric variables only.")
        array = array.astype("float64")
    if array.ndim != 1:
        raise TalvenError(f"Variable {name} must be one-dimensional; it has shape "
                          f"{array.shape}.")
    if n is not None and len(array) != n:
        raise TalvenError(f"Variable {name} has {len(array)} values; the data have {n} "
                          "observations.")
    return np.ascontiguousarray(array)


def _frame_columns(data: Data) -> Tuple[List[str], Any, Optional[int]]:
    """The names of the data's variables, a way to get one, and the number of observations."""
    if isinstance(data, pd.DataFrame):
        names = [str(column) for column in data.columns]
        if len(set(names)) != len(names):
            duplicates = sorted({n for n in names if names.count(n) > 1})
            raise TalvenError(f"The data have more than one variable named {duplicates[0]}.")
        return names, (lambda name: data[data.columns[names.index(name)]]), len(data)
    if isinstance(data, Mapping):
        names = [str(key) for key in data.keys()]
        keys = list(data.keys())
        return names, (lambda name: data[keys[names.index(name)]]), None
    raise TalvenError("data must be a pandas DataFrame or a mapping of names to arrays; got "
                      f"{type(data).__name__}.")


class _Study:
    """One study of the layer, freed with this object."""

    def __init__(self) -> None:
        self.lib = b.library()
        self.handle = self.lib.talven_study_new()
        if not self.handle:
            raise MemoryError("the study layer could not allocate a study")
        self.read = 0
        self.messages: List[Tuple[str, str]] = []

    def __del__(self) -> None:
        handle = getattr(self, "handle", None)
        if handle:
            self.lib.talven_study_free(handle)
            self.handle = None

    def new_messages(self) -> List[Tuple[int, str]]:
        """Messages since the last call, in order; warnings go to Python's warnings."""
        out = []
        count = self.lib.talven_study_text_count(self.handle, b.TEXT_MESSAGE)
        severity = ctypes.c_int32(0)
        for index in range(self.read, count):
            text = self.lib.talven_study_text(self.handle, b.TEXT_MESSAGE, index,
                                              ctypes.byref(severity)).decode("utf-8", "replace")
            out.append((severity.value, text))
            self.messages.append((_SEVERITY.get(severity.value, "text"), text))
        self.read = count
        for level, text in out:
            if level == b.MESSAGE_WARNING:
                warnings.warn(text, TalvenWarning, stacklevel=4)
        return out

    def check(self, result: int) -> None:
        """Raises TalvenError with the errors and their text when a step failed."""
        messages = self.new_messages()
        if result == 0:
            return
        lines = []
        for level, text in messages:
            if level == b.MESSAGE_ERROR:
                lines.append(text)
            elif level == b.MESSAGE_PLAIN and text.strip():
                lines.append("  " + text.strip())
        raise TalvenError("\n".join(lines) or "The analysis failed.", self.messages,
                          self.texts(b.TEXT_DIAGNOSTIC))

    def count(self, which: int) -> int:
        return int(self.lib.talven_study_count(self.handle, which))

    def number(self, which: int) -> float:
        return float(self.lib.talven_study_number(self.handle, which))

    def values(self, which: int, count: int) -> np.ndarray:
        out = np.zeros(count, dtype="float64")
        pointer = out.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
        if self.lib.talven_study_values(self.handle, which, pointer) != 0:
            raise TalvenError("The results of the analysis cannot be read.")
        return out

    def texts(self, which: int) -> List[str]:
        count = self.lib.talven_study_text_count(self.handle, which)
        return [self.lib.talven_study_text(self.handle, which, k, None).decode("utf-8", "replace")
                for k in range(max(count, 0))]


def _column_pointers(arrays: Sequence[Optional[np.ndarray]]) -> Any:
    pointers = (ctypes.POINTER(ctypes.c_double) * max(len(arrays), 1))()
    for k, array in enumerate(arrays):
        if array is not None:
            pointers[k] = array.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
    return pointers


_ROLES = (("MAIN1", b.ROLE_MAIN1), ("TAILOR1", b.ROLE_TAILOR1), ("MAIN2", b.ROLE_MAIN2),
          ("TAILOR2", b.ROLE_TAILOR2), ("RESPONSE", b.ROLE_RESPONSE),
          ("STG1TRT", b.ROLE_STG1TRT), ("STG2TRT", b.ROLE_STG2TRT),
          ("STG2SAMPLE", b.ROLE_STG2SAMPLE))


@dataclass
class Rules:
    """The estimated decision rules in words and the value of the estimated regime."""

    stage1: List[str]
    stage2: List[str]
    value: float
    mean_outcome: float
    n_stage1: int

    def __str__(self) -> str:
        lines: List[str] = []
        for number, rule in ((1, self.stage1), (2, self.stage2)):
            lines += [f"Stage {number} Decision Rule", "-" * 62, *rule, ""]
        lines += ["Value of the Estimated Regime", "-" * 62,
                  f"Estimated value (mean of VALUE1):             {self.value:10.4f}",
                  f"Mean observed outcome:                        {self.mean_outcome:10.4f}",
                  f"Observations in stage 1:                      {self.n_stage1:10d}"]
        return "\n".join(lines)


@dataclass(repr=False)
class TalvenResult:
    """The result of :func:`talven.fit`.

    ``coef`` holds the estimates as OUTEST= does: one row per stage-1 coefficient, per contrast
    and per stage-2 coefficient, with the columns Stage, Term, Estimate, Lower and Upper (the
    limits are NaN without intervals and for stage 2). Terms are full variable names:
    ``intercept``, the MAIN and TAILOR variables, ``tailor:treatment`` interactions, the treatment
    variables, ``Contrast1`` ...
    """

    coef: pd.DataFrame
    n_observations: int
    n_stage1: int
    n_stage2: int
    n_collinear: int
    seed: Optional[int]
    intervals: bool
    alpha: float
    nbootstrap1: int
    nbootstrap2: int
    ngrid: int
    notes: List[str]
    warnings: List[str]
    messages: List[Tuple[str, str]]
    _study: _Study = field(repr=False)
    _columns: List[str] = field(repr=False)
    _used: List[str] = field(repr=False)

    def __repr__(self) -> str:
        header = (f"TALVEN two-stage Q-learning: {self.n_observations} observations, "
                  f"{self.n_stage1} in stage 1, {self.n_stage2} in stage 2")
        lines = [header]
        if self.intervals:
            lines.append(f"Intervals at ALPHA={self.alpha:g} from NBOOTSTRAP1={self.nbootstrap1} "
                         f"and NBOOTSTRAP2={self.nbootstrap2} replicates, NGRID={self.ngrid}; "
                         f"SEED={self.seed}; {self.n_collinear} collinear replicates skipped")
        width = max([12] + [len(t) for t in self.coef["Term"]])
        for stage, title in ((1, "Stage 1"), (2, "Stage 2")):
            rows = self.coef[self.coef["Stage"] == stage]
            if rows.empty:
                continue
            limits = self.intervals and stage == 1
            lines.append("")
            lines.append(f"{title:<{width}}  {'Estimate':>10}" +
                         (f"  {'Lower':>10}  {'Upper':>10}" if limits else ""))
            for row in rows.itertuples(index=False):
                text = f"{row.Term:<{width}}  {row.Estimate:10.4f}"
                if limits:
                    text += f"  {row.Lower:10.4f}  {row.Upper:10.4f}"
                lines.append(text)
        return "\n".join(lines)

    def rules(self) -> Rules:
        """The decision rule of each stage in words and the estimated value of the regime."""
        s = self._study
        return Rules(stage1=s.texts(b.TEXT_RULE1), stage2=s.texts(b.TEXT_RULE2),
                     value=s.number(b.NUMBER_REGIME_VALUE),
                     mean_outcome=s.number(b.NUMBER_MEAN_OUTCOME), n_stage1=self.n_stage1)

    def recommend(self, data: Data) -> pd.DataFrame:
        """The regime table (OUT= columns) of the observations in ``data``.

        One row per observation: ``_STAGE1`` and ``_STAGE2`` (1 when the observation would enter
        that stage's fit, 0 when not, NaN when ``data`` lacks a variable of the fits),
        ``Q1_L1`` ... the Q-values under each treatment level, ``REC1`` the recommended level,
        the same for stage 2, and ``VALUE1`` (the stage-1 Q-value of the recommendation). A row
        whose covariates of a stage are missing gets NaN there. The levels are those of the
        notes (``Q1_L1 is a1 = 1`` ...): see ``levels``.
        """
        names, get, n = _frame_columns(data)
        arrays: List[Optional[np.ndarray]] = []
        for name in self._columns:
            if name in self._used and name in names:
                array = _as_doubles(name, get(name), n)
                n = len(array) if n is None else n
                arrays.append(array)
            else:
                arrays.append(None)
        rows = n or 0
        columns = self._study.texts(b.TEXT_OUT_COLUMN)
        out = np.zeros(max(rows * len(columns), 1), dtype="float64")
        result = self._study.lib.talven_study_recommend(
            self._study.handle, rows, _column_pointers(arrays),
            out.ctypes.data_as(ctypes.POINTER(ctypes.c_double)))
        if result != 0:
            raise TalvenError("The regime table cannot be computed.")
        table = out[:rows * len(columns)].reshape((len(columns), rows)).T
        index = data.index if isinstance(data, pd.DataFrame) else None
        return pd.DataFrame(table, columns=columns, index=index)

    @property
    def levels(self) -> List[str]:
        """Which treatment level each Q-value column stands for, per stage."""
        return self._study.texts(b.TEXT_OUT_LEVELS)


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

    Parameters
    ----------
    data:
        A pandas DataFrame, or a mapping of variable names to arrays, one observation (subject)
        per row. Missing values are NaN (or pandas' NA).
    response, stg1trt, tailor1, stg2trt, tailor2, main1, main2, stg2sample:
        A variable name or a list of names for each role, as the statements of ``PROC TALVEN``.
        A stage has one treatment more than it has treatment variables (NTREATS).
    contrasts:
        Linear combinations of the stage-1 coefficients: a 2-D array or DataFrame with one row
        per contrast and one column per stage-1 coefficient in the order of ``coef``.
    intervals:
        Compute the adaptive confidence intervals (two treatments at each stage only).
    alpha, nbootstrap1, nbootstrap2, ngrid, grid_scale, cores:
        The options ALPHA=, NBOOTSTRAP1=, NBOOTSTRAP2=, NGRID=, GRID_SCALE= and CORES=.
    seed:
        SEED= (1 to 2147483562): the bootstrap is repeatable. Without it the bootstrap is seeded
        from the clock, and the result's ``seed`` repeats the run.
    minimize:
        Smaller outcomes are better.
    progress:
        Show the progress of the bootstrap on stderr (a tqdm bar when tqdm is installed) once a
        fit has run for two seconds. Default: only when Python runs interactively.

    Ctrl-C stops a fit within a fraction of a second and raises KeyboardInterrupt; the process
    can fit again at once.

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
    names, get, n = _frame_columns(data)
    study = _Study()
    lib, handle = study.lib, study.handle
    for name in names:
        study.check(0 if lib.talven_study_add_column(handle, name.encode()) >= 0 else -1)

    roles = {"MAIN1": main1, "TAILOR1": tailor1, "MAIN2": main2, "TAILOR2": tailor2,
             "RESPONSE": response, "STG1TRT": stg1trt, "STG2TRT": stg2trt,
             "STG2SAMPLE": stg2sample}
    used: List[str] = []
    for role, number in _ROLES:
        given = _names(roles[role])
        if given is None:
            continue
        columns = []
        for name in given:
            if name not in names:
                raise TalvenError(f"Variable {name} of {role} is not in the data.")
            columns.append(names.index(name))
            used.append(name)
        array = (ctypes.c_int32 * max(len(columns), 1))(*columns)
        study.check(lib.talven_study_set_list(handle, number, len(columns), array))

    # A stage has one treatment more than it has treatment variables.
    treatments1 = _names(stg1trt)
    treatments2 = _names(stg2trt)
    options: Dict[str, Optional[float]] = {
        "NTREATS1": None if treatments1 is None else len(treatments1) + 1,
        "NTREATS2": None if treatments2 is None else len(treatments2) + 1, "ALPHA": alpha, "NBOOTSTRAP1": nbootstrap1,
        "NBOOTSTRAP2": nbootstrap2, "NGRID": ngrid, "GRID_SCALE": grid_scale, "SEED": seed,
        "CORES": cores, "DERIVECI": 1 if intervals else None, "MINIMIZE": 1 if minimize else None}
    for option, value in options.items():
        if value is None:
            continue
        try:
            number = float(value)
        except (TypeError, ValueError):
            raise TalvenError(f"{option.lower()} must be a number; got {value!r}.") from None
        study.check(lib.talven_study_set_option(handle, option.encode(), number))

    matrix: Optional[np.ndarray] = None
    if contrasts is not None:
        contrast_names = None
        if isinstance(contrasts, pd.DataFrame):
            contrast_names = [str(c) for c in contrasts.columns]
            frame = contrasts
            for c in frame.columns:
                _as_doubles(f"{c} of contrasts", frame[c], None)
            matrix = frame.to_numpy(dtype="float64", na_value=np.nan)
        else:
            matrix = np.asarray(contrasts, dtype="float64")
            if matrix.ndim == 1:
                matrix = matrix.reshape((1, -1))
        if matrix.ndim != 2:
            raise TalvenError("contrasts must be a 2-D array with one row per contrast.")
        encoded = None
        if contrast_names is not None:
            encoded = (ctypes.c_char_p * max(len(contrast_names), 1))(
                *[c.encode() for c in contrast_names])
        study.check(lib.talven_study_set_contrast_columns(handle, matrix.shape[1], encoded, None))

    study.check(lib.talven_study_check_options(handle))
    study.check(lib.talven_study_check_model(handle))

    arrays: List[Optional[np.ndarray]] = []
    for name in names:
        if name in used:
            array = _as_doubles(name, get(name), n)
            n = len(array) if n is None else n
            arrays.append(array)
        else:
            arrays.append(None)
    study.check(lib.talven_study_add_columns(handle, n or 0, _column_pointers(arrays)))
    study.check(lib.talven_study_end_rows(handle))
    if matrix is not None:
        values = np.asfortranarray(matrix)
        study.check(lib.talven_study_set_contrasts(
            handle, matrix.shape[0], values.ctypes.data_as(ctypes.POINTER(ctypes.c_double))))
    study.check(lib.talven_study_prepare(handle))
    study.check(_interrupt.run(lib, handle, progress))

    collinear = study.texts(b.TEXT_COLLINEAR)
    for text in collinear:
        warnings.warn(text, TalvenWarning, stacklevel=2)

    rows = study.count(b.COUNT_TABLE_ROWS)
    coef = pd.DataFrame({
        "Stage": study.values(b.VALUES_TABLE_STAGE, rows).astype("int64"),
        "Term": study.texts(b.TEXT_TABLE_TERM),
        "Estimate": study.values(b.VALUES_TABLE_ESTIMATE, rows),
        "Lower": study.values(b.VALUES_TABLE_LOWER, rows),
        "Upper": study.values(b.VALUES_TABLE_UPPER, rows),
    })
    with_intervals = study.count(b.COUNT_INTERVALS) == 1
    return TalvenResult(
        coef=coef,
        n_observations=study.count(b.COUNT_OBSERVATIONS),
        n_stage1=study.count(b.COUNT_STAGE1),
        n_stage2=study.count(b.COUNT_STAGE2),
        n_collinear=study.count(b.COUNT_COLLINEAR),
        seed=study.count(b.COUNT_SEED) if with_intervals else None,
        intervals=with_intervals,
        alpha=study.number(b.NUMBER_ALPHA),
        nbootstrap1=study.count(b.COUNT_NBOOTSTRAP1),
        nbootstrap2=study.count(b.COUNT_NBOOTSTRAP2),
        ngrid=study.count(b.COUNT_NGRID),
        notes=[t for s, t in study.messages if s == "note"],
        warnings=[t for s, t in study.messages if s == "warning"] + collinear,
        messages=list(study.messages),
        _study=study,
        _columns=names,
        _used=sorted(set(used)),
    )
