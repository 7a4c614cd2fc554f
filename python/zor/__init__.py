"""zor: formula discovery for people, over the native core of zor_core.

- discover(X, y, ...): a search with a progress bar, a time limit, a Pareto
  front of error against complexity, and the formulas as text, LaTeX, runnable
  Python and SymPy;
- ZorRegressor: a scikit-learn estimator over discover (needs the `sklearn` extra);
- the command line `zor-discover` for CSV files;
- results that show as tables and pictures in Jupyter, and load(path) for a
  result written by DiscoveryResult.save;
- discover(..., cluster=client): the same search spread over a Dask cluster
  (needs the `cluster` extra).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from zor._cluster import ClusterError
from zor._files import ResultFileError
from zor._results import DiscoveryResult, Formula, LevelReport, load
from zor._search import discover
from zor._optional import DISTRIBUTION

if TYPE_CHECKING:
    from zor.estimator import ZorRegressor

    __version__: str

__all__ = ["ClusterError", "DiscoveryResult", "Formula", "LevelReport", "ResultFileError", "ZorRegressor", "__version__", "discover",
           "load"]


def __getattr__(name: str) -> Any:
    # The version comes from the installed distribution's metadata, whose
    # import costs more than the rest of the package: only on first use.
    if name == "__version__":
        from importlib import metadata

        return metadata.version(DISTRIBUTION)
    # The estimator imports scikit-learn, an optional extra: only on first use.
    if name == "ZorRegressor":
        from zor.estimator import ZorRegressor

        return ZorRegressor
    raise AttributeError(f"module 'zor' has no attribute {name!r}")
