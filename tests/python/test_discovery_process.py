"""find_formula in child processes: worker-count independence and Ctrl-C."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import discovery_model as m
import zor_core
from interrupt import interrupt, thread_count, wait_until

MODULE_DIR = os.path.dirname(os.path.abspath(zor_core.__file__))


def child_env(**extra):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (MODULE_DIR, env.get("PYTHONPATH")) if p)
    env.pop("RAYON_NUM_THREADS", None)
    env.pop("RAYON_RS_NUM_CPUS", None)
    env.update(extra)
    return env


DATA = textwrap.dedent(
    """
    import math
    n = 150
    a = [0.05 * i + 0.1 for i in range(n)]
    b = [math.cos(0.37 * i) + 1.5 for i in range(n)]
    y = [math.sin(u) * v + 0.01 * math.cos(13 * u) for u, v in zip(a, b)]
    """
)

SEARCH = DATA + textwrap.dedent(
    """
    import zor_core
    for kwargs in ({"max_complexity": 7, "beam_width": 2000, "precision_goal": -1.0},
                   {"max_complexity": 6, "beam_width": 2000, "use_trig": False, "complexity_penalty": 0.0},
                   {"max_complexity": 9, "beam_width": 40}):
        r = zor_core.find_formula([a, b], y, **kwargs)
        print(repr(r), r.error.hex(), r.to_latex(), sep="|")
    """
)


def test_result_does_not_depend_on_worker_count():
    outputs = {}
    for threads in ("1", "3", "64"):
        done = subprocess.run([sys.executable, "-c", SEARCH], env=child_env(RAYON_NUM_THREADS=threads),
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        outputs[threads] = done.stdout
    lines = outputs["1"].splitlines()
    assert len(lines) == 3 and all(line.startswith("SearchResult(formula='") for line in lines)
    assert outputs["3"] == outputs["1"]
    assert outputs["64"] == outputs["1"]
    # the cheapest of the three searches is also checked against the model
    data = {}
    exec(DATA, data)
    best = m.beam_search([data["a"], data["b"]], data["y"], m.Options(max_complexity=9, beam_width=40))
    assert lines[2] == "|".join([m.result_repr(best.formula, best.score, best.complexity), best.score.hex(),
                                 m.to_latex(best.formula)])


INTERRUPTED = textwrap.dedent(
    """
    import math, sys, time, zor_core
    n = 200
    cols = [[math.sin(0.1 * i + k) * (k + 1) for i in range(n)] for k in range(3)]
    y = [math.sin(i * i * 0.37) for i in range(n)]
    print("ready", flush=True)
    try:
        zor_core.find_formula(cols, y, max_complexity=12, beam_width=40000)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", time.monotonic(), flush=True)
        # the module stays usable after an interrupted search
        print(repr(zor_core.find_formula([[1.0, 2.0]], [2.0, 3.0])), flush=True)
        sys.exit(3)
    print("finished", flush=True)
    """
)


@pytest.mark.clock
@pytest.mark.skipif(not hasattr(signal, "SIGINT") or not os.path.isdir("/proc/self/task"),
                    reason="needs POSIX signals and the child's threads in /proc")
def test_ctrl_c_interrupts_a_long_search():
    # Two pool threads whatever the machine: the search is under way once they exist (the pool starts on
    # first use, and the child's first use is the search).
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED], env=child_env(RAYON_NUM_THREADS="2"),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def searching():
        assert child.stdout.readline().strip() == "ready"
        wait_until(lambda: thread_count(child.pid) > 1, "started its worker pool")

    out, err, sent = interrupt(child, searching)
    waited = time.monotonic() - sent
    assert child.returncode == 3, (out, err)
    first, after = out.splitlines()
    word, stamp = first.split()
    assert word == "KeyboardInterrupt"
    assert after == "SearchResult(formula='(x + 1.0000)', error=0.00e0, complexity=3)"
    # time.monotonic is one system-wide clock, so the child's stamp is comparable
    assert float(stamp) - sent < 1.5
    assert waited < 5.0


# AddressSanitizer reserves terabytes of shadow address space up front, so a
# child under an address-space limit cannot even start.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="an address-space limit cannot be combined with AddressSanitizer")
def test_running_out_of_memory_raises_memory_error():
    # An address-space limit makes allocations fail the way a full machine
    # would; the search must raise MemoryError and leave the module usable.
    script = textwrap.dedent(
        """
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1_500_000_000, 1_500_000_000))
        import zor_core
        xs = [[0.1 * i + 0.05 for i in range(20)], [0.3 * i + 0.01 for i in range(20)]]
        y = [1.234567 * i + 0.5 for i in range(20)]
        try:
            zor_core.find_formula(xs, y, max_complexity=9, beam_width=10**9, precision_goal=-1.0)
            print("finished")
        except MemoryError:
            print("MemoryError")
        print(zor_core.find_formula([[1.0, 2.0]], [2.0, 3.0]))
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                         env=child_env())
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["MemoryError", "SearchResult(formula='(x + 1.0000)', error=0.00e0, complexity=3)"]
