"""The shard entries of zor._native without Dask: shard searches in this
process, reached through the same transport a cluster uses."""

from __future__ import annotations

import numpy as np
import pytest

from zor import _native


def problem(seed: int) -> tuple[list[np.ndarray], np.ndarray]:
    rng = np.random.default_rng(seed)
    X = rng.uniform(-1.0, 3.0, size=(30, 2))
    return [X[:, 0], X[:, 1]], np.exp(X[:, 0]) - X[:, 1] * X[:, 0] + rng.normal(0.0, 0.1, 30)


def in_process_transport(columns, y, options: dict, parts: int, memory_limit: int = 0, dimensions=None):
    shards = [_native.shard_open(columns, y, options, _native.SHARDS * i // parts, _native.SHARDS * (i + 1) // parts,
                                 keep_front=True, memory_limit=memory_limit, dimensions=dimensions)
              for i in range(parts)]
    return lambda message: [_native.shard_expand(shard, message) for shard in shards]


@pytest.mark.parametrize("parts", [1, 3, 16])
@pytest.mark.parametrize("scaling", [False, True])
@pytest.mark.parametrize("dimensions", [None, [[1.0, 0.0], [0.0, 1.0]], [[0.0], [0.0]]])
def test_shards_behind_a_transport_find_the_one_process_result(parts: int, scaling: bool, dimensions) -> None:
    columns, y = problem(parts)
    options = {"max_complexity": 7, "beam_width": 400, "scaling": scaling}
    transport = in_process_transport(columns, y, options, parts, dimensions=dimensions)
    alone = _native.search(columns, y, options, keep_front=True, dimensions=dimensions)
    spread = _native.search(columns, y, options, keep_front=True, cluster=transport, dimensions=dimensions)
    for key in ("best", "front", "generated", "admitted", "pruned"):
        assert spread[key] == alone[key]
    assert (alone["pruned"] > 0) == (dimensions is not None and any(map(any, dimensions)))


@pytest.mark.parametrize("answer, error, match", [
    (lambda message: [b"not a part"], ValueError, "not a level message"),
    (lambda message: [], ValueError, "returned no parts"),
    (lambda message: ["text"], TypeError, "bytes"),
    (lambda message: 1 / 0, ZeroDivisionError, "division by zero"),
])
def test_a_transport_that_fails_ends_the_search_with_its_error(answer, error, match: str) -> None:
    columns, y = problem(0)
    with pytest.raises(error, match=match):
        _native.search(columns, y, {"max_complexity": 6, "beam_width": 400}, cluster=answer)


def test_a_shard_refuses_messages_that_are_not_level_starts() -> None:
    shard = _native.shard_open([[1.0, 2.0]], [1.0, 2.0], {"max_complexity": 4, "beam_width": 40}, 0, _native.SHARDS)
    with pytest.raises(ValueError, match="not a level message"):
        _native.shard_expand(shard, b"zor1 and then something else")
    with pytest.raises(TypeError, match="expected a shard made by shard_open"):
        _native.shard_expand(object(), b"")
    with pytest.raises(ValueError, match="a shard range is first < last"):
        _native.shard_open([[1.0]], [1.0], None, 5, 5)


def test_a_stopped_level_ends_early_and_a_cancelled_one_raises() -> None:
    # A request made before a level holds for that level, which polls before its first block of
    # children: the stop or cancel lands inside the level however fast or slow the machine is.
    columns, y = problem(1)
    options = {"max_complexity": 9, "beam_width": 400}
    finished = _native.search(columns, y, options, keep_front=True)
    assert not finished["cut_short"] and len(finished["levels"]) > 5
    shard = _native.shard_open(columns, y, options, 0, _native.SHARDS, keep_front=True)
    answers: list[bytes] = []

    def transport(message: bytes) -> list[bytes]:
        if len(answers) == 4:
            _native.shard_stop(shard, False)
        answers.append(_native.shard_expand(shard, message))
        return [answers[-1]]

    outcome = _native.search(columns, y, options, keep_front=True, cluster=transport)
    assert outcome["cut_short"] and outcome["best"] is not None
    # no level was asked for after the stopped one, and the levels reported are the finished search's
    assert len(answers) == 5 and outcome["generated"] < finished["generated"]
    summary = [(r["level"], r["generated"], r["admitted"], r["best"]) for r in outcome["levels"]]
    assert summary == [(r["level"], r["generated"], r["admitted"], r["best"]) for r in finished["levels"]][:len(summary)]

    cancelled = _native.shard_open(columns, y, options, 0, _native.SHARDS)
    _native.shard_stop(cancelled, True)
    with pytest.raises(RuntimeError, match="the level was cancelled"):
        _native.search(columns, y, options, cluster=lambda message: [_native.shard_expand(cancelled, message)])


def test_a_shard_over_its_memory_limit_raises_memory_error() -> None:
    columns, y = problem(2)
    options = {"max_complexity": 12, "beam_width": 200_000}
    transport = in_process_transport(columns, y, options, 2, 20_000_000)
    with pytest.raises(MemoryError, match="lower beam_width or max_complexity"):
        _native.search(columns, y, options, cluster=transport)
