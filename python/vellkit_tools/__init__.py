"""Pure-Python companions of the ``vellkit`` reader.

``vellkit_tools.writer`` builds VELL data files (spectra, 3D blocks,
annotation tables, visible images) for tests, benchmarks and users who need
synthetic files.
"""

__all__ = ["writer"]
