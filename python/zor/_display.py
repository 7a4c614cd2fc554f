"""A DiscoveryResult to look at: an HTML table for Jupyter, pictures (the `plot`
extra, matplotlib) and a pandas DataFrame (the `pandas` extra)."""

from __future__ import annotations

import html
import math
from typing import TYPE_CHECKING, Any

import numpy as np

from zor._domain import range_text
from zor._optional import import_extra
from zor._uncertainty import parameters_text

if TYPE_CHECKING:
    import pandas
    from matplotlib.axes import Axes

    from zor._results import DiscoveryResult, Formula

# A label longer than this is cut, so that the front stays readable.
LABEL_CHARACTERS = 40
LABEL_FONT_POINTS = 8.0


def _format_number(value: float, digits: int = 3) -> str:
    return "–" if math.isnan(value) else f"{value:.{digits}g}"


def _r2(value: float) -> str:
    return "–" if math.isnan(value) else f"{value:.6f}"


def is_best(result: DiscoveryResult, formula: Formula) -> bool:
    return result.best is not None and formula.tokens == result.best.tokens


# --- HTML ---------------------------------------------------------------------

_HEAD = ("", "complexity", "error (RMSE)", "relative error", "R²", "score", "criterion", "formula", "parameters")


def result_html(result: DiscoveryResult) -> str:
    """The front as an HTML table, one row per formula in the order of `result.front`, the formulas in
    LaTeX for the notebook's MathJax, the best marked with a star."""
    rows = []
    for formula in result.front:
        best = is_best(result, formula)
        cells = ["★" if best else "", str(formula.complexity), _format_number(formula.error),
                 _format_number(formula.relative_error), _r2(formula.r2), _format_number(formula.score),
                 _format_number(formula.criterion, 6)]
        tds = "".join(f"<td>{html.escape(cell)}</td>" for cell in cells)
        marked = ' class="zor-best"' if best else ""
        rows.append(f'<tr title="{html.escape(formula.formula)}"{marked}>{tds}'
                    f'<td style="text-align: left">\\({html.escape(formula.latex)}\\)</td>'
                    f'<td style="text-align: left">{html.escape(_constants_cell(formula))}</td></tr>')
    if not rows:
        rows.append(f'<tr><td colspan="{len(_HEAD)}">no formula was found</td></tr>')
    head = "".join(f"<th>{html.escape(name)}</th>" for name in _HEAD)
    return (f'<table class="zor-front"><caption style="text-align: left">{_caption(result)}</caption>'
            f"<thead><tr>{head}</tr></thead><tbody>{''.join(rows)}</tbody></table>")


def _constants_cell(formula: Formula) -> str:
    """The parameters with their uncertainties, and the constants' units where the search had units."""
    units = formula.units_text()
    return "; ".join(part for part in (parameters_text(formula.parameters), units and f"units: {units}") if part)


def _caption(result: DiscoveryResult) -> str:
    parts = []
    if result.best is not None:
        best = result.best
        marked = "★ " if any(is_best(result, f) for f in result.front) else ""
        units = f"; units \\({html.escape(best.units_latex())}\\)" if best.units_latex() else ""
        parts.append(f"{marked}best: \\({html.escape(best.latex)}\\) (complexity {best.complexity}, "
                     f"error {_format_number(best.error)}, R² {_r2(best.r2)}{units})")
        if best.domain is not None:
            parts.append(f"fitted on {html.escape(range_text(best.domain, result.variable_names))}; outside it "
                         "predict gives NaN, with a warning, where the formula is undefined")
    if result.groups:
        parts.append("searched over the dimensionless groups " + html.escape("; ".join(result.groups)))
    parts.append(f"Pareto front of error against complexity over {len(result.variable_names)} "
                 f"variable{'s' if len(result.variable_names) != 1 else ''}; {result.admitted:,} candidates "
                 f"scored in {result.elapsed_seconds:.2f} s" + ("; cut short by the time limit"
                                                               if result.cut_short else "")
                 + ("; noise relative to the value" if result.noise == "relative" else ""))
    return "<br>".join(parts)


# --- DataFrame ----------------------------------------------------------------


def front_dataframe(result: DiscoveryResult) -> pandas.DataFrame:
    pd: Any = import_extra("pandas", "pandas", "to_dataframe()")
    front = result.front
    return pd.DataFrame({
        "complexity": [f.complexity for f in front],
        "error": [f.error for f in front],
        "relative_error": [f.relative_error for f in front],
        "r2": [f.r2 for f in front],
        "score": [f.score for f in front],
        "best": [is_best(result, f) for f in front],
        "formula": [f.formula for f in front],
        "simplified": [f.simplified for f in front],
        "latex": [f.latex for f in front],
        "python": [f.python for f in front],
        "criterion": [f.criterion for f in front],
        "parameters": [parameters_text(f.parameters) for f in front],
        "units": [f.units_text() for f in front],
    })


# --- pictures -----------------------------------------------------------------


def _axes(ax: Axes | None, feature: str, size: tuple[float, float]) -> Axes:
    if ax is not None:
        return ax
    plt: Any = import_extra("matplotlib.pyplot", "plot", feature)
    _, new = plt.subplots(figsize=size, layout="constrained")
    return new  # type: ignore[no-any-return]


def _label(formula: Formula) -> str:
    text = formula.simplified
    return text if len(text) <= LABEL_CHARACTERS else text[:LABEL_CHARACTERS - 1] + "…"


def plot_front(result: DiscoveryResult, ax: Axes | None = None) -> Axes:
    """Error against complexity on a log scale, each formula beside its point, the best marked."""
    ax = _axes(ax, "plot()", (9.0, 5.0))
    front = result.front
    if not front:
        ax.text(0.5, 0.5, "no formula was found", ha="center", va="center", transform=ax.transAxes)
        return ax
    complexities = [f.complexity for f in front]
    errors = [f.error for f in front]
    positive = [e for e in errors if e > 0 and math.isfinite(e)]
    # An exact fit has error 0, which a log scale cannot show: it sits a decade below the least error.
    floor = min(positive) / 10 if positive else 1e-16
    shown = [e if e > 0 else floor for e in errors]
    ax.step(complexities, shown, where="post", color="0.75", linewidth=1, zorder=1)
    ax.plot(complexities, shown, "o", color="tab:blue", zorder=2, label="most accurate at its complexity")
    for formula, y in zip(front, shown, strict=True):
        if is_best(result, formula):
            ax.plot([formula.complexity], [y], "*", color="tab:red", markersize=16, zorder=3,
                    label="best (the formula discover chose)")
    ax.set_yscale("log")
    ax.set_xlabel("complexity (tokens)")
    ax.set_ylabel("error (RMSE)" + (f"; 0 drawn at {floor:.1e}" if floor in shown else ""))
    ax.set_xlim(min(complexities) - 0.5, max(complexities) + 0.5)
    from matplotlib.ticker import MaxNLocator

    ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax.grid(True, which="major", alpha=0.3)
    _place_labels(ax, complexities, shown, [_label(f) for f in front])
    ax.legend(loc="best", fontsize=LABEL_FONT_POINTS)
    return ax


def _place_labels(ax: Axes, xs: list[int], ys: list[float], labels: list[str]) -> None:
    """The labels in a column right of the axes, each at its point's height where the others leave room,
    joined to its point by a thin line: they never cover the points or each other."""
    ax.autoscale_view()
    points = ax.transAxes.inverted().transform(ax.transData.transform(np.column_stack([xs, ys])))
    height = ax.get_window_extent().height or 1.0
    gap = LABEL_FONT_POINTS * 1.4 * ax.figure.dpi / 72.0 / height  # between label centres, in axes units
    order = sorted(range(len(labels)), key=lambda k: points[k][1])
    heights = [float(points[k][1]) for k in order]
    for k in range(1, len(heights)):  # upwards: apart from the label below
        heights[k] = max(heights[k], heights[k - 1] + gap)
    top = 1.0
    for k in reversed(range(len(heights))):  # downwards: inside the axes and apart from the label above
        heights[k] = min(heights[k], top)
        top = heights[k] - gap
    placed = dict(zip(order, heights, strict=True))
    for k in range(len(labels)):
        height_k = placed[k]
        ax.annotate(labels[k], (xs[k], ys[k]), xytext=(1.02, height_k), textcoords="axes fraction",
                    fontsize=LABEL_FONT_POINTS, va="center", ha="left", annotation_clip=False,
                    arrowprops={"arrowstyle": "-", "color": "0.7", "linewidth": 0.6, "shrinkA": 0, "shrinkB": 4})


def plot_fit(result: DiscoveryResult, X: Any, y: Any, ax: Axes | None = None) -> Axes:
    """The best formula's predictions on X against the actual y, with the line of perfect agreement."""
    best = result._require_best()
    predicted = best.predict(X)
    actual = np.asarray(y.to_numpy() if hasattr(y, "to_numpy") else y, dtype=np.float64)
    if actual.shape != predicted.shape:
        raise ValueError(f"y has shape {actual.shape} but X has {len(predicted)} rows")
    ax = _axes(ax, "plot_fit()", (6.0, 5.0))
    defined = np.isfinite(predicted)
    ax.plot(actual[defined], predicted[defined], "o", color="tab:blue", alpha=0.8, label="samples")
    if defined.any():
        low = float(min(actual[defined].min(), predicted[defined].min()))
        high = float(max(actual[defined].max(), predicted[defined].max()))
        ax.plot([low, high], [low, high], "-", color="0.5", linewidth=1, label="predicted = actual")
    shown = np.concatenate([actual[defined], predicted[defined]])
    if shown.size and shown.min() > 0 and shown.max() > 100 * shown.min():
        ax.set_xscale("log")  # values over decades: the small ones would be a dot in a corner
        ax.set_yscale("log")
    ax.set_xlabel("actual" if result.target_name is None else f"actual {result.target_name}")
    ax.set_ylabel("predicted")
    residual = predicted - actual
    summary = f"RMSE {_format_number(float(np.sqrt(np.mean(residual ** 2))))}" if defined.all() else (
        f"undefined on {int((~defined).sum())} of {len(actual)} rows")
    ax.set_title(f"{_label(best)}   ({summary})", fontsize=10)
    ax.legend(loc="upper left", fontsize=LABEL_FONT_POINTS)
    return ax
