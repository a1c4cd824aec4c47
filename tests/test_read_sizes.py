"""Every byte delivered: payloads of every kind, sized on both sides of each
buffer size in the read path and placed before and well past 64 KiB, read
by the module and by a plain-Python model that reads the same file with a
file object (tests/_model.py).  A read of n bytes must deliver n bytes
unless the file ends first, whatever the module's read-ahead window holds."""

import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from vellkit_tools import writer

import vellkit

import _model

# The sizes of the read path's buffers: the first window fill, the size
# from which a read bypasses the window, and the window itself.
BUFFERS = (4096, 32768, 65536)
SIZES = sorted(b + d for b in BUFFERS for d in (-1, 0, 1))
# Payloads that start near the file's beginning, and well past the window.
LEADS = (0, 70001)
# A text parameter's size field counts 16-bit words in an int16.
TEXT_MAX = 2 * 32767 - 2


def pattern(n, seed=0):
    """``n`` bytes without a NUL, different for each seed."""
    return ((np.arange(n, dtype=np.int64) * 7 + seed) % 251 + 1).astype(np.uint8).tobytes()


def text(n, seed=0):
    """``n`` ASCII letters."""
    return bytes(65 + (i * 7 + seed) % 26 for i in range(n)).decode("ascii")


def values(npt, seed=0):
    return (np.arange(npt, dtype=np.float32) * 0.5 + 1000.0 * seed + 0.25).astype(np.float32)


def floats(size):
    """A float count whose bytes lie on the same side of the buffer size as ``size``."""
    return max(1, size // 4 + (size % 4 == 1) - (size % 4 == 3))


def start(lead):
    """A file whose blocks begin after ``lead`` bytes of filler (unaligned when odd)."""
    vf = writer.VellFile(align=1)
    if lead:
        vf.add_bytes(bytes(lead))
    return vf


def records(count, npt, label_size=0, seed=0):
    return [writer.Record(values(npt, seed + k), time=0.5 + k, label=text(label_size, seed + k))
            for k in range(count)]


def region_rows(extra=()):
    table, indices = writer.multi_region_table([{"points": [(0.0, 1.0), (2.0, 3.0)]}, {"nx": 1, "ny": 1}])
    if extra:
        table = writer.AnnotationTable(writer.MULTI_REGION_COLUMNS + [extra[0]],
                                       [row + [extra[1](i)] for i, row in enumerate(table.rows)])
    return table, indices


# Each builder returns (file bytes, request); request None means getVisImages.

def spectrum(size, lead):
    vf = writer.make_spectrum_file(values(floats(size)), into=start(lead))
    return vf, ("AB", "2D", "NONE")


def text_parameter(size, lead):
    vf = writer.make_spectrum_file(values(4), params=[("TXT", text(size)), ("NUM", 7)], into=start(lead),
                                   acquisition=[("TXA", text(size, 3))])
    return vf, ("AB", "2D", "NONE")


def series(size, lead):
    npt = floats(size)
    vf = writer.make_3d_file(records(3, npt), npt, writer.time_resolved_params(npt, 1.0, 2.0), into=start(lead))
    return vf, ("AB", "3D", "NONE")


def series_info(size, lead):
    npt = 4
    vf = writer.make_3d_file(records(3, npt), npt, writer.time_resolved_params(npt, 1.0, 2.0), into=start(lead),
                             info_size=max(size, 144))
    return vf, ("AB", "3D", "NONE")


def image_map(size, lead):
    npt = floats(size)
    vf = writer.make_3d_file(records(4, npt), npt, writer.image_map_params(npt, 1.0, 2.0, 2, 2), into=start(lead))
    return vf, ("AB", "3D", "NONE")


def regions(size, lead):
    npt = floats(size)
    table, indices = region_rows()
    recs = {i: writer.Record(values(npt, i), time=10.0 + i) for i in indices}
    vf = writer.make_3d_file(recs, npt, writer.multi_region_params(npt, 1.0, 2.0), annotation=[table],
                             into=start(lead))
    return vf, ("AB", "3D", "NONE")


def series_labels(size, lead):
    vf = writer.make_3d_file(records(3, 4, size), 4, writer.time_resolved_params(4, 1.0, 2.0), data_type="TRC",
                             info_size=152 + size, into=start(lead))
    return vf, ("TRC", "3D", "NONE")


def map_labels(size, lead):
    vf = writer.make_3d_file(records(3, 4, size), 4, writer.image_map_params(4, 1.0, 2.0, 2, 2), data_type="TRC",
                             info_size=152 + size, into=start(lead))
    return vf, ("TRC", "3D", "NONE")


def region_labels(size, lead):
    table, _ = region_rows()
    vf = writer.make_3d_file(records(2, 3, size), 3, writer.multi_region_params(3, 1.0, 2.0), data_type="TRC",
                             annotation=[table], info_size=152 + size, into=start(lead))
    return vf, ("TRC", "3D", "NONE")


def annotation_text(size, lead):
    table, indices = region_rows((("Note", 1004, size), lambda i: text(size, i)))
    recs = {i: writer.Record(values(4, i), time=10.0 + i) for i in indices}
    vf = writer.make_3d_file(recs, 4, writer.multi_region_params(4, 1.0, 2.0), annotation=[table],
                             into=start(lead))
    return vf, ("AB", "3D", "NONE")


def images(size, lead, first=1000):
    vf = writer.make_spectrum_file(values(4), into=start(lead),
                                   images=[writer.Image(pattern(first, 1), title="first"),
                                           writer.Image(pattern(size, 2), title="second"),
                                           writer.Image(pattern(3, 3), title="third")])
    return vf, None


def image_title(size, lead):
    vf = writer.make_spectrum_file(values(4), into=start(lead),
                                   images=[writer.Image(pattern(10), title=text(size), labels=[("Note:", text(size))])])
    return vf, None


def name(k):
    digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    return "Q" + digits[k // 36 % 36] + digits[k % 36] + chr(48 + k // 1296)


def parameter_records(size, lead):
    """A parameter block of about ``size`` bytes of 12-byte integer records."""
    params = [(name(k), k * 7 - 3) for k in range(max(1, size // 12))]
    vf = writer.make_spectrum_file(values(4), params=params, into=start(lead))
    return vf, ("AB", "2D", "NONE")


def store_table(size, lead):
    """A store table of about ``size`` bytes: empty gaps, then one run of three records."""
    rows = [[-1, 0]] * max(0, size // 8 - 1) + [[0, 2]]
    vf = writer.make_3d_file(records(3, 4), 4, writer.time_resolved_params(4, 1.0, 2.0), store_table=rows,
                             into=start(lead))
    return vf, ("AB", "3D", "NONE")


def annotation_rows(size, lead):
    """An annotation table of about ``size`` bytes: 32-byte rows of one region, every row naming record 1."""
    rows = [[1, 0, 0, 0, 0, 1, 0.5 * k, -0.25 * k] for k in range(max(1, size // 32))]
    table = writer.AnnotationTable(writer.MULTI_REGION_COLUMNS, rows)
    vf = writer.make_3d_file({1: writer.Record(values(4, 1), time=2.5)}, 4, writer.multi_region_params(4, 1.0, 2.0),
                             annotation=[table], into=start(lead))
    return vf, ("AB", "3D", "NONE")


BUILDERS = {f.__name__: f for f in (spectrum, text_parameter, parameter_records, series, series_info, store_table,
                                     image_map, regions, series_labels, map_labels, region_labels, annotation_text,
                                     annotation_rows, images, image_title)}
TEXT_LIMITED = {"text_parameter", "image_title"}


def check(path, request):
    if request is None:
        result = vellkit.getVisImages(path)
        for image in result:
            image.pop("imgext", None)
        assert result == _model.get_vis_images(path)
    else:
        _model.assert_same(vellkit.getVellData(path, request), _model.get_vell_data(path, request))


def write(tmp_path, vf):
    path = tmp_path / "sizes.vell"
    path.write_bytes(vf.to_bytes())
    return str(path)


def cases():
    for kind in BUILDERS:
        for size in SIZES:
            if kind in TEXT_LIMITED and size > TEXT_MAX:
                continue
            for lead in LEADS:
                yield pytest.param(kind, size, lead, id="%s-%d-%d" % (kind, size, lead))


@pytest.mark.parametrize("kind, size, lead", list(cases()))
def test_payload_at_each_buffer_size(tmp_path, reports, kind, size, lead):
    vf, request = BUILDERS[kind](size, lead)
    check(write(tmp_path, vf), request)
    assert reports == []


def test_second_image_after_a_large_first(tmp_path):
    # A 61,440-byte image, then a 5,120-byte one: the second starts outside
    # any window the first left behind.
    vf, _ = images(5120, 0, first=61440)
    path = write(tmp_path, vf)
    result = vellkit.getVisImages(path)
    assert [len(image["image"]) for image in result] == [61440, 5120, 3]
    assert result[1]["image"] == pattern(5120, 2)


sizes = st.builds(lambda base, delta: max(0, base + delta), st.sampled_from((0,) + BUFFERS), st.integers(-40, 40)) \
    | st.integers(0, 140000)
leads = st.sampled_from(LEADS) | st.integers(0, 200000)


@pytest.mark.parametrize("kind", sorted(BUILDERS))
@settings(max_examples=12, deadline=None, database=None, derandomize=True,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(size=sizes, lead=leads, first=st.integers(0, 140000))
def test_payload_sizes_and_positions(tmp_path, kind, size, lead, first):
    if kind in TEXT_LIMITED:
        size = min(size, TEXT_MAX)
    options = {"first": first} if kind == "images" else {}
    vf, request = BUILDERS[kind](size, lead, **options)
    failed_reads = []
    sys.unraisablehook, saved = failed_reads.append, sys.unraisablehook
    try:
        check(write(tmp_path, vf), request)
    finally:
        sys.unraisablehook = saved
    assert failed_reads == []
