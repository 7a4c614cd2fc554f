"""Time limits for tests that ask what a search reaches in its time.

The ASan+UBSan build of make test-sanitize runs the search several times slower than the
plain one, so such a test gives it proportionally longer there; a test of how the time is
kept (an overrun, a prompt interrupt) widens its margin there too.
"""
import os

INSTRUMENTED = "libasan" in os.environ.get("LD_PRELOAD", "")
SLOWDOWN = 4.0 if INSTRUMENTED else 1.0


def seconds(plain: float) -> float:
    """The time limit that buys on this build what `plain` seconds buy on the plain one."""
    return plain * SLOWDOWN
