"""zor-discover: formula discovery on a CSV file from the command line."""

from __future__ import annotations

import argparse
import csv
import dataclasses
import importlib.util
import json
import math
import os
import sys
import warnings
from collections.abc import Callable, Sequence
from typing import Any, TextIO

import zor
from zor._csv import InputError, read_features, read_table
from zor._files import ResultFileError
from zor._optional import DISTRIBUTION
from zor._results import DiscoveryResult, Formula, load
from zor._search import discover
from zor._settings import SearchSettings

EXAMPLES = """\
The file needs a header row; every cell of the columns used must be a finite number.
Rows are counted as lines of the file, the header being row 1.

examples:
  zor-discover planets.csv
      the last column is the target, all the others are features
  zor-discover data.csv --target force --features mass,acceleration
  zor-discover data.csv --time-limit 60
      climb through larger settings by itself for a minute
  zor-discover data.csv --max-complexity 7 --beam-width 20000 --no-trig
  cat data.csv | zor-discover --json > result.json
  zor-discover data.csv --save result.json --plot front.png
      keep the result to read back later, and draw its Pareto front
  zor-discover --load result.json --predict new.csv --output predicted.csv
      the saved formula on new data (columns named as the features)

exit status: 0 found a formula, 1 no formula or bad input, 2 bad options, 130 interrupted (Ctrl-C)
"""


def _non_negative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def _finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def _seconds(text: str) -> float:
    value = _finite_float(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


class _VersionAction(argparse.Action):
    """--version, looked up only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        parser.exit(message=f"{parser.prog} {zor.__version__}\n")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zor-discover",
        description="Find a formula that computes one column of a CSV file from the others.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("file", nargs="?", default="-",
                        help="CSV file with a header row (default or '-': standard input)")
    parser.add_argument("--target", metavar="NAME", help="the column to explain (default: the last column)")
    parser.add_argument("--features", metavar="A,B,...", help="comma-separated feature columns (default: all others)")
    parser.add_argument("--delimiter", default=",", metavar="CHAR", help="cell separator (default: ',')")
    _add_settings(parser.add_argument_group("search settings (those of zor.discover)"))
    output = parser.add_argument_group("output")
    output.add_argument("--json", action="store_true", help="print one JSON object instead of the report")
    output.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="progress bar on standard error (default: when it is a terminal)")
    kept = parser.add_argument_group("results kept in files")
    kept.add_argument("--save", metavar="FILE", help="write the result as JSON for --load or zor.load")
    kept.add_argument("--plot", metavar="FILE", help="draw the Pareto front into an image (PNG, SVG or PDF by "
                                                     "the extension; needs matplotlib: the extra 'plot')")
    kept.add_argument("--load", metavar="FILE", help="read a saved result instead of searching")
    kept.add_argument("--predict", metavar="CSV", help="write the best formula's values on the rows of this CSV "
                                                      "file (and no report), as CSV")
    kept.add_argument("--output", metavar="FILE", help="write --predict's CSV here instead of standard output")
    parser.add_argument("--version", action=_VersionAction, help="show the version and exit")
    return parser


# How the command line reads the settings that are not plain counts or numbers: 0 rows means every
# row, 0 bytes the default memory limit.
_PARSERS: dict[str, Callable[[str], Any]] = {
    "time_limit": _seconds, "max_rows": lambda text: _non_negative_int(text) or None,
    "memory_limit": lambda text: _non_negative_int(text) or None, "units": str, "target_unit": str}


def _add_settings(group: argparse._ArgumentGroup) -> None:
    """One option per field of SearchSettings: --no-NAME for a setting that is on by default, --NAME for
    one that is off, --NAME VALUE for the others (an integer or a finite number by the field's type)."""
    for setting in dataclasses.fields(SearchSettings):
        meta = setting.metadata
        if setting.type == "bool":
            off = setting.default is True
            option = meta["option"] or f"--{'no-' if off else ''}{setting.name.replace('_', '-')}"
            group.add_argument(option, dest=setting.name, action="store_false" if off else "store_true",
                               help=meta["help"])
            continue
        option = meta["option"] or f"--{setting.name.replace('_', '-')}"
        if meta["choices"]:
            group.add_argument(option, dest=setting.name, choices=meta["choices"], default=setting.default,
                               help=meta["help"])
            continue
        parse = _PARSERS.get(setting.name, _non_negative_int if "int" in str(setting.type) else _finite_float)
        group.add_argument(option, dest=setting.name, type=parse, default=setting.default, metavar=meta["metavar"],
                           help=meta["help"])


def _json_number(value: float) -> float | None:
    return value if math.isfinite(value) else None


def _formula_json(formula: Formula) -> dict[str, Any]:
    return {
        "formula": formula.formula,
        "complexity": formula.complexity,
        "error": _json_number(formula.error),
        "relative_error": _json_number(formula.relative_error),
        "r2": _json_number(formula.r2),
        "score": _json_number(formula.score),
        "latex": formula.latex,
        "python": formula.python,
        "scale": formula.scale,
        "offset": formula.offset,
        "exact_scale": None if formula.exact_scale is None else list(formula.exact_scale),
        "exact_offset": None if formula.exact_offset is None else list(formula.exact_offset),
        "criterion": _json_number(formula.criterion),
        "parameters": [{"name": p.name, "value": p.value, "fitted": p.fitted,
                        "standard_error": _json_number(p.standard_error), "low": _json_number(p.low),
                        "high": _json_number(p.high), "exact": None if p.exact is None else list(p.exact)}
                       for p in formula.parameters],
        "units": dict(formula.units),
    }


def _write_json(out: TextIO, result: DiscoveryResult, target: str, settings: dict[str, Any]) -> None:
    document = {
        "target": target,
        "features": list(result.variable_names),
        "settings": settings,
        "best": None if result.best is None else _formula_json(result.best),
        "front": [_formula_json(formula) for formula in result.front],
        "cut_short": result.cut_short,
        "noise": result.noise,
        "groups": list(result.groups),
        "candidates": {"generated": result.generated, "admitted": result.admitted, "scored": result.scored,
                       "pruned": result.pruned},
        "elapsed_seconds": result.elapsed_seconds,
    }
    json.dump(document, out, indent=2, ensure_ascii=False, allow_nan=False)
    out.write("\n")


def _write_report(out: TextIO, result: DiscoveryResult, target: str) -> None:
    best = result.best
    if best is None:
        out.write(f"no formula for {target} was found\n")
    else:
        out.write(f"{target} = {best.formula}\n")
        out.write(f"  error (RMSE) {best.error:.6g}, score {best.score:.6g}, complexity {best.complexity}\n")
        out.write("".join(f"  {parameter.text()}\n" for parameter in best.parameters))
        out.write(f"  units: {best.units_text()}\n" if best.units_text() else "")
        if result.groups:
            groups = "; ".join(result.groups)
            out.write(f"  searched as {target} = P·f(π…) over the dimensionless groups: {groups}\n")
        out.write("\n")
        _write_simplified(out, result, target)
        out.write(f"LaTeX:\n  {target} = {best.latex}\n")
        out.write(f"  {best.units_latex()}\n\n" if best.units_latex() else "\n")
        out.write("Python:\n" + "".join(f"  {line}\n" if line else "\n" for line in best.python.splitlines()))
        out.write("\n")
    if result.front:
        out.write("Pareto front (error against complexity):\n")
        out.write(f"  {'complexity':>10}  {'error':>12}  {'relative':>10}  {'R²':>10}  {'criterion':>12}  formula\n")
        for formula in result.front:
            out.write(f"  {formula.complexity:>10}  {formula.error:>12.6g}  {formula.relative_error:>10.3g}  "
                      f"{formula.r2:>10.6f}  {formula.criterion:>12.6g}  {formula.formula}\n")
        out.write("\n")
    ending = "; cut short by the time limit" if result.cut_short else ""
    ending += "; noise relative to the value" if result.noise == "relative" else ""
    out.write(f"{result.admitted:,} distinct candidates scored in {result.elapsed_seconds:.2f} s{ending}\n")


def _write_simplified(out: TextIO, result: DiscoveryResult, target: str) -> None:
    """The best formula as SymPy simplifies it, when SymPy is installed and it reads differently."""
    if result.best is None or importlib.util.find_spec("sympy") is None:
        return
    simplified = result.best.simplified
    if simplified != result.best.formula:
        out.write(f"Simplified (SymPy):\n  {target} = {simplified}\n\n")


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    check_options(parser, args)
    try:
        return _run(args)
    except KeyboardInterrupt:
        print("zor-discover: interrupted", file=sys.stderr)
        return 130
    except (InputError, ResultFileError) as error:
        print(f"zor-discover: {error}", file=sys.stderr)
        return 1
    except MemoryError as error:
        # The message names discover's settings; here they are options.
        message = str(error)
        for setting in ("beam_width", "max_complexity", "max_rows"):
            message = message.replace(setting, "--" + setting.replace("_", "-"))
        print(f"zor-discover: out of memory: {message}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`): nothing more to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def _run(args: argparse.Namespace) -> int:
    if len(args.delimiter) != 1:
        raise InputError(f"--delimiter must be one character, not {args.delimiter!r}")
    if args.load is not None:
        return _run_loaded(args)
    target, features, columns, y, units = read_table(args.file, args.delimiter, args.target, args.features)
    settings = {setting.name: getattr(args, setting.name) for setting in dataclasses.fields(SearchSettings)}
    if units and settings["units"] is None:  # a header 'v [m/s]', unless --units says otherwise
        settings["units"] = {name: units[name] for name in features if name in units}
        settings["target_unit"] = settings["target_unit"] or units.get(target)
    progress = sys.stderr.isatty() if args.progress is None else args.progress
    try:
        result = discover(columns, y, variable_names=features, progress=progress, **settings)
    except (ValueError, ImportError) as error:  # units that cannot be read, or pint missing: one line
        if not (settings["units"] or settings["target_unit"]):
            raise
        raise InputError(str(error)) from None
    result = dataclasses.replace(result, target_name=target)
    _keep(args, result)
    if args.predict is not None:
        return _predict(args, result, target)
    if args.json:
        _write_json(sys.stdout, result, target, result.settings)
    else:
        _write_report(sys.stdout, result, target)
    sys.stdout.flush()
    return 0 if result.best is not None else 1



def check_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Options that make no sense together are usage errors."""
    if args.load is not None and args.file != "-":
        parser.error("--load reads the formula from its file: give the data to predict with --predict")
    if args.output is not None and args.predict is None:
        parser.error("--output is where --predict writes: give --predict too")
    if args.predict is not None and args.json:
        parser.error("--predict writes CSV: leave out --json")


def _run_loaded(args: argparse.Namespace) -> int:
    """--load: the saved result's report, JSON, picture or predictions."""
    result = load(args.load)
    target = result.target_name or "y"
    _keep(args, result)
    if args.predict is not None:
        return _predict(args, result, target)
    if args.json:
        _write_json(sys.stdout, result, target, result.settings)
    else:
        _write_report(sys.stdout, result, target)
    sys.stdout.flush()
    return 0 if result.best is not None else 1


def _keep(args: argparse.Namespace, result: DiscoveryResult) -> None:
    """--save and --plot."""
    if args.save is not None:
        try:
            result.save(args.save)
        except OSError as error:
            raise InputError(f"{args.save}: cannot write it: {error.strerror or error}") from None
    if args.plot is not None:
        _plot(args.plot, result)


def _plot(path: str, result: DiscoveryResult) -> None:
    if importlib.util.find_spec("matplotlib") is None:
        raise InputError(f"--plot needs matplotlib, which is not installed: pip install '{DISTRIBUTION}[plot]'")
    # A figure of its own, without pyplot: no window and no display are needed.
    from matplotlib.figure import Figure

    figure = Figure(figsize=(9.0, 5.0), layout="constrained")
    result.plot(figure.add_subplot())
    try:
        figure.savefig(path, dpi=120)
    except OSError as error:
        raise InputError(f"{path}: cannot write it: {error.strerror or error}") from None
    except ValueError as error:  # an extension matplotlib has no writer for
        raise InputError(f"{path}: {error}") from None


def _predict(args: argparse.Namespace, result: DiscoveryResult, target: str) -> int:
    """--predict: the features the formula uses and its value on each row, as CSV (NaN where undefined)."""
    if result.best is None:
        raise InputError("no formula to predict with: the search found none")
    names = list(result.variable_names)
    columns = read_features(args.predict, args.delimiter, names)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        values = result.predict(columns)
    for warning in caught:  # rows where the formula is undefined, as one line each
        print(f"zor-discover: warning: {warning.message}", file=sys.stderr)
    try:
        out = sys.stdout if args.output is None else open(args.output, "w", newline="", encoding="utf-8")
    except OSError as error:
        raise InputError(f"{args.output}: cannot write it: {error.strerror or error}") from None
    try:
        writer = csv.writer(out, delimiter=args.delimiter, lineterminator="\n")
        writer.writerow([*names, f"predicted_{target}"])
        for k, value in enumerate(values):
            writer.writerow([*(repr(column[k]) for column in columns), repr(float(value))])
        out.flush()
    finally:
        if out is not sys.stdout:
            out.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
