"""mkdocs hook: draw the guide's pictures when the site is built.

The sample files are made with the array writers (examples/samples.py) in a
temporary folder and drawn by the same code as ``vellkit preview``; the
PNGs are added to the site as images/generated/NAME.png.  Nothing is written
into the source tree.
"""

import io
import os
import sys
import tempfile

from mkdocs.structure.files import File

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

#: picture name -> (sample kind, block, preview options)
PICTURES = {
    "spectrum": ("spectrum", ("AB", "2D", "NONE"), {}),
    "image-map": ("map", ("AB", "3D", "NONE"), {"at": 1650.0}),
    "image-map-band": ("map", ("AB", "3D", "NONE"), {"band": (2800.0, 3000.0)}),
    "time-series": ("series", ("AB", "3D", "NONE"), {}),
    "multi-region": ("regions", ("AB", "3D", "NONE"), {"at": 2920.0}),
    "traces": ("traces", ("TRC", "3D", "NONE"), {"trace": "Lipid CH"}),
}


def _tools():
    for path in (os.path.join(ROOT, "python"), os.path.join(ROOT, "examples")):
        if path not in sys.path:
            sys.path.insert(0, path)
    import samples
    from vellkit_tools import plots
    return samples, plots


def on_files(files, config):
    samples, plots = _tools()
    with tempfile.TemporaryDirectory(prefix="vellkit-docs-") as folder:
        made = samples.make_samples(folder)
        for name, (kind, block, options) in PICTURES.items():
            fig = plots.preview(made[kind], block, **options)
            buf = io.BytesIO()
            plots.save(fig, buf)
            files.append(File.generated(config, "images/generated/%s.png" % name,
                                        content=buf.getvalue()))
    return files
