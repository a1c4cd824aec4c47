"""griffe extension: Sphinx cross-reference roles in docstrings, as the guide shows them.

The docstrings are read by ``help()`` and in editors as well, where roles such
as ``:func:`write_spectrum``` are the usual spelling; the guide renders
markdown, where they would show literally.  Each role becomes its name in code
type, linked to the object's entry on the API page when the guide has one
(an optional cross-reference: a name the guide does not document stays plain
code and is no error under ``--strict``).
"""

import html
import re

import griffe

#: :role:`target`, :role:`~target`, :role:`text <target>`, with an optional domain (:py:func:).
ROLE = re.compile(r":(?:py:)?(?:func|meth|class|mod|attr|obj|exc|data|const|ref):`([^`]+)`")


def _target(text, here):
    """(shown text, full dotted identifier) of one role's content, read as Sphinx does."""
    text = text.strip()
    explicit = re.match(r"^(.*?)\s*<([^>]+)>$", text)
    if explicit:
        return explicit.group(1), explicit.group(2).lstrip("~.")
    name = text.lstrip("!")
    shown = name.lstrip("~").rsplit(".", 1)[-1] if name.startswith("~") else name.lstrip(".")
    name = name.lstrip("~.")
    if name.rstrip("()").count(".") == 0 and here:
        name = here + "." + name  # a bare name is one of the module it is written in
    return shown, name.rstrip("()")


def convert(text, here=""):
    """The docstring text with each role replaced by an optional cross-reference."""

    def one(match):
        shown, ident = _target(match.group(1), here)
        return '<autoref identifier="%s" optional><code>%s</code></autoref>' % (
            html.escape(ident, quote=True), html.escape(shown))

    return ROLE.sub(one, text)


class SphinxRoles(griffe.Extension):
    """Rewrites the roles of every docstring griffe loads, inspected or parsed."""

    def on_instance(self, *, obj, **kwargs):  # noqa: D102 - griffe's hook
        if obj.docstring is not None and ":" in obj.docstring.value:
            module = obj if obj.is_module else obj.module
            obj.docstring.value = convert(obj.docstring.value, module.path)
