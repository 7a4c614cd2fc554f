from collections.abc import Callable, Sequence
from typing import Any, TypedDict, type_check_only

from zor._expression import Token

@type_check_only  # the shape of the dicts the module returns, not a runtime class
class Candidate(TypedDict):
    formula: str
    tokens: list[Token]
    score: float
    rmse: float
    complexity: int
    scale: float
    offset: float

@type_check_only
class Level(TypedDict):
    level: int
    generated: int
    admitted: int
    scored: int
    pruned: int
    best: Candidate | None
    elapsed_seconds: float

@type_check_only
class Outcome(TypedDict):
    best: Candidate | None
    front: list[Candidate]
    cut_short: bool
    levels: list[Level]
    generated: int
    admitted: int
    scored: int
    pruned: int
    admission_seconds: float
    phase_seconds: dict[str, float]

@type_check_only
class OperatorRow(TypedDict):
    name: str  # as token lists spell it: ("op", name)
    arity: int
    text: str  # the core's plain text, "{}" for each operand
    latex: str  # LaTeX, "#1" and "#2" for the operands
    latex_class: int  # the result's bracket class: 1 sum, 2 negated, 3 product, 4 atom (5: a leaf)
    latex_wraps: tuple[int, ...]  # per operand: bit k set wraps an operand of class k in \left( \right)
    python: str  # a Python expression, "{0}" and "{1}" for the operands
    sympy: str  # a SymPy expression over the operands a and b

# One row per operator, in code order.
OPERATORS: tuple[OperatorRow, ...]
# The number of shards of the fast search's seen set.
SHARDS: int
# zor's guards in the core: exp folds an argument above ZOR_EXP_FOLD through its logarithm, and ln takes
# a non-positive argument as max(|b|, ZOR_LOG_FLOOR).
ZOR_EXP_FOLD: float
ZOR_LOG_FLOOR: float

@type_check_only
class Shard:  # a capsule holding a shard search
    ...

def search(
    columns: Sequence[Sequence[float]] | Sequence[Any],
    y: Sequence[float] | Any,
    options: object = None,  # a mapping or an object with the options as attributes, such as SearchSettings
    *,
    time_limit: float | None = None,
    on_level: Callable[[Level], object] | None = None,
    keep_front: bool = False,
    engine: str = "fast",
    memory_limit: int = 0,
    cluster: Callable[[bytes], Sequence[bytes]] | None = None,
    cluster_memory: Sequence[float] | None = None,
    dimensions: Sequence[Sequence[float]] | None = None,  # per column, its exponent of each base dimension
) -> Outcome: ...
def evaluate(expression: Sequence[Token], columns: Sequence[Sequence[float]] | Sequence[Any]) -> list[float]: ...
def penalised_score(rmse: float, complexity: int, penalty: float) -> float: ...
# (status, full, sse, jacobian): status "converged", "not converged", "not finite", "undetermined" or
# "refused"; full (inner parameters, scale, offset) and the Jacobian (rows x free entries, row by row) as the
# bytes of float64 values. With linear_start a job's start holds the inner parameters only.
def fit_parameters(tokens: Sequence[Token], columns: Sequence[Sequence[float]] | Sequence[Any],
                   y: Sequence[float] | Any, start: Sequence[float] | Any, free: Sequence[bool] | None = None, *,
                   evaluations_per_entry: int = 40) -> tuple[str, bytes, float, bytes]: ...
def fit_parameters_batch(jobs: Sequence[tuple[Sequence[Token], Sequence[float] | Any]
                                        | tuple[Sequence[Token], Sequence[float] | Any, Sequence[bool] | None]],
                         columns: Sequence[Sequence[float]] | Sequence[Any], y: Sequence[float] | Any, *,
                         evaluations_per_entry: int = 40, linear_start: bool = False
                         ) -> list[tuple[str, bytes, float, bytes]]: ...
def shard_open(
    columns: Sequence[Sequence[float]] | Sequence[Any],
    y: Sequence[float] | Any,
    options: object,
    first_shard: int,
    last_shard: int,
    *,
    keep_front: bool = False,
    memory_limit: int = 0,
    dimensions: Sequence[Sequence[float]] | None = None,
) -> Shard: ...
def shard_expand(shard: Shard, message: bytes) -> bytes: ...
def shard_stop(shard: Shard, cancel: bool) -> None: ...
