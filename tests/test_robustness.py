"""Damaged files: every function either returns or raises an ordinary Python
exception, promptly, whatever bytes the file holds."""
import random
import struct
import sys

import numpy as np
import pytest

import vellkit
from vellkit_tools import writer as w

# Exceptions a damaged file may legitimately raise.
EXPECTED = (ValueError, KeyError, IndexError, TypeError, OSError, ZeroDivisionError, OverflowError,
            UnicodeDecodeError, MemoryError, struct.error, AttributeError)


def _seed_files():
    recs = [w.Record(np.arange(4, dtype=np.float32) + i, time=i, label="L%d" % i) for i in range(6)]
    table, idx = w.multi_region_table([{"points": [(0, 0), (1, 1)], "group": 5}, {"nx": 2, "ny": 1, "group": 10}])
    return {
        "spectrum": w.make_spectrum_file(np.arange(8, dtype=np.float32), acquisition={"NSS": 4}).to_bytes(),
        "image_map": w.make_3d_file(recs, 4, w.image_map_params(4, 1.0, 4.0, 3, 2),
                                    store_table=[[10, 12], [-1, 8], [0, 2]], info_size=160).to_bytes(),
        "series": w.make_3d_file(recs[:3], 4, w.time_resolved_params(4, 1.0, 4.0), info_size=160).to_bytes(),
        "traces": w.make_3d_file(recs[:3], 4, w.time_resolved_params(4, 1.0, 4.0), data_type="TRC",
                                 info_size=160).to_bytes(),
        "multi_region": w.make_3d_file({i: w.Record(np.arange(4, dtype=np.float32) * i) for i in idx}, 4,
                                       w.multi_region_params(4, 1.0, 4.0), annotation=[table],
                                       info_size=160).to_bytes(),
        "images": w.make_spectrum_file(np.arange(4, dtype=np.float32),
                                       images=[w.Image(b"BM" + bytes(30), title="a"), w.Image(None, title="b")]
                                       ).to_bytes(),
    }


def _mutations(data, rng, count):
    extremes = [0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 152, 16, 12, 0xFFFF]
    for _ in range(count):
        b = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            kind = rng.randrange(3)
            if kind == 0 and b:
                b[rng.randrange(len(b))] = rng.randrange(256)
            elif kind == 1 and len(b) >= 4:
                at = rng.randrange(len(b) - 3)
                b[at:at + 4] = struct.pack("<I", rng.choice(extremes))
            elif b:
                del b[rng.randrange(len(b)):]
        yield bytes(b)


def _exercise(path):
    calls = [lambda: vellkit.isVellFile(path), lambda: vellkit.listContents(path),
             lambda: vellkit.getVisImages(path)]
    for dims in ("2D", "3D"):
        for name in ("AB", "TRC"):
            calls.append(lambda name=name, dims=dims: vellkit.getVellData(path, (name, dims, "NONE")))
    for call in calls:
        try:
            call()
        except EXPECTED:
            pass


@pytest.mark.parametrize("kind", sorted(_seed_files()))
def test_mutated_files_fail_cleanly(kind, tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    rng = random.Random(kind)
    seed = _seed_files()[kind]
    path = str(tmp_path / "damaged.vell")
    for variant in _mutations(seed, rng, 150):
        with open(path, "wb") as f:
            f.write(variant)
        _exercise(path)
    capsys.readouterr()


def _header(dir_offset, dir_size):
    return b"\x0a\x0a\xfe\xfe" + struct.pack("<diii", 1.0, dir_offset, dir_size, dir_size)


@pytest.mark.parametrize("claim", [2_000_000_000, 2**31 - 1])
def test_huge_directory_claim_returns_promptly(claim, tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    path = tmp_path / "claims.vell"
    path.write_bytes(_header(24, claim) + bytes(1000))
    assert vellkit.listContents(str(path)) == []
    capsys.readouterr()


def test_huge_sixfour_extension_claim_returns_promptly(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    entry = struct.pack("<iii", w.block_type(extend_type=64), 0, 40)
    extension = struct.pack("<qq", 2**62, 0)
    path = tmp_path / "claims.vell"
    path.write_bytes(_header(28, 1) + extension[:4] + entry + extension + bytes(64))
    vellkit.listContents(str(path))
    capsys.readouterr()
