"""Ctrl-C for a child process in the middle of its work."""

import signal
import time


def interrupt(child, after):
    """Waits `after` seconds, checks that the child still runs, sends it SIGINT
    and collects its output: (stdout, stderr, monotonic time of the signal).
    A child that outlives the test is killed."""
    try:
        time.sleep(after)
        assert child.poll() is None, "the child ended before the signal"
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    return out, err, sent
