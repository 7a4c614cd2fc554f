"""Cluster benchmark: the same search on one process and on LocalClusters of
1, 2 and 4 worker processes, and a search that only fits when it is split.

Every run happens in a fresh child process (and a fresh LocalCluster), so that
peak memories are the run's own. For each it prints the search's wall time
(the cluster's start-up left out), the peak resident memory of the driver and
of each worker, and whether the best formula, its score bits and the whole
front equal the one-process search's. The memory row runs a search that
raises MemoryError on one process under a memory limit M, then on four
workers with memory_limit M each.

    .venv/bin/python bench/cluster.py [--figure PATH]

On this 2-core machine the workers share two cores, so the times show the
cluster path's overhead, not a speed-up: each worker gets cores // workers
threads of its own pool.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent(
    """
    import json, math, resource, sys, time
    import numpy as np
    import zor

    workers, rows, max_complexity, beam_width, limit, threads = map(int, sys.argv[1:7])
    i = np.arange(rows)
    X = np.stack([0.5 + 2.5 * ((i * 0.6180339887 * (k + 1)) % 1.0) for k in range(2)], axis=1)
    y = X[:, 0] ** 1.5 / (1.0 + X[:, 1]) + 0.3 * np.sin(X[:, 0])
    settings = dict(max_complexity=max_complexity, beam_width=beam_width, scaling=False, progress=False)

    def peak_mb():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

    def summary(result):
        return [[f.formula, float(f.score).hex(), f.complexity] for f in (result.best, *result.front)]

    out = {}
    try:
        if workers == 0:
            start = time.perf_counter()
            result = zor.discover(X, y, memory_limit=limit or None, **settings)
            out["seconds"] = time.perf_counter() - start
        else:
            import distributed
            env = {"RAYON_NUM_THREADS": str(threads)}
            with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                          memory_limit=limit or "8GB", dashboard_address=":0",
                                          silence_logs=50, env=env) as cluster, \\
                    distributed.Client(cluster) as client:
                start = time.perf_counter()
                result = zor.discover(X, y, cluster=client, **settings)
                out["seconds"] = time.perf_counter() - start
                peaks = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)
                out["worker_peak_mb"] = [peaks[a] for a in sorted(peaks)]
        out["summary"] = summary(result)
    except MemoryError as error:
        out["memory_error"] = str(error)
    out["driver_peak_mb"] = peak_mb()
    print(json.dumps(out))
    """
)


def run(workers: int, rows: int, max_complexity: int, beam_width: int, limit: int = 0) -> dict:
    cores = os.cpu_count() or 1
    threads = max(1, cores // workers) if workers else cores
    args = [sys.executable, "-c", CHILD, str(workers), str(rows), str(max_complexity), str(beam_width), str(limit),
            str(threads)]
    done = subprocess.run(args, capture_output=True, text=True, timeout=3600)
    if done.returncode != 0:
        return {"failed": (done.stderr.strip().splitlines() or [f"exit {done.returncode}"])[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def describe(r: dict, alone: dict | None) -> str:
    if "failed" in r:
        return "failed: " + r["failed"]
    if "memory_error" in r:
        return "MemoryError: " + r["memory_error"]
    workers = r.get("worker_peak_mb", [])
    total = r["driver_peak_mb"] + sum(workers)
    text = f"{r['seconds']:7.2f} s  driver {r['driver_peak_mb']:6.0f} MB"
    if workers:
        text += f"  workers {max(workers):6.0f} MB each at most, {total:6.0f} MB in all"
    if alone is not None and "summary" in alone:
        text += "  same result" if r["summary"] == alone["summary"] else "  DIFFERENT RESULT"
    return text


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--figure", help="write a PNG of time and memory against workers (needs matplotlib)")
    opts = parser.parse_args()
    print(f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}")

    rows, complexity, width = 100, 10, 20000
    print(f"\n2 variables x {rows} rows, max_complexity={complexity}, beam_width={width}")
    alone = run(0, rows, complexity, width)
    print(f"{'one process':<16} {describe(alone, None)}")
    table = [("one process", alone)]
    for workers in (1, 2, 4):
        r = run(workers, rows, complexity, width)
        label = f"{workers} worker{'s' if workers > 1 else ''}"
        print(f"{label:<16} {describe(r, alone)}")
        table.append((label, r))
        if workers == 1 and "seconds" in r and "seconds" in alone:
            print(f"{'':<16} cluster path on one worker: {r['seconds'] / alone['seconds']:.2f}x the one-process time")
        sys.stdout.flush()

    limit, rows, complexity, width = 1_000_000_000, 20, 12, 40000
    print(f"\nmemory: 2 variables x {rows} rows, max_complexity={complexity}, beam_width={width}, "
          f"limit {limit / 1e9:.1f} GB per process")
    unlimited = run(0, rows, complexity, width)
    print(f"{'one process':<16} {describe(unlimited, None)}  (no limit)")
    limited = run(0, rows, complexity, width, limit)
    print(f"{'one process':<16} {describe(limited, None)}")
    split = run(4, rows, complexity, width, limit)
    print(f"{'4 workers':<16} {describe(split, unlimited)}")

    if opts.figure:
        write_figure(table, opts.figure)


def write_figure(table: list, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    finished = [(label, r) for label, r in table if "seconds" in r]
    fig, (ax_time, ax_mem) = plt.subplots(1, 2, figsize=(10, 4))
    labels = [label for label, _ in finished]
    ax_time.bar(labels, [r["seconds"] for _, r in finished], color="C0")
    ax_time.set_ylabel("seconds")
    ax_time.set_title("search time (cluster start-up left out)")
    driver = [r["driver_peak_mb"] for _, r in finished]
    workers = [max(r.get("worker_peak_mb", [0.0])) for _, r in finished]
    ax_mem.bar(labels, driver, color="C1", label="driver (or the one process)")
    ax_mem.bar(labels, workers, bottom=driver, color="C2", label="largest worker")
    ax_mem.set_ylabel("peak resident memory, MB")
    ax_mem.set_title("peak memory")
    ax_mem.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
