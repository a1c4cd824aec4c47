"""Audit hooks see a file that vellkit opens natively as the built-in open reports it."""
import sys
from typing import Any, List, Tuple

import numpy as np

import vellkit
from vellkit_tools import writer

_recorded: List[Tuple[Any, ...]] = []
_recording = [False]


def _hook(event: str, args: Tuple[Any, ...]) -> None:
    if _recording[0] and event == "open":
        _recorded.append(args)


sys.addaudithook(_hook)  # hooks cannot be removed; this one records only inside _open_events


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
