"""discover(cluster=...) on LocalClusters of worker processes: the same result
as one machine, memory split among workers, lost workers and time limits."""

from __future__ import annotations

import os
import signal
import threading
import time

import numpy as np
import pytest

import zor
from zor import _cluster

distributed = pytest.importorskip("distributed")

# Workers lost or interrupted must end the search within seconds, and each worker is a process of its own.
pytestmark = pytest.mark.clock


def local_cluster(workers: int, memory_limit: str | int = "2GB") -> distributed.LocalCluster:
    return distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                    memory_limit=memory_limit, dashboard_address=":0", silence_logs=50)


@pytest.fixture(scope="module", params=[1, 2, 3], ids=lambda n: f"{n}-workers")
def client(request: pytest.FixtureRequest):
    with local_cluster(request.param) as cluster, distributed.Client(cluster) as client:
        yield client


def random_problem(seed: int) -> tuple[np.ndarray, np.ndarray, dict]:
    rng = np.random.default_rng(seed)
    variables = int(rng.integers(1, 4))
    X = rng.uniform(-2.0, 3.0, size=(int(rng.integers(5, 40)), variables))
    y = np.sin(X[:, 0]) * X[:, -1] + X[:, 0] ** 2 + rng.normal(0.0, 0.05, len(X))
    settings = {"max_complexity": int(rng.integers(5, 9)), "beam_width": int(rng.choice([8, 40, 400, 3000])),
                "use_trig": bool(rng.integers(2)), "use_zor": bool(rng.integers(2)),
                "scaling": bool(rng.integers(2)), "progress": False}
    return X, y, settings


def summary(result: zor.DiscoveryResult) -> list[tuple]:
    def formula(f: zor.Formula) -> tuple:
        return f.formula, np.float64(f.score).tobytes(), f.complexity, np.float64(f.scale).tobytes(), \
            np.float64(f.offset).tobytes()
    return [formula(result.best)] + [formula(f) for f in result.front]


@pytest.mark.parametrize("seed", range(6))
def test_the_cluster_finds_the_one_machine_result_to_the_bit(client, seed: int) -> None:
    X, y, settings = random_problem(seed)
    alone = zor.discover(X, y, **settings)
    spread = zor.discover(X, y, cluster=client, **settings)
    assert summary(spread) == summary(alone)
    assert [(level.level, level.generated, level.admitted) for level in spread.levels] == \
        [(level.level, level.generated, level.admitted) for level in alone.levels]


@pytest.mark.parametrize("cluster, error", [
    ("tcp://127.0.0.1:8786", "cluster must be a dask.distributed.Client, not str"),
    (object(), "cluster must be a dask.distributed.Client, not object"),
])
def test_a_cluster_that_is_not_a_client_is_a_type_error(cluster, error: str) -> None:
    with pytest.raises(TypeError, match=error):
        zor.discover([[1.0, 2.0, 3.0]], [2.0, 4.0, 6.0], cluster=cluster, progress=False)


# Wide enough that the seen set dominates: 20 rows keep the parents, which
# every worker holds in full, small beside it.
def memory_problem() -> tuple[np.ndarray, np.ndarray, dict]:
    rng = np.random.default_rng(5)
    X = rng.uniform(0.5, 3.0, size=(20, 2))
    y = X[:, 0] ** 2 * np.sin(X[:, 1]) + X[:, 1] + rng.normal(0.0, 0.01, 20)
    return X, y, {"max_complexity": 11, "beam_width": 40000, "scaling": False, "progress": False}


def test_a_search_too_big_for_one_process_completes_on_four() -> None:
    X, y, settings = memory_problem()
    limit = 600_000_000
    with pytest.raises(MemoryError, match="lower beam_width or max_complexity"):
        zor.discover(X, y, memory_limit=limit, **settings)
    with local_cluster(4, limit) as cluster, distributed.Client(cluster) as client:
        spread = zor.discover(X, y, cluster=client, **settings)
    assert summary(spread) == summary(zor.discover(X, y, **settings))


def test_a_level_the_cluster_cannot_hold_is_refused_before_it_starts() -> None:
    X, y, settings = memory_problem()
    with local_cluster(2, 400_000_000) as cluster, distributed.Client(cluster) as client:
        started = time.monotonic()
        with pytest.raises(MemoryError, match=r"more memory than the cluster has \(about .* GB usable on 2 workers\)"):
            zor.discover(X, y, cluster=client, **{**settings, "max_complexity": 14, "beam_width": 400_000})
        assert time.monotonic() - started < 60


def shards_left(client: distributed.Client) -> int:
    """Shard searches the workers still hold, once they have had a moment to drop them."""
    deadline = time.monotonic() + 3.0
    while True:
        left = sum(client.run(lambda: len(_cluster._SHARDS)).values())
        if left == 0 or time.monotonic() > deadline:
            return left
        time.sleep(0.1)


def long_search() -> tuple[np.ndarray, np.ndarray, dict]:
    rng = np.random.default_rng(9)
    X = rng.uniform(0.5, 3.0, size=(100, 2))
    y = np.exp(X[:, 0]) / X[:, 1] + rng.normal(0.0, 0.01, 100)
    return X, y, {"max_complexity": 13, "beam_width": 200_000, "scaling": False}


def test_a_worker_killed_mid_search_ends_it_with_a_clear_error_within_seconds() -> None:
    X, y, settings = long_search()
    with local_cluster(2) as cluster, distributed.Client(cluster) as client:
        pids = client.run(os.getpid)
        killed: list[float] = []

        # Killed once level 3 is reported, while the workers are in level 4, which at this width takes them
        # seconds: mid-search, without waiting for the level to end.
        def kill_after_level(report: zor.LevelReport) -> None:
            if report.level == 3 and not killed:
                os.kill(next(iter(pids.values())), signal.SIGKILL)
                killed.append(time.monotonic())

        with pytest.raises(zor.ClusterError, match="left the cluster during the search"):
            zor.discover(X, y, cluster=client, progress=kill_after_level, **settings)
        assert killed and time.monotonic() - killed[0] < 10


def test_the_time_limit_stops_the_workers_and_keeps_the_best_found() -> None:
    X, y, settings = long_search()
    with local_cluster(2) as cluster, distributed.Client(cluster) as client:
        started = time.monotonic()
        result = zor.discover(X, y, cluster=client, time_limit=3.0, progress=False, **settings)
        took = time.monotonic() - started
        assert result.cut_short and result.best is not None
        assert took < 3.0 + 5.0
        assert shards_left(client) == 0


def test_ctrl_c_cancels_the_level_on_every_worker() -> None:
    X, y, settings = long_search()
    with local_cluster(2) as cluster, distributed.Client(cluster) as client:
        # Ctrl-C once the workers are at their levels (the third has been reported), from another thread as a
        # terminal would send it, not after a guessed delay: on a busy machine the start can take seconds.
        searching = threading.Event()
        sent: list[float] = []

        def ctrl_c_once_searching() -> None:
            searching.wait()
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=ctrl_c_once_searching, daemon=True).start()
        with pytest.raises(KeyboardInterrupt):
            zor.discover(X, y, cluster=client, progress=lambda report: report.level == 3 and searching.set(),
                         **settings)
        assert sent and time.monotonic() - sent[0] < 3.0
        # Nothing of the search is left running: a short search answers at once.
        small = zor.discover(X, y, cluster=client, max_complexity=4, beam_width=40, progress=False)
        assert small.best is not None
        assert shards_left(client) == 0
