"""Results in files: the versioned JSON document behind DiscoveryResult.save and zor.load.

Every dataclass is written field by field and read back against its type
annotations, so a new field with a JSON-friendly type (a number, a string, a
bool, None, or tuples, lists and string-keyed dicts of them) needs no code
here. Reading checks every value's type and every token's shape, and runs
nothing from the file.
"""

from __future__ import annotations

import dataclasses
import json
import math
import os
import platform
import threading
import types
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypeVar, Union, get_args, get_origin, get_type_hints

import numpy as np

from zor._data import check_names
from zor._expression import BINARY, UNARY, Token, fold
from zor._optional import DISTRIBUTION
from zor._terms import sum_tokens

if TYPE_CHECKING:
    from zor._results import DiscoveryResult, Formula

# The result type a file is read as (zor._results.DiscoveryResult, given by the caller: the format
# knows the result types through their fields and annotations only).
Result = TypeVar("Result")

FORMAT = "zor.DiscoveryResult"
# 2: formulas carry the range of each variable they were fitted on (`domain`); version 1 files read with none.
# 3: a sum of terms carries its terms (`terms`); formulas carry their fitted parameters with their
# uncertainties (`parameters`) and the model selection's `criterion`; version 1 and 2 files read with none.
# 4: a result says which noise its best formula was chosen for (`noise`); earlier files read as "same".
# 5: with units, formulas carry the units of their constants (`units`) and a result the dimensionless
# groups its search looked over (`groups`); earlier files read with none.
# 6: a result and its level reports count the candidates the dimension rules left out (`pruned`);
# earlier files read with 0.
FORMAT_VERSION = 6
# A result file holds a few hundred formulas at most; a larger file is not one.
MAX_FILE_BYTES = 64 << 20
# Integers in a result count tokens, levels and candidates.
MAX_INTEGER = 2**63 - 1
_NON_FINITE = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}


class ResultFileError(ValueError):
    """A file that zor.load cannot read as a result; the message is one line that names the file."""

    __module__ = "zor"  # raised to users as zor.ResultFileError


# --- writing -----------------------------------------------------------------


def save(result: DiscoveryResult, path: str | os.PathLike[str]) -> None:
    """Writes `result` to `path` through a temporary file beside it, so that a failed write leaves an
    existing file as it was."""
    document = {
        "format": FORMAT,
        "format_version": FORMAT_VERSION,
        "versions": _versions(),
        "result": _encode(result),
    }
    text = json.dumps(document, indent=1, ensure_ascii=False, allow_nan=False) + "\n"
    target = Path(path)
    temporary = target.with_name(f".{target.name}.{os.getpid()}-{threading.get_ident()}.tmp")
    # O_EXCL: never write through a file or link that is already there; the mode is the usual one.
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with open(descriptor, "w", encoding="utf-8") as stream:
            stream.write(text)
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def _versions() -> dict[str, str]:
    from importlib import metadata

    return {DISTRIBUTION: metadata.version(DISTRIBUTION), "python": platform.python_version(),
            "numpy": np.__version__}


def _encode(value: Any) -> Any:
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {f.name: _encode(getattr(value, f.name)) for f in dataclasses.fields(value)}
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, (int, np.integer)) and not isinstance(value, np.bool_):
        return int(value)
    if isinstance(value, (float, np.floating)):
        number = float(value)
        # JSON has no NaN or infinities; repr-exact text round-trips every finite double.
        return number if math.isfinite(number) else "NaN" if math.isnan(number) else (
            "Infinity" if number > 0 else "-Infinity")
    if isinstance(value, np.bool_):
        return bool(value)
    if isinstance(value, (tuple, list)):
        return [_encode(item) for item in value]
    if isinstance(value, dict) and all(isinstance(key, str) for key in value):
        return {key: _encode(item) for key, item in value.items()}
    raise TypeError(f"a result file cannot hold {type(value).__name__} values: {value!r}")


# --- reading -----------------------------------------------------------------


class _Bad(Exception):
    """A problem at one place in the document; load turns it into a ResultFileError."""


def load(path: str | os.PathLike[str], result_type: type[Result]) -> Result:
    """Reads a result that save wrote as `result_type`. Raises ResultFileError, with one line naming the
    file, for a file that is missing, unreadable, not JSON, truncated, edited into the wrong shape, or
    written by a newer format version."""
    name = os.fspath(path)
    try:
        return _read(Path(path), result_type)
    except _Bad as problem:
        raise ResultFileError(f"{name}: {problem}") from None
    except IsADirectoryError:
        raise ResultFileError(f"{name}: is a directory, not a result file") from None
    except FileNotFoundError:
        raise ResultFileError(f"{name}: no such file") from None
    except OSError as error:
        raise ResultFileError(f"{name}: cannot read it: {error.strerror or error}") from None


def _read(path: Path, result_type: type[Result]) -> Result:
    with open(path, "rb") as stream:
        raw = stream.read(MAX_FILE_BYTES + 1)
    if len(raw) > MAX_FILE_BYTES:
        raise _Bad(f"larger than {MAX_FILE_BYTES >> 20} MiB, not a result file")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise _Bad(f"not a result file: not UTF-8 text (byte 0x{raw[error.start]:02x} at offset {error.start})"
                   ) from None
    document = _parse_json(text)
    if not isinstance(document, dict) or document.get("format") != FORMAT:
        raise _Bad(f'not a result file (a JSON object with "format": "{FORMAT}" is expected)')
    version = document.get("format_version")
    if type(version) is not int:
        raise _Bad(f"format_version: expected an integer, found {_kind(version)}")
    if version > FORMAT_VERSION:
        raise _Bad(f"written in result format {version} by a newer zor; this one reads format "
                   f"{FORMAT_VERSION} (upgrade {DISTRIBUTION})")
    if version < 1:
        raise _Bad(f"unknown result format {version}")
    unexpected = sorted(set(document) - {"format", "format_version", "versions", "result"})
    if unexpected:
        raise _Bad(f"unexpected field {unexpected[0]!r}")
    _decode(document.get("versions"), dict[str, str], "versions")
    if "result" not in document:
        raise _Bad("missing field 'result'")
    result = _decode(document["result"], result_type, "result")
    assert isinstance(result, result_type)
    return result


class _BadNumber(ValueError):
    pass


def _parse_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise _BadNumber(f"the number {text[:20]}{'...' if len(text) > 20 else ''} is out of range")
    return value


def _parse_int(text: str) -> int:
    if len(text.lstrip("-")) > 19:
        raise _BadNumber(f"the integer {text[:20]}... is out of range")
    return int(text)


def _refuse_constant(text: str) -> Any:
    raise _BadNumber(f"{text} is not a JSON number")


def _parse_json(text: str) -> Any:
    try:
        return json.loads(text, parse_float=_parse_float, parse_int=_parse_int, parse_constant=_refuse_constant)
    except _BadNumber as error:
        raise _Bad(str(error)) from None
    except json.JSONDecodeError as error:
        if not text.strip():
            raise _Bad("the file is empty") from None
        if error.pos >= len(text.rstrip()):
            raise _Bad(f"the JSON ends early at line {error.lineno} (truncated?)") from None
        raise _Bad(f"not valid JSON: {error.msg} at line {error.lineno}, column {error.colno}") from None
    except RecursionError:
        raise _Bad("nested too deeply to be a result file") from None


def _kind(value: Any) -> str:
    if value is None:
        return "null"
    return {bool: "true or false", int: "an integer", float: "a number", str: "a string", list: "a list",
            dict: "an object"}.get(type(value), type(value).__name__)


def _decode(value: Any, hint: Any, where: str) -> Any:
    """`value` from the JSON document as the annotated type `hint`, or _Bad naming `where`."""
    if hint is Any:
        if value is None or isinstance(value, (bool, int, float, str)):
            return value
        raise _Bad(f"{where}: expected a single value, found {_kind(value)}")
    if hint == Token:
        return _token(value, where)
    if isinstance(hint, type) and dataclasses.is_dataclass(hint):
        return _dataclass(value, hint, where)
    origin, args = get_origin(hint), get_args(hint)
    if origin is Union or origin is types.UnionType:
        if value is None and type(None) in args:
            return None
        others = [arg for arg in args if arg is not type(None)]
        for arg in others[:-1]:  # the first type, in the order written, that the value has
            try:
                return _decode(value, arg, where)
            except _Bad:
                pass
        return _decode(value, others[-1], where)
    if origin is tuple or origin is list:
        if not isinstance(value, list):
            raise _Bad(f"{where}: expected a list, found {_kind(value)}")
        if origin is list or (len(args) == 2 and args[1] is Ellipsis):
            return (tuple if origin is tuple else list)(
                _decode(item, args[0], f"{where}[{k}]") for k, item in enumerate(value))
        if len(value) != len(args):
            raise _Bad(f"{where}: expected a list of {len(args)}, found {len(value)} items")
        return tuple(_decode(item, arg, f"{where}[{k}]") for k, (item, arg) in enumerate(zip(value, args)))
    if origin is dict:
        if not isinstance(value, dict):
            raise _Bad(f"{where}: expected an object, found {_kind(value)}")
        return {key: _decode(item, args[1], f"{where}[{key!r}]") for key, item in value.items()}
    if hint is float:
        if isinstance(value, str) and value in _NON_FINITE:
            return _NON_FINITE[value]
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            return float(value)
        raise _Bad(f"{where}: expected a number, found {_kind(value)}")
    if hint is int:
        if type(value) is not int:
            raise _Bad(f"{where}: expected an integer, found {_kind(value)}")
        if abs(value) > MAX_INTEGER:
            raise _Bad(f"{where}: the integer {value} is out of range")
        return value
    if hint is bool or hint is str:
        if type(value) is not hint:
            raise _Bad(f"{where}: expected {_kind(hint())}, found {_kind(value)}")
        return value
    raise TypeError(f"a result file cannot hold values of type {hint}")


def _dataclass(value: Any, cls: type, where: str) -> Any:
    if not isinstance(value, dict):
        raise _Bad(f"{where}: expected an object, found {_kind(value)}")
    fields = {f.name: f for f in dataclasses.fields(cls) if f.init}
    unexpected = sorted(set(value) - set(fields))
    if unexpected:
        raise _Bad(f"{where}: unexpected field {unexpected[0]!r}")
    hints = get_type_hints(cls)
    arguments = {}
    for name, declared in fields.items():
        if name in value:
            arguments[name] = _decode(value[name], hints[name], f"{where}.{name}")
        elif declared.default is dataclasses.MISSING and declared.default_factory is dataclasses.MISSING:
            raise _Bad(f"{where}: missing field {name!r}")
    built = cls(**arguments)
    _CHECKS.get(cls.__name__, lambda _built, _where: None)(built, where)
    return built


def _token(value: Any, where: str) -> Token:
    if not isinstance(value, list) or not value or not isinstance(value[0], str):
        raise _Bad(f"{where}: expected a token such as [\"var\", 0], found {_kind(value)}")
    kind, rest = value[0], value[1:]
    if kind == "const" and len(rest) == 1:
        return ("const", _decode(rest[0], float, where))
    if kind == "var" and len(rest) == 1:
        index = _decode(rest[0], int, where)
        if index < 0:
            raise _Bad(f"{where}: variable index {index} is negative")
        return ("var", index)
    if kind == "param" and len(rest) == 2:
        return ("param", _decode(rest[0], int, where), _decode(rest[1], float, where))
    if kind == "op" and len(rest) == 1 and isinstance(rest[0], str):
        if rest[0] not in UNARY and rest[0] not in BINARY:
            raise _Bad(f"{where}: unknown operator {rest[0][:40]!r}")
        return ("op", rest[0])
    raise _Bad(f"{where}: not a token: {json.dumps(value)[:60]}")


def _check_names(names: tuple[str, ...], where: str) -> None:
    try:
        check_names(names, len(names))
    except (TypeError, ValueError) as error:
        raise _Bad(f"{where}.variable_names: {error}") from None


def _check_formula(formula: Formula, where: str) -> None:
    _check_names(formula.variable_names, where)
    if formula.domain is not None and len(formula.domain) != len(formula.variable_names):
        raise _Bad(f"{where}.domain: {len(formula.domain)} ranges for {len(formula.variable_names)} variables")
    for k, token in enumerate(formula.tokens):
        if token[0] == "var" and int(token[1]) >= len(formula.variable_names):
            raise _Bad(f"{where}.tokens[{k}]: variable {token[1]} of {len(formula.variable_names)}")
        if token[0] == "param" and not 0 <= int(token[1]) < len(formula.tokens):
            raise _Bad(f"{where}.tokens[{k}]: parameter index {token[1]} out of range")
    try:
        fold(formula.tokens, lambda _leaf: None, lambda _op, _a: None, lambda _op, _a, _b: None)
        for term in formula.terms:
            fold(term.tokens, lambda _leaf: None, lambda _op, _a: None, lambda _op, _a, _b: None)
    except ValueError:
        raise _Bad(f"{where}.tokens: not a well-formed formula") from None
    if formula.terms and sum_tokens(formula.terms) != formula.tokens:
        raise _Bad(f"{where}.terms: they do not add up to the formula's tokens")


def _check_result(result: DiscoveryResult, where: str) -> None:
    _check_names(result.variable_names, where)
    formulas = [("best", result.best)] + [(f"front[{k}]", f) for k, f in enumerate(result.front)] + [
        (f"levels[{k}].best", level.best) for k, level in enumerate(result.levels)]
    for place, formula in formulas:
        if formula is not None and formula.variable_names != result.variable_names:
            raise _Bad(f"{where}.{place}: its variable names differ from the result's")


_CHECKS: dict[str, Any] = {"Formula": _check_formula, "DiscoveryResult": _check_result}
