"""zor.discover: the pipeline of one search. The ladder's native searches (zor._ladder), then the stages
after it, each entered once with the run (zor._run.Run; zor._stages: the noise model, free parameters,
sums of terms, the search without each fold), then the front (zor._front) and the choice from it
(zor._selection), made into a DiscoveryResult."""

from __future__ import annotations

import dataclasses
import inspect
import time
from collections.abc import Sequence
from typing import Any

from zor._cluster import require_client
from zor._data import Column, prepare
from zor._front import front_of
from zor._groups import reachable
from zor._ladder import LADDER, climb, resume
from zor._progress import Progress, ProgressBar
from zor._results import DiscoveryResult
from zor._run import Run
from zor._selection import choose
from zor._settings import SearchSettings, settings_from, settings_parameters
from zor._stages import check_search, find_sums, fit_parameters, weigh_noise
from zor._units import Units, read_units, strip_quantities, with_units


def discover(X: Any, y: Any, *, variable_names: Sequence[str] | None = None, progress: Progress = True,
             cluster: Any = None, **settings: Any) -> DiscoveryResult:
    """Search for the formula over the columns of X that best fits y.

    X is a list of columns (like zor_core.find_formula's x_data), a 2-D array
    of samples x features, a 1-D array or flat list (one variable) or a pandas
    DataFrame, whose column names become the variable names unless
    `variable_names` is given; y is a list, 1-D array or Series. Every value
    must be finite, and each column as long as y.

    The settings (the fields of zor._settings.SearchSettings) include
    find_formula's: max_complexity, beam_width, precision_goal, use_trig,
    use_zor and complexity_penalty; with scaling, precision_goal is relative:
    the search stops once its best score is at or below precision_goal times
    the targets' root mean square, so the data's units change nothing but the
    constants (without scaling it is in the targets' units, as in
    find_formula). `time_limit` (seconds) stops the search
    at its next check and returns the best so far, marked `cut_short`. When
    both max_complexity and beam_width are left out and a time limit is given,
    the search climbs a ladder of settings (zor._ladder.LADDER) until the
    time is up and returns the front merged over the steps (with scaling,
    after its first steps it also searches y / x for every variable x of one
    sign, and offers x times what it finds: see zor._ladder.FACTOR_AFTER); without a time
    limit the missing settings take find_formula's defaults (8 and 2000).

    `progress`: True shows a progress bar on standard error, False nothing; a
    callable receives each LevelReport instead. An exception it raises ends the
    search and propagates. The interpreter lock is released while the search
    runs; Ctrl-C raises KeyboardInterrupt within a few hundredths of a second.

    `scaling` (default True) fits every candidate f as y ≈ a·f + b by least
    squares while the search runs, so formulas carry constants: the search
    finds the shape, the fit its scale and offset, and both are then snapped
    to simple exact values (1/2, 3/5, pi/4, 1/(4*pi), ...) where that keeps
    the fit as good (see zor._constants). In this mode a formula never leans
    on a numeric guard of zor, and each constant other than a scale of 1 or an
    offset of 0 counts as one unit of complexity. scaling=False searches the
    formulas themselves, as find_formula does: with equal settings the best
    formula, its score and complexity are find_formula's, bit for bit.

    `model_selection`: "best" picks the front entry with the lowest Bayesian
    information criterion, rows x ln(error²) + complexity x ln(rows) (see
    select_best): the law rather than an overfit on noisy data; but where the
    least-squares linear model on the raw variables has the lower error on
    held-out rows (five folds, as for "validation"), that model is the best
    (see zor._fit.linear_unless_better); on at most 100 rows the search
    itself runs again without each fold (in the last quarter of a time
    limit, if one is given), and must beat the linear model on the folds by more
    than their noise (see zor._stages.CHECKED_ROWS); on at most 20 rows, the simplest
    front entry no larger than its choice that predicts each row left out
    about as well as the best does is taken (see zor._leave_one_out). Where
    the choice is undefined just past the rows, a formula defined there
    whose criterion is within the noise of the difference is taken instead
    (see zor._selection.prefer_defined_past_rows). With targets of one sign, "best"
    first weighs noise relative to the value against the same noise on
    every row (see zor._noise); where it is clearly the better model, the
    formulas' constants are fitted to minimise the sum of ln(predicted/y)²,
    the front and the criterion use that relative error, and the result's
    `noise` is "relative". "accuracy"
    picks the lowest score. "validation" picks the entry with the lowest
    error on held-out rows: each entry's scale and offset are refitted on
    four fifths of the rows and judged on the fifth, in turn (see
    select_by_validation). The default is "best" with scaling and
    "accuracy" without.

    `max_parameters` (default 3; scaling only): after the search, formulas
    with up to this many fitted parameters inside them, such as
    a + b·exp(c0·t), b·x/(x + c0) or b·exp(c0/(T + c1)), are fitted by
    least squares and join the front, each parameter with its standard error
    and 95 % interval (Formula.parameters); a parameter snaps to an exact
    value only within two standard errors and where that shortens the
    description length. A search climbing to a time limit fits them first
    as a search without one does, as soon as its ladder has searched as
    deep and wide, with the time that takes, and again on a larger set of
    shapes in 15 % of the limit at the end (zor._parameters.PARAMETER_SHARE):
    a short limit still finds what no limit finds. Without a time limit,
    data over one variable that a short formula of the search already fits
    to their noise level skip them (on 100 rows or more, where that level
    is known to 10 %). 0 leaves them out.
    model_selection="description_length" picks the front entry that sends
    the data in the fewest nats (see zor._description_length). Each front
    entry's `criterion` holds the value the model selection ranked it by.

    `max_rows` (default 5000; None for no limit): larger data is searched on a
    deterministic subsample of that many rows; the formulas are then judged,
    fitted and snapped on every row.

    `memory_limit` (bytes; default most of the memory available) bounds the
    search's own data: a search that would outgrow it raises MemoryError
    before the level that would.

    `cluster`: a dask.distributed.Client (extra `cluster`). The seen set is
    then split among the client's workers, each holding its part within its
    own memory_limit, and each level runs on all of them at once; the result
    is the one-machine search's, bit for bit. A worker lost mid-search ends it
    with zor.ClusterError. See docs/cluster.md.
    """
    client = None if cluster is None else require_client(cluster)
    X, y, data_units, data_target_unit = strip_quantities(X, y)
    for key, carried in (("units", data_units), ("target_unit", data_target_unit)):
        if carried is not None and settings.get(key) is not None:
            raise ValueError(f"the data carry pint units and {key} is given as well: give one or the other")
        if carried is not None:
            settings[key] = carried
    chosen = settings_from("discover", settings)
    columns, target, names = prepare(X, y, variable_names)
    units = read_units(chosen.units, chosen.target_unit, names)
    if units is None and chosen.dimensionless_constants:
        raise ValueError("dimensionless_constants=True says which constants may carry a unit: give units and "
                         "target_unit too")
    if units is not None and chosen.dimensionless_constants and not reachable(units):
        raise ValueError(f"no product of the variables has the target's unit {chosen.target_unit!r}, so with "
                         "dimensionless_constants=True no formula can: give the constant that carries the unit "
                         "as a column, or leave dimensionless_constants out")
    target_name = getattr(y, "name", None) if hasattr(y, "to_numpy") else None
    result = _discover(columns, target, names, chosen, progress, client, units=units)
    return dataclasses.replace(result, settings=chosen.as_dict(),
                               target_name=target_name if isinstance(target_name, str) else None)


def _discover(columns: list[Column], target: Column, names: tuple[str, ...], chosen: SearchSettings,
              progress: Progress, client: Any, checking: bool = True, units: Units | None = None) -> DiscoveryResult:
    """discover on prepared data: the ladder, then each stage after it in turn with the run, then the front
    and the choice from it. `checking` False leaves out the searches without each fold (the search run
    again inside that check)."""
    steps = chosen.steps(LADDER)
    bar = None
    try:  # a Ctrl-C from the bar's first drawing on still closes it
        bar = ProgressBar(steps, chosen.time_limit) if progress is True else None
        run = Run(columns, target, names, chosen, bar if bar is not None else progress if callable(progress) else None,
                  client, checking, units)
        stopped = climb(run, steps, 0)
        weigh_noise(run)
        fit_parameters(run)
        find_sums(run)
        if stopped is not None and resume(run):
            climb(run, steps, stopped)  # the time the stages left over goes back to the ladder
        check_search(run, lambda rows, values, inner: _discover(rows, values, names, inner, False, None,
                                                                checking=False, units=units).best)
    finally:
        if bar is not None:
            bar.close()
    front, best = choose(run, front_of(run))
    if units is not None:
        front, best = with_units(front, best, units, chosen.dimensionless_constants)
    return DiscoveryResult(
        best=best,
        front=front,
        levels=tuple(run.levels),
        cut_short=run.cut_short,
        variable_names=names,
        generated=run.totals["generated"],
        admitted=run.totals["admitted"],
        scored=run.totals["scored"],
        pruned=run.totals["pruned"],
        elapsed_seconds=time.monotonic() - run.started,
        target_mean_square=run.target_mean_square,
        target_variance=run.target_variance,
        noise="same" if run.relative is None else "relative",
        groups=run.groups,
    )


discover.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
    [p for p in inspect.signature(discover).parameters.values() if p.kind != inspect.Parameter.VAR_KEYWORD]
    + settings_parameters(), return_annotation=DiscoveryResult)
