"""The three front ends give the same doubles: the talven command (OUTEST=), the Python package
and the R package, on the shipped study and generated ones (contrasts, 0/1 coding, missing
values, a STG2SAMPLE, a text stage-1 treatment as text and as a factor), with the same SEED: the
same estimates and limits, the same recommendations, the same coding note.

Needs TALVEN_BIN (the talven command), the talven Python package on the path and the R package
in R's library path; scripts/test.sh provides them. Without TALVEN_BIN the test is skipped,
unless TALVEN_AGREEMENT=required, as in CI.
"""
import csv
import math
import os
import shutil
import subprocess
import warnings
from pathlib import Path
from typing import Dict, List, Tuple

import pandas as pd
import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
DATA = Path(__file__).resolve().parent / "data"
EXAMPLES = REPOSITORY / "examples"

Row = Tuple[int, str, float, float, float]

MODEL = dict(main1="age", tailor1="o11", stg1trt="a1", stg2sample="stage2",
             main2="age sidefx", tailor2="o21", stg2trt="a2", response="y")

CASES = {
    "shipped": dict(MODEL, data=EXAMPLES / "smart_study.csv",
                    contrasts=EXAMPLES / "smart_contrasts.csv", seed=2018, nbootstrap1=1000,
                    nbootstrap2=1000),
    "contrasts": dict(MODEL, data=DATA / "agree_contrasts.csv",
                      contrasts=DATA / "agree_contrasts_con.csv", main1="age x1_2",
                      tailor1="o11 o12", main2="sidefx x2_2", seed=401, nbootstrap1=400,
                      nbootstrap2=200),
    "coding01": dict(MODEL, data=DATA / "agree_01.csv", contrasts=None, seed=402,
                     nbootstrap1=400, nbootstrap2=200),
    "missing": dict(MODEL, data=DATA / "agree_missing.csv", contrasts=None, seed=403,
                    nbootstrap1=400, nbootstrap2=200),
    # The missing case with its stage-1 treatment as text, and as a factor whose categories are
    # ordered otherwise than the coding.
    "text": dict(MODEL, data=DATA / "agree_text.csv", contrasts=None, seed=403,
                 nbootstrap1=400, nbootstrap2=200),
    "text_factor": dict(MODEL, data=DATA / "agree_text.csv", contrasts=None, seed=403,
                        nbootstrap1=400, nbootstrap2=200, factor="a1 MED BMOD"),
}
CODING_NOTE = "STG1TRT a1: 'BMOD' is coded -1 and 'MED' 1."
# The regime table's recommendations each front end gives for the data analysed.
RECOMMENDATIONS: Dict[str, Dict[str, List[str]]] = {}

ROLES = ("main1", "tailor1", "stg1trt", "stg2sample", "main2", "tailor2", "stg2trt", "response")


def talven_bin() -> str:
    program = os.environ.get("TALVEN_BIN")
    if not program:
        if os.environ.get("TALVEN_AGREEMENT") == "required":
            pytest.fail("TALVEN_BIN must name the talven command")
        pytest.skip("TALVEN_BIN is not set")
    return program


def number(text: str) -> float:
    return float(text) if text.strip() else math.nan


def recommendations(table: pd.DataFrame) -> List[str]:
    def shown(v) -> str:
        return "." if pd.isna(v) else v if isinstance(v, str) else f"{float(v):g}"
    return [" ".join(shown(v) for v in row)
            for row in table[["REC1", "REC2"]].itertuples(index=False)]


RULES: Dict[str, Dict[str, List[str]]] = {}


def listing_rules(listing: str) -> List[str]:
    """The rule lines of both stages as the listing prints them under RULES."""
    lines = listing.splitlines()
    out = []
    for k, line in enumerate(lines):
        if line.startswith("Stage ") and line.endswith(" Decision Rule"):
            for rule in lines[k + 2:]:
                if not rule.strip():
                    break
                out.append(rule)
    return out


def from_talven(case: Dict, folder: Path) -> List[Row]:
    shutil.copy(case["data"], folder / "study.csv")
    statement = "PROC TALVEN DATA=study OUTEST=estimates OUT=regime DERIVECI RULES"
    if case["contrasts"]:
        shutil.copy(case["contrasts"], folder / "con.csv")
        statement += " CONTRAST1=con"
    statement += (f" SEED={case['seed']} NBOOTSTRAP1={case['nbootstrap1']}"
                  f" NBOOTSTRAP2={case['nbootstrap2']};")
    lists = "".join(f" {role.upper()} {case[role]};" for role in ROLES)
    run = subprocess.run([talven_bin(), "-L", str(folder), "-e", statement + lists + " RUN;"],
                         capture_output=True, text=True)
    assert run.returncode in (0, 1), run.stderr
    if case["data"].name == "agree_text.csv":
        assert f"NOTE: {CODING_NOTE}" in run.stderr.splitlines()
    RULES.setdefault(str(folder), {})["talven"] = listing_rules(run.stdout)
    RECOMMENDATIONS.setdefault(str(folder), {})["talven"] = recommendations(
        pd.read_csv(folder / "regime.csv", na_values=["."]))
    with open(folder / "estimates.csv", newline="") as file:
        return [(int(r["Stage"]), r["Term"], number(r["Estimate"]), number(r["Lower"]),
                 number(r["Upper"])) for r in csv.DictReader(file)]


def from_python(case: Dict, folder: Path) -> List[Row]:
    import talven

    # Python's own float parser rounds correctly; pandas' default one does not always.
    data = pd.read_csv(case["data"], float_precision="round_trip")
    if case.get("factor"):
        variable, *levels = case["factor"].split()
        data[variable] = data[variable].astype(pd.CategoricalDtype(levels))
    contrasts = (pd.read_csv(case["contrasts"], float_precision="round_trip")
                 if case["contrasts"] else None)
    roles = {role: case[role].split() for role in ROLES}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = talven.fit(data, contrasts=contrasts, intervals=True, seed=case["seed"],
                            nbootstrap1=case["nbootstrap1"], nbootstrap2=case["nbootstrap2"],
                            **roles)
    if case["data"].name == "agree_text.csv":
        assert CODING_NOTE in result.notes
        assert list(result.results["coding"].itertuples(index=False, name=None)) == [
            ("a1", "BMOD", -1), ("a1", "MED", 1)]
        assert any(n.startswith("a1: the categories are ordered 'MED', 'BMOD'")
                   for n in result.notes) == bool(case.get("factor"))
    RECOMMENDATIONS.setdefault(str(folder), {})["python"] = recommendations(
        result.recommend(data))
    rules = result.rules()
    RULES.setdefault(str(folder), {})["python"] = list(rules.stage1) + list(rules.stage2)
    return [(int(r.Stage), r.Term, r.Estimate, r.Lower, r.Upper)
            for r in result.to_frame().itertuples(index=False)]


def from_r(case: Dict, folder: Path) -> List[Row]:
    spec = folder / "case.csv"
    with open(spec, "w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["key", "value"])
        for key, value in case.items():
            writer.writerow([key, "" if value is None else str(value)])
    run = subprocess.run(["Rscript", str(Path(__file__).parent / "agreement.R"), str(spec)],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    rows = []
    notes = []
    recs = []
    for line in run.stdout.splitlines():
        if line.startswith("#note\t"):
            notes.append(line.split("\t", 1)[1])
            continue
        if line.startswith("#rec\t"):
            recs.append(line.split("\t", 1)[1])
            continue
        if line.startswith("#rule\t"):
            RULES.setdefault(str(folder), {}).setdefault("R", []).append(line.split("\t", 1)[1])
            continue
        stage, term, *values = line.split("\t")
        rows.append((int(stage), term, *[math.nan if v == "nan" else float.fromhex(v)
                                          for v in values]))
    if case["data"].name == "agree_text.csv":
        assert CODING_NOTE in notes
    RECOMMENDATIONS.setdefault(str(folder), {})["R"] = recs
    return rows


def same(a: float, b: float) -> bool:
    return (math.isnan(a) and math.isnan(b)) or a.hex() == b.hex()


@pytest.mark.parametrize("name", sorted(CASES))
def test_talven_python_and_r_give_the_same_doubles(name, tmp_path):
    case = CASES[name]
    talven_rows = from_talven(case, tmp_path)
    python_rows = from_python(case, tmp_path)
    r_rows = from_r(case, tmp_path)
    assert [r[:2] for r in python_rows] == [r[:2] for r in talven_rows]
    assert [r[:2] for r in r_rows] == [r[:2] for r in talven_rows]
    differ = []
    for t, p, r in zip(talven_rows, python_rows, r_rows):
        for k, what in ((2, "Estimate"), (3, "Lower"), (4, "Upper")):
            if not (same(t[k], p[k]) and same(t[k], r[k])):
                differ.append(f"{t[1]} {what}: talven {t[k].hex()} python {p[k].hex()} "
                              f"R {r[k].hex()}")
    assert not differ, "\n".join(differ)
    recs = RECOMMENDATIONS[str(tmp_path)]
    assert recs["python"] == recs["talven"]
    assert recs["R"] == recs["talven"]
    rules = RULES[str(tmp_path)]
    assert rules["talven"] and rules["python"] == rules["talven"] and rules["R"] == rules["talven"]
    if case["data"].name == "agree_text.csv":
        # A text treatment in its own words everywhere: the rule and the recommendations.
        assert rules["talven"][0].startswith("Give BMOD ") or rules["talven"][0].startswith(
            "Give MED "), rules["talven"]
        assert {r.split()[0] for r in recs["talven"]} <= {"BMOD", "MED", "."}
    # The stage-1 rows have limits: the intervals were computed, not left empty.
    assert all(not math.isnan(row[3]) for row in talven_rows if row[0] == 1)


METHOD_CASES = ("shipped", "contrasts")


def out_from_talven(case: Dict, folder: Path) -> List[Dict[str, str]]:
    """OUT= of a point-estimate run: the regime table the methods must reproduce."""
    shutil.copy(case["data"], folder / "study.csv")
    lists = "".join(f" {role.upper()} {case[role]};" for role in ROLES)
    run = subprocess.run([talven_bin(), "-L", str(folder), "-e",
                          "PROC TALVEN DATA=study OUT=regime;" + lists + " RUN;"],
                         capture_output=True, text=True)
    assert run.returncode in (0, 1), run.stderr
    with open(folder / "regime.csv", newline="") as file:
        return list(csv.DictReader(file))


@pytest.mark.parametrize("name", METHOD_CASES)
def test_methods_after_a_round_trip_give_the_command_numbers(name, tmp_path):
    """Python's params, conf_int and predict, and R's coef, confint and predict, after pickle
    and saveRDS/readRDS, equal OUTEST= and OUT= of the command in hexadecimal."""
    import pickle

    import talven

    case = CASES[name]
    estimates = from_talven(case, tmp_path)
    regime = out_from_talven(case, tmp_path)
    data = pd.read_csv(case["data"], float_precision="round_trip")
    contrasts = (pd.read_csv(case["contrasts"], float_precision="round_trip")
                 if case["contrasts"] else None)
    roles = {role: case[role].split() for role in ROLES}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit = talven.fit(data, contrasts=contrasts, intervals=True, seed=case["seed"],
                         nbootstrap1=case["nbootstrap1"], nbootstrap2=case["nbootstrap2"],
                         **roles)
    fit = pickle.loads(pickle.dumps(fit))
    for stage, term, estimate, lower, upper in estimates:
        assert same(fit.params[(stage, term)], estimate), term
        if stage == 1:
            assert same(fit.conf_int().loc[(1, term), 0], lower), term
            assert same(fit.conf_int().loc[(1, term), 1], upper), term
    columns = [c for c in regime[0] if c.startswith(("Q1_", "Q2_", "REC"))]
    for stage in (1, 2):
        q = fit.predict(data, kind="q", stage=stage)
        treatment = fit.predict(data, stage=stage)
        for i, row in enumerate(regime):
            for column in [c for c in columns if c.startswith(f"Q{stage}_")]:
                assert same(q[column].iloc[i], number(row[column])), (i, column)
            assert same(treatment.iloc[i], number(row[f"REC{stage}"])), (i, stage)

    spec = tmp_path / "case.csv"
    with open(spec, "w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["key", "value"])
        for key, value in case.items():
            writer.writerow([key, "" if value is None else str(value)])
    run = subprocess.run(["Rscript", str(Path(__file__).parent / "agreement.R"), str(spec),
                          "methods"], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    lines = [line.split("\t") for line in run.stdout.splitlines()]
    got = [tuple(fields[:2]) + (read_hex(fields[2]),) for fields in lines[:len(estimates)]]
    assert [(g[0], g[1]) for g in got] == [(str(e[0]), e[1]) for e in estimates]
    assert all(same(g[2], e[2]) for g, e in zip(got, estimates))
    stage1 = [e for e in estimates if e[0] == 1]
    limits = lines[len(estimates):len(estimates) + len(stage1)]
    assert [fields[0] for fields in limits] == [e[1] for e in stage1]
    assert all(same(read_hex(f[1]), e[3]) and same(read_hex(f[2]), e[4])
               for f, e in zip(limits, stage1))
    predicted = lines[len(estimates) + len(stage1):]
    wanted = [[number(row[c]) for c in columns if c.startswith(("Q1_", "REC1"))]
              for row in regime]
    wanted += [[number(row[c]) for c in columns if c.startswith(("Q2_", "REC2"))]
               for row in regime]
    assert len(predicted) == len(wanted)
    for i, (fields, values) in enumerate(zip(predicted, wanted)):
        assert len(fields) == len(values) and all(
            same(read_hex(f), v) for f, v in zip(fields, values)), (i, fields, values)


def read_hex(text: str) -> float:
    return math.nan if text in ("nan", "NA") else float.fromhex(text)


VALUE_CASE = dict(MODEL, data=EXAMPLES / "smart_study.csv", contrasts=None, seed=2018,
                  nbootvalue=60, nboottune=12, nbootstrap2=60)


def value_from_talven(case: Dict, folder: Path) -> List[Tuple[str, str, float, float, float]]:
    shutil.copy(case["data"], folder / "study.csv")
    statement = (f"PROC TALVEN DATA=study VALUE OUTVALUE=values SEED={case['seed']}"
                 f" NBOOTVALUE={case['nbootvalue']} NBOOTTUNE={case['nboottune']}"
                 f" NBOOTSTRAP2={case['nbootstrap2']};")
    lists = "".join(f" {role.upper()} {case[role]};" for role in ROLES)
    run = subprocess.run([talven_bin(), "-L", str(folder), "-e", statement + lists + " RUN;"],
                         capture_output=True, text=True)
    assert run.returncode in (0, 1), run.stderr
    with open(folder / "values.csv", newline="") as file:
        return [(r["Kind"], r["Regime"], number(r["Estimate"]), number(r["Lower"]),
                 number(r["Upper"])) for r in csv.DictReader(file)]


def test_the_value_table_is_the_same_in_every_front_end(tmp_path):
    import talven

    case = VALUE_CASE
    talven_rows = value_from_talven(case, tmp_path)
    data = pd.read_csv(case["data"], float_precision="round_trip")
    roles = {role: case[role].split() for role in ROLES}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = talven.fit(data, value=True, seed=case["seed"], nbootvalue=case["nbootvalue"],
                            nboottune=case["nboottune"], nbootstrap2=case["nbootstrap2"],
                            **roles)
    python_rows = [(r.Kind, r.Regime, r.Estimate, r.Lower, r.Upper)
                   for r in result.value.itertuples(index=False)]
    spec = tmp_path / "case.csv"
    with open(spec, "w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["key", "value"])
        for key, value in case.items():
            writer.writerow([key, "" if value is None else str(value)])
    run = subprocess.run(["Rscript", str(Path(__file__).parent / "agreement.R"), str(spec)],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    r_rows = []
    for line in run.stdout.splitlines():
        kind, regime, *values = line.split("\t")
        r_rows.append((kind, regime, *[math.nan if v == "nan" else float.fromhex(v)
                                       for v in values]))
    assert len(talven_rows) == 11
    assert [r[:2] for r in python_rows] == [r[:2] for r in talven_rows]
    assert [r[:2] for r in r_rows] == [r[:2] for r in talven_rows]
    differ = [f"{t[1]} column {k}" for t, p, r in zip(talven_rows, python_rows, r_rows)
              for k in (2, 3, 4) if not (same(t[k], p[k]) and same(t[k], r[k]))]
    assert not differ, "\n".join(differ)
