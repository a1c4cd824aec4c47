"""Companions of the ``vellkit`` reader: writers, the xarray engine and the
``vellkit`` command, reading through the private extension module
``vellkit_tools._native`` on the reader's own core.

``vellkit_tools.writer`` builds VELL data files (spectra, 3D blocks,
annotation tables, visible images) for tests, benchmarks and users who need
synthetic files.  ``vellkit_tools.open_dataset`` and
``vellkit_tools.open_mfdataset`` open VELL files as xarray Datasets, and
``vellkit_tools.open_datatree`` a whole file as a DataTree (the ``xarray``
and ``dask`` extras). ``vellkit_tools.read_annotations`` gives a file's
annotation table as a pandas DataFrame.
"""

from pkgutil import extend_path

# A build tree on the path (build/<dir>/vellkit_tools/ holding the private
# extension module) extends this package.
__path__ = extend_path(__path__, __name__)

__all__ = ["writer", "open_dataset", "open_mfdataset", "open_datatree", "read_annotations", "__version__"]


def __getattr__(name):
    if name == "__version__":  # read once asked for: importing stays cheap
        from vellkit_tools._version import version

        globals()["__version__"] = found = version()
        return found
    # Imported on first use, so that `import vellkit_tools` never needs xarray.
    if name in ("open_dataset", "open_mfdataset", "open_datatree"):
        from vellkit_tools import backend

        return getattr(backend, name)
    if name == "read_annotations":
        from vellkit_tools import annotations

        return annotations.read_annotations
    raise AttributeError("module 'vellkit_tools' has no attribute %r" % name)
