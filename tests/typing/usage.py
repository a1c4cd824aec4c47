"""Typed use of every public name of ``vellkit``, checked by mypy (strict)
against the installed stubs, and run by tests/test_typing.py so that what it
claims holds at run time too."""

import io
import sys
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

import vellkit
from vellkit_tools import writer


def read_spectrum(path: str) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float32]]:
    assert vellkit.isVellFile(path)
    blocks: List[Tuple[str, str, str]] = vellkit.listContents(path)
    assert ("AB", "2D", "NONE") in blocks
    spectrum = vellkit.getVellData(path, ("AB", "2D", "NONE"))
    npt_value: Any = spectrum.parameters["NPT"]
    label: str = vellkit.paramDict["NPT"]
    assert label and npt_value == len(spectrum.y)
    assert spectrum.dimension == "2D" and spectrum.dataType == "AB" and spectrum.derivative == "NONE"
    low: float = spectrum.minY
    high: float = spectrum.maxY
    assert low <= high
    text: str = str(spectrum) + spectrum.description
    assert text
    return spectrum.x, spectrum.y


ThreeD = Union[vellkit.ImageDataReturn, vellkit.ImageTRCDataReturn,
               vellkit.TimeResolvedDataReturn, vellkit.TimeResolvedTRCDataReturn,
               vellkit.MultiRegionDataReturn, vellkit.MultiRegionTRCDataReturn]


def describe_3d(result: ThreeD) -> str:
    """The result of a 3D request is one of six classes, told apart by isinstance."""
    if isinstance(result, vellkit.ImageDataReturn):
        return "image map %r x %r: %r" % (result.mapX.size, result.mapY.size, result.spectra.shape)
    if isinstance(result, vellkit.ImageTRCDataReturn):
        return "trace map of %s: %r" % (", ".join(result.labels), result.traces.shape)
    if isinstance(result, vellkit.TimeResolvedDataReturn):
        return "time series over %r: %r" % (result.z.tolist(), result.spectra.shape)
    if isinstance(result, vellkit.TimeResolvedTRCDataReturn):
        return "traces %s: %r" % (result.labels, result.traces.shape)
    regions: List[vellkit.Region] = result.regions
    titles = [region.title for region in regions]
    if isinstance(result, vellkit.MultiRegionTRCDataReturn):
        return "trace regions of %s: %s" % (result.labels, titles)
    times: List[Optional[npt.NDArray[np.float64]]] = [region.start_time for region in regions]
    spectra: List[npt.NDArray[np.float32]] = [region.spectra for region in regions]
    return "regions %s, %d timed, %d spectra" % (titles, sum(t is not None for t in times), len(spectra))


def read_time_series(path: str) -> str:
    result = vellkit.getVellData(path=path, datablock=("AB", "3D", "NONE"))
    return describe_3d(result)


def read_any(path: str) -> List[vellkit.BaseDataReturn]:
    """Requests from the listing: the class is known only at run time."""
    return [vellkit.getVellData(path, block) for block in vellkit.listContents(Path(path))
            if block[2] != "3DER"]


def read_images(path: str) -> List[Tuple[str, bytes]]:
    images: List[Dict[str, Any]] = vellkit.getVisImages(path)
    return [(str(image["imgext"]), bytes(image["image"])) for image in images if "image" in image]


def build_results() -> Tuple[vellkit.BaseDataReturn, vellkit.SingleDataReturn, List[ThreeD]]:
    """Callers may build result objects themselves."""
    x = np.linspace(0.0, 1.0, 3)
    values = np.zeros((2, 3), np.float32)
    base: Dict[str, Any] = dict(dimension="3D", dataType="AB", parameters={}, x=x, minY=0.0, maxY=1.0)
    region = vellkit.Region("Region 1 (2 points)", x[:2], x[:2], None, values)
    return (
        vellkit.BaseDataReturn("2D", "AB", "NONE", {}, x, 0.0, 1.0),
        vellkit.SingleDataReturn(values[0], dimension="2D", dataType="AB", deriv="NONE",
                                 parameters={"NPT": 3}, x=x, minY=0.0, maxY=1.0),
        [vellkit.ImageDataReturn(x[:1], x[:2], values.reshape(2, 1, 3), deriv="NONE", **base),
         vellkit.ImageTRCDataReturn(x[:1], x[:2], ["A", "B", "C"], values.reshape(2, 1, 3), deriv="NONE", **base),
         vellkit.TimeResolvedDataReturn(x[:2], values, deriv="NONE", **base),
         vellkit.TimeResolvedTRCDataReturn(["A", "B"], values, deriv="NONE", **base),
         vellkit.MultiRegionDataReturn([region], deriv="NONE", **base),
         vellkit.MultiRegionTRCDataReturn(["A"], [region], deriv="NONE", **base)],
    )


def decode(raw: bytes) -> str:
    return vellkit.decode_string(raw) + vellkit.decode_string(raw, encodings=["latin1"])


def show_help() -> str:
    saved, sys.stdout = sys.stdout, io.StringIO()
    try:
        vellkit.help()
        return sys.stdout.getvalue()
    finally:
        sys.stdout = saved


def exercise(directory: Path) -> None:
    """Write files with the writer and read them back through every function."""
    spectrum_path = str(directory / "spectrum.vell")
    image = writer.Image(b"BM" + bytes(60), title="Camera")
    writer.write_spectrum_file(spectrum_path, np.arange(4, dtype=np.float32), images=[image])
    x, y = read_spectrum(spectrum_path)
    assert x.dtype == np.float64 and y.dtype == np.float32
    assert read_images(spectrum_path) == [("bmp", b"BM" + bytes(60))]

    series_path = str(directory / "series.vell")
    records = [writer.Record(np.arange(4, dtype=np.float32) + k, time=0.5 * k) for k in range(3)]
    writer.write_3d_file(series_path, records, 4, writer.time_resolved_params(4, 100.0, 200.0))
    assert read_time_series(series_path).startswith("time series over [0.0, 0.5, 1.0]")
    assert len(read_any(series_path)) == 1

    base, single, three_d = build_results()
    assert str(base) == repr(base) and single.description.endswith("\ty data points (.y)\n")
    assert [describe_3d(result).split(" ")[0] for result in three_d] == [
        "image", "trace", "time", "traces", "regions", "trace"]
    assert decode(b"abc") == "abcabc"
    assert show_help().startswith("This library contains the following functions:")
    assert vellkit.unpack("<i", b"\x01\x00\x00\x00") == (1,)
    assert vellkit.np.float32 is np.float32 and vellkit.imghdr.__name__


if __name__ == "__main__":
    import tempfile

    with tempfile.TemporaryDirectory() as scratch:
        exercise(Path(scratch))
    print("ok")
