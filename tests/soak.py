"""Soak run: calls every module function, constructor and method, with valid
arguments and with every hostile argument of tests/python/hostile.py in every
position, round after round for the given number of seconds, and checks that
sys.getallocatedblocks() and the resident set size stay flat.

usage: python tests/soak.py [SECONDS]
"""

import gc
import os
import pathlib
import sys
import time
import warnings

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "python"))

from hostile import CALLS, LEAVES, WRAPPERS, check_outcome, with_argument  # noqa: E402

# Growth allowed between the first round after warm-up and the end: caches
# and allocator slack settle within a few rounds, a leak keeps growing.
MAX_BLOCK_GROWTH = 2_000
MAX_RSS_GROWTH_MB = 16
REPORT_EVERY_SECONDS = 15.0


def rss_mb():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def one_round():
    calls = 0
    for _, fn, args in CALLS:
        check_outcome(lambda: fn(*args))
        calls += 1
        for position in range(len(args) + 1):
            for make in LEAVES:
                for wrap in WRAPPERS:
                    call_args = with_argument(args, position, wrap(make()))
                    check_outcome(lambda: fn(*call_args))
                    calls += 1
    return calls


def measure():
    gc.collect()
    return sys.getallocatedblocks(), rss_mb()


def main(seconds):
    warnings.simplefilter("ignore")  # NumPy's ComplexWarning on every complex array
    for _ in range(2):  # warm-up: interned strings, type caches, the worker pool
        one_round()
    start_blocks, start_rss = measure()
    started = time.monotonic()
    rounds = calls = 0
    print(f"{'round':>5} {'seconds':>8} {'calls':>10} {'blocks':>10} {'rss MB':>8}")
    print(f"{rounds:>5} {0.0:>8.1f} {calls:>10} {start_blocks:>10} {start_rss:>8.1f}")
    next_report = 0.0
    while (elapsed := time.monotonic() - started) < seconds:
        calls += one_round()
        rounds += 1
        if elapsed >= next_report:
            next_report += REPORT_EVERY_SECONDS
            blocks, rss = measure()
            print(f"{rounds:>5} {elapsed:>8.1f} {calls:>10} {blocks:>10} {rss:>8.1f}", flush=True)
    end_blocks, end_rss = measure()
    print(f"allocated blocks: {start_blocks} -> {end_blocks} ({end_blocks - start_blocks:+d}); "
          f"RSS: {start_rss:.1f} MB -> {end_rss:.1f} MB ({end_rss - start_rss:+.1f} MB); {calls} calls")
    if end_blocks - start_blocks > MAX_BLOCK_GROWTH or end_rss - start_rss > MAX_RSS_GROWTH_MB:
        print("soak: memory grew", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(float(sys.argv[1]) if len(sys.argv) > 1 else 300.0))
