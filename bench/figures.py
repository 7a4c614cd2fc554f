"""PNG figures for the benchmark scripts (matplotlib, an optional benchmark
dependency: `make bench` installs it into .venv).

Each function takes plain Python data, writes one PNG and returns its path.
Every figure carries a footnote with the machine and the versions, passed in
by the caller as `note` (see `machine_note`).
"""

from __future__ import annotations

import math
import os
import pathlib
import platform
import time

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:  # the benchmarks print their tables without it
    plt = None

FIGURE_DIR = pathlib.Path(__file__).resolve().parent.parent / "docs" / "figures"


def available() -> bool:
    return plt is not None


def machine_note(*versions: str) -> str:
    """Date, CPUs and their load (the machine may be shared), Python and the
    given 'name version' strings."""
    cpu = platform.processor() or platform.machine()
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    parts = [time.strftime("%Y-%m-%d"), f"{os.cpu_count()} CPUs ({cpu}), load {load:.1f}",
             f"Python {platform.python_version()}"]
    return ", ".join(parts + list(versions))


def _save(fig, path, note):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    if note:
        fig.text(0.01, 0.005, note, fontsize=7, color="0.4", ha="left", va="bottom")
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)
    return path


def kernel_figure(series, path, note="", title="Batch kernels: time per element"):
    """series: {kernel: {tool: [(n, seconds per call), ...]}}; one panel per
    kernel, time per element against n on log-log axes."""
    kernels = list(series)
    columns = min(3, len(kernels))
    rows = (len(kernels) + columns - 1) // columns
    fig, axes = plt.subplots(rows, columns, figsize=(4.2 * columns, 3.3 * rows), squeeze=False)
    styles = {"zor": ("C0", "o", "-"), "python": ("C3", "s", "--"), "numpy": ("C2", "^", "--"),
              "floor": ("0.45", "x", ":")}
    for ax, kernel in zip(axes.flat, kernels):
        for tool, points in series[kernel].items():
            color, marker, line = styles.get(tool, (None, ".", "-"))
            ns = [n for n, _ in points]
            per_element = [t / n * 1e9 for n, t in points]
            ax.plot(ns, per_element, line, color=color, marker=marker, label=tool)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(kernel)
        ax.set_xlabel("n (elements)")
        ax.set_ylabel("ns per element")
        ax.grid(True, which="both", alpha=0.3)
    for ax in list(axes.flat)[len(kernels):]:
        ax.axis("off")
    axes.flat[0].legend(fontsize=8)
    fig.suptitle(title)
    fig.tight_layout()
    return _save(fig, path, note)


def pareto_figure(front, path, note="", title="Pareto front"):
    """front: [(complexity, error, formula), ...]; error against complexity
    with each formula written beside its point."""
    fig, ax = plt.subplots(figsize=(8, 4.5))
    complexities = [c for c, _, _ in front]
    floor = 1e-17  # an exact fit is drawn at the bottom of the log axis
    errors = [max(e, floor) for _, e, _ in front]
    ax.step(complexities, errors, where="post", color="C0", alpha=0.4)
    ax.plot(complexities, errors, "o", color="C0")
    for c, e, formula in zip(complexities, errors, [f for _, _, f in front]):
        ax.annotate(formula, (c, e), textcoords="offset points", xytext=(6, 4), fontsize=8)
    ax.set_yscale("log")
    ax.set_xlabel("complexity (tokens)")
    ax.set_ylabel("RMS error on the data")
    ax.set_title(title)
    ax.grid(True, which="both", alpha=0.3)
    ax.set_xlim(min(complexities) - 0.5, max(complexities) + 4)
    fig.tight_layout()
    return _save(fig, path, note)


def recovery_figure(results, tools, budget, path, note="", title="Exact recovery within an equal time budget"):
    """results: [(problem, {tool: (recovered, seconds)}), ...]. Seconds to an
    exact formula per problem and tool; a cross at the budget marks a miss."""
    from matplotlib.patches import Patch

    fig, ax = plt.subplots(figsize=(10, 0.32 * len(results) + 1.8))
    height = 0.8 / len(tools)
    times = [t for _, by_tool in results for ok, t in by_tool.values() if ok and t > 0]
    left = 10 ** math.floor(math.log10(max(1e-4, min(times + [budget]) / 2)))  # bars start here on the log axis
    for k, tool in enumerate(tools):
        ys = [i + (k - (len(tools) - 1) / 2) * height for i in range(len(results))]
        for y, (_, by_tool) in zip(ys, results):
            recovered, seconds = by_tool[tool]
            if recovered:
                # A time below the axis still shows as a short bar.
                ax.barh(y, max(seconds, 1.5 * left) - left, height, left=left, color=f"C{k}")
            else:
                ax.plot([budget], [y], "x", color=f"C{k}")
    ax.axvline(budget, color="0.5", linestyle=":", linewidth=1)
    ax.set_yticks(range(len(results)))
    ax.set_yticklabels([problem for problem, _ in results], fontsize=8)
    ax.set_ylim(len(results) - 0.5, -0.5)  # first problem on top
    ax.set_xscale("log")
    ax.set_xlim(left, budget * 1.5)
    ax.set_xlabel(f"seconds to an exact formula (x: not recovered within {budget:g} s; "
                  f"shorter than {1.5 * left:g} s drawn at {1.5 * left:g} s)")
    ax.legend(handles=[Patch(color=f"C{k}", label=tool) for k, tool in enumerate(tools)], loc="upper left",
              bbox_to_anchor=(1.01, 1.0), fontsize=8)
    ax.set_title(title)
    ax.grid(True, axis="x", which="both", alpha=0.3)
    fig.tight_layout()
    return _save(fig, path, note)


def recovery_counts_figure(counts, total, budget, path, note="", title="Feynman equations with constants"):
    """counts: {tool: {noise: (exact, accurate)}}, accurate including exact.
    Per tool, a bar per noise level for the accurate count with the exact
    count drawn solid inside it."""
    from matplotlib.ticker import MaxNLocator

    tools = list(counts)
    noises = sorted({noise for by_noise in counts.values() for noise in by_noise})
    fig, ax = plt.subplots(figsize=(1.9 * len(tools) + 2.5, 3.8))
    width = 0.8 / len(noises)
    for k, noise in enumerate(noises):
        xs = [i + (k - (len(noises) - 1) / 2) * width for i in range(len(tools))]
        exact = [counts[tool][noise][0] for tool in tools]
        accurate = [counts[tool][noise][1] for tool in tools]
        color = f"C{k}"
        ax.bar(xs, accurate, width * 0.92, color=color, alpha=0.35,
               label=f"accurate (R² ≥ 0.999), noise {noise:.0%}")
        ax.bar(xs, exact, width * 0.92, color=color, label=f"exact, noise {noise:.0%}")
        for x, e, a in zip(xs, exact, accurate):
            ax.annotate(f"{e} / {a}", (x, a), textcoords="offset points", xytext=(0, 3), ha="center", fontsize=8)
    ax.axhline(total, color="0.5", linestyle=":", linewidth=1)
    ax.yaxis.set_major_locator(MaxNLocator(integer=True))
    ax.set_xticks(range(len(tools)))
    ax.set_xticklabels(tools)
    ax.set_ylim(0, total * 1.12)
    ax.set_ylabel(f"equations (of {total}), exact / accurate")
    ax.set_title(f"{title}: {budget:g} s per equation and tool")
    ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0))
    ax.grid(True, axis="y", alpha=0.3)
    fig.tight_layout()
    return _save(fig, path, note)


def realdata_figure(points, path, note="", labels=None, floor=-0.5,
                    title="Real data sets: held-out R² against model size"):
    """points: {tool: [(size, r2), ...]}, one per data set in the same order for every tool; labels: the data sets'
    names, written beside zor's points. An R² below `floor` (or −∞) is drawn hollow at the floor."""
    styles = {"zor": ("C0", "o"), "linear": ("C1", "s"), "pyoperon": ("C2", "^")}
    fig, ax = plt.subplots(figsize=(8, 5))
    for tool, pairs in points.items():
        color, marker = styles.get(tool, (None, "D"))
        kept = [(s, r) for s, r in pairs if s is not None]
        above = [(s, r) for s, r in kept if r >= floor]
        below = [(s, floor) for s, r in kept if r < floor]
        ax.plot([s for s, _ in above], [r for _, r in above], marker, color=color, linestyle="none", label=tool)
        if below:
            ax.plot([s for s, _ in below], [r for _, r in below], marker, color=color, linestyle="none",
                    markerfacecolor="none")
    for name, (size, r2) in zip(labels or [], points.get("zor", [])):
        if size is not None:
            ax.annotate(name, (size, max(r2, floor)), textcoords="offset points", xytext=(4, 3), fontsize=7,
                        color="C0")
    from matplotlib.ticker import FixedLocator, FormatStrFormatter, NullFormatter

    ax.set_xscale("log")
    ax.xaxis.set_major_locator(FixedLocator([1, 2, 5, 10, 20, 50, 100, 200, 500, 1000]))
    ax.xaxis.set_major_formatter(FormatStrFormatter("%g"))
    ax.xaxis.set_minor_formatter(NullFormatter())
    ax.set_xlabel("model size (median over the folds; zor: complexity, linear: 2p + 1, pyoperon: tree nodes;\n"
                  "the random forest has no size and is not drawn)")
    ax.set_ylabel(f"held-out R², median over the folds (hollow: below {floor:g})")
    ax.set_ylim(floor - 0.05, 1.05)
    ax.axhline(0, color="0.5", linewidth=0.8, linestyle=":")
    ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0))
    ax.set_title(title)
    ax.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    return _save(fig, path, note)
