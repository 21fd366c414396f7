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
        raise TalvenError("\n".join(lines) or "The analysis failed.", self.messages,
                          self.results()["diagnostic"])

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


@dataclass(repr=False)
class TalvenResult:
    """The result of :func:`talven.fit`.

    ``coef`` holds the estimates as OUTEST= does: one row per stage-1 coefficient, per contrast
    and per stage-2 coefficient, with the columns Stage, Term, Estimate, Lower and Upper (the
    limits are NaN without intervals and for stage 2). Terms are full variable names:
    ``intercept``, the MAIN and TAILOR variables, ``tailor:treatment`` interactions, the treatment
    variables, ``Contrast1`` ...

    Every other result of the study layer is an attribute by its name: ``n_observations``,
    ``n_stage1``, ``n_stage2``, ``n_collinear``, ``seed`` (None without intervals),
    ``intervals``, and the options in force (``alpha``, ``nbootstrap1``, ``ngrid`` ...);
    ``results`` holds them all.
    """

    coef: pd.DataFrame
    results: Dict[str, Any]
    notes: List[str]
    warnings: List[str]
    messages: List[Tuple[str, str]]
    _study: _Study = field(repr=False)
    _columns: List[str] = field(repr=False)
    _used: List[str] = field(repr=False)

    def __getattr__(self, name: str) -> Any:
        results = self.__dict__.get("results", {})
        if name in results:
            return results[name]
        raise AttributeError(f"TalvenResult has no result {name}")

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
        r = self.results
        return Rules(stage1=r["rules1"], stage2=r["rules2"], value=r["regime_value"],
                     mean_outcome=r["mean_outcome"], n_stage1=self.n_stage1)

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
        coding = self.results["coding"]
        for name in self._columns:
            if name in self._used and name in names:
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
        return list(self.results["levels"])


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
    if not results.get("intervals"):
        results["seed"] = None
    return TalvenResult(
        coef=tables["coef"],
        results=results,
        notes=[t for s, t in study.messages if s == "note"],
        warnings=[t for s, t in study.messages if s == "warning"] + results["collinear"],
        messages=list(study.messages),
        _study=study,
        _columns=names,
        _used=sorted(set(used)),
    )
