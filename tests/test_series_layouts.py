"""Series and trace series laid out every way a store table and block header
allow (records in any order, gaps short and long, info records shorter than
the time or label field, records overlapping the next one), read as the
plain-Python model reads them: the time or label behind each record is read
with the stretch around it or apart, and must come out the same."""

import contextlib
import io
import sys

import numpy as np
from hypothesis import given, settings, strategies as st

from vellkit_tools import writer

import vellkit

import _model


@st.composite
def layouts(draw):
    count = draw(st.integers(1, 12))
    npt = draw(st.integers(1, 8))
    order = draw(st.permutations(range(count)))
    table = []
    for index in order:
        if draw(st.booleans()):
            table.append(writer.gap(draw(st.sampled_from([0, 4, 100, 3900, 4100, 9000]))))
        table.append([index, index])
    return {"count": count, "npt": npt, "table": table, "kind": draw(st.sampled_from(["AB", "TRC"])),
            "block_size": 4 * npt + draw(st.sampled_from([-8, -4, 0, 4, 64])),
            "info_size": draw(st.sampled_from([0, 8, 140, 144, 150, 160, 216, 400, 5000]))}


@settings(max_examples=60, deadline=None)
@given(layouts())
def test_every_series_layout_reads_as_the_model_reads_it(tmp_path_factory, layout):
    count, npt = layout["count"], layout["npt"]
    records = {k: writer.Record(np.arange(npt, dtype=np.float32) + 10 * k, time=0.5 + k, label=b"trace %d" % k)
               for k in range(count)}
    vf = writer.make_3d_file(records, npt, writer.time_resolved_params(npt, 1.0, 2.0), data_type=layout["kind"],
                             store_table=layout["table"], block_size=max(0, layout["block_size"]),
                             info_size=layout["info_size"])
    path = tmp_path_factory.mktemp("layouts") / "series.vell"
    path.write_bytes(vf.to_bytes())
    request = (layout["kind"], "3D", "NONE")
    # Records whose info lies past the end report their times; that is checked elsewhere.
    hook, sys.unraisablehook = sys.unraisablehook, lambda unraisable: None
    try:
        with contextlib.redirect_stderr(io.StringIO()):
            _model.assert_same(vellkit.getVellData(str(path), request), _model.get_vell_data(str(path), request))
    finally:
        sys.unraisablehook = hook
