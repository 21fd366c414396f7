"""The result's methods: plain data that pickles and compares, predictions after a round trip,
statsmodels-like accessors, the text, HTML and plot presentations and the errors of misuse."""
import builtins
import pickle

import numpy as np
import pandas as pd
import pytest

import talven
from test_fit import CONTRASTS, MODEL, read, study  # noqa: F401  (fixture)

INTERVALS = dict(MODEL, intervals=True, seed=11, nbootstrap1=60, nbootstrap2=30, ngrid=4)


@pytest.fixture(scope="module")
def fitted(study):  # noqa: F811
    return talven.fit(study, contrasts=read(CONTRASTS), **INTERVALS)


def test_a_pickled_result_is_equal_and_predicts_as_before(study, fitted):  # noqa: F811
    before = {(kind, stage): fitted.predict(study, kind=kind, stage=stage)
              for kind in ("treatment", "q") for stage in (1, 2)}
    table = fitted.recommend(study)
    again = pickle.loads(pickle.dumps(fitted))
    assert again == fitted and not again != fitted
    assert again._live is None  # nothing of the library travels with it
    for (kind, stage), expected in before.items():
        got = again.predict(study, kind=kind, stage=stage)
        (pd.testing.assert_series_equal if kind == "treatment" else
         pd.testing.assert_frame_equal)(got, expected, check_exact=True)
    pd.testing.assert_frame_equal(again.recommend(), table, check_exact=True)
    for stage in (1, 2):
        pd.testing.assert_series_equal(again.fitted(stage), fitted.fitted(stage),
                                       check_exact=True)
    assert again == fitted  # rebuilding the study changes nothing that compares


def test_equality_tells_fits_apart(study, fitted):  # noqa: F811
    same = talven.fit(study, contrasts=read(CONTRASTS), **INTERVALS)
    other = talven.fit(study, contrasts=read(CONTRASTS), **dict(INTERVALS, seed=12))
    plain = talven.fit(study, **MODEL)
    assert same == fitted
    assert other != fitted and plain != fitted
    assert (fitted == "a fit") is False
    with pytest.raises(TypeError):
        hash(fitted)


def test_params_conf_int_and_frame_follow_the_estimate_table(fitted):
    coef = fitted.coef
    assert coef.index.names == ["Stage", "Term"]
    assert fitted.params[(1, "o11:a1")] == coef.loc[(1, "o11:a1"), "Estimate"]
    assert fitted.params[(2, "a2")] == coef.loc[(2, "a2"), "Estimate"]
    limits = fitted.conf_int()
    assert list(limits.columns) == [0, 1]
    assert list(limits.index.get_level_values("Term")) == [
        "intercept", "age", "o11", "o11:a1", "a1", "Contrast1", "Contrast2"]
    np.testing.assert_array_equal(limits[0].to_numpy(), coef.loc[1, "Lower"].to_numpy())
    np.testing.assert_array_equal(limits[1].to_numpy(), coef.loc[1, "Upper"].to_numpy())
    pd.testing.assert_frame_equal(fitted.conf_int(alpha=0.05), limits)
    frame = fitted.to_frame()
    assert list(frame.columns) == ["Stage", "Term", "Estimate", "Lower", "Upper"]
    assert len(frame) == len(coef)


@pytest.mark.parametrize("call, message", [
    (lambda f, s: f.conf_int(alpha=0.1), "The intervals were computed at alpha=0.05"),
    (lambda f, s: f.predict(s, kind="probability"), 'kind must be "treatment" or "q"'),
    (lambda f, s: f.predict(s, stage=3), "stage must be 1 or 2"),
    (lambda f, s: f.fitted(stage=0), "stage must be 1 or 2"),
    (lambda f, s: f.predict(s.assign(o11=s["o11"].astype(str))), "Variable o11 is not numeric"),
])
def test_misuse_is_refused_with_a_clear_error(study, fitted, call, message):  # noqa: F811
    with pytest.raises(talven.TalvenError) as error:
        call(fitted, study)
    assert str(error.value).startswith(message), str(error.value)


def test_a_fit_without_intervals_refuses_limits(study):  # noqa: F811
    with pytest.raises(talven.TalvenError, match="no confidence intervals"):
        talven.fit(study, **MODEL).conf_int()


def test_predictions_are_the_regime_table_and_follow_the_coding(study, fitted):  # noqa: F811
    table = fitted.recommend(study)
    treatment = fitted.predict(study)
    pd.testing.assert_series_equal(treatment, table["REC1"])
    q2 = fitted.predict(study, kind="q", stage=2)
    assert list(q2.columns) == ["Q2_M1", "Q2_1"]
    coding = fitted.coding
    assert sorted(coding) == [1, 2] and list(coding[1]) == ["Q1_M1", "Q1_1"]
    assert sorted(level["a1"] for level in coding[1].values()) == [-1.0, 1.0]
    assert sorted(level["a2"] for level in coding[2].values()) == [-1.0, 1.0]
    # The recommendation is the treatment of the larger Q-value, read through the coding.
    q1 = fitted.predict(study, kind="q", stage=1)
    best = np.where(q1["Q1_M1"] >= q1["Q1_1"], coding[1]["Q1_M1"]["a1"],
                    coding[1]["Q1_1"]["a1"])
    np.testing.assert_array_equal(best, treatment.to_numpy())


def test_fitted_values_and_residuals_rebuild_the_outcome(study, fitted):  # noqa: F811
    y = study["y"]
    fitted2, residuals2 = fitted.fitted(2), fitted.residuals(2)
    assert list(fitted2.index) == list(study.index[study["stage2"] == 1])
    np.testing.assert_allclose(fitted2 + residuals2, y[fitted2.index], rtol=1e-13)
    # Stage 1 outside the stage-2 sample: the pseudo-outcome is the outcome itself.
    fitted1, residuals1 = fitted.fitted(1), fitted.residuals(1)
    assert len(fitted1) == fitted.n_stage1
    outside = study.index[study["stage2"] == 0]
    np.testing.assert_allclose((fitted1 + residuals1)[outside], y[outside], rtol=1e-13)
    # Least squares: the residuals of stage 1 sum to zero.
    assert abs(residuals1.sum()) < 1e-9


def test_text_and_html_show_the_numbers(fitted):
    text = fitted.summary()
    for piece in ("Stage 1", "Stage 2", "Contrast2", "Treatment coding",
                  "Stage 1: Q1_M1 is a1 = -1", "Stage 1 Decision Rule",
                  "Value of the Estimated Regime", "level 95 %", "SEED=11"):
        assert piece in text, piece
    assert f"{fitted.coef.loc[(1, 'a1'), 'Upper']:10.4f}" in text
    assert repr(fitted).splitlines()[0] == text.splitlines()[0]
    html = fitted._repr_html_()
    assert html.startswith("<div>") and "<table" in html and "o11:a1" in html


def _readable_rows(ax):
    """Per row of the plot, top to bottom: the interval's ends in display units and the text
    beside it; checks that no two texts overlap and that all lie inside the figure."""
    figure = ax.figure
    figure.canvas.draw()
    renderer = figure.canvas.get_renderer()
    numbers = ax.child_axes[0]
    labels = [t for t in numbers.get_yticklabels() if t.get_text()]
    terms = [t for t in ax.get_yticklabels() if t.get_text()]
    inside = figure.bbox
    for texts in (labels, terms):
        boxes = [t.get_window_extent(renderer) for t in texts]
        for box in boxes:
            assert inside.x0 <= box.x0 and box.x1 <= inside.x1, "text leaves the figure"
        for upper, lower in zip(boxes, boxes[1:]):
            assert lower.y1 <= upper.y0, "texts of adjacent rows overlap"
    return [t.get_text() for t in terms], [t.get_text() for t in labels]


def test_plot_draws_every_interval_readably(study, fitted):  # noqa: F811
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    rows = fitted.coef.loc[1]
    ax = fitted.plot()
    terms, labels = _readable_rows(ax)
    assert terms == list(rows.index)
    # Each row's numbers are its estimate and limits, whatever the width of its interval.
    for label, (_, row) in zip(labels, rows.iterrows()):
        assert [float(x) for x in label.replace("[", " ").replace(",", " ").rstrip("]").split()] \
            == [round(row[c], 4) for c in ("Estimate", "Lower", "Upper")], label
    segments = ax.collections[0].get_segments()
    assert len(segments) == len(rows)
    ends = [ax.transData.transform(segment) for segment in segments]
    for (left, right), (_, row) in zip(ends, rows.iterrows()):
        assert right[0] - left[0] > 0
        np.testing.assert_allclose(ax.transData.inverted().transform([left, right])[:, 0],
                                   [row["Lower"], row["Upper"]], rtol=1e-9)
    # Rows stand apart by more than a line of text.
    heights = sorted({round(left[1], 3) for left, _ in ends}, reverse=True)
    assert len(heights) == len(rows) and min(np.diff(heights[::-1])) > 12
    # Both limits carry a cap, so an interval narrower than the estimate's mark still shows.
    caps = [line for line in ax.lines if line.get_marker() == "|"]
    np.testing.assert_array_equal(np.concatenate([c.get_xdata() for c in caps]),
                                  np.concatenate([rows["Lower"], rows["Upper"]]))
    matplotlib.pyplot.close("all")

    plain = talven.fit(study, **MODEL)
    ax = plain.plot()
    _, labels = _readable_rows(ax)
    assert labels == [f"{x:8.4f}" for x in plain.coef.loc[1, "Estimate"]]
    assert not ax.collections and "no intervals" in ax.get_xlabel()
    matplotlib.pyplot.close("all")


def test_plot_without_matplotlib_says_what_to_install(fitted, monkeypatch):
    real_import = builtins.__import__

    def no_matplotlib(name, *args, **kwargs):
        if name.startswith("matplotlib"):
            raise ImportError(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_matplotlib)
    with pytest.raises(talven.TalvenError, match="python3-matplotlib"):
        fitted.plot()


def test_the_r_package_ships_the_example_study_unchanged():
    from test_fit import REPOSITORY
    for name in ("smart_study.csv", "smart_contrasts.csv"):
        shipped = REPOSITORY / "r" / "talven" / "inst" / "extdata" / name
        assert shipped.read_bytes() == (REPOSITORY / "examples" / name).read_bytes(), name
