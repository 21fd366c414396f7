"""talven.fit: results against the talven command's stored output, the result object, and the
errors and warnings of bad or doubtful inputs."""
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import talven

REPOSITORY = Path(__file__).resolve().parents[2]
STUDY = REPOSITORY / "examples" / "smart_study.csv"
CONTRASTS = REPOSITORY / "examples" / "smart_contrasts.csv"

MODEL = dict(response="y", stg1trt="a1", tailor1="o11", stg2trt="a2", tailor2="o21",
             main1="age", main2=["age", "sidefx"], stg2sample="stage2")


def read(path: Path) -> pd.DataFrame:
    return pd.read_csv(path, float_precision="round_trip")


@pytest.fixture(scope="module")
def study() -> pd.DataFrame:
    return read(STUDY)


def test_point_estimates_equal_the_listing_of_the_talven_command(study):
    # The second step of the shipped example: point estimates only, four decimals in the listing.
    listing = (REPOSITORY / "tests" / "golden" / "expected" / "smart_study" / "listing.lst")
    second = listing.read_text().split("PROC TALVEN -- Q-Learning")[2]
    printed = [float(line.split()[-1]) for line in second.splitlines()
               if not line.startswith("Number") and line.split()
               and line.split()[-1].lstrip("-").replace(".", "", 1).isdigit()]
    result = talven.fit(study, **MODEL)
    assert [round(x, 4) for x in result.coef["Estimate"]] == printed
    assert (result.n_observations, result.n_stage1, result.n_stage2) == (300, 300, 150)
    assert not result.intervals and result.seed is None
    assert result.coef["Lower"].isna().all()


def test_intervals_are_repeatable_with_a_seed_and_from_the_clock(study):
    contrasts = read(CONTRASTS)
    options = dict(MODEL, contrasts=contrasts, intervals=True, nbootstrap1=200, nbootstrap2=100)
    seeded = talven.fit(study, seed=77, **options)
    again = talven.fit(study, seed=77, **options)
    pd.testing.assert_frame_equal(seeded.coef, again.coef, check_exact=True)
    assert seeded.seed == 77
    assert list(seeded.coef.index.get_level_values("Term")) == ["intercept", "age", "o11", "o11:a1", "a1", "Contrast1",
                                                                "Contrast2", "intercept", "age",
                                                                "sidefx", "o21", "o21:a2", "a2"]
    stage1 = seeded.coef.loc[1]
    assert (stage1["Lower"] <= stage1["Estimate"]).all()
    assert (stage1["Estimate"] <= stage1["Upper"]).all()
    # A contrast row of coefficient weights is that sum of the estimates.
    beta = stage1["Estimate"].to_numpy()[:5]
    assert stage1["Estimate"].iloc[5] == pytest.approx(contrasts.iloc[0].to_numpy() @ beta)

    clock = talven.fit(study, **options)
    assert 1 <= clock.seed <= 2147483562
    repeat = talven.fit(study, seed=clock.seed, **options)
    pd.testing.assert_frame_equal(clock.coef, repeat.coef, check_exact=True)
    assert any("seeded from the clock" in note for note in clock.notes)
    assert "SEED=77" in repr(seeded) and "o11:a1" in repr(seeded)


def test_a_mapping_of_arrays_gives_the_same_result_as_a_data_frame(study):
    mapping = {name: study[name].to_numpy() for name in study.columns}
    from_frame = talven.fit(study, **MODEL)
    from_mapping = talven.fit(mapping, **MODEL)
    pd.testing.assert_frame_equal(from_frame.coef, from_mapping.coef, check_exact=True)


def test_rules_and_recommendations_agree(study):
    result = talven.fit(study, **MODEL)
    table = result.recommend(study)
    assert list(table.columns) == ["_STAGE1", "_STAGE2", "Q1_M1", "Q1_1", "REC1", "Q2_M1",
                                   "Q2_1", "REC2", "VALUE1"]
    rules = result.rules()
    assert rules.value == pytest.approx(table["VALUE1"].mean())
    assert rules.mean_outcome == pytest.approx(study["y"].mean())
    assert rules.stage1[0].startswith("Give a1 = ")
    assert "Value of the Estimated Regime" in str(rules)
    # Responders left stage 2: no stage-2 covariates, so no stage-2 Q-values.
    responders = study["stage2"] == 0
    assert table.loc[responders, "_STAGE2"].eq(0).all()
    assert table.loc[responders, "Q2_M1"].isna().all()
    # New subjects with covariates only: Q-values, but no word on the fits.
    fresh = result.recommend(study[["age", "o11", "sidefx", "o21"]])
    assert fresh["_STAGE1"].isna().all()
    np.testing.assert_array_equal(fresh["VALUE1"].to_numpy(), table["VALUE1"].to_numpy())


@pytest.mark.parametrize("change, arguments, message", [
    (None, dict(nbootstrap1=0), "NBOOTSTRAP1 must be positive."),
    (None, dict(alpha=1.5), "ALPHA must be less than 1."),
    (None, dict(seed=0, intervals=True), "SEED must be between 1 and 2147483562."),
    (None, dict(main2=["age", "y"]), "Variable y is the RESPONSE variable and cannot also be in MAIN2."),
    (None, dict(tailor1="nothing"), "Variable nothing of TAILOR1 is not in the data."),
    (None, dict(main1=["age", "o11"]), "Please remove variable o11 from MAIN1"),
    (lambda d: d.assign(age=d["age"].astype(str)), {},
     "Variable age in the MAIN1 list is character; only numeric variables can be used there."),
    (lambda d: d.assign(a1=np.where(d.index == 299, "0", d["a1"].astype(str))), {},
     "Variable a1 in the STG1TRT list is character; only numeric variables can be used there.\n"
     "  a1 holds the values '-1', '0', '1'; a character variable is accepted in STG1TRT only "
     "when it holds two values and NTREATS1=2."),
    (lambda d: d.assign(a1=np.where(d.index == 299, 0, d["a1"])), {},
     "Treatment variable in stage 1 has more than 2 treatments"),
    (lambda d: d.assign(stage2=0), {},
     "The stage-2 sample has 0 observations: no observation used has STG2SAMPLE stage2 = 1;"),
    (None, dict(contrasts=[[1, 0, 0]]), "Contrast1 Dataset should have 5 columns."),
])
def test_bad_inputs_raise_talven_error_with_the_message(study, change, arguments, message):
    data = change(study) if change else study
    with pytest.raises(talven.TalvenError) as error:
        talven.fit(data, **dict(MODEL, **arguments))
    assert str(error.value).startswith(message), str(error.value)


@pytest.mark.parametrize("factors, role", [
    (["o11", "a1"], "main2"),
    (["age", "o11", "a1"], "main2"),
    (["o21", "a1"], "tailor2"),
    (["age", "o11"], "main1"),
])
def test_a_written_product_equals_a_column_holding_it(study, factors, role):
    term = "*".join(factors)
    product = study[factors[0]].to_numpy().copy()
    for factor in factors[1:]:
        product = product * study[factor].to_numpy()
    given = MODEL[role] if isinstance(MODEL[role], list) else [MODEL[role]]
    options = dict(MODEL, intervals=True, seed=9, nbootstrap1=40, nbootstrap2=20, ngrid=3)
    options[role] = given + [term]
    written = talven.fit(study, **options)
    precomputed = talven.fit(study.assign(**{term: product}), **options)
    pd.testing.assert_frame_equal(written.coef, precomputed.coef, check_exact=True)
    assert term in list(written.coef.index.get_level_values("Term"))
    assert written.n_stage1 == precomputed.n_stage1


def test_a_product_with_an_unknown_factor_names_it(study):
    with pytest.raises(talven.TalvenError) as error:
        talven.fit(study, **dict(MODEL, main2=["age", "age*dose"]))
    assert str(error.value).startswith("Variable dose of the term age*dose is not in data set")


def test_a_failed_analysis_raises_the_diagnostic_text(study):
    data = study.assign(age2=study["age"] * 2)
    with pytest.raises(talven.TalvenError) as error:
        talven.fit(data, **dict(MODEL, main2=["age", "age2"]))
    text = str(error.value)
    # The cause first, then the block as the log shows it.
    assert text.splitlines()[0] == (
        "Rank-deficient fit: stage-2 fit of the data; dependent columns age, age2")
    assert text.splitlines()[1] == (
        "A problem occured during model estimation.  Diagnostic information is as follows:")
    assert error.value.diagnostic[-1] == (
        "Rank-deficient fit: stage-2 fit of the data; dependent columns age, age2")
    assert "dependent columns age, age2" in text


def test_doubtful_inputs_warn_and_the_analysis_goes_on(study):
    data = study.copy()
    data.loc[[3, 10], "o11"] = np.nan
    with pytest.warns(talven.TalvenWarning) as caught:
        result = talven.fit(data, **dict(MODEL, intervals=True, seed=5, nbootstrap1=20,
                                         nbootstrap2=10, ngrid=3))
    texts = [str(w.message) for w in caught]
    assert "There are missing data in the dataset, complete case analysis was used." in texts
    assert any(t.startswith("NBOOTSTRAP2=10 is too small") for t in texts)
    assert result.n_stage1 == 298
    assert any(n.startswith("2 of 300 observations were left out: o11 missing in 2.")
               for n in result.notes)
    assert result.warnings == [t for t in texts]


def test_clean_runs_do_not_warn(study):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        talven.fit(study, **MODEL)


def test_every_result_of_the_study_layer_is_an_attribute_by_its_name(study):
    # Results the package names nowhere reach it all the same: the coefficient counts, the
    # options in force and the report's table of them.
    result = talven.fit(study, **MODEL, cores=2)
    p1 = len(result.coef.loc[1])
    assert (result.p1, result.ntreats1, result.cores, result.minimize) == (p1, 2, 2, False)
    assert result.results["n_stage2"] == result.n_stage2
    assert result.grid_scale == 2.58 and result.alpha == 0.05
    assert "settings" not in result.results and "settings.Option" not in result.results
    with pytest.raises(AttributeError):
        result.no_such_result
