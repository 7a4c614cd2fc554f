"""Reading the user's data: columns of features with their names, and targets."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from zor._expression import default_names

Column = NDArray[np.float64]


def is_dataframe(obj: object) -> bool:
    return type(obj).__module__.startswith("pandas") and hasattr(obj, "columns") and hasattr(obj, "to_numpy")


def _float_column(values: Any, what: str) -> Column:
    try:
        column = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{what} must hold numbers: {error}") from None
    if column.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, not of shape {column.shape}")
    return np.ascontiguousarray(column)


def _is_number(item: object) -> bool:
    return isinstance(item, (int, float, np.number)) and not isinstance(item, (bool, np.bool_))


def read_features(X: Any) -> tuple[list[Column], tuple[str, ...] | None]:
    """The feature columns of X and, for a DataFrame, its column names.

    X is a sequence of columns (like find_formula's x_data), a flat sequence of
    numbers (one column), a 1-D array (one column), a 2-D array of samples x
    features, or a pandas DataFrame.
    """
    if is_dataframe(X):
        names = tuple(str(name) for name in X.columns)
        columns = [_float_column(X.iloc[:, k].to_numpy(), f"column {name!r}") for k, name in enumerate(names)]
        return columns, names
    if isinstance(X, np.ndarray):
        array = _float_column(X, "X") if X.ndim == 1 else np.asarray(X, dtype=np.float64)
        if array.ndim == 1:
            return [array], None
        if array.ndim != 2:
            raise ValueError(f"X must be a 2-D array of samples x features, not of shape {array.shape}")
        return [np.ascontiguousarray(array[:, k]) for k in range(array.shape[1])], None
    if isinstance(X, (str, bytes)) or not isinstance(X, Sequence):
        raise TypeError(f"X must be a sequence of columns, an array or a DataFrame, not {type(X).__name__}")
    if len(X) > 0 and all(_is_number(item) for item in X):
        return [_float_column(X, "X")], None
    return [_float_column(column, f"X column {k}") for k, column in enumerate(X)], None


# The largest target magnitude discover takes: its errors, fits and criteria work with squares and sums of
# squares of the targets, which past about 1e154 are no longer finite doubles.
LARGEST_TARGET = 1e150


def check_finite(column: Column, what: str) -> None:
    bad = np.flatnonzero(~np.isfinite(column))
    if bad.size:
        raise ValueError(f"{what} holds {column[bad[0]]} at row {bad[0]}: every value must be finite")


def prepare(
    X: Any, y: Any, variable_names: Sequence[str] | None
) -> tuple[list[Column], Column, tuple[str, ...]]:
    """Columns, targets and variable names for a search, checked for shape and finiteness."""
    columns, frame_names = read_features(X)
    if not columns:
        raise ValueError("X has no feature columns")
    names = check_names(variable_names if variable_names is not None else frame_names, len(columns))
    target = _float_column(y.to_numpy() if hasattr(y, "to_numpy") else y, "y")
    rows = len(target)
    if rows == 0:
        raise ValueError("y is empty: at least one sample is needed")
    for name, column in zip(names, columns, strict=True):
        if len(column) != rows:
            raise ValueError(f"variable {name!r} has {len(column)} values but y has {rows}")
        check_finite(column, f"variable {name!r}")
    check_finite(target, "y")
    largest = int(np.argmax(np.abs(target)))
    if abs(target[largest]) > LARGEST_TARGET:
        raise ValueError(f"y holds {target[largest]} at row {largest}: discover needs targets of magnitude at most "
                         f"{LARGEST_TARGET:g}, whose squares stay finite; divide y by a power of ten")
    return columns, target, names


def check_names(names: Sequence[str] | None, count: int) -> tuple[str, ...]:
    """The variable names, or the defaults when none are given."""
    if names is None:
        return default_names(count)
    if isinstance(names, str):
        raise TypeError("variable_names must be a sequence of strings, not a single string")
    result = tuple(names)
    if len(result) != count:
        raise ValueError(f"{len(result)} variable names for {count} feature columns")
    for name in result:
        if not isinstance(name, str) or not name:
            raise ValueError(f"variable names must be non-empty strings, not {name!r}")
    if len(set(result)) != len(result):
        raise ValueError(f"variable names must be distinct: {list(result)}")
    return result


def columns_for(X: Any, names: Sequence[str]) -> list[Column]:
    """The columns of new data X for a formula over `names`: a DataFrame's by
    name when it has them all, anything else by position."""
    if is_dataframe(X) and all(name in X.columns for name in names):
        X = X[list(names)]
    columns, _ = read_features(X)
    if len(columns) != len(names):
        raise ValueError(f"X has {len(columns)} feature columns but the formula is over {len(names)}: {list(names)}")
    rows = {len(column) for column in columns}
    if len(rows) > 1:
        raise ValueError(f"the feature columns of X differ in length: {sorted(rows)}")
    return columns


def subsample_rows(rows: int, max_rows: int | None) -> NDArray[np.intp] | None:
    """The rows a search of `rows` samples runs on when they exceed max_rows,
    in their order in the data, or None for all of them.

    The rows kept are those with the smallest values of a fixed 64-bit mix of
    their index (splitmix64's finaliser): the same rows on every run and
    machine, spread over the data without the stride that would alias with
    data laid out on a grid.
    """
    if max_rows is None or rows <= max_rows:
        return None
    with np.errstate(over="ignore"):
        x = np.arange(rows, dtype=np.uint64) + np.uint64(0x9E3779B97F4A7C15)
        x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        x ^= x >> np.uint64(31)
    chosen = np.argpartition(x, max_rows - 1)[:max_rows]
    return np.sort(chosen)


def rms(values: Column) -> float:
    """The root mean square of the values."""
    return math.sqrt(float(np.mean(values * values)))
