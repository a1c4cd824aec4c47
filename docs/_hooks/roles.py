"""griffe extension: the docstrings of ``vellkit_tools`` as the guide shows them.

The docstrings are read by ``help()`` and in editors as well, where Sphinx's
spelling is the usual one; the guide renders markdown, where it would show
literally.  Once the package is loaded:

- each cross-reference role (``:func:`write_spectrum```) becomes its name in
  code type, linked to the object's entry on the API page when the guide has
  one (an optional cross-reference: a name the guide does not document stays
  plain code and is no error under ``--strict``); a bare name is looked up
  where Sphinx looks it up: the class, then the module it is written in;
- a paragraph ending in ``::`` (a literal block follows) ends in ``:``;
- a name a module imports from another public module of the package is
  documented where it is defined only (``vellkit_tools.writer`` offers the encoder's and
  the array writers' names too: the API page shows them once).
"""

import html
import re

import griffe

#: :role:`target`, :role:`~target`, :role:`text <target>`, with an optional domain (:py:func:).
ROLE = re.compile(r":(?:py:)?(?:func|meth|class|mod|attr|obj|exc|data|const|ref):`([^`]+)`")
LITERAL = re.compile(r"(\S)::[ \t]*$", re.M)


def _target(text, resolve):
    """(shown text, full dotted identifier) of one role's content, read as Sphinx does."""
    text = text.strip()
    explicit = re.match(r"^(.*?)\s*<([^>]+)>$", text)
    if explicit:
        return explicit.group(1), explicit.group(2).lstrip("~.")
    name = text.lstrip("!")
    shown = name.lstrip("~").rsplit(".", 1)[-1] if name.startswith("~") else name.lstrip(".")
    name = name.lstrip("~.").rstrip("()")
    if "." not in name:
        name = resolve(name)
    return shown, name


def convert(text, here="", resolve=None):
    """The docstring text with each role replaced by an optional cross-reference
    (a bare name resolved by ``resolve``, by default as a name of module ``here``)."""
    resolve = resolve or (lambda name: "%s.%s" % (here, name) if here else name)

    def one(match):
        shown, ident = _target(match.group(1), resolve)
        return '<autoref identifier="%s" optional><code>%s</code></autoref>' % (
            html.escape(ident, quote=True), html.escape(shown))

    return LITERAL.sub(r"\1:", ROLE.sub(one, text))


def _path_of(member):
    """The path a member documents: an alias's target, an object's own path."""
    if member.is_alias:
        try:
            return member.target_path
        except Exception:  # an alias griffe cannot resolve: its own path will do
            return member.path
    return member.path


def _resolver(obj):
    scopes = [o for o in (obj, obj.parent) if o is not None and o.is_class]
    scopes.append(obj if obj.is_module else obj.module)

    def resolve(name):
        for scope in scopes:
            member = scope.members.get(name)
            if member is not None:
                return _path_of(member)
        return "%s.%s" % (scopes[-1].path, name)

    return resolve


def _reexport(member, root):
    """Whether a member is another module's object of the package, imported."""
    if not member.is_alias:
        return False
    try:
        target = member.target_path
        # An object of a private module (the engine's parts) is documented
        # where the package offers it.
        if any(part.startswith("_") for part in target[len(root):].split(".")[:-1]):
            return False
        return target.startswith(root) and not member.final_target.is_module
    except Exception:  # unresolvable (a name griffe cannot follow): kept as it is
        return False


def _walk(obj):
    yield obj
    for member in list(obj.members.values()):
        if not member.is_alias:
            yield from _walk(member)


class SphinxRoles(griffe.Extension):
    """Rewrites the docstrings and drops re-exports of a loaded package."""

    def on_package(self, *, pkg, **kwargs):  # noqa: D102 - griffe 2's hook
        objects = list(_walk(pkg))
        for obj in objects:
            if obj.docstring is not None and ":" in obj.docstring.value:
                obj.docstring.value = convert(obj.docstring.value, resolve=_resolver(obj))
        for module in (o for o in objects if o.is_module):
            for name, member in list(module.members.items()):
                if _reexport(member, pkg.path + "."):
                    module.del_member(name)

    on_package_loaded = on_package  # the same hook under griffe 1's name
