"""Reading the command line's CSV input: a header row, then one finite number per cell of the columns
used; every problem is one line naming the file and the row."""

from __future__ import annotations

import csv
import math
import re
import sys
from collections.abc import Iterator, Sequence
from typing import Any, BinaryIO


class InputError(Exception):
    """Bad input, reported as one line."""


# A longer line is refused rather than read: a file without line breaks
# (or a device such as /dev/zero) must not fill the memory.
MAX_LINE_BYTES = 1 << 20


def _open(source: str) -> tuple[str, BinaryIO]:
    """The label used in messages and the byte stream of the file or standard input."""
    if source == "-":
        if sys.stdin.isatty():
            print("zor-discover: reading CSV from standard input (end with Ctrl-D; --help for usage)",
                  file=sys.stderr)
        return "standard input", sys.stdin.buffer
    try:
        return source, open(source, "rb")
    except FileNotFoundError:
        raise InputError(f"{source}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{source}: is a directory, not a file") from None
    except OSError as error:
        raise InputError(f"{source}: cannot read it: {error.strerror or error}") from None


def _lines(stream: BinaryIO, label: str) -> Iterator[str]:
    """The stream's lines as text, each decoded by itself so that an error names its row."""
    number = 0
    while True:
        try:
            raw = stream.readline(MAX_LINE_BYTES + 1)
        except OSError as error:
            raise InputError(f"{label}, row {number + 1}: cannot read it: {error.strerror or error}") from None
        if not raw:
            return
        number += 1
        if len(raw) > MAX_LINE_BYTES:
            raise InputError(f"{label}, row {number}: longer than {MAX_LINE_BYTES} bytes")
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            raise InputError(f"{label}, row {number}: not UTF-8 text (byte 0x{raw[error.start]:02x} at "
                             f"position {error.start + 1})") from None
        yield text.removeprefix("\ufeff") if number == 1 else text


def _choose_columns(label: str, header: list[str], target: str | None, features: str | None) -> tuple[str, list[str]]:
    def known(name: str) -> str:
        if name not in header:
            raise InputError(f"{label}: no column named {name!r} (columns: {', '.join(header)})")
        return name

    target_name = known(target) if target is not None else header[-1]
    if features is None:
        chosen = [name for name in header if name != target_name]
    else:
        chosen = [known(name.strip()) for name in features.split(",") if name.strip()]
        if target_name in chosen:
            raise InputError(f"{label}: the target column {target_name!r} cannot also be a feature")
        if len(set(chosen)) != len(chosen):
            raise InputError(f"{label}: a feature column is named twice in --features {features!r}")
    if not chosen and features is not None:
        raise InputError(f"{label}: --features {features!r} names no column")
    if not chosen:
        hint = next((f" (cells separated by {d!r}? use --delimiter)" for d in (";", "\t") if d in target_name), "")
        raise InputError(f"{label}: no feature column: the only column is the target {target_name!r}{hint}")
    return target_name, chosen


def read_table(source: str, delimiter: str, target: str | None, features: str | None
               ) -> tuple[str, list[str], list[list[float]], list[float], dict[str, str]]:
    """Reads the CSV: the target's name, the feature names, the feature columns, the targets and the units
    the header gives (a cell 'v [m/s]')."""
    label, stream = _open(source)
    try:
        return _parse(label, csv.reader(_lines(stream, label), delimiter=delimiter, strict=True), target, features)
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


def _parse(label: str, reader: Any, target: str | None, features: str | None
           ) -> tuple[str, list[str], list[list[float]], list[float], dict[str, str]]:
    """read_table's work on a csv.reader."""
    units: dict[str, str] = {}
    try:
        header = _header(label, reader, units)
        target_name, feature_names = _choose_columns(label, header, target, features)
        values = _columns(label, reader, header, [*feature_names, target_name])
    except csv.Error as error:
        raise InputError(f"{label}, row {reader.line_num}: {error}") from None
    return target_name, feature_names, values[:-1], values[-1], units


# A header cell 'v [m/s]' names the column v and gives its unit.
_UNIT_IN_HEADER = re.compile(r"^(.*?)\s*\[([^\[\]]*)\]$")


def header_units(header_cells: Sequence[str]) -> tuple[list[str], dict[str, str]]:
    """The column names of header cells, each without a unit in brackets after it, and those units."""
    names, units = [], {}
    for cell in header_cells:
        found = _UNIT_IN_HEADER.match(cell.strip())
        name = found.group(1) if found and found.group(1) else cell.strip()
        if found and found.group(1):
            units[name] = found.group(2).strip()
        names.append(name)
    return names, units


def _header(label: str, reader: Any, units: dict[str, str] | None = None) -> list[str]:
    """The column names of the first row that is not blank; a unit in brackets after a name goes into
    `units`."""
    header_cells = next((row for row in reader if any(cell.strip() for cell in row)), None)
    if header_cells is None:
        raise InputError(f"{label}: the file is empty (a header row and data rows are needed)")
    header, found = header_units(header_cells)
    if units is not None:
        units.update(found)
    header_row = reader.line_num
    for k, name in enumerate(header):
        if not name:
            raise InputError(f"{label}, row {header_row}: header column {k + 1} has no name")
        if header.index(name) != k:
            raise InputError(f"{label}, row {header_row}: two columns are named {name!r}")
    return header


def _columns(label: str, reader: Any, header: list[str], names: list[str]) -> list[list[float]]:
    """The named columns of the remaining rows, as numbers."""
    wanted = [(header.index(name), name) for name in names]
    values: list[list[float]] = [[] for _ in wanted]
    for row in reader:
        if not any(cell.strip() for cell in row):
            continue
        line = reader.line_num
        if len(row) != len(header):
            raise InputError(f"{label}, row {line}: {len(row)} cells where the header has {len(header)} columns")
        for column, (index, name) in zip(values, wanted, strict=True):
            column.append(_cell_value(row[index], label, line, name))
    if not values[0]:
        raise InputError(f"{label}: no data rows below the header")
    return values


def read_features(source: str, delimiter: str, names: Sequence[str]) -> list[list[float]]:
    """The columns named `names` of a CSV file, for predicting; other columns are left alone."""
    label, stream = _open(source)
    reader = csv.reader(_lines(stream, label), delimiter=delimiter, strict=True)
    try:
        header = _header(label, reader)
        missing = [name for name in names if name not in header]
        if missing:
            raise InputError(f"{label}: no column named {missing[0]!r}, a variable of the formula "
                             f"(columns: {', '.join(header)})")
        return _columns(label, reader, header, list(names))
    except csv.Error as error:
        raise InputError(f"{label}, row {reader.line_num}: {error}") from None
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


def _cell_value(cell: str, label: str, line: int, name: str) -> float:
    text = cell.strip()
    try:
        value = float(text)
    except ValueError:
        what = "an empty cell" if not text else f"{text!r}"
        raise InputError(f"{label}, row {line}, column {name!r}: {what} is not a number") from None
    if not math.isfinite(value):
        raise InputError(f"{label}, row {line}, column {name!r}: {text!r} is not a finite number")
    return value
