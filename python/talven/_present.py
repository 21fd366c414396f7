"""How a talven result shows itself: text, HTML and the forest plot. Formatting only: every
number comes from the result."""
from __future__ import annotations

import html as _html
from typing import Any, List

RULE = "-" * 62


def header(fit: Any) -> List[str]:
    lines = [f"TALVEN two-stage Q-learning: {fit.n_observations} observations, "
             f"{fit.n_stage1} in stage 1, {fit.n_stage2} in stage 2"]
    if fit.intervals:
        lines.append(f"Intervals at ALPHA={fit.alpha:g} (level {100 * (1 - fit.alpha):g} %) from "
                     f"NBOOTSTRAP1={fit.nbootstrap1} and NBOOTSTRAP2={fit.nbootstrap2} "
                     f"replicates, NGRID={fit.ngrid}; SEED={fit.seed}; {fit.n_collinear} "
                     "collinear replicates skipped")
    return lines


def stage_tables(fit: Any) -> List[str]:
    terms = list(fit.coef.index.get_level_values("Term"))
    width = max([12] + [len(t) for t in terms])
    lines: List[str] = []
    for stage in (1, 2):
        if stage not in fit.coef.index.get_level_values("Stage"):
            continue
        rows = fit.coef.loc[stage]
        limits = fit.intervals and stage == 1
        lines.append("")
        lines.append(f"{'Stage ' + str(stage):<{width}}  {'Estimate':>10}" +
                     (f"  {'Lower':>10}  {'Upper':>10}" if limits else ""))
        for term, row in rows.iterrows():
            text = f"{term:<{width}}  {row.Estimate:10.4f}"
            if limits:
                text += f"  {row.Lower:10.4f}  {row.Upper:10.4f}"
            lines.append(text)
    return lines


def text_table(fit: Any) -> str:
    return "\n".join(header(fit) + stage_tables(fit))


def summary(fit: Any) -> str:
    lines = header(fit) + stage_tables(fit)
    lines += ["", "Treatment coding", RULE]
    for stage, columns in fit.coding.items():
        for column, level in columns.items():
            values = ", ".join(f"{name} = {value:g}" if isinstance(value, float)
                               else f"{name} = {value}" for name, value in level.items())
            lines.append(f"Stage {stage}: {column} is {values}")
    lines += ["", str(fit.rules())]
    if fit.notes:
        lines += ["", "Notes:"] + [f"  {text}" for text in fit.notes]
    if fit.warnings:
        lines += ["", "Warnings:"] + [f"  {text}" for text in fit.warnings]
    return "\n".join(lines)


def html(fit: Any) -> str:
    caption = "<br>".join(_html.escape(line) for line in header(fit))
    table = fit.to_frame().to_html(index=False, na_rep="", float_format=lambda x: f"{x:.4f}")
    return f"<div><p>{caption}</p>{table}</div>"


def forest_plot(fit: Any, ax: Any = None) -> Any:
    try:
        import matplotlib.pyplot as plt  # pylint: disable=import-outside-toplevel
    except ImportError:
        from ._fit import TalvenError  # pylint: disable=import-outside-toplevel
        raise TalvenError("plot() needs matplotlib, which is not installed: install Debian's "
                          "python3-matplotlib (or matplotlib with pip).") from None
    rows = fit.coef.loc[1]
    terms = list(rows.index)
    positions = list(range(len(terms), 0, -1))
    if ax is None:
        _, ax = plt.subplots(figsize=(8.0, 1.2 + 0.4 * len(terms)))
    if fit.intervals:
        # Caps mark both limits: on a common axis the interval of a covariate with a small
        # coefficient can be narrower than the estimate's marker.
        ax.hlines(positions, rows["Lower"], rows["Upper"], color="black", linewidth=1.5)
        ax.plot(rows["Lower"], positions, "|", rows["Upper"], positions, "|", color="black",
                markersize=8)
    ax.plot(rows["Estimate"], positions, "o", color="black", markersize=4)
    ax.axvline(0.0, color="grey", linestyle="--", linewidth=0.8)
    ax.set_yticks(positions)
    ax.set_yticklabels(terms)
    ax.set_ylim(0.4, len(terms) + 0.6)
    # The numbers beside each row keep every interval readable whatever its scale.
    numbers = ax.secondary_yaxis("right")
    numbers.set_yticks(positions)
    numbers.set_yticklabels([_interval_text(fit, row) for _, row in rows.iterrows()],
                            family="monospace")
    numbers.tick_params(length=0)
    level = f"{100 * (1 - fit.alpha):g} % adaptive intervals" if fit.intervals else "no intervals"
    ax.set_xlabel(f"Stage-1 estimate ({level})")
    ax.set_title("Stage-1 coefficients and contrasts")
    ax.figure.tight_layout()
    return ax


def _interval_text(fit: Any, row: Any) -> str:
    if fit.intervals:
        return f"{row['Estimate']:8.4f} [{row['Lower']:.4f}, {row['Upper']:.4f}]"
    return f"{row['Estimate']:8.4f}"
