"""The ladder: the native searches of one discover call, step by step (with a time limit and no fixed
size, the climb through LADDER; otherwise one step at the settings given), merged into one front, and
the factor searches of y / x a climbing search adds after its first steps."""

from __future__ import annotations

import math
import time
from typing import TYPE_CHECKING

import numpy as np

from zor._cluster import ClusterSearch, deadline_after
from zor._results import LevelReport
from zor._data import rms
from zor._run import Run
from zor._settings import DEFAULT_BEAM_WIDTH, DEFAULT_MAX_COMPLEXITY
from zor._stages import early_parameters

if TYPE_CHECKING:
    from zor._native import Level

# The settings a search given only a time limit climbs through. At each beam
# width it first goes deep (13 tokens is where laws such as
# m·(ω² + ω₀²)·x² lie), which a narrow beam does in a fraction of a second,
# then the beam widens and the depth starts again from the shallow end: a
# wide beam keeps the building blocks that rank poorly on their own, and
# costs more per level, so it gets the time that is left.
LADDER: tuple[tuple[int, int], ...] = (
    (6, 2000), (7, 5000), (8, 5000), (10, 5000), (13, 5000), (8, 20000), (11, 20000), (13, 20000),
    (9, 50000), (10, 50000), (11, 50000), (13, 50000), (9, 200000), (10, 200000), (11, 200000), (11, 500000),
    (13, 200000), (12, 500000), (13, 2000000),
)

# Factor searches (scaled ladder only): after this many steps, y / x is
# searched for every variable x of one sign, at FACTOR_PROBE, then the one
# whose quotient fits best at FACTOR_DEEP; x times what they find joins the
# candidates. A law x·g(others), m·(v² + u² + w²)/2, is then the search for
# g alone, whose parts fit g on their own where they do not fit y.
FACTOR_AFTER = 5
FACTOR_PROBE = (8, 5000)
FACTOR_DEEP = (13, 5000)

# Free parameters when climbing (see zor._stages.fit_parameters): the stage runs first at the size a search without a
# time limit gives it, on the front of the ladder's first steps once they have searched as deep and as wide
# as that search (find_formula's defaults), with the time it takes; the ladder climbs on with what is left,
# and the stage runs again at its own larger size after it. A short time limit then still turns the shape the
# ladder found into a law with its parameters, where the larger stage alone would run out of time screening.
EARLY_PARAMETERS_SIZE = (DEFAULT_MAX_COMPLEXITY, DEFAULT_BEAM_WIDTH)


def climb(run: Run, steps: list[tuple[int, int]], first: int) -> int | None:
    """Runs the steps from `first` on; the step the time cut short, if it did before the goal was met."""
    early = early_parameters_step(steps)
    if run.reached_goal():
        return None  # before any step: with units, c·P alone may be the law
    for step in range(first, len(steps)):
        climbing = run.settings.climbing and run.settings.scaling
        if climbing and step == early:
            early_parameters(run)
        if (climbing and step == FACTOR_AFTER and not factor_searches(run)) or not run_step(run, step, *steps[step]):
            return step if run.cut_short and not run.reached_goal() else None
    return None


def early_parameters_step(steps: list[tuple[int, int]]) -> int | None:
    """The step before which the climb fits parameters early: the one after the first to search at least
    EARLY_PARAMETERS_SIZE (see there)."""
    complexity, width = EARLY_PARAMETERS_SIZE
    return next((k + 1 for k, step in enumerate(steps) if step[0] >= complexity and step[1] >= width), None)


def run_step(run: Run, step: int, complexity: int, width: int) -> bool:
    """Runs one search; True when the next step should follow."""
    offset = time.monotonic() - run.started
    run.last_step = (complexity, width)
    remaining = run.remaining(run.reserve)
    remaining = None if remaining is None else max(remaining, 0.0)
    settings = run.settings.at(complexity, width, precision_goal=run.goal)

    def on_level(report: Level) -> None:
        best = report["best"]
        level = LevelReport(step, complexity, width, report["level"], report["generated"], report["admitted"],
                            report["scored"], None if best is None else run.formula(run.expanded(best)),
                            offset + report["elapsed_seconds"], report["pruned"])
        run.levels.append(level)
        if run.listener is not None:
            run.listener(level)

    shards = None
    try:
        if run.cluster is not None:
            shards = ClusterSearch(run.cluster, run.ladder_columns, run.ladder_target, settings,
                                   deadline_after(remaining), run.ladder_dimensions)
        outcome = run.search(run.ladder_columns, run.ladder_target, settings, run.ladder_dimensions,
                             time_limit=remaining,
                              on_level=on_level, cluster=shards,
                              cluster_memory=None if shards is None else shards.cluster_memory())
    except MemoryError as error:
        if step == 0:
            if len(run.search_target) < len(run.target) or len(run.target) > 1000:
                raise MemoryError(f"{error}, or max_rows (the search ran on {len(run.search_target):,} "
                                  f"rows)") from None
            raise
        return False  # a wider step than the machine can hold: keep what the earlier steps found
    finally:
        if shards is not None:
            shards.close()
    run.merged.add(outcome, run.expanded)
    for key in run.totals:
        run.totals[key] += outcome[key]  # type: ignore[literal-required]
    if outcome["cut_short"]:
        run.cut_short = True
        return False
    best = run.merged.best
    return best is None or not run.goal >= best["score"]


def resume(run: Run) -> bool:
    """Whether the ladder, cut short to leave the stages their shares of the time limit, may go on
    with what they left over (all but the check's share); it then may."""
    run.reserve = run.check_reserve
    remaining = run.remaining(run.reserve)
    return remaining is not None and remaining > 0.0 and not run.reached_goal()


def factor_searches(run: Run) -> bool:
    """Searches y / x for the variables x of one sign (see FACTOR_AFTER); True when the ladder
    should go on. These searches run in this process, also for a cluster search, and report no
    levels: they are small next to the ladder's later steps."""
    fits: list[tuple[float, int]] = []
    for k, column in enumerate(run.ladder_columns):
        if not (np.all(column > 0.0) or np.all(column < 0.0)):
            continue
        fit = _factor_search(run, k, *FACTOR_PROBE)
        if fit is None:
            return False
        fits.append((fit, k))
    if fits:
        fitted, k = min(fits)
        if math.isfinite(fitted) and _factor_search(run, k, *FACTOR_DEEP) is None:
            return False
    scores = [formula.score for formula in map(run.judge.judge_tokens, run.factored) if formula is not None]
    return not any(run.goal >= score for score in scores)


def _factor_search(run: Run, k: int, complexity: int, width: int) -> float | None:
    """One scaled search of y / x_k; the relative error of its best fit, or None when the time is up."""
    remaining = run.remaining(run.reserve)
    if remaining is not None and remaining <= 0.0:
        run.cut_short = True
        return None
    quotient = np.ascontiguousarray(run.ladder_target / run.ladder_columns[k])
    try:
        goal = run.settings.precision_goal * rms(quotient)
        outcome = run.search(run.ladder_columns, quotient,
                              run.settings.at(complexity, width, scaling=True, precision_goal=goal),
                              run.ladder_dimensions, time_limit=remaining)
    except MemoryError:
        return math.inf
    for candidate in outcome["front"]:
        if candidate["scale"] != 0.0:
            run.factored.append(run.written(tuple(candidate["tokens"]), candidate["scale"], candidate["offset"],
                                            (("var", k), ("op", "Mul"))))
    if outcome["cut_short"]:
        run.cut_short = True
        return None
    best = outcome["best"]
    spread = rms(quotient)
    return math.inf if best is None or not spread > 0.0 else best["rmse"] / spread
