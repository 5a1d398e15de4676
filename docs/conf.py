# The API reference: the README's sections, the ctp package's docstrings and
# the native modules' stubs. Built by tools/docs into build/docs/html.

import re
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE / "_ext"), str(HERE.parent / "python")]

project = "ctp"
# Read as the wheel's build reads it: importing ctp has to wait for the stubs (see extensions).
release = version = re.search(r'(?m)^__version__ = "(.+)"', (HERE.parent / "python/ctp/__init__.py").read_text())[1]
copyright = "the ctp developers, under the Apache License 2.0"

# stubs comes first: it puts _ctp and _ctpmd in place before autodoc imports ctp's modules.
extensions = ["stubs", "myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]

# Every cross-reference must resolve (a renamed class fails the build), except into the
# standard library, which has no inventory offline, the private modules' classes and type
# variables, and the annotation "bytes" inside
# ctp.sim.Call, which Sphinx takes for Call's method of that name.
nitpicky = True
nitpick_ignore_regex = [(r"py:.*", r"(annotationlib|collections\.abc|ctypes|datetime|enum|logging|os|time|types|typing)\..+"),
                        # the private modules' bases and helpers, which have no page of their own
                        (r"py:.*", r"ctp\._\w+\..+"),
                        # type variables of generic classes and functions
                        (r"py:class", r"[A-Z]|Key|Source")]
nitpick_ignore = [("py:class", "ctp.sim.Call.bytes")]

myst_heading_anchors = 3           # the README's contents link to its headings
myst_enable_extensions = ["deflist"]

autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "show-inheritance": True}
autodoc_typehints = "signature"
autodoc_preserve_defaults = True
autodoc_type_aliases = {"Handle": "Handle"}     # the stubs' name for a session handle

html_theme = "alabaster"
html_title = f"ctp {release}"
html_theme_options = {"description": "Trading on CTP futures fronts from CPython", "fixed_sidebar": True}
html_show_sourcelink = False
