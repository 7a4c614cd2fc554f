"""The shard entries of zor._native without Dask: shard searches in this
process, reached through the same transport a cluster uses."""

from __future__ import annotations

import threading

import numpy as np
import pytest

from zor import _native


def problem(seed: int) -> tuple[list[np.ndarray], np.ndarray]:
    rng = np.random.default_rng(seed)
    X = rng.uniform(-1.0, 3.0, size=(30, 2))
    return [X[:, 0], X[:, 1]], np.exp(X[:, 0]) - X[:, 1] * X[:, 0] + rng.normal(0.0, 0.1, 30)


def in_process_transport(columns, y, settings: tuple, parts: int, memory_limit: int = 0):
    shards = [_native.shard_open(columns, y, *settings, True, _native.SHARDS * i // parts,
                                 _native.SHARDS * (i + 1) // parts, memory_limit) for i in range(parts)]
    return lambda message: [_native.shard_expand(shard, message) for shard in shards]


@pytest.mark.parametrize("parts", [1, 3, 16])
@pytest.mark.parametrize("scaled", [False, True])
def test_shards_behind_a_transport_find_the_one_process_result(parts: int, scaled: bool) -> None:
    columns, y = problem(parts)
    settings = (7, 400, 1e-10, True, True, 0.001, scaled)
    transport = in_process_transport(columns, y, settings, parts)
    alone = _native.search(columns, y, *settings[:6], keep_front=True, scaled=scaled)
    spread = _native.search(columns, y, *settings[:6], keep_front=True, scaled=scaled, cluster=transport)
    for key in ("best", "front", "generated", "admitted"):
        assert spread[key] == alone[key]


@pytest.mark.parametrize("answer, error, match", [
    (lambda message: [b"not a part"], ValueError, "not a level message"),
    (lambda message: [], ValueError, "returned no parts"),
    (lambda message: ["text"], TypeError, "bytes"),
    (lambda message: 1 / 0, ZeroDivisionError, "division by zero"),
])
def test_a_transport_that_fails_ends_the_search_with_its_error(answer, error, match: str) -> None:
    columns, y = problem(0)
    with pytest.raises(error, match=match):
        _native.search(columns, y, 6, 400, cluster=answer)


def test_a_shard_refuses_messages_that_are_not_level_starts() -> None:
    shard = _native.shard_open([[1.0, 2.0]], [1.0, 2.0], 4, 40, 1e-10, True, True, 0.001, False, True, 0,
                               _native.SHARDS, 0)
    with pytest.raises(ValueError, match="not a level message"):
        _native.shard_expand(shard, b"zor1 and then something else")
    with pytest.raises(TypeError, match="expected a shard made by shard_open"):
        _native.shard_expand(object(), b"")
    with pytest.raises(ValueError, match="a shard range is first < last"):
        _native.shard_open([[1.0]], [1.0], 4, 40, 1e-10, True, True, 0.001, False, True, 5, 5, 0)


def test_a_stopped_level_ends_early_and_a_cancelled_one_raises() -> None:
    columns, y = problem(1)
    settings = (12, 200_000, 1e-10, True, True, 0.001, False)
    shard = _native.shard_open(columns, y, *settings, True, 0, _native.SHARDS, 0)
    answers: list[bytes] = []

    def transport(message: bytes) -> list[bytes]:
        if len(answers) == 5:  # a wide level: stop it from another thread once it runs
            threading.Timer(0.2, _native.shard_stop, (shard, False)).start()
        answers.append(_native.shard_expand(shard, message))
        return [answers[-1]]

    outcome = _native.search(columns, y, *settings[:6], keep_front=True, cluster=transport)
    assert outcome["cut_short"] and outcome["best"] is not None
    cancelled = _native.shard_open(columns, y, *settings, True, 0, _native.SHARDS, 0)
    threading.Timer(0.2, _native.shard_stop, (cancelled, True)).start()
    with pytest.raises(RuntimeError, match="cancelled"):
        _native.search(columns, y, *settings[:6], cluster=lambda message: [_native.shard_expand(cancelled, message)])


def test_a_shard_over_its_memory_limit_raises_memory_error() -> None:
    columns, y = problem(2)
    transport = in_process_transport(columns, y, (12, 200_000, 1e-10, True, True, 0.001, False), 2, 20_000_000)
    with pytest.raises(MemoryError, match="lower beam_width or max_complexity"):
        _native.search(columns, y, 12, 200_000, cluster=transport)
