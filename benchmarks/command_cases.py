"""Benchmark cases 14 and 15: the ``vellkit`` command's describing subcommands.

14   ``vellkit show`` and ``vellkit list`` of an image map of 512 x 512
     positions x 4,096 points (4 GiB, a sparse file: its records are holes,
     so it takes no disk space and no time to make), each in a fresh
     interpreter: the time of the command's ``main`` and its peak resident
     memory above the interpreter's after imports. Targets: 50 ms, 64 MiB.
     ``--quick`` uses a 16 MiB map.
15   ``vellkit check`` of files of 48 KB, 192 KB and 1 MB whose directory
     lists one large parameter block again and again (every entry refers to
     the same block): the time per file and per KB. The target is a check
     linear in the file's size: the time per KB of the largest file at most
     three times that of the smallest (a check that walked the block once
     for every entry took 1.5 s, 22 s and about ten minutes).
     ``--quick`` uses 4, 8 and 16 KB.
"""

import json
import os
import struct
import subprocess
import sys
import time

MIB = 1024 * 1024
IDS = ("14", "15")
SHOW_TIME, SHOW_MEMORY = 0.050, 64 * MIB
LINEAR_SLACK = 3.0


# ----------------------------------------------------------------------------
# Files
# ----------------------------------------------------------------------------

def write_sparse_map(path, rows, columns, npt):
    """An image map whose record bytes are never written: the file is cut to
    its full size, so the records read as zeros from holes."""
    from vellkit_tools import writer
    count = rows * columns
    info = writer.DEFAULT_INFO_SIZE
    # The directory right after the header and the parameter block before
    # the data, so that every offset of the 32-bit directory stays small.
    vf = writer.VellFile(directory="start", max_dir_size=2)
    vf.add_parameters(writer.image_map_params(npt, 4000.0, 400.0, columns, rows, mny=0.0, mxy=1.0),
                      data_type="AB", extend_type=writer.EXTEND_3D)
    data_at = vf.next_offset
    # The 3D block's head and store table: one run naming every record.
    table = struct.pack("<6i", 0, count, 24 + 8, npt * 4, info, 1) + struct.pack("<ii", 0, count - 1)
    data_bytes = len(table) + count * (npt * 4 + info)
    vf.add_bytes(table)
    vf.add_entry(writer.block_type("AB", extend_type=writer.EXTEND_3D), data_bytes // 4, data_at)
    with open(path, "wb") as f:
        f.write(vf.to_bytes())
        f.truncate(data_at + data_bytes)
    return path


def write_shared_parameters(path, size):
    """A spectrum file of about ``size`` bytes: half of it an acquisition
    parameter block, half directory entries that all list that block."""
    from vellkit_tools import writer
    import numpy as np
    records = max(1, size // 2 // 12)
    names = ["%03X" % (k % 4096) for k in range(records)]
    vf = writer.make_spectrum_file(np.zeros(16, dtype=np.float32),
                                   acquisition=[(name, k) for k, name in enumerate(names)])
    code, words, offset = vf.entries[-1]
    while len(vf.entries) * 12 < size // 2:
        vf.add_entry(code, words, offset)
    vf.write(path)
    return path
