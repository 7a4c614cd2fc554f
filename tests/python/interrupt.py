"""Ctrl-C for a child process in the middle of its work.

The signal is sent once the child is certainly at the work under test, as
the child shows it (a line it prints, the worker pool's threads appearing, its
memory growing), never after a guessed delay: on a busy machine a child may
take seconds to get there.
"""

import os
import signal
import time

# How long a child may take to reach its work before the test gives up.
REACH_SECONDS = 120.0


def wait_until(condition, what):
    """Polls condition() until it is true; fails after REACH_SECONDS."""
    deadline = time.monotonic() + REACH_SECONDS
    while not condition():
        assert time.monotonic() < deadline, f"the child never {what}"
        time.sleep(0.01)


def thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def resident_kilobytes(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError(f"no VmRSS for process {pid}")


def read_until(stream, marker):
    """Reads the child's text stream character by character until `marker` has
    been read (a progress bar rewrites its line without ending it); returns the text."""
    text = ""
    while not text.endswith(marker):
        char = stream.read(1)
        assert char, f"the stream ended before {marker!r}: {text!r}"
        text += char
    return text


def interrupt(child, at_work):
    """Calls at_work(), which returns once the child is at its work, checks
    that the child still runs, sends it SIGINT and collects its output:
    (stdout, stderr, monotonic time of the signal). A child that outlives the
    test is killed."""
    try:
        at_work()
        assert child.poll() is None, "the child ended before the signal"
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    return out, err, sent
