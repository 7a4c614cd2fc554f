"""Discovery benchmark: the fast search against the literal reference search.

Each run happens in a fresh child process, so that its peak resident memory is
its own. For every rung of the settings ladder it prints the time, candidates
generated / admitted / scored per second, the peak memory, the speed-up and
whether both searches returned the same formula, error bits and complexity.
The reference is stopped after --reference-cap seconds.

    .venv/bin/python bench/discovery.py [--reference-cap S] [--reachable] [--figure PATH]

--reachable adds a table of the fast search alone at larger settings (time and
peak memory, or MemoryError), the table the README shows.

The thread-scaling table runs the fast search with one and with two worker
threads (RAYON_NUM_THREADS) in the same run and shows, for each phase of its
levels, the time with each, the speed-up, and the share of the one-thread
run that the phase leaves serial: with speed-up s on two threads, a phase of
time T has a serial part of T·(2/s − 1) by Amdahl's law.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import textwrap
from dataclasses import dataclass

# Runs one search in a child and prints one JSON line. The data are fixed
# pseudo-random samples of a law the search cannot express exactly, so every
# run goes through all its levels.
CHILD = textwrap.dedent(
    """
    import json, math, resource, sys, time
    from zor import _native

    engine, n_vars, n, max_complexity, beam_width = sys.argv[1], *map(int, sys.argv[2:6])
    columns = [[0.5 + 2.5 * ((i * 0.6180339887 * (k + 1)) % 1.0) for i in range(n)] for k in range(n_vars)]
    y = [columns[0][i] ** 1.5 / (1.0 + columns[-1][i]) + 0.3 * math.sin(columns[0][i]) for i in range(n)]
    start = time.perf_counter()
    try:
        out = _native.search(columns, y, {"max_complexity": max_complexity, "beam_width": beam_width}, engine=engine)
    except MemoryError as e:
        print(json.dumps({"memory_error": str(e), "seconds": time.perf_counter() - start,
                          "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
        sys.exit(0)
    seconds = time.perf_counter() - start
    best = out["best"]
    print(json.dumps({
        "seconds": seconds,
        "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
        "generated": out["generated"], "admitted": out["admitted"], "scored": out["scored"],
        "admission_seconds": out["admission_seconds"], "phases": out["phase_seconds"],
        "formula": best["formula"], "complexity": best["complexity"],
        "error_bits": "nan" if math.isnan(best["score"]) else best["score"].hex(),
    }))
    """
)


@dataclass(frozen=True)
class Rung:
    n_vars: int
    samples: int
    max_complexity: int
    beam_width: int
    fast_only: bool = False

    def label(self) -> str:
        return f"{self.n_vars} var x {self.samples:>4}, mc={self.max_complexity:>2}, bw={self.beam_width:>5}"


LADDER = [
    Rung(1, 20, 8, 2000),
    Rung(1, 1000, 8, 2000),
    Rung(3, 20, 8, 2000),
    Rung(3, 1000, 8, 2000),
    Rung(2, 100, 10, 20000),
    Rung(2, 1000, 10, 20000),
    Rung(2, 100, 12, 50000, fast_only=True),
]

REACHABLE = [
    Rung(2, 100, 12, 50000),
    Rung(2, 1000, 12, 50000),
    Rung(3, 100, 12, 50000),
    Rung(2, 100, 14, 100000),
    Rung(2, 100, 12, 200000),
    Rung(3, 100, 14, 400000),
]


SCALING = [Rung(2, 100, 10, 20000), Rung(2, 100, 12, 200000)]


def run(engine: str, rung: Rung, cap: float | None, threads: int | None = None) -> dict:
    args = [sys.executable, "-c", CHILD, engine, str(rung.n_vars), str(rung.samples), str(rung.max_complexity),
            str(rung.beam_width)]
    env = dict(os.environ) if threads is None else {**os.environ, "RAYON_NUM_THREADS": str(threads)}
    try:
        done = subprocess.run(args, capture_output=True, text=True, timeout=cap, env=env)
    except subprocess.TimeoutExpired:
        return {"capped": cap}
    if done.returncode != 0:
        return {"failed": done.stderr.strip().splitlines()[-1] if done.stderr.strip() else f"exit {done.returncode}"}
    return json.loads(done.stdout)


def rates(r: dict) -> str:
    s = r["seconds"]
    per_core = r["generated"] / max(r["admission_seconds"], 1e-9) / (os.cpu_count() or 1)
    return (f"{r['generated'] / s / 1e6:6.2f} {r['admitted'] / s / 1e6:6.2f} {r['scored'] / s / 1e6:6.2f}"
            f"  {per_core / 1e6:7.2f}")


def describe(r: dict) -> str:
    if "capped" in r:
        return f"> {r['capped']:.0f} s (stopped)"
    if "failed" in r:
        return "failed: " + r["failed"]
    if "memory_error" in r:
        return f"MemoryError after {r['seconds']:.1f} s, peak {r['peak_mb']:.0f} MB"
    return f"{r['seconds']:8.2f} s  {r['peak_mb']:7.0f} MB  {rates(r)}"


def same(a: dict, b: dict) -> str:
    if "seconds" not in a or "seconds" not in b or "generated" not in b:
        return "-"
    keys = ("formula", "error_bits", "complexity")
    return "identical" if all(a[k] == b[k] for k in keys) else "DIFFERENT"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--reference-cap", type=float, default=300.0, help="seconds before a reference run is stopped")
    parser.add_argument("--reachable", action="store_true", help="also time the fast search at larger settings")
    parser.add_argument("--figure", help="write a PNG of time and memory across the ladder (needs matplotlib)")
    parser.add_argument("--scaling-only", action="store_true", help="only the thread-scaling table")
    opts = parser.parse_args()

    print(f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}")
    print("rates: millions of candidates generated / admitted / fully scored per second of the whole search;")
    print("gen+adm: millions generated per second of generation and admission, per core")
    print(f"{'settings':<36} {'engine':<9} {'time':>10} {'peak':>10}  {'gen/s':>6} {'adm/s':>6} {'sc/s':>6}"
          f"  {'gen+adm':>7}")
    rows = []
    for rung in [] if opts.scaling_only else LADDER:
        fast = run("fast", rung, None)
        reference = run("reference", rung, 5.0 if rung.fast_only else opts.reference_cap)
        rows.append((rung, fast, reference))
        print(f"{rung.label():<36} {'fast':<9} {describe(fast)}")
        print(f"{'':<36} {'reference':<9} {describe(reference)}")
        if "seconds" in fast and "seconds" in reference:
            speedup = reference["seconds"] / fast["seconds"]
            memory = reference["peak_mb"] / fast["peak_mb"]
            print(f"{'':<36} speed-up {speedup:.1f}x, reference memory {memory:.1f}x, results {same(fast, reference)}")
        elif "seconds" in fast and "capped" in reference and not rung.fast_only:
            print(f"{'':<36} speed-up > {reference['capped'] / fast['seconds']:.0f}x")
        sys.stdout.flush()

    print("\nthread scaling of the fast search: one against two worker threads, per phase of its levels")
    print(f"{'settings':<36} {'phase':<13} {'1 thread':>9} {'2 threads':>10} {'speed-up':>9} {'serial share':>13}")
    for rung in SCALING:
        one, two = run("fast", rung, None, threads=1), run("fast", rung, None, threads=2)
        if "phases" not in one or "phases" not in two:
            print(f"{rung.label():<36} {describe(one)} / {describe(two)}")
            continue
        for phase in one["phases"]:
            t1, t2 = one["phases"][phase], two["phases"][phase]
            speedup = t1 / t2 if t2 > 0 else float("inf")
            serial = t1 * max(min(2.0 / speedup - 1.0, 1.0), 0.0) if t2 > 0 else 0.0
            print(f"{rung.label() if phase == 'generation' else '':<36} {phase:<13} {t1:8.2f}s {t2:9.2f}s "
                  f"{speedup:8.2f}x {serial / one['seconds']:12.1%}")
        print(f"{'':<36} {'whole search':<13} {one['seconds']:8.2f}s {two['seconds']:9.2f}s "
              f"{one['seconds'] / two['seconds']:8.2f}x   results {same(one, two)}")
        sys.stdout.flush()

    if opts.reachable:
        print("\nfast search at larger settings (time, peak memory)")
        for rung in REACHABLE:
            print(f"{rung.label():<36} {describe(run('fast', rung, 600.0))}")
            sys.stdout.flush()

    if opts.figure and rows:
        write_figure(rows, opts.figure)


def write_figure(rows: list, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = [rung.label().replace(", ", "\n", 1) for rung, _, _ in rows]
    fig, (ax_time, ax_mem) = plt.subplots(1, 2, figsize=(12, 4.8))
    x = range(len(rows))
    for offset, engine, index in ((-0.2, "fast", 1), (0.2, "reference", 2)):
        finished = [(i, r[index]) for i, r in enumerate(rows) if "seconds" in r[index]]
        ax_time.bar([i + offset for i, _ in finished], [r["seconds"] for _, r in finished], width=0.4,
                    label=engine, color=f"C{index - 1}")
        ax_mem.bar([i + offset for i, _ in finished], [r["peak_mb"] for _, r in finished], width=0.4,
                   label=engine, color=f"C{index - 1}")
        # A run stopped at its cap is drawn up to the cap, hatched: it would have taken longer.
        capped = [(i, r[index]) for i, r in enumerate(rows) if "capped" in r[index] and not rows[i][0].fast_only]
        if capped:
            ax_time.bar([i + offset for i, _ in capped], [r["capped"] for _, r in capped], width=0.4,
                        color="none", edgecolor=f"C{index - 1}", hatch="//", label=f"{engine}, stopped at the cap")
    ax_time.set_yscale("log")
    ax_time.set_ylabel("seconds")
    ax_mem.set_ylabel("peak resident memory, MB")
    for ax in (ax_time, ax_mem):
        ax.set_xticks(list(x), labels, rotation=60, ha="right", fontsize=7)
        ax.legend()
    ax_time.set_title("discovery time")
    ax_mem.set_title("peak memory")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
