"""The progress bar of a search (tqdm on standard error), and what `progress` may be."""

from __future__ import annotations

import math
import sys
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any, Union

from zor._results import Formula, LevelReport

Progress = Union[bool, Callable[[LevelReport], Any]]


class ProgressBar:
    """A tqdm bar on standard error for each step of settings in turn: the step's levels done out of its
    maximum, candidates per second, the best formula of the whole call so far (a later, wider step starts
    its own search, whose early levels are worse) and, with a time limit, the seconds left."""

    TICK_SECONDS = 0.5

    def __init__(self, steps: Sequence[tuple[int, int]], time_limit: float | None) -> None:
        from tqdm.auto import tqdm

        self._steps = steps
        self._started = time.monotonic()
        self._deadline = None if time_limit is None else self._started + time_limit
        # Not drawn until the bar is whole (below): a Ctrl-C that a caller sees once the bar shows must find
        # it assigned, or it would be cleared only at exit, after the caller's own message.
        self._bar = tqdm(total=steps[0][0], unit=" levels", file=sys.stderr, leave=False, dynamic_ncols=True,
                         delay=math.inf)
        self._lock = threading.Lock()
        self._step = -1
        self._admitted = 0
        self._rate = 0.0
        self._best: Formula | None = None
        self._done = threading.Event()
        # Levels can take long: the countdown is redrawn between them.
        self._ticker: threading.Thread | None = None
        try:
            self._start_step(0)  # the first drawing, while the delay holds: that shows a notebook's widget
            self._bar.delay = 0.0
            if self._deadline is not None:
                self._ticker = threading.Thread(target=self._tick, name="zor-progress", daemon=True)
                self._ticker.start()
        except BaseException:
            self._bar.delay = 0.0  # drawn, so closing clears it
            self.close()
            raise

    def _start_step(self, step: int) -> None:
        complexity, width = self._steps[step]
        self._step = step
        steps = f"step {step + 1}/{len(self._steps)}, " if len(self._steps) > 1 else ""
        self._bar.set_description(f"{steps}complexity {complexity}, beam {width:,}", refresh=False)
        self._bar.reset(total=complexity)

    def _postfix(self) -> str:
        best = self._best.formula if self._best is not None else "-"
        if len(best) > 48:
            best = best[:45] + "..."
        parts = [f"{self._rate:,.0f} candidates/s", f"best {best}"]
        if self._deadline is not None:
            parts.append(f"{max(self._deadline - time.monotonic(), 0.0):.0f} s left")
        return ", ".join(parts)

    def __call__(self, report: LevelReport) -> None:
        with self._lock:
            if report.step != self._step or report.level <= self._bar.n:
                # A new step, or the step the stages cut short resumed from its first level: counted past
                # its total, the bar would lose it and read "name: : 10 levels".
                self._start_step(report.step)
            self._admitted += report.admitted
            self._rate = self._admitted / report.elapsed_seconds if report.elapsed_seconds > 0 else 0.0
            # As the search's own best: a strictly lower score replaces it, a NaN never does.
            if report.best is not None and (self._best is None or self._best.score > report.best.score):
                self._best = report.best
            self._bar.set_postfix_str(self._postfix(), refresh=False)
            self._bar.update(report.level - self._bar.n)

    def stage(self, name: str) -> None:
        """A stage after the ladder's searches, named in place of the step (the best so far and the
        countdown stay)."""
        with self._lock:
            self._bar.set_description(name, refresh=False)
            self._bar.set_postfix_str(self._postfix(), refresh=True)

    def _tick(self) -> None:
        while not self._done.wait(self.TICK_SECONDS):
            with self._lock:
                self._bar.set_postfix_str(self._postfix(), refresh=True)

    def close(self) -> None:
        self._done.set()
        if self._ticker is not None:
            self._ticker.join()
        self._bar.close()
