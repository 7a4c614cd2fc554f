"""The recovery benchmark's report: the machine and versions, the markdown
tables and rows, the sections of docs/recovery.md they replace, and the figures."""

from __future__ import annotations

import math
import os
import pathlib
import platform
import time

from children import package_versions
from recovery_problems import ACCURATE_R2, FRESH_POINTS, NOISE_LEVELS, TRAINING_POINTS
from recovery_zor import COST_REPEATS, COST_ROWS, COST_SETTINGS, COST_TARGET

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"
PAGE = DOCS / "recovery.md"
# --write replaces what lies between these markers in docs/recovery.md.
RESULTS_START = "<!-- results: written by bench/recovery.py --write -->"
RESULTS_END = "<!-- end of results -->"
CONSTANTS_START = "<!-- constants results: written by bench/recovery.py --write -->"
CONSTANTS_END = "<!-- end of constants results -->"


def versions():
    return package_versions(("zor_core", "pyoperon", "gplearn", "scikit-learn", "numpy"))


def cpu_model():
    try:
        with open("/proc/cpuinfo") as lines:
            for line in lines:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


class Run:
    """When and where a run happened, for its printout, caption and figure."""

    def __init__(self):
        self.started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
        self.machine = (f"{os.cpu_count()} CPUs ({cpu_model()}), {platform.system()}, "
                        f"Python {platform.python_version()}")
        self.versions = ", ".join(versions())

    @property
    def note(self):
        return f"{self.started}; {self.machine}; {self.versions}"


def replace_between(page, start, end, body):
    """The page with what lies between the markers start and end replaced by body."""
    if start not in page or end not in page.split(start, 1)[1]:
        raise ValueError(f"the page lacks the markers {start!r} ... {end!r}")
    head, rest = page.split(start, 1)
    return head + start + "\n" + body + "\n" + end + rest.split(end, 1)[1]


def write_section(start, end, body, page=PAGE):
    page.write_text(replace_between(page.read_text(), start, end, body))
    print(f"\nwrote the results into {page}")


def figures_module():
    """bench/figures.py when matplotlib is there, else None (the tables are written without figures)."""
    import figures

    return figures if figures.available() else None


# --- the exact suite ---------------------------------------------------------------


def exact_markdown(results, tools):
    """results: [(problem, {tool: (recovered, seconds, model, error)})]."""
    header = "| problem | formula | " + " | ".join(tools) + " |"
    lines = [header, "|" + " --- |" * (2 + len(tools))]
    for problem, by_tool in results:
        cells = []
        for tool in tools:
            recovered, seconds, _, error = by_tool[tool]
            cells.append(f"**yes** {seconds:.2f} s" if recovered else f"no · {error:.0e}")
        lines.append(f"| {problem.name} | {problem.formula} | " + " | ".join(cells) + " |")
    counts = [sum(by_tool[t][0] for _, by_tool in results) for t in tools]
    lines.append("| **recovered** | | " + " | ".join(f"**{c} / {len(results)}**" for c in counts) + " |")
    return "\n".join(lines)


def write_exact(run, results, tools, budget, ladder):
    caption = (f"Run on {run.started}: {run.machine}; {run.versions}. Budget {budget:g} s of wall time per problem "
               f"and tool. The machine's two cores were shared with other builds and tests during the run, so times "
               f"are indicative only. A miss shows the relative error its final model reached on the fresh points: "
               f"pyoperon's models stop near 1e-7 even with the right structure, which is single-precision "
               f"arithmetic, not a wrong formula. gplearn finishes the generation it is in when the budget runs out. "
               f"discover (scaling=False) climbs zor's ladder {ladder} (max_complexity, beam_width).")
    write_section(RESULTS_START, RESULTS_END, exact_markdown(results, tools) + "\n\n" + caption)
    figures = figures_module()
    if figures is not None:
        rows = [(problem.name, {t: by_tool[t][:2] for t in tools}) for problem, by_tool in results]
        figures.recovery_figure(rows, tools, budget, DOCS / "figures" / "recovery.png", note=run.note)


# --- the constants suite -----------------------------------------------------------


def constants_markdown(laws, results, tools):
    """results: {(label, noise, tool): {"verdict": ...}}; a column per tool and noise level."""
    columns = [(tool, noise) for tool in tools for noise in NOISE_LEVELS]
    header = "| problem | formula (as published) | " + " | ".join(f"{t} {n:.0%}" for t, n in columns) + " |"
    lines = [header, "|" + " --- |" * (2 + len(columns))]
    cell = {"exact": "**exact**", "accurate": "accurate", "miss": "miss"}
    for law in laws:
        label = law.label if law.constant else f"{law.label} °"
        cells = [cell[results[law.label, noise, tool]["verdict"]] for tool, noise in columns]
        lines.append(f"| {label} | `{law.published}` | " + " | ".join(cells) + " |")
    for kind, accepted in (("exact", {"exact"}), ("accurate", {"exact", "accurate"})):
        counts = [sum(results[law.label, noise, tool]["verdict"] in accepted for law in laws)
                  for tool, noise in columns]
        lines.append(f"| **{kind}** | | " + " | ".join(f"**{c} / {len(laws)}**" for c in counts) + " |")
    return "\n".join(lines)


def constants_counts(laws, results, tools):
    """{tool: {noise: (exact, accurate)}}; accurate counts the exact ones too."""
    return {tool: {noise: (sum(results[law.label, noise, tool]["verdict"] == "exact" for law in laws),
                           sum(results[law.label, noise, tool]["verdict"] != "miss" for law in laws))
                   for noise in NOISE_LEVELS} for tool in tools}


def cost_line(unscaled, scaled):
    if not math.isfinite(unscaled) or not math.isfinite(scaled):
        return "Scaled mode's cost: not measured (the timing run failed)."
    settings = ", ".join(f"{k}={v}" for k, v in COST_SETTINGS.items())
    ratio = scaled / unscaled
    verdict = "within" if ratio <= COST_TARGET else "over"
    return (f"Scaled mode's cost: `zor.discover({settings})` without a time limit on 2 variables × {COST_ROWS} rows "
            f"took {scaled:.2f} s with `scaling=True` and {unscaled:.2f} s with `scaling=False` (best of "
            f"{COST_REPEATS} each): **{ratio:.2f}×**, {verdict} the {COST_TARGET:g}× target.")


def regression_line(found, budget):
    """found: {problem name: {scaling: recovered}}."""
    unscaled = [name for name, by in found.items() if by.get(False)]
    scaled = [name for name, by in found.items() if by.get(True)]
    lost = [name for name in unscaled if name not in scaled]
    gained = [name for name in scaled if name not in unscaled]

    def listed(names):
        return ", ".join(names) if names else "none"

    return (f"No regressions: with {budget:g} s per problem, `scaling=False` recovers {len(unscaled)} of "
            f"{len(found)} exact-suite problems ({listed(unscaled)}); `scaling=True` recovers {len(scaled)}. "
            + ("**Every one of them is still recovered with scaling on.**" if not lost else
               f"**Lost with scaling on: {listed(lost)}.**")
            + f" Recovered only with scaling on: {listed(gained)}.")


def write_constants(run, table, rows, counts, total, budget, cores, jobs):
    caption = (f"Run on {run.started}: {run.machine}; {run.versions}. Budget {budget:g} s of wall time per "
               f"equation, noise level and tool, {cores} core(s) per tool, {jobs} run(s) at a time, each in a fresh "
               f"process. {TRAINING_POINTS} training points, without noise and with 1 % noise; judged on "
               f"{FRESH_POINTS:,} fresh noiseless points: **exact** when the RMSE is at most 1e-9 of the target's "
               f"RMS, accurate when R² ≥ {ACCURATE_R2:g} (exact included). ° marks the equations without a numeric "
               f"constant.")
    parts = [table, caption] + rows
    figures = figures_module()
    if figures is not None:
        figure = figures.recovery_counts_figure(counts, total, budget, DOCS / "figures" / "recovery_constants.png",
                                                note=run.note)
        parts.insert(0, f"![Equations recovered exactly and accurately per tool and noise level]"
                        f"(figures/{figure.name})")
    write_section(CONSTANTS_START, CONSTANTS_END, "\n\n".join(parts))
