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
    return [" ".join("." if pd.isna(v) else f"{float(v):g}" for v in row)
            for row in table[["REC1", "REC2"]].itertuples(index=False)]


def from_talven(case: Dict, folder: Path) -> List[Row]:
    shutil.copy(case["data"], folder / "study.csv")
    statement = "PROC TALVEN DATA=study OUTEST=estimates OUT=regime DERIVECI"
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
        assert list(result.coding.itertuples(index=False, name=None)) == [
            ("a1", "BMOD", -1), ("a1", "MED", 1)]
        assert any(n.startswith("a1: the categories are ordered 'MED', 'BMOD'")
                   for n in result.notes) == bool(case.get("factor"))
    RECOMMENDATIONS.setdefault(str(folder), {})["python"] = recommendations(
        result.recommend(data))
    return [(int(r.Stage), r.Term, r.Estimate, r.Lower, r.Upper)
            for r in result.coef.itertuples(index=False)]


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
    # The stage-1 rows have limits: the intervals were computed, not left empty.
    assert all(not math.isnan(row[3]) for row in talven_rows if row[0] == 1)
