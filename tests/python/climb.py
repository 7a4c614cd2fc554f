"""The ladder's climb at fixed settings, for tests that ask what a climbing search finds.

A search given only a time limit climbs zor._ladder.LADDER until the limit; what it finds then depends on
the machine's speed. Cut to its first steps and given a limit no step comes near, the climb runs each of
those steps to its end and the stages after it at their full sizes, whatever the machine.
"""
import pytest

import zor

# Longer than the whole of any cut ladder takes, by orders of magnitude.
UNREACHED_LIMIT = 86400.0


def climb(monkeypatch: pytest.MonkeyPatch, steps: int) -> dict[str, float]:
    """The discover settings that climb the ladder's first `steps` steps and no more."""
    monkeypatch.setattr(zor._search, "LADDER", zor._ladder.LADDER[:steps])
    return {"time_limit": UNREACHED_LIMIT}
