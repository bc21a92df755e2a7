"""Sphinx configuration of the brelt.tcl documentation.

Built by `make docs` against the package installed in the project's
virtual environment: the reference pages come from the docstrings of the
compiled extension modules, so the package must be built first.
"""

import importlib
import re

from sphinx.util import inspect as _sphinx_inspect

# Document the compiled modules themselves, with their own docstrings: a
# module already imported is used as it is, where autodoc would otherwise
# read the typing stub beside an extension module instead.
_EXTENSION_MODULES = {f"brelt.tcl.{name}" for name in ("quotify", "internal", "namespace", "jiv", "nestmap", "history")}
for _name in sorted(_EXTENSION_MODULES):
    importlib.import_module(_name)

# The extension modules' functions are of one small callable type that binds
# like a Python function; autodoc would take it, as any descriptor it does
# not know, for an attribute and drop the methods' signatures.
# (Each module has its own such type, named "function".)
def _is_our_function(obj):
    cls = type(obj)
    return cls.__name__ == "function" and cls.__module__ in _EXTENSION_MODULES


_isattributedescriptor = _sphinx_inspect.isattributedescriptor
_sphinx_inspect.isattributedescriptor = lambda obj: not _is_our_function(obj) and _isattributedescriptor(obj)

project = "brelt.tcl"
author = "brelt.tcl contributors"
copyright = "2026, brelt.tcl contributors"
release = importlib.import_module("brelt.tcl").__version__  # the one version, from the package
version = ".".join(release.split(".")[:2])

extensions = ["sphinx.ext.autodoc"]

exclude_patterns = ["_build"]
# Furo: a wide, responsive page (code samples are not cut off), a light and
# a dark scheme, and the search box in the sidebar.
html_theme = "furo"
html_title = f"brelt.tcl {release}"
html_static_path = []
# Indented blocks of the docstrings are tables and calls, not code to colour;
# examples (">>>") are coloured as Python sessions all the same.
highlight_language = "text"

# The docstrings double as help() text; Python names in them are written as
# plain words, so the default role stays a plain literal.
default_role = "literal"
autodoc_default_options = {"members": True, "show-inheritance": True}
autodoc_member_order = "groupwise"
autoclass_content = "class"
add_module_names = False

# No network when the documentation is built: names of the standard library
# and of tkinter stay unlinked rather than failing the nitpicky build.
nitpick_ignore_regex = [
    (r"py:.*",
     r"(collections|collections\.abc|tkinter|_tkinter|ctypes|typing|types|re|datetime|logging|weakref)(\..*)?"),
    (r"py:class", r"(object|dict|list|tuple|str|int|float|bool|bytes|None|Exception|Any)"),
]


_LIST_ITEM = re.compile(r"^\s*(?:[-*]|\d+\.)\s")


def _escape_inline(line):
    # Plain text meets reStructuredText: ``*args``, ``**kwargs`` and stars in
    # general would open emphasis; ``cast_`` and ``[A-Za-z0-9_]`` would be
    # hyperlink references; ``|`` would start a substitution.
    line = re.sub(r"(?<![\\`])\*", r"\\*", line)
    line = re.sub(r"(?<=[\w\]])_(?=[\s\].,:;)]|$)", r"\\_", line)
    return line.replace("|", "\\|")


# Title lines that some docstrings begin with, for help(); the reference
# page names the class or function already.
_TITLE_LINE = re.compile(r"^\w+(\(\))? (Class|class|Function/Class)\b.*$")


def _reference_text(app, what, name, obj, options, lines):
    """Turn the words that help() shows into the text of a reference page.

    A module docstring ("Implements:" and a list of names, then
    "Description:" and "This file implements ...") becomes its
    description; a title line ("NestMap Class (AttrDict)") goes; a method
    whose only docstring line autodoc took for its signature ("D.get(k[,d])
    -> ...") keeps that line as its text.
    """
    if not any(name == m or name.startswith(m + ".") for m in _EXTENSION_MODULES):
        return
    if what == "module" and lines and lines[0].strip() == "Implements:":
        try:
            start = next(i for i, line in enumerate(lines) if line.strip() == "Description:") + 1
        except StopIteration:
            return
        body = [line[4:] if line.startswith("    ") else line for line in lines[start:]]
        if body and body[0].startswith("This file implements "):
            rest = body[0][len("This file implements "):]
            body[0] = rest[:1].upper() + rest[1:]
        lines[:] = body
        return
    if what in ("class", "exception", "function") and lines and _TITLE_LINE.match(lines[0]):
        del lines[0]
        while lines and not lines[0].strip():
            del lines[0]
    if what == "method" and not any(line.strip() for line in lines):
        doc = getattr(obj, "__doc__", None) or ""
        lines[:] = [line.strip() for line in doc.strip().splitlines()]


def _plain_text_docstring(app, what, name, obj, options, lines):
    """Let the extension modules' docstrings, written as help() text, read
    well as reStructuredText.

    An indented block (a table of attributes, an example call) is shown as
    it is written, as a literal block; a list gets the blank line that
    reStructuredText needs before it; examples (doctest blocks) stand on
    their own, as in help().
    """
    module = name if what == "module" else getattr(obj, "__module__", None)
    if module not in _EXTENSION_MODULES:
        return
    out = []
    block = None  # "literal" or "doctest" while inside such a block
    block_indent = 0
    item_indent = 0  # the text indentation of the list item being read
    prose_indent = 0  # the indentation of the description being read
    for line in lines:
        text = line.strip()
        indent = len(line) - len(line.lstrip())
        if block == "literal" and text.startswith(">>>") and not out[-1].strip():
            block = None  # examples after a table start a block of their own
        elif block == "doctest" and (not text or indent >= block_indent):
            out.append(line[block_indent:])
            continue
        elif block == "literal" and (not text or indent):
            out.append(line)
            continue
        elif block:
            block = None
            out.append("")
        if not text:
            item_indent = prose_indent = 0
            out.append(line)
            continue
        if item_indent and indent == item_indent:  # a list item goes on
            out.append(_escape_inline(line))
            continue
        item_indent = 0
        if text.startswith(">>>"):
            if out and out[-1].strip():
                out.append("")
            out.append(text)
            block, block_indent = "doctest", indent
            continue
        if indent and (prose_indent == indent or (out and out[-1].strip() == "Description:")):
            # A module's description is prose, indented under its heading.
            if prose_indent != indent:
                out.append("")
            out.append(_escape_inline(text))
            prose_indent = indent
            continue
        prose_indent = 0
        if indent:
            previous = out[-1] if out else ""
            if previous.strip():
                # A block right under its paragraph ("Attributes:").
                out[-1] = previous + ":" if previous.rstrip().endswith(":") else previous + " ::"
                out.append("")
            elif not next((x for x in reversed(out) if x.strip()), "").rstrip().endswith("::"):
                out.extend(["::", ""])
            out.append(line)
            block = "literal"
            continue
        item = _LIST_ITEM.match(line)
        if item:
            if out and out[-1].strip() and not _LIST_ITEM.match(out[-1]):
                out.append("")
            item_indent = item.end()
        out.append(_escape_inline(line))
    lines[:] = out


def _plain_signature(app, what, name, obj, options, signature, return_annotation):
    # A sentinel default means "not given": the docstring says what applies.
    if signature and "<object object" in signature:
        signature = re.sub(r"=<object object( at 0x[0-9a-f]+)?>", "=<not given>", signature)
        return signature, return_annotation
    # dict-style first lines ("D.get(k[,d]) -> D[k] if k in D, else d.")
    # describe the result in words, not as a type.
    if return_annotation and not re.fullmatch(r"[\w.\[\], ]*", return_annotation) or (
        return_annotation and " " in return_annotation.strip()
    ):
        return signature, None
    return None


def setup(app):
    app.connect("autodoc-process-docstring", _reference_text)
    app.connect("autodoc-process-docstring", _plain_text_docstring)
    app.connect("autodoc-process-signature", _plain_signature)
