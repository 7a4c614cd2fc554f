"""Optional dependencies, imported only by the features that use them."""

from __future__ import annotations

import importlib
from types import ModuleType

DISTRIBUTION = "zor_core"


def import_extra(module: str, extra: str, feature: str) -> ModuleType:
    """Imports `module`, or raises ImportError naming the extra that installs it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"{feature} needs {module}, which is not installed: pip install '{DISTRIBUTION}[{extra}]'"
        ) from error
