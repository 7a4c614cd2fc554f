"""The shared worker pool seen from Python: results that do not depend on the
number of threads, the two environment variables that size the pool, and
fork() after the pool exists. Each case runs in a fresh interpreter, since the
pool is sized once per process."""

import os

import pytest

from kernel_model import run_python

HAVE_PROC = os.path.exists("/proc/self/status")
DEFAULT_THREADS = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()

# Runs every batch function on inputs long enough to be split across the
# pool, plus two faulting product batches, and prints one digest line each.
WORKLOAD = r'''
import hashlib, math, random, struct, sys
import zor_core as z

def digest(value):
    h = hashlib.sha256()
    def feed(v):
        if isinstance(v, float):
            h.update(struct.pack("<d", v))
        else:
            h.update(b"[")
            for item in v:
                feed(item)
            h.update(b"]")
    feed(value)
    return h.hexdigest()[:24]

rng = random.Random(2024)
def doubles(n):
    out = []
    for _ in range(n):
        k = rng.randrange(3)
        if k == 0:
            out.append(struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0])
        elif k == 1:
            out.append(rng.uniform(-800.0, 800.0))
        else:
            out.append(rng.choice([0.0, -0.0, math.inf, -math.inf, math.nan, 709.78, 1e-300, -1e-301, 5e-324]))
    return out

N = 60_000
xs, ys = doubles(N), doubles(N + 17)
points = list(zip(doubles(20_000), doubles(20_000)))
phis = doubles(20_000)
octs_a = [doubles(8) for _ in range(6_000)]
octs_b = [doubles(8) for _ in range(6_000)]
mv_a = [[float(rng.randint(-3, 3)) for _ in range(16)] for _ in range(1_500)]
mv_b = [[float(rng.randint(-3, 3)) for _ in range(16)] for _ in range(1_500)]
sig = [1, -1, 1, -1]

results = {}
for name in ["exp_n", "ln_n", "sqrt_n", "sin_n", "cos_n"]:
    results[name] = getattr(z, name)(xs)
for name in ["add_n", "sub_n", "mul_n", "div_n", "tension_n", "pow_n"]:
    results[name] = getattr(z, name)(xs, ys)
results["boost_n"] = z.boost_n(points, phis, 1.25)
results["christoffel_batch_n"] = z.christoffel_batch_n(points, 1, 0, 0, 0.5)
results["octonion_mul_n"] = z.octonion_mul_n(octs_a, octs_b)
results["geometric_product_n"] = z.geometric_product_n(mv_a, mv_b, sig)
results["rotate_phase_n"] = z.rotate_phase_n(points, phis)
results["schrodinger_step_n"] = z.schrodinger_step_n(points, phis, 0.1, 1.5)
results["simulate_pulses_n"] = z.simulate_pulses_n(0.25, -1.5, 5_000)
for name in sorted(results):
    print(name, digest(results[name]))

for faults in ({300: 3, 1200: 5, 1400: 6}, {1499: 5, 700: 7}):
    a = [list(v) for v in mv_a]
    b = [list(v) for v in mv_b]
    for i, m in faults.items():
        a[i] = [1.0] * m
        b[i] = [1.0] * m
    try:
        z.geometric_product_n(a, b, sig)
        print("fault none")
    except BaseException as exc:
        print("fault", type(exc).__name__, exc)
'''

# The pool's size is the number of threads beside the main one once a batch
# call has created it.
THREADS = r'''
import zor_core as z
def threads():
    with open("/proc/self/status") as f:
        return int(next(l for l in f if l.startswith("Threads:")).split()[1])
before = threads()
z.exp_n([])
print("threads", before, threads() - before)
'''


def run_ok(code, env=None, timeout=60):
    proc = run_python(code, env, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.fixture(scope="module")
def reference_digests():
    """The workload run inside this very process (whatever its pool size)."""
    namespace = {"__name__": "workload"}
    from contextlib import redirect_stdout
    from io import StringIO

    out = StringIO()
    with redirect_stdout(out):
        exec(compile(WORKLOAD, "workload", "exec"), namespace)
    return out.getvalue()


def test_workload_reports_every_kernel_and_the_lowest_fault(reference_digests):
    lines = reference_digests.splitlines()
    assert len(lines) == 18 + 2
    assert lines[-2] == "fault PanicException index out of bounds: the len is 3 but the index is 3"
    assert lines[-1] == "fault PanicException index out of bounds: the len is 7 but the index is 7"
    # Distinct kernels give distinct digests: the digest really reads results.
    assert len({line.split()[1] for line in lines[:18]}) == 18


@pytest.mark.parametrize("threads", ["1", "64", "3"])
def test_results_do_not_depend_on_thread_count(threads, reference_digests):
    assert run_ok(WORKLOAD, {"RAYON_NUM_THREADS": threads}) == reference_digests


def test_results_with_the_default_pool_match(reference_digests):
    assert run_ok(WORKLOAD, {"RAYON_NUM_THREADS": None, "RAYON_RS_NUM_CPUS": None}) == reference_digests


D = "default"


@pytest.mark.skipif(not HAVE_PROC, reason="needs /proc to count threads")
@pytest.mark.parametrize(
    "num_threads, num_cpus, expected",
    [
        (None, None, D),
        ("3", None, 3),
        ("3", "5", 3),
        ("+3", None, 3),
        ("007", None, 7),
        ("1", "5", 1),
        ("0", "5", D),
        ("00", "5", D),
        ("+0", "5", D),
        ("abc", "5", 5),
        ("", "5", 5),
        (" 3", "5", 5),
        ("3 ", "5", 5),
        ("-3", "5", 5),
        ("+", "5", 5),
        ("++3", "5", 5),
        ("3.0", "5", 5),
        ("0x3", "5", 5),
        ("\u0663", "5", 5),
        ("18446744073709551616", "5", 5),
        ("99999999999999999999999", "5", 5),
        (None, "4", 4),
        (None, "+4", 4),
        (None, "0", D),
        (None, "abc", D),
        (None, "-2", D),
        (None, "18446744073709551616", D),
        ("abc", "abc", D),
        ("-1", "0", D),
    ],
)
def test_thread_count_from_environment(num_threads, num_cpus, expected):
    out = run_ok(THREADS, {"RAYON_NUM_THREADS": num_threads, "RAYON_RS_NUM_CPUS": num_cpus})
    _, before, workers = out.split()
    assert int(before) == 1
    assert int(workers) == (DEFAULT_THREADS if expected == D else expected)


@pytest.mark.parametrize("num_threads, num_cpus", [("abc", "xyz"), ("", ""), ("-5", "-5"), ("18446744073709551616", "1e3")])
def test_unparsable_sizes_never_raise_and_change_nothing(num_threads, num_cpus, reference_digests):
    assert run_ok(WORKLOAD, {"RAYON_NUM_THREADS": num_threads, "RAYON_RS_NUM_CPUS": num_cpus}) == reference_digests


@pytest.mark.skipif(not HAVE_PROC, reason="needs /proc to count threads")
def test_size_is_fixed_when_the_pool_is_created():
    code = r'''
import os
import zor_core as z
def threads():
    with open("/proc/self/status") as f:
        return int(next(l for l in f if l.startswith("Threads:")).split()[1])
os.environ["RAYON_NUM_THREADS"] = "3"
z.exp_n([1.0])
first = threads()
os.environ["RAYON_NUM_THREADS"] = "6"
z.exp_n([1.0] * 100_000)
print(first - 1, threads() - 1)
'''
    assert run_ok(code, {"RAYON_NUM_THREADS": None}).split() == ["3", "3"]


# zor_core and zor._native each link the core: run parallel work through
# both, in the order given, and count the process's threads after each.
BOTH_MODULES = r'''
import os
import zor_core
from zor import _native
def threads():
    return len(os.listdir("/proc/self/task"))
rows = [1e-4 * i for i in range(50_000)]
work = {
    "zor_core": lambda: zor_core.exp_n(rows),
    "zor._native": lambda: (_native.evaluate([("var", 0), ("op", "Exp")], [rows]),
                            _native.search([rows[:5_000]], rows[:5_000], {"max_complexity": 3, "beam_width": 40})),
}
counts = [threads()]
for name in ORDER:
    work[name]()
    counts.append(threads())
print(*counts)
'''


@pytest.mark.skipif(not HAVE_PROC, reason="needs /proc to count threads")
@pytest.mark.parametrize("order", [("zor_core", "zor._native"), ("zor._native", "zor_core")])
def test_both_modules_share_one_pool(order):
    out = run_ok(f"ORDER = {order!r}\n" + BOTH_MODULES, {"RAYON_NUM_THREADS": "3"})
    before, first, second = map(int, out.split())
    # the first module's work starts the pool's three workers; the second one's finds them
    assert (first - before, second - first) == (3, 0)


FORK = r'''
import math, os, sys, time, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads alive
import zor_core as z

def threads():
    with open("/proc/self/status") as f:
        return int(next(l for l in f if l.startswith("Threads:")).split()[1])

xs = [i * 1e-3 for i in range(100_000)]
expected = [math.exp(x) for x in xs]
if USE_BEFORE_FORK:
    assert z.exp_n(xs) == expected
pool_threads = threads() - 1

pid = os.fork()
if pid == 0:
    status = 1
    try:
        fresh = threads()
        ok = z.exp_n(xs) == expected
        try:
            z.geometric_product_n([[1.0] * 4] * 100 + [[1.0] * 3] * 100, [[1.0] * 4] * 200, [1, 1])
            ok = False
        except BaseException as exc:
            ok = ok and str(exc) == "index out of bounds: the len is 3 but the index is 3"
        ok = ok and z.exp_n(xs) == expected
        if USE_BEFORE_FORK:
            # The parent's workers do not exist here: the child starts its own.
            ok = ok and fresh == 1 and threads() - 1 == pool_threads
        status = 0 if ok else 1
    finally:
        os._exit(status)

deadline = time.monotonic() + 20
while True:
    done, wait_status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        print("child hung")
        sys.exit(3)
    time.sleep(0.01)
print("child", os.waitstatus_to_exitcode(wait_status))
print("parent", z.exp_n(xs) == expected)
'''


@pytest.mark.skipif(not hasattr(os, "fork") or not HAVE_PROC, reason="needs fork() and /proc")
@pytest.mark.parametrize("threads", ["1", "4"])
@pytest.mark.parametrize("use_before_fork", [True, False])
def test_fork_gives_the_child_a_working_pool(threads, use_before_fork):
    code = f"USE_BEFORE_FORK = {use_before_fork}\n" + FORK
    out = run_ok(code, {"RAYON_NUM_THREADS": threads}, timeout=40)
    assert out.split("\n")[:2] == ["child 0", "parent True"]
