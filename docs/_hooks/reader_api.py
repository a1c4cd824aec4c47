"""mkdocs hook: the reader's functions on the API page, from the module itself.

``vellkit`` is an extension module, so there is no source for mkdocstrings to
read: the page's marker ``<!-- vellkit functions -->`` is replaced by each
function's signature and docstring as the imported module has them (the build
runs with the package installed, or with the build tree on ``PYTHONPATH``), in
markdown: the ``Args:`` and ``Returns:`` sections as lists, a literal example
as code, and Sphinx roles as code.
"""

import inspect
import re

MARKER = "<!-- vellkit functions -->"
FUNCTIONS = ("isVellFile", "listContents", "getVellData", "getVisImages", "decode_string", "help")
SECTION = re.compile(r"^(Args|Arguments|Returns|Raises|Yields|Examples?|Notes?):\s*$")
ITEM = re.compile(r"^(\*{0,2}\w+)\s*(\([^)]*\))?:\s+(.*)$")
ROLE = re.compile(r":(?:py:)?\w+:`~?([^`]+)`")


def _signature(function):
    """name(arguments) as the module declares them (its text signature)."""
    try:
        text = str(inspect.signature(function))
    except (TypeError, ValueError):
        text = "(...)"
    return "%s%s" % (function.__name__, text)


def _section(title, lines):
    """Markdown for one indented section body: items as a list, the rest as paragraphs."""
    body = inspect.cleandoc("\n".join(lines)).split("\n") if any(l.strip() for l in lines) else []
    out = ["**%s**" % title, ""]
    i = 0
    while i < len(body):
        line = body[i]
        if line.lstrip().startswith("{"):  # a literal example: as code, up to its closing brace
            j = i
            while j + 1 < len(body) and "}" not in body[j]:
                j += 1
            out += ["", "```python"] + body[i:j + 1] + ["```", ""]
            i = j + 1
            continue
        item = ITEM.match(line) if title == "Arguments" else None
        if item:
            name, kind, text = item.groups()
            while i + 1 < len(body) and body[i + 1].startswith(" "):  # continuation lines
                i += 1
                text += " " + body[i].strip()
            out.append("- `%s`%s: %s" % (name, " " + kind if kind else "", " ".join(text.split())))
        else:
            out.append(" ".join(line.split()) if line.strip() else "")
        i += 1
    return out + [""]


def docstring_markdown(doc):
    """The docstring of one function as markdown."""
    lines = inspect.cleandoc(ROLE.sub(r"`\1`", doc or "")).split("\n")
    out, title, body = [], None, []
    for line in lines + ["END:"]:
        match = SECTION.match(line)
        if match or line == "END:":
            if title:
                out += _section(title, body)
            title = {"Args": "Arguments"}.get(match.group(1), match.group(1)) if match else None
            body = []
        elif title and (line.startswith(" ") or not line.strip()):
            body.append(line)
        else:
            if title:
                out += _section(title, body)
                title, body = None, []
            out.append(" ".join(line.split()))
    return "\n".join(out).strip() + "\n"


def reader_markdown():
    import vellkit

    parts = []
    for name in FUNCTIONS:
        function = getattr(vellkit, name)
        parts.append("### `vellkit.%s` { #vellkit.%s }\n\n```python\nvellkit.%s\n```\n\n%s"
                     % (name, name, _signature(function), docstring_markdown(function.__doc__)))
    return "\n".join(parts)


def on_page_markdown(markdown, page, config, files):
    if MARKER in markdown:
        markdown = markdown.replace(MARKER, reader_markdown())
    return markdown
