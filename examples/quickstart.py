"""Write a small VELL file with the writer, then read it back with vellkit.

    python examples/quickstart.py [output.vell]
"""
import os
import sys
import tempfile

import numpy as np

import vellkit
from vellkit_tools import writer


def make_sample(path):
    """A file holding one absorbance spectrum and a small time-resolved series."""
    x = np.linspace(4000.0, 400.0, 1024)
    spectrum = np.exp(-((x - 1650.0) / 40.0) ** 2).astype(np.float32)
    vf = writer.make_spectrum_file(
        spectrum, data_type="AB", fxv=4000.0, lxv=400.0,
        params={"DXU": "WN"},
        acquisition={"NSS": 32, "RES": 4.0},
        instrument={"LWN": 15798.0, "INS": "bench"},
        sample={"SNM": "polystyrene film"},
    )
    records = [writer.Record(spectrum * (1.0 + 0.1 * k), time=0.5 * k) for k in range(5)]
    writer.make_3d_file(records, 1024, writer.time_resolved_params(1024, 4000.0, 400.0, y=spectrum),
                        data_type="AB", into=vf)
    vf.write(path)


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(tempfile.mkdtemp(), "sample.vell")
    make_sample(path)
    print("file:", path)
    print("is a VELL file:", vellkit.isVellFile(path))
    for block in vellkit.listContents(path):
        data = vellkit.getVellData(path, block)
        print()
        print("block", block, "->", type(data).__name__)
        print("  parameters:", ", ".join("%s=%r" % kv for kv in list(data.parameters.items())[:8]), "...")
        print("  x: %d points from %g to %g" % (len(data.x), data.x[0], data.x[-1]))
        if hasattr(data, "y"):
            print("  y: max %.3f at x=%g" % (data.y.max(), data.x[int(data.y.argmax())]))
        if hasattr(data, "spectra"):
            print("  spectra:", data.spectra.shape, data.spectra.dtype)
        if hasattr(data, "z"):
            print("  z:", data.z)
    print()
    print(data)


if __name__ == "__main__":
    main()
