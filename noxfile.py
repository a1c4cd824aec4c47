"""Build and test vellkit on every CPython it supports.

    nox                      # every session whose interpreter is found
    nox -s tests-3.12        # one interpreter
    nox -s numpy1            # numpy 1.x on an interpreter that has both majors

Each session makes a fresh virtual environment, builds and installs the
package from this tree (``pip install .``) with the numpy pip picks for that
interpreter, and runs the test suite. Only the light test dependencies are
installed; tests of the optional extras (matplotlib, xarray, ...) skip
themselves, and run in CI on the main interpreter. Interpreters are found on
PATH as ``python3.X`` or under ``~/.pyenv/versions``.
"""

import glob
import os
import re
import sys

import nox

PYTHONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]
# numpy 1.26 and 2.x both have wheels for 3.12.
NUMPY1_PYTHON = "3.12"
# Optional extras of the test dependencies: left to the main interpreter.
HEAVY = {"matplotlib", "xarray", "dask", "distributed", "netcdf4", "h5netcdf", "zarr", "scipy", "pandas",
         "compliance-checker", "coverage",
         # remote reads and virtual stores: tested in the main run, not in the smoke set
         "fsspec", "aiohttp", "requests", "s3fs", "moto", "obstore", "virtualizarr", "kerchunk", "icechunk",
         "fastparquet"}

nox.options.default_venv_backend = "venv"
try:  # nox releases that can fetch interpreters must not: test those found only
    nox.options.download_python = "never"
except AttributeError:  # older nox, which only looks for them
    pass
nox.options.sessions = ["tests", "numpy1"]


def _add_pyenv_interpreters_to_path():
    """Put each pyenv CPython 3.X's bin directory on PATH (newest patch wins),
    so that ``python3.X`` names it; the pyenv shims only name the active one."""
    found = {}
    for python in glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python")):
        match = re.search(r"/(3\.\d+)\.(\d+)/bin/python$", python)
        if match:
            minor, patch = match.group(1), int(match.group(2))
            if patch >= found.get(minor, (-1, ""))[0]:
                found[minor] = (patch, os.path.dirname(python))
    extra = [directory for _, directory in found.values()]
    os.environ["PATH"] = os.pathsep.join(extra + [os.environ.get("PATH", "")])


_add_pyenv_interpreters_to_path()


def _light_test_requirements():
    """The ``test`` extra of pyproject.toml without the heavy optional packages."""
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # nox depends on tomli there
        import tomli as tomllib
    with open("pyproject.toml", "rb") as f:
        extras = tomllib.load(f)["project"]["optional-dependencies"]
    name = re.compile(r"^[A-Za-z0-9._-]+")
    return [req for req in extras["test"] if name.match(req).group(0).lower() not in HEAVY]


def _install_vellkit(session):
    """Build and install vellkit from this tree. With VELLKIT_NOX_WHEELHOUSE
    set (CI does), each interpreter's wheel is built once into that folder and
    installed from there by every session on that interpreter: the extension
    calls numpy only through Python, so one build serves numpy 1 and 2."""
    wheelhouse = os.environ.get("VELLKIT_NOX_WHEELHOUSE")
    if not wheelhouse:
        session.install(".")
        return
    tag = session.run("python", "-c", "import sys; print('cp%d%d' % sys.version_info[:2])", silent=True).strip()
    wheels = glob.glob(os.path.join(wheelhouse, "vellkit-*-%s-*.whl" % tag))
    if not wheels:
        session.run("python", "-m", "pip", "wheel", "--no-deps", "--wheel-dir", wheelhouse, ".")
        wheels = glob.glob(os.path.join(wheelhouse, "vellkit-*-%s-*.whl" % tag))
    session.install(*wheels)


def _build_and_test(session, *pins):
    session.install("--upgrade", "pip")
    session.install(*pins, *_light_test_requirements())
    _install_vellkit(session)
    session.run("python", "-c", "import sys, numpy; print('CPython %d.%d.%d' % sys.version_info[:3], "
                "'with numpy', numpy.__version__)")
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", "-q", *session.posargs)


@nox.session(python=PYTHONS)
def tests(session):
    """The test suite with the numpy pip picks for this interpreter."""
    _build_and_test(session)


@nox.session(python=NUMPY1_PYTHON)
def numpy1(session):
    """The test suite with numpy 1.x."""
    _build_and_test(session, "numpy<2")
