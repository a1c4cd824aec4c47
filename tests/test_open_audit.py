"""Audit hooks see a file that vellkit opens natively as the built-in open reports it."""
import sys
from typing import Any, List, Tuple

import numpy as np

import vellkit
from vellkit_tools import writer

import pytest

from vellkit_tools import _native

_recorded: List[Tuple[Any, ...]] = []
_recording = [False]
_refusing = [False]


def _hook(event: str, args: Tuple[Any, ...]) -> None:
    if _recording[0] and event == "open":
        _recorded.append(args)
    if _refusing[0] and event == "open":
        raise PermissionError("opening is refused here")


sys.addaudithook(_hook)  # hooks cannot be removed; this one acts only inside _open_events and the refusals


def _open_events(call: Any) -> List[Tuple[Any, ...]]:
    _recorded.clear()
    _recording[0] = True
    try:
        call()
    finally:
        _recording[0] = False
    return list(_recorded)


def test_native_open_reports_the_flags_of_the_built_in_open(tmp_path):
    path = tmp_path / "spëctrum.vell"
    writer.write_spectrum_file(str(path), np.linspace(0, 1, 8, dtype=np.float32), data_type="AB", fxv=10.0, lxv=1.0)

    def read_with_builtin_open() -> None:
        with open(str(path), "rb"):
            pass

    (expected,) = _open_events(read_with_builtin_open)
    assert _open_events(lambda: vellkit.listContents(str(path))) == [expected]


@pytest.mark.native
@pytest.mark.parametrize("call", [
    lambda path: vellkit.getVellData(path, ("AB", "2D", "NONE")),
    lambda path: vellkit.listContents(path),
    lambda path: _native.describe_file(path),
    lambda path: _native.plan_block(path, ("AB", "2D", "NONE")),
    lambda path: _native.read_values(path, 0, 1),
    lambda path: _native.read_points(path, np.zeros(1, np.int64), 1, 0, 1),
], ids=["getVellData", "listContents", "describe_file", "plan_block", "read_values", "read_points"])
def test_an_open_refused_by_an_audit_hook_raises_the_hooks_error(tmp_path, call):
    path = tmp_path / "spectrum.vell"
    writer.write_spectrum_file(str(path), np.linspace(0, 1, 8, dtype=np.float32), data_type="AB", fxv=10.0, lxv=1.0)
    _refusing[0] = True
    try:
        with pytest.raises(PermissionError, match="^opening is refused here$"):
            call(str(path))
    finally:
        _refusing[0] = False
