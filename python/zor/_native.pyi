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
    admission_seconds: float
    phase_seconds: dict[str, float]

# One (name, arity, plain text) row per operator, in code order; "{}" in the
# text stands for each operand.
OPERATORS: tuple[tuple[str, int, str], ...]
# The number of shards of the fast search's seen set.
SHARDS: int

@type_check_only
class Shard:  # a capsule holding a shard search
    ...

def search(
    columns: Sequence[Sequence[float]] | Sequence[Any],
    y: Sequence[float] | Any,
    max_complexity: int = 8,
    beam_width: int = 2000,
    precision_goal: float = 1e-10,
    use_trig: bool = True,
    use_zor: bool = True,
    complexity_penalty: float = 0.001,
    time_limit: float | None = None,
    on_level: Callable[[Level], object] | None = None,
    keep_front: bool = False,
    engine: str = "fast",
    scaled: bool = False,
    memory_limit: int = 0,
    cluster: Callable[[bytes], Sequence[bytes]] | None = None,
    cluster_memory: Sequence[float] | None = None,
) -> Outcome: ...
def evaluate(expression: Sequence[Token], columns: Sequence[Sequence[float]] | Sequence[Any]) -> list[float]: ...
def shard_open(
    columns: Sequence[Sequence[float]] | Sequence[Any],
    y: Sequence[float] | Any,
    max_complexity: int,
    beam_width: int,
    precision_goal: float,
    use_trig: bool,
    use_zor: bool,
    complexity_penalty: float,
    scaled: bool,
    keep_front: bool,
    first_shard: int,
    last_shard: int,
    memory_limit: int,
) -> Shard: ...
def shard_expand(shard: Shard, message: bytes) -> bytes: ...
def shard_stop(shard: Shard, cancel: bool) -> None: ...
