"""The guide, README and messages against what they describe: extras named
in install hints exist, the navigation and links point at pages and headings
that exist, the API page gets every reader function, and the guide's own
code runs."""

import glob
import os
import re
import sys
import unicodedata

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
DOCS = os.path.join(ROOT, "docs")


def read(*parts):
    with open(os.path.join(ROOT, *parts), encoding="utf-8") as f:
        return f.read()


def extras():
    """The names under [project.optional-dependencies] of pyproject.toml."""
    try:
        import tomllib
    except ImportError:
        tomllib = pytest.importorskip("tomli")
    return set(tomllib.loads(read("pyproject.toml"))["project"]["optional-dependencies"])


def pages():
    return sorted(os.path.relpath(p, DOCS).replace(os.sep, "/")
                  for p in glob.glob(os.path.join(DOCS, "**", "*.md"), recursive=True))


def texts():
    """(name, text) of every file a user reads hints in: guide, README, examples, messages."""
    names = ["README.md"] + ["docs/" + p for p in pages()]
    names += sorted(os.path.relpath(p, ROOT) for pattern in ("python/**/*.py", "examples/*.py", "noxfile.py")
                    for p in glob.glob(os.path.join(ROOT, pattern), recursive=True))
    return [(name, read(name)) for name in names]


# pip install "vellkit[a,b]", pip install ".[a]", pip install 'vellkit[a]'
HINT = re.compile(r"""pip install\s+\\?["']?(?:vellkit|\.)\[([^\]]+)\]""")


def test_every_install_hint_names_extras_that_exist():
    known = extras()
    hints = [(name, extra.strip()) for name, text in texts() for match in HINT.finditer(text)
             for extra in match.group(1).split(",") if "%" not in extra and "{" not in extra]
    assert len(hints) > 10  # the pattern finds the hints at all
    assert [(name, extra) for name, extra in hints if extra not in known] == []


@pytest.mark.parametrize("fmt, engines", [("netcdf", ("netCDF4", "h5netcdf", "scipy")), ("zarr", ("zarr",))])
def test_the_export_hints_name_an_extra_that_installs_the_engine(fmt, engines):
    from vellkit_tools.cli import _formats

    hint = _formats.XARRAY_FORMATS[fmt]  # what export says to install for the format
    (extra,) = HINT.search(hint).groups()
    requirements = _requirements(extra)
    assert any(r.startswith("xarray") for r in requirements)
    assert any(r.startswith(engines) for r in requirements)


def _requirements(extra):
    try:
        import tomllib
    except ImportError:
        tomllib = pytest.importorskip("tomli")
    return tomllib.loads(read("pyproject.toml"))["project"]["optional-dependencies"][extra]


def test_getting_started_lists_every_extra_with_what_it_installs():
    rows = re.findall(r"^\| `([\w-]+)` \| ([^|]+) \|", read("docs", "getting-started.md"), re.M)
    assert sorted(name for name, _ in rows) == sorted(extras())
    for name, installs in rows:
        listed = {p.strip().lower() for p in installs.split(",")}
        required = {re.match(r"[\w.-]+", r).group(0).lower() for r in _requirements(name)}
        assert listed == required, name


def _nav():
    return re.findall(r"^\s*-\s*(?:[^:\n]+:\s*)?([\w/.-]+\.md)\s*$", read("mkdocs.yml"), re.M)


def test_navigation_names_every_page_once_and_only_pages_that_exist():
    nav = _nav()
    assert len(nav) == len(set(nav))
    assert sorted(nav) == pages()


def test_pages_open_from_disk():
    # Without this mkdocs writes NAME/index.html and links to folders, which a
    # browser shows as a listing when the guide is opened from disk.
    assert re.search(r"^use_directory_urls:\s*false\s*$", read("mkdocs.yml"), re.M)


def test_the_built_guide_loads_nothing_from_the_network(tmp_path):
    """Every script, style sheet, font and preconnect of every page is a file
    of the guide; search is bundled (its index inlined for pages from disk)."""
    pytest.importorskip("mkdocs")
    pytest.importorskip("material")
    import subprocess
    env = dict(os.environ, NO_MKDOCS_2_WARNING="1",
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    site = tmp_path / "site"
    subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir", str(site)],
                   cwd=ROOT, env=env, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    pages_built = glob.glob(os.path.join(str(site), "**", "*.html"), recursive=True)
    assert len(pages_built) > len(pages())
    loads = [(os.path.relpath(page, str(site)), url) for page in pages_built
             for url in re.findall(r"<(?:script|link|img|iframe)\b[^>]*?\b(?:src|href)=\"([^\"]+)\"",
                                   open(page, encoding="utf-8").read())]
    assert loads and [(page, url) for page, url in loads if re.match(r"([a-z]+:)?//", url)] == []
    assert (site / "search" / "search_index.js").exists()
    assert ("index.html", "assets/javascripts/iframe-worker-offline.js") in loads


def slug(heading):
    """The anchor python-markdown's toc gives a heading (its default slugify)."""
    text = heading.replace("`", "").replace("*", "")
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode("ascii")
    text = re.sub(r"[^\w\s-]", "", text).strip().lower()
    return re.sub(r"[-\s]+", "-", text)


def _headings(page):
    text = re.sub(r"^```.*?^```", "", read("docs", page), flags=re.M | re.S)
    return {slug(h) for h in re.findall(r"^#{1,6}\s+(.+?)\s*$", text, re.M)}


@pytest.mark.parametrize("page", pages())
def test_links_between_pages_reach_a_page_and_heading(page):
    text = re.sub(r"^```.*?^```", "", read("docs", page), flags=re.M | re.S)
    broken = []
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", target) or target.startswith("#") and not target[1:]:
            continue
        path, _, anchor = target.partition("#")
        linked = os.path.normpath(os.path.join(os.path.dirname(page), path)).replace(os.sep, "/") if path else page
        if linked.endswith(".md") and linked not in pages():
            broken.append(target)
        elif anchor and linked.endswith(".md") and anchor not in _headings(linked):
            broken.append(target)
    assert broken == []


def test_slug_matches_the_toc_on_code_and_punctuation():
    assert slug("Every block of a file: `open_datatree`") == "every-block-of-a-file-open_datatree"
    assert slug("The area of a band") == "the-area-of-a-band"


# ----------------------------------------------------------------------------
# The API page
# ----------------------------------------------------------------------------

def _hook(name):
    sys.path.insert(0, os.path.join(DOCS, "_hooks"))
    try:
        return __import__(name)
    finally:
        sys.path.pop(0)


def test_api_page_gets_the_six_reader_functions_without_roles():
    reader_api = _hook("reader_api")
    page = reader_api.on_page_markdown(read("docs", "api.md"), None, None, None)
    assert reader_api.MARKER not in page
    for name in ("isVellFile", "listContents", "getVellData", "getVisImages", "decode_string", "help"):
        assert "### `vellkit.%s`" % name in page
    assert not re.search(r":(func|obj|class|meth|mod):`", page)
    # The sections of the module's docstrings became markdown, the example code.
    assert "- `datablock` (tuple of str): tuple(datablocktype, dimensions, derivative) as returned" in page
    assert "```python\n{'image': bytes()," in page


def test_api_page_documents_the_engine_and_the_writers():
    names = set(re.findall(r"^::: ([\w.]+)", read("docs", "api.md"), re.M))
    assert {"vellkit_tools.backend.open_dataset", "vellkit_tools.backend.open_mfdataset",
            "vellkit_tools.arrays", "vellkit_tools.writer", "vellkit_tools.encode"} <= names
    backend = read("python", "vellkit_tools", "backend.py")
    if re.search(r"^def open_datatree\(", backend, re.M):
        assert "vellkit_tools.backend.open_datatree" in names


@pytest.mark.parametrize("role, module, shown, identifier", [
    (":func:`write_spectrum`", "vellkit_tools.arrays", "write_spectrum", "vellkit_tools.arrays.write_spectrum"),
    (":class:`xarray.Dataset`", "vellkit_tools.backend", "xarray.Dataset", "xarray.Dataset"),
    (":func:`~vellkit_tools.encode.atomic_write`", "x", "atomic_write", "vellkit_tools.encode.atomic_write"),
    (":meth:`write`", "vellkit_tools.writer", "write", "vellkit_tools.writer.write"),
    (":py:mod:`the encoder <vellkit_tools.encode>`", "x", "the encoder", "vellkit_tools.encode"),
])
def test_docstring_roles_become_optional_links(role, module, shown, identifier):
    pytest.importorskip("griffe")
    roles = _hook("roles")
    out = roles.convert("see %s here" % role, module)
    assert out == 'see <autoref identifier="%s" optional><code>%s</code></autoref> here' % (identifier, shown)


def test_literal_block_markers_end_in_one_colon():
    pytest.importorskip("griffe")
    roles = _hook("roles")
    assert roles.convert("Typical use::\n\n    x = 1\n") == "Typical use:\n\n    x = 1\n"
    assert roles.convert("a ``x::y`` name") == "a ``x::y`` name"


def test_the_package_as_the_api_page_gets_it():
    griffe = pytest.importorskip("griffe")
    roles = _hook("roles")
    package = griffe.load("vellkit_tools", search_paths=[os.path.join(ROOT, "python")],
                          extensions=griffe.load_extensions(roles.SphinxRoles))
    writer = package["writer"]
    # The array writers and the encoder's names are documented where they are defined.
    assert "write_image_map" not in writer.members and "block_type" not in writer.members
    assert "VellFile" in writer.members and "write_image_map" in package["arrays"].members
    # Bare names in the writer's docstring link to where the objects are defined.
    assert 'identifier="vellkit_tools.arrays.write_spectrum"' in writer.docstring.value
    literal = [(o.path, m.group(0)) for o in roles._walk(package) if o.docstring is not None
               for m in re.finditer(r":(func|class|mod|meth|attr|obj|exc):`|\S::$", o.docstring.value, re.M)]
    assert literal == []


# ----------------------------------------------------------------------------
# The guide's code
# ----------------------------------------------------------------------------

def _python_blocks(page):
    return re.findall(r"^```python\n(.*?)^```", read("docs", page), re.M | re.S)


@pytest.fixture(scope="module")
def sample_folder(tmp_path_factory):
    """The files the guide's code opens: one of each kind as the guide's
    pictures are made, a spectrum named good.vell, and a folder of spectra."""
    import numpy as np

    from vellkit_tools import arrays

    sys.path.insert(0, os.path.join(ROOT, "examples"))
    try:
        import samples
    finally:
        sys.path.pop(0)
    folder = tmp_path_factory.mktemp("guide")
    samples.make_samples(str(folder))
    x = np.linspace(4000, 600, 200)
    arrays.write_spectrum(str(folder / "good.vell"), np.ones(200, np.float32), x)
    (folder / "spectra").mkdir()
    for k in range(3):
        arrays.write_spectrum(str(folder / "spectra" / ("s%d.vell" % k)), np.full(200, k, np.float32), x)
    return folder


@pytest.fixture(scope="module")
def vell_engine(tmp_path_factory):
    """A folder whose distribution metadata registers engine="vell" with
    xarray, as installing the package does (the tests run from a source tree)."""
    folder = tmp_path_factory.mktemp("engine")
    info = folder / "vellkit_guide_engine-0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: vellkit-guide-engine\nVersion: 0\n")
    (info / "entry_points.txt").write_text(
        "[xarray.backends]\nvell = vellkit_tools.backend:VellBackendEntrypoint\n")
    return str(folder)


GUIDE_CODE = [
    ("getting-started.md", (), ()),
    # the memmap and chunk recipes need a huge input of the reader's own
    ("writer.md", ("huge.npy", "acquire_row"), ()),
    ("kinds/spectra.md", (), ()),
    ("kinds/image-maps.md", (), ()),
    ("kinds/time-series.md", (), ()),
    ("kinds/multi-region.md", (), ("xarray",)),
    ("kinds/traces.md", (), ()),
    ("kinds/visible-images.md", (), ()),
    ("damaged-files.md", (), ()),
    ("command-line.md", (), ("pandas",)),
    # a local cluster of processes is too much for a test
    ("xarray.md", ("LocalCluster",), ("xarray", "dask", "netCDF4")),
    # against the loopback S3 server, holding the sample files
    ("object-stores.md", (), ("s3fs", "moto", "obstore", "virtualizarr", "dask")),
]


@pytest.mark.parametrize("page, skip, needs", GUIDE_CODE, ids=[p for p, _, _ in GUIDE_CODE])
def test_the_guides_code_runs(request, sample_folder, vell_engine, tmp_path, page, skip, needs):
    """Each page's code, in order, as a reader pastes it into a fresh interpreter:
    every name it uses is imported or made on the page."""
    import subprocess

    for module in needs:
        pytest.importorskip(module)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([vell_engine] + [p for p in sys.path if p]),
               MPLBACKEND="Agg")
    if page == "object-stores.md":  # the page's bucket, and the store the page makes
        s3 = request.getfixturevalue("s3_service")
        for name in ("tissue-map.vell", "reaction.vell"):
            s3.put("spectra", name, (sample_folder / name).read_bytes())
        for k in range(3):
            s3.put("spectra", "run42/map%d.vell" % k, (sample_folder / "tissue-map.vell").read_bytes())
        env.update(s3.environment(), AWS_ALLOW_HTTP="true")
        subprocess.run([sys.executable, "-m", "vellkit_tools", "virtualize", "s3://spectra/run42/*.vell", "--to",
                        "run42.json", "--force"], check=True, env=env, stdout=subprocess.DEVNULL,
                       cwd=str(sample_folder))
    if page == "command-line.md":  # the CSV the page reads, exported as the page shows
        subprocess.run([sys.executable, "-m", "vellkit_tools", "export", "tissue-map.vell", "--to", "out",
                        "--skip-existing"], check=True, env=env, stdout=subprocess.DEVNULL,
                       cwd=str(sample_folder))
    blocks = [b for b in _python_blocks(page) if not any(word in b for word in skip)]
    assert blocks
    script = tmp_path / "page.py"
    script.write_text("\n".join(blocks), encoding="utf-8")
    done = subprocess.run([sys.executable, str(script)], cwd=str(sample_folder), env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]


def test_the_distributed_snippet_guards_its_cluster():
    """Processes that start by importing the main module run it again: the
    cluster is made only under the guard."""
    (block,) = [b for b in _python_blocks("xarray.md") if "LocalCluster" in b]
    guard = block.index('if __name__ == "__main__":')
    assert guard < block.index("LocalCluster(") and "import" in block.split("LocalCluster(")[0]


def test_every_page_with_code_is_run():
    run = {page for page, _, _ in GUIDE_CODE}
    assert [p for p in pages() if _python_blocks(p) and p not in run] == []
