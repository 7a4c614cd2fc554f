"""The search on a Dask cluster: each worker holds a range of the seen set's
shards (a native shard search, kept in the worker process between levels),
and every level runs as one task per worker, pinned to it. The driver merges
the parts in zor._native.search, exactly as the one-machine search merges
its single part, so the result is the same to the bit.

Only small messages move: the level's start (the parents chosen at the
previous level, as operator and parent positions, and the scores to beat) to
every worker, and each worker's candidates back. Every worker generates and
fingerprints all of a level's children itself and keeps those of its own
shards: fingerprints cost five operations a child, while sending each child
to the worker that owns it would cost more than that in bytes alone.
"""

from __future__ import annotations

import math
import threading
import time
import uuid
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _native
from ._optional import import_extra

if TYPE_CHECKING:
    from ._settings import SearchSettings

# How often the driver looks at the level's tasks and the cluster's workers.
POLL_SECONDS = 0.1
# The share of a worker's memory_limit a shard search may hold: Dask pauses
# a worker at 80 % of its limit (distributed.worker.memory.pause) and
# restarts it at 95 %; the search keeps a tenth of the limit below the
# first of these, after what the worker process held when the search began.
PAUSE_MARGIN = 0.1
# Seconds the driver waits for workers to drop their shards at the end.
CLOSE_TIMEOUT = 5.0

# On a worker: the shard searches it holds, by search key.
_SHARDS: dict[str, Any] = {}
_SHARDS_LOCK = threading.Lock()


class ClusterError(RuntimeError):
    """The cluster could not finish the search (a worker was lost or restarted)."""


def require_client(cluster: Any) -> Any:
    """The dask.distributed.Client `cluster`, or TypeError."""
    distributed = import_extra("distributed", "cluster", "discover(cluster=...)")
    if not isinstance(cluster, distributed.Client):
        raise TypeError(f"cluster must be a dask.distributed.Client, not {type(cluster).__name__}")
    if cluster.status not in ("running", "connecting", "newly-created"):
        raise ValueError(f"the cluster's client is {cluster.status}, not running")
    return cluster


def _usable_share() -> float:
    dask = import_extra("dask", "cluster", "discover(cluster=...)")
    thresholds = [dask.config.get(f"distributed.worker.memory.{name}", None) for name in ("pause", "terminate")]
    lowest = min((float(t) for t in thresholds if t), default=1.0)
    return max(lowest - PAUSE_MARGIN, 0.05)


def _worker_memory_now() -> int:
    import psutil  # a dependency of distributed

    return int(psutil.Process().memory_info().rss)


# --- on the workers ---------------------------------------------------------------------------------------


def _open(key: str, columns: list[np.ndarray], target: np.ndarray, settings: SearchSettings, first: int,
          last: int, memory_limit: int, dimensions: list[list[float]] | None) -> int:
    """Makes this worker's shard search; returns the bytes it may hold."""
    budget = 0
    if memory_limit:
        budget = int(memory_limit * _usable_share()) - _worker_memory_now()
        if budget <= 0:
            raise MemoryError(f"the worker holds {_worker_memory_now() / 1e9:.2f} GB already, which leaves "
                              f"no room for the search under its memory_limit of {memory_limit / 1e9:.2f} GB")
    shard = _native.shard_open(columns, target, settings, first, last, keep_front=True, memory_limit=budget,
                               dimensions=dimensions)
    with _SHARDS_LOCK:
        _SHARDS[key] = shard
    return budget


def _shard(key: str) -> Any:
    with _SHARDS_LOCK:
        shard = _SHARDS.get(key)
    if shard is None:
        raise ClusterError("this worker no longer holds its shards of the search (it was restarted)")
    return shard


def _expand(key: str, message: bytes) -> bytes:
    return _native.shard_expand(_shard(key), message)


async def _stop(key: str, cancel: bool) -> None:
    with _SHARDS_LOCK:
        shard = _SHARDS.get(key)
    if shard is not None:
        _native.shard_stop(shard, cancel)


async def _close(key: str) -> None:
    with _SHARDS_LOCK:
        shard = _SHARDS.pop(key, None)
    if shard is not None:
        _native.shard_stop(shard, True)


# --- on the driver ----------------------------------------------------------------------------------------


def _workers(client: Any) -> dict[str, Any]:
    """Every worker the scheduler lists, by address, with its details."""
    try:
        info: dict[str, Any] = client.scheduler_info(n_workers=-1)
    except TypeError:  # releases before 2025 list every worker without being asked
        info = client.scheduler_info()
    workers: dict[str, Any] = info["workers"]
    return workers


class ClusterSearch:
    """One search's shard searches on the client's workers, and the transport
    that zor._native.search calls for every level."""

    def __init__(self, client: Any, columns: Sequence[np.ndarray], target: np.ndarray, settings: SearchSettings,
                 deadline: float | None, dimensions: list[list[float]] | None = None) -> None:
        self.client = client
        self.deadline = deadline
        self.key = f"zor-search-{uuid.uuid4().hex}"
        workers = _workers(client)
        if not workers:
            raise ValueError("the cluster has no workers")
        self.workers = sorted(workers)
        self.levels = 0
        self.memory_limits = [int(workers[address].get("memory_limit") or 0) for address in self.workers]
        parts = len(self.workers)
        shards = _native.SHARDS
        columns = [np.ascontiguousarray(column, dtype=np.float64) for column in columns]
        futures = [
            client.submit(_open, self.key, columns, target, settings, shards * i // parts,
                          shards * (i + 1) // parts, limit, dimensions, workers=[address], allow_other_workers=False,
                          pure=False, key=f"{self.key}-open-{i}")
            for i, (address, limit) in enumerate(zip(self.workers, self.memory_limits))]
        try:
            self.budgets = self._gather(futures, stoppable=False)
        except BaseException:
            self.close()
            raise

    def cluster_memory(self) -> list[float] | None:
        """Each worker's bytes for the search, or None when a worker has no limit."""
        return None if not all(self.budgets) else [float(budget) for budget in self.budgets]

    def __call__(self, message: bytes) -> list[bytes]:
        self.levels += 1
        futures = [
            self.client.submit(_expand, self.key, message, workers=[address], allow_other_workers=False,
                               pure=False, key=f"{self.key}-level-{self.levels}-{i}")
            for i, address in enumerate(self.workers)]
        return self._gather(futures, stoppable=True)

    def _gather(self, futures: list[Any], stoppable: bool) -> list[Any]:
        """The futures' results, in order, watching the time limit, Ctrl-C and the workers."""
        distributed = import_extra("distributed", "cluster", "discover(cluster=...)")
        stopped = False
        try:
            while True:
                try:
                    distributed.wait(futures, timeout=POLL_SECONDS)
                    break
                except distributed.TimeoutError:
                    pass
                self._require_workers()
                if stoppable and not stopped and self.deadline is not None and time.monotonic() >= self.deadline:
                    # The level ends early on every worker with what it found, as on one machine.
                    self._signal(cancel=False)
                    stopped = True
            for future in futures:
                if future.status == "error":
                    future.result()  # raises the worker's exception
            return [future.result() for future in futures]
        except BaseException:
            self._signal(cancel=True)
            self.client.cancel(futures)
            raise

    def _present(self) -> list[str]:
        """The search's workers that the scheduler still lists."""
        present = _workers(self.client)
        return [address for address in self.workers if address in present]

    def _require_workers(self) -> None:
        present = self._present()
        lost = [address for address in self.workers if address not in present]
        if lost:
            raise ClusterError(f"worker {lost[0]} left the cluster during the search, and its part of the "
                               f"search with it ({len(lost)} of {len(self.workers)} workers lost); no result is "
                               f"returned from an incomplete search")

    # Only workers still there are told: a message to a lost one waits for its connection to time out.
    def _signal(self, cancel: bool) -> None:
        try:
            self.client.run(_stop, self.key, cancel, workers=self._present(), wait=False, on_error="ignore")
        except Exception:  # noqa: BLE001 - a worker that cannot be told is one that is gone
            pass

    def close(self) -> None:
        """Drops the shard searches of every worker still there."""
        try:
            self.client.run(_close, self.key, workers=self._present(), on_error="ignore", wait=False)
        except Exception:  # noqa: BLE001 - closing is best effort on a failing cluster
            pass


def deadline_after(remaining: float | None) -> float | None:
    return None if remaining is None or math.isinf(remaining) else time.monotonic() + remaining
