"""The version of the ``vellkit`` distribution this package belongs to."""

import os
import re
from typing import Optional

__all__ = ["version"]

UNKNOWN = "0+unknown"
_PROJECT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "pyproject.toml")


def _source_tree_version(project: str = _PROJECT) -> Optional[str]:
    """The version in the source tree's ``pyproject.toml`` when the package is
    run from a source tree (python/vellkit_tools), else None."""
    try:
        with open(project, encoding="utf-8") as f:
            text = f.read()
    except OSError:
        return None
    table = re.search(r"^\[project\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S)
    if table is None or not re.search(r'^name\s*=\s*"vellkit"\s*$', table.group(1), re.M):
        return None
    found = re.search(r'^version\s*=\s*"([^"]+)"\s*$', table.group(1), re.M)
    return found.group(1) if found else None


def version() -> str:
    """The version: that of the source tree when run from one (an installed
    distribution of another version may be on the path too), else the
    installed distribution's metadata, else ``0+unknown``."""
    found = _source_tree_version()
    if found:
        return found
    try:
        from importlib.metadata import PackageNotFoundError, version as installed
    except ImportError:  # Python without importlib.metadata
        return UNKNOWN
    try:
        return installed("vellkit")
    except PackageNotFoundError:
        return UNKNOWN
