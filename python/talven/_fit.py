"""talven.fit and its result, over the study layer's C interface."""
from __future__ import annotations

import ctypes
import math
import warnings
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd

from . import _binding as b
from . import _interrupt, _present

Names = Union[str, Sequence[str], None]
Data = Union[pd.DataFrame, Mapping[str, Any]]


class TalvenError(Exception):
    """An analysis that could not be done.

    ``str(error)`` starts with the cause (the ERROR text, or for a failed estimation the
    diagnostic's conclusion, such as the dependent columns of a rank-deficient fit), followed by
    every error message and diagnostic line as the log shows them. ``error.messages`` holds every
    message of the run as ``(severity, text)`` pairs, ``error.diagnostic`` the diagnostic lines
    alone.
    """

    def __init__(self, message: str, messages: Sequence[Tuple[str, str]] = (),
                 diagnostic: Sequence[str] = ()) -> None:
        super().__init__(message)
        self.messages: List[Tuple[str, str]] = list(messages)
        self.diagnostic: List[str] = list(diagnostic)


class TalvenWarning(UserWarning):
    """A doubtful input or result: the analysis went on (observations left out, few replicates,
    collinear replicates skipped, ...)."""


def _explanation(lines: List[str], diagnostic: Sequence[str]) -> str:
    """The first ERROR that says what went wrong, then the whole block as the log shows it. A
    failed estimation's ERROR is generic: its cause is the diagnostic's last line."""
    if not lines:
        return "The analysis failed."
    cause = diagnostic[-1].strip() if diagnostic else lines[0]
    return "\n".join([cause] + lines) if cause != lines[0] else "\n".join(lines)


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


def _is_text(values: Any) -> bool:
    """True for a text or categorical variable: the layer codes a treatment of two values."""
    if isinstance(values, pd.Series):
        dtype = values.dtype
        return not (pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype))
    return np.asarray(values).dtype.kind in "OSU"


def _texts(values: Any) -> Tuple[List[Optional[bytes]], List[bytes]]:
    """A text variable's values (None when missing) and a categorical's categories in order."""
    series = values if isinstance(values, pd.Series) else pd.Series(np.asarray(values, dtype=object))
    levels: List[bytes] = []
    if isinstance(series.dtype, pd.CategoricalDtype):
        levels = [str(c).encode() for c in series.cat.categories]
    texts = [None if v is None or (isinstance(v, float) and np.isnan(v)) or v is pd.NA
             else (v.decode() if isinstance(v, bytes) else str(v)).encode()
             for v in series.astype(object).tolist()]
    return texts, levels


def _coded(values: Any, coding: pd.DataFrame, name: str) -> np.ndarray:
    """New data's text treatment in the codes of the fit; a value the fit never saw is missing."""
    codes = {str(v).rstrip(" "): float(c) for v, c, var in
             zip(coding["Value"], coding["Code"], coding["Variable"]) if var == name}
    texts, _ = _texts(values)
    return np.array([codes.get(t.decode().rstrip(" "), np.nan) if t is not None else np.nan
                     for t in texts], dtype="float64")


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

    def new_messages(self, stacklevel: int = 4) -> List[Tuple[str, str]]:
        """Messages since the last call, in order; warnings go to Python's warnings."""
        results = self.results()
        out = list(zip(results["messages.Severity"], results["messages.Text"]))[self.read:]
        self.read += len(out)
        self.messages += out
        for level, text in out:
            if level == "warning":
                warnings.warn(text, TalvenWarning, stacklevel=stacklevel)
        return out

    def check(self, result: int) -> None:
        """Raises TalvenError with the errors and their text when a step failed."""
        if result == 0:
            return
        messages = self.new_messages(stacklevel=5)
        lines = []
        for level, text in messages:
            if level == "error":
                lines.append(text)
            elif level == "text" and text.strip():
                lines.append("  " + text.strip())
        diagnostic = self.results()["diagnostic"]
        raise TalvenError(_explanation(lines, diagnostic), self.messages, diagnostic)

    def results(self) -> Dict[str, Any]:
        """Every result of the study by its name; the columns of a table as "table.column"."""
        lib, handle = self.lib, self.handle
        out: Dict[str, Any] = {}
        for index in range(max(lib.talven_study_result_count(handle), 0)):
            name = lib.talven_study_result_name(handle, index).decode("utf-8", "replace")
            kind = lib.talven_study_result_type(handle, index).decode()
            length = lib.talven_study_result_length(handle, index)
            if kind == "texts":
                out[name] = [lib.talven_study_result_text(handle, index, k).decode(
                    "utf-8", "replace") for k in range(length)]
                continue
            values = np.zeros(max(length, 1), dtype="float64")
            lib.talven_study_result_reals(handle, index,
                                          values.ctypes.data_as(ctypes.POINTER(ctypes.c_double)))
            values = values[:length]
            if kind == "count":
                out[name] = int(values[0])
            elif kind == "number":
                out[name] = float(values[0])
            else:
                out[name] = values.astype("int64") if kind == "integers" else values
        return out


def _column_pointers(arrays: Sequence[Optional[np.ndarray]]) -> Any:
    pointers = (ctypes.POINTER(ctypes.c_double) * max(len(arrays), 1))()
    for k, array in enumerate(arrays):
        if array is not None:
            pointers[k] = array.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
    return pointers


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


@dataclass(repr=False, eq=False)
class TalvenResult:
    """The result of :func:`talven.fit`: plain data, so it pickles, compares with ``==`` and
    predicts after a round trip.

    ``coef`` holds the estimates as OUTEST= does, indexed by ``Stage`` and ``Term``: one row per
    stage-1 coefficient, per contrast and per stage-2 coefficient, with the columns Estimate,
    Lower and Upper (the limits are NaN without intervals and for stage 2). Terms are full
    variable names: ``intercept``, the MAIN and TAILOR variables, ``tailor:treatment``
    interactions, the treatment variables, ``Contrast1`` ... ``coef.loc[(1, "a1")]`` is one row.

    Every other result of the study layer is an attribute by its name: ``n_observations``,
    ``n_stage1``, ``n_stage2``, ``n_collinear``, ``seed`` (None without intervals),
    ``intervals``, and the options in force (``alpha``, ``nbootstrap1``, ``ngrid`` ...);
    ``results`` holds them all.

    The examples of the methods use ``study`` and ``fit`` of this one, run from the
    repository's root (the shipped study with its two contrasts):

    >>> import pandas as pd, talven
    >>> study = pd.read_csv("examples/smart_study.csv")
    >>> contrasts = pd.read_csv("examples/smart_contrasts.csv")
    >>> fit = talven.fit(study, response="y", stg1trt="a1", tailor1="o11", stg2trt="a2",
    ...                  tailor2="o21", main1="age", main2=["age", "sidefx"],
    ...                  stg2sample="stage2", contrasts=contrasts, intervals=True,
    ...                  seed=2018, nbootstrap1=400, nbootstrap2=200)
    >>> fit.coef.loc[1].round(4)
               Estimate   Lower   Upper
    Term
    intercept    1.1793  0.6366  1.7863
    age          0.0349  0.0216  0.0466
    o11          0.3082  0.1530  0.4511
    o11:a1       0.3578  0.1994  0.4987
    a1           0.0761 -0.0399  0.1877
    Contrast1    0.8678  0.4473  1.2390
    Contrast2   -0.5636 -0.9200 -0.1774
    >>> (fit.n_observations, fit.n_stage1, fit.n_stage2, fit.seed)
    (300, 300, 150, 2018)
    >>> import pickle
    >>> again = pickle.loads(pickle.dumps(fit))
    >>> again == fit, again.predict(study).equals(fit.predict(study))
    (True, True)
    """

    coef: pd.DataFrame
    results: Dict[str, Any]
    notes: List[str]
    warnings: List[str]
    messages: List[Tuple[str, str]]
    # What a reloaded result needs to rebuild its study: the variables of the fits (with the
    # data's index) and the other arguments of talven.fit.
    _data: pd.DataFrame = field(repr=False)
    _arguments: Dict[str, Any] = field(repr=False)
    _live: Optional[Tuple[_Study, List[str]]] = field(default=None, repr=False)

    def __getattr__(self, name: str) -> Any:
        results = self.__dict__.get("results", {})
        if name in results:
            return results[name]
        raise AttributeError(f"TalvenResult has no result {name}")

    def __getstate__(self) -> Dict[str, Any]:
        # The study is a handle into the library: it is rebuilt from the data when needed.
        state = dict(self.__dict__)
        state["_live"] = None
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__dict__.update(state)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, TalvenResult):
            return NotImplemented
        return all(_same(getattr(self, name), getattr(other, name))
                   for name in ("coef", "results", "notes", "warnings", "messages", "_data",
                                "_arguments"))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return _present.text_table(self)

    def _repr_html_(self) -> str:
        return _present.html(self)

    @property
    def params(self) -> pd.Series:
        """The estimates as a Series indexed by ``(Stage, Term)``, contrasts among stage 1.

        >>> fit.params.loc[2].round(4)          # the stage-2 coefficients
        Term
        intercept    0.4902
        age          0.0398
        sidefx       0.2793
        o21          0.5580
        o21:a2       0.6781
        a2           0.0503
        Name: Estimate, dtype: float64
        >>> round(fit.params[(1, "a1")], 4)
        0.0761
        """
        return self.coef["Estimate"].copy()

    def conf_int(self, alpha: Optional[float] = None) -> pd.DataFrame:
        """The adaptive confidence limits of the stage-1 coefficients and contrasts, as
        statsmodels gives them: columns 0 (lower) and 1 (upper), indexed by ``(Stage, Term)``.

        The limits are those computed at the fit's ``alpha``; another ``alpha`` is refused, as
        is a fit without ``intervals=True``. Stage 2 has no limits.

        >>> fit.conf_int().round(4)
                              0       1
        Stage Term
        1     intercept  0.6366  1.7863
              age        0.0216  0.0466
              o11        0.1530  0.4511
              o11:a1     0.1994  0.4987
              a1        -0.0399  0.1877
              Contrast1  0.4473  1.2390
              Contrast2 -0.9200 -0.1774
        """
        if not self.intervals:
            raise TalvenError("The fit has no confidence intervals; fit with intervals=True.")
        if alpha is not None and not math.isclose(alpha, self.alpha):
            raise TalvenError(f"The intervals were computed at alpha={self.alpha:g}; fit again "
                              f"with alpha={alpha:g}.")
        rows = self.coef.loc[[1]]
        return pd.DataFrame({0: rows["Lower"], 1: rows["Upper"]})

    def summary(self) -> str:
        """The fit as text: counts, both stages' estimates with the limits, the coding of the
        treatments, the decision rules, the value of the estimated regime, notes and warnings.

        >>> print(fit.summary())
        TALVEN two-stage Q-learning: 300 observations, 300 in stage 1, 150 in stage 2
        Intervals at ALPHA=0.05 (level 95 %) from NBOOTSTRAP1=400 and NBOOTSTRAP2=200 ...
        Treatment coding
        --------------------------------------------------------------
        Stage 1: Q1_M1 is a1 = -1
        Stage 1: Q1_1 is a1 = 1
        Stage 2: Q2_M1 is a2 = -1
        Stage 2: Q2_1 is a2 = 1
        ...
        """
        return _present.summary(self)

    def to_frame(self) -> pd.DataFrame:
        """The estimate table with Stage and Term as columns, as OUTEST= writes it.

        >>> fit.to_frame().round(4).head(3)
           Stage       Term  Estimate   Lower   Upper
        0      1  intercept    1.1793  0.6366  1.7863
        1      1        age    0.0349  0.0216  0.0466
        2      1        o11    0.3082  0.1530  0.4511
        """
        return self.coef.reset_index()

    def rules(self) -> Rules:
        """The decision rule of each stage in words and the estimated value of the regime (in
        sample, so optimistic).

        >>> print(fit.rules())
        Stage 1 Decision Rule
        --------------------------------------------------------------
        Give a1 = -1 when o11 <= -0.2125; otherwise give a1 = 1
        <BLANKLINE>
        Stage 2 Decision Rule
        --------------------------------------------------------------
        Give a2 = -1 when o21 <= -0.07412; otherwise give a2 = 1
        <BLANKLINE>
        Value of the Estimated Regime
        --------------------------------------------------------------
        Estimated value (mean of VALUE1):                 3.1046
        Mean observed outcome:                            2.5127
        Observations in stage 1:                             300
        """
        r = self.results
        return Rules(stage1=r["rules1"], stage2=r["rules2"], value=r["regime_value"],
                     mean_outcome=r["mean_outcome"], n_stage1=self.n_stage1)

    @property
    def coding(self) -> Dict[int, Dict[str, Dict[str, float]]]:
        """Which treatment values each Q-value column stands for, per stage:
        ``{1: {"Q1_M1": {"a1": -1.0}, "Q1_1": {"a1": 1.0}}, 2: {...}}``.

        >>> fit.coding[2]
        {'Q2_M1': {'a2': -1.0}, 'Q2_1': {'a2': 1.0}}
        """
        return _coding(self.results)

    @property
    def levels(self) -> List[str]:
        """Which treatment level each Q-value column stands for, per stage, in words (see
        ``coding`` for the same as a mapping).

        >>> fit.levels[0]
        'OUT= levels of stage 1: Q1_M1 is a1 = -1; Q1_1 is a1 = 1.'
        """
        return list(self.results["levels"])

    def _study(self) -> Tuple[_Study, List[str]]:
        """The study of this fit; after a round trip, a point-estimate analysis of the saved
        data, which gives the layer the same coefficients and codes."""
        if self._live is None:
            from ._options import OPTIONS  # pylint: disable=import-outside-toplevel
            arguments = dict(self._arguments, data=self._data, intervals=False, contrasts=None)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                again = run(OPTIONS, arguments)
            self._live = again._live
        assert self._live is not None
        return self._live

    def recommend(self, data: Optional[Data] = None) -> pd.DataFrame:
        """The regime table (OUT= columns) of the observations in ``data`` (default: the data
        analysed).

        One row per observation: ``_STAGE1`` and ``_STAGE2`` (1 when the observation would enter
        that stage's fit, 0 when not, NaN when ``data`` lacks a variable of the fits),
        ``Q1_M1``, ``Q1_1`` ... the Q-values under each treatment (named after its values, in
        ascending order), ``REC1`` the recommended treatment (a text treatment's own text),
        the same for stage 2, and ``VALUE1`` (the stage-1 Q-value of the recommendation). A row
        whose covariates of a stage are missing gets NaN there. ``coding`` says which
        treatment each ``Q1_M1`` ... stands for.

        >>> fit.recommend(study.head(3)).round(4)
           _STAGE1  _STAGE2   Q1_M1    Q1_1  REC1   Q2_M1    Q2_1  REC2  VALUE1
        0      1.0      1.0  3.1789  4.0701   1.0  3.1579  2.0694  -1.0  4.0701
        1      1.0      0.0  2.7519  2.7616   1.0     NaN     NaN   NaN  2.7616
        2      1.0      1.0  2.7503  3.2856   1.0  2.1275  1.4657  -1.0  3.2856
        """
        if data is None:
            data = self._data
        study, study_columns = self._study()
        names, get, n = _frame_columns(data)
        used = set(self._data.columns)
        arrays: List[Optional[np.ndarray]] = []
        coding = self.results["coding"]
        for name in study_columns:
            if name in used and name in names:
                values = get(name)
                if _is_text(values) and name in set(coding["Variable"]):
                    values = _coded(values, coding, name)
                array = _as_doubles(name, values, n)
                n = len(array) if n is None else n
                arrays.append(array)
            else:
                arrays.append(None)
        rows = n or 0
        columns = self.results["out_columns"]
        out = np.zeros(max(rows * len(columns), 1), dtype="float64")
        result = study.lib.talven_study_recommend(
            study.handle, rows, _column_pointers(arrays),
            out.ctypes.data_as(ctypes.POINTER(ctypes.c_double)))
        if result != 0:
            raise TalvenError("The regime table cannot be computed.")
        table = out[:rows * len(columns)].reshape((len(columns), rows)).T
        index = data.index if isinstance(data, pd.DataFrame) else None
        frame = pd.DataFrame(table, columns=columns, index=index)
        # A text treatment's recommendation in its own values, as OUT= holds it.
        texts = self.results.get("out_texts")
        if texts is not None:
            for column in dict.fromkeys(texts["Column"]):
                rows_of = texts[texts["Column"] == column]
                frame[column] = frame[column].map(
                    dict(zip(rows_of["Code"].astype(float), rows_of["Value"])))
        return frame

    def predict(self, new_data: Optional[Data] = None, kind: str = "treatment",
                stage: int = 1) -> Union[pd.Series, pd.DataFrame]:
        """Predictions of a stage for ``new_data`` (default: the data analysed).

        ``kind="treatment"``: the recommended treatment (a Series named ``REC1`` or ``REC2``;
        with more than two treatments the level number, see ``coding``);
        ``kind="q"``: the Q-value under each treatment (a DataFrame, one column per level).
        Rows whose covariates of the stage are missing are NaN.

        >>> new = pd.DataFrame({"age": [35, 65], "o11": [-1.0, 1.5], "sidefx": [0, 1],
        ...                     "o21": [0.5, -1.0]})
        >>> fit.predict(new)
        0   -1.0
        1    1.0
        Name: REC1, dtype: float64
        >>> fit.predict(new, kind="q", stage=2).round(4)
            Q2_M1    Q2_1
        0  1.7726  2.5513
        1  3.4260  2.1703
        """
        if kind not in ("treatment", "q"):
            raise TalvenError(f'kind must be "treatment" or "q"; got {kind!r}.')
        if stage not in (1, 2):
            raise TalvenError(f"stage must be 1 or 2; got {stage!r}.")
        table = self.recommend(new_data)
        if kind == "treatment":
            return table[f"REC{stage}"]
        return table[[c for c in table.columns if c.startswith(f"Q{stage}_")]]

    def fitted(self, stage: int = 1) -> pd.Series:
        """The fitted Q-value at the treatment received, for each subject of the stage's fit,
        indexed as the data analysed.

        >>> fit.fitted(stage=2).head(3).round(4)
        0    2.0694
        2    2.1275
        4    2.9616
        Name: fitted2, dtype: float64
        """
        return self._per_subject("fitted", stage)

    def residuals(self, stage: int = 1) -> pd.Series:
        """The residual of each subject of the stage's fit: the outcome (stage 2) or the
        pseudo-outcome (stage 1) less the fitted value, indexed as the data analysed.

        >>> fit.residuals().head(3).round(4)
        0   -0.0210
        1   -0.3245
        2   -0.6228
        Name: residuals1, dtype: float64
        """
        return self._per_subject("residuals", stage)

    def _per_subject(self, what: str, stage: int) -> pd.Series:
        if stage not in (1, 2):
            raise TalvenError(f"stage must be 1 or 2; got {stage!r}.")
        rows = np.asarray(self.results[f"rows{stage}"], dtype="int64") - 1
        return pd.Series(self.results[f"{what}{stage}"], index=self._data.index[rows],
                         name=f"{what}{stage}")

    def plot(self, ax: Any = None) -> Any:
        """A forest plot of the stage-1 estimates and contrasts with their limits (matplotlib);
        returns the axes.

        >>> ax = fit.plot()
        >>> [label.get_text() for label in ax.get_yticklabels()][-2:]
        ['Contrast1', 'Contrast2']
        """
        return _present.forest_plot(self, ax)


def _same(a: Any, b: Any) -> bool:
    """Equality of result parts, NaN equal to NaN."""
    if isinstance(a, (pd.DataFrame, pd.Series)):
        return type(a) is type(b) and a.equals(b)
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and np.array_equal(a, b, equal_nan=a.dtype.kind == "f")
    if isinstance(a, dict):
        return isinstance(b, dict) and a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return (isinstance(b, (list, tuple)) and len(a) == len(b)
                and all(_same(x, y) for x, y in zip(a, b)))
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return bool(a == b)


def _coding(results: Mapping[str, Any]) -> Dict[int, Dict[str, Dict[str, float]]]:
    """The treatment values behind each Q-value column, from the layer's description of them
    ("OUT= levels of stage 1: Q1_M1 is a1 = -1; Q1_1 is a1 = 1.")."""
    out: Dict[int, Dict[str, Dict[str, float]]] = {}
    for line in results.get("levels", []):
        head, _, body = line.rstrip(".").partition(": ")
        stage = int(head.split()[-1])
        columns: Dict[str, Dict[str, float]] = {}
        for part in body.split("; "):
            column, _, values = part.partition(" is ")
            level: Dict[str, float] = {}
            for pair in values.split(", "):
                name, _, value = pair.rpartition(" = ")
                level[name or "level"] = _number_or_text(value)
            columns[column] = level
        out[stage] = columns
    return out


def _number_or_text(text: str) -> Any:
    try:
        return float(text)
    except ValueError:
        return text


def _option_value(argument: Optional[str], statement: str, kind: str, count_of: Optional[str],
                  args: Mapping[str, Any], roles: Mapping[str, Optional[List[str]]]) -> Any:
    """The number an argument hands to the study layer, or None when it is not given."""
    if count_of is not None:
        # A stage has one treatment more than it has treatment variables.
        given = roles.get(count_of)
        return None if given is None else len(given) + 1
    if argument is None or kind not in ("integer", "real", "seed", "flag"):
        return None
    value = args[argument]
    if kind == "flag":
        return 1 if value else None
    if value is None:
        return None
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TalvenError(f"{argument} must be a number; got {value!r}.") from None


def _contrast_matrix(contrasts: Any) -> Tuple[np.ndarray, Optional[List[str]]]:
    """The contrasts as a 2-D array and, for a DataFrame, the names of its columns."""
    if isinstance(contrasts, pd.DataFrame):
        for c in contrasts.columns:
            _as_doubles(f"{c} of contrasts", contrasts[c], None)
        return (contrasts.to_numpy(dtype="float64", na_value=np.nan),
                [str(c) for c in contrasts.columns])
    matrix = np.asarray(contrasts, dtype="float64")
    if matrix.ndim == 1:
        matrix = matrix.reshape((1, -1))
    if matrix.ndim != 2:
        raise TalvenError("contrasts must be a 2-D array with one row per contrast.")
    return matrix, None


def _tables(results: Dict[str, Any]) -> Dict[str, pd.DataFrame]:
    """The result columns named "table.column", gathered into one DataFrame per table."""
    tables: Dict[str, Dict[str, Any]] = {}
    for name in [n for n in results if "." in n]:
        table, column = name.split(".", 1)
        tables.setdefault(table, {})[column] = results.pop(name)
    return {name: pd.DataFrame(columns) for name, columns in tables.items()}


def run(options: Sequence[Tuple[Optional[str], str, str, Optional[str]]],
        args: Mapping[str, Any]) -> TalvenResult:
    """talven.fit: the arguments to the study layer as the option table declares them, the
    analysis in one call, and the results by name."""
    data = args[next(a for a, s, k, c in options if s == "DATA")]
    names, get, n = _frame_columns(data)
    study = _Study()
    lib, handle = study.lib, study.handle
    for name in names:
        study.check(0 if lib.talven_study_add_column(handle, name.encode()) >= 0 else -1)

    roles: Dict[str, Optional[List[str]]] = {}
    used: List[str] = []
    for argument, statement, kind, _ in options:
        if kind != "role":
            continue
        given = roles[statement] = _names(args[argument])
        if given is None:
            continue
        columns = []
        for name in given:
            if name in names:
                used.append(name)
                columns.append(names.index(name))
            elif "*" in name:
                # A product "x*y": the study layer reads the term and computes its column.
                factors = {f.strip().lower() for f in name.split("*")}
                used += [n for n in names if n.lower() in factors]
                columns.append(lib.talven_study_add_term(handle, name.encode()))
                study.check(0 if columns[-1] >= 0 else -1)
            else:
                raise TalvenError(f"Variable {name} of {statement} is not in the data.")
        array = (ctypes.c_int32 * max(len(columns), 1))(*columns)
        study.check(lib.talven_study_set_role(handle, statement.encode(), len(columns), array))
    for row in options:
        value = _option_value(*row, args, roles)
        if value is not None:
            study.check(lib.talven_study_set_option(handle, row[1].encode(), float(value)))

    contrasts = args[next(a for a, s, k, c in options if s == "CONTRAST1")]
    matrix: Optional[np.ndarray] = None
    if contrasts is not None:
        matrix, contrast_names = _contrast_matrix(contrasts)
        encoded = None
        if contrast_names is not None:
            encoded = (ctypes.c_char_p * max(len(contrast_names), 1))(
                *[c.encode() for c in contrast_names])
        study.check(lib.talven_study_set_contrast_columns(handle, matrix.shape[1], encoded, None))

    arrays: List[Optional[np.ndarray]] = []
    for k, name in enumerate(names):
        if name in used and _is_text(get(name)):
            texts, levels = _texts(get(name))
            if n is not None and len(texts) != n:
                raise TalvenError(f"Variable {name} has {len(texts)} values; the data have {n} "
                                  "observations.")
            n = len(texts) if n is None else n
            study.check(lib.talven_study_set_text_column(
                handle, k, len(texts), (ctypes.c_char_p * max(len(texts), 1))(*texts),
                len(levels), (ctypes.c_char_p * max(len(levels), 1))(*levels)))
            arrays.append(None)
            continue
        array = _as_doubles(name, get(name), n) if name in used else None
        n = len(array) if n is None and array is not None else n
        arrays.append(array)
    values = np.asfortranarray(matrix if matrix is not None else np.zeros((0, 0)))
    columns = _column_pointers(arrays)
    contrast_values = values.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
    study.check(_interrupt.run(lib, handle, args.get("progress"), lambda: lib.talven_study_analyse(
        handle, n or 0, columns, values.shape[0], contrast_values)))

    study.new_messages()
    results = study.results()
    for text in results["collinear"]:
        warnings.warn(text, TalvenWarning, stacklevel=3)
    tables = _tables(results)
    results["coding"] = tables.get("coding", pd.DataFrame(
        {"Variable": pd.Series([], dtype=object), "Value": pd.Series([], dtype=object),
         "Code": pd.Series([], dtype="int64")}))
    for argument, _, kind, _ in options:
        if kind == "flag" and argument in results:
            results[argument] = bool(results[argument])
    if not results.get("intervals") and not results.get("value"):
        results["seed"] = None
    # With value=True the value table stands in the flag's place; without it, None.
    results["value"] = tables.get("value")
    results["out_texts"] = tables.get("out_texts")
    coef = tables["coef"].set_index(["Stage", "Term"])
    data_argument = next(a for a, s, k, c in options if s == "DATA")
    kept = [name for name in names if name in used]
    frame = (data[[data.columns[names.index(name)] for name in kept]].copy()
             if isinstance(data, pd.DataFrame)
             else pd.DataFrame({name: _as_doubles(name, get(name), n) for name in kept}))
    frame.columns = kept
    return TalvenResult(
        coef=coef,
        results=results,
        notes=[t for s, t in study.messages if s == "note"],
        warnings=[t for s, t in study.messages if s == "warning"] + results["collinear"],
        messages=list(study.messages),
        _data=frame,
        _arguments={a: args[a] for a, _, _, _ in options if a is not None and a != data_argument},
        _live=(study, names),
    )
