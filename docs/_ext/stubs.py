"""Documents the native modules from their stubs.

``_ctp`` and ``_ctpmd`` carry no docstrings: their documentation lives in
``python/_ctp.pyi`` and ``python/_ctpmd.pyi``, with the exact signatures. Before
anything is documented, this extension runs each stub as the module of that
name, so that autodoc reads the stubs' signatures, docstrings, overloads and
records, and the ``ctp`` package, which imports the modules, imports these. No
native build is needed, and the reference shows the interface the stubs
promise (the tests check the stubs against the modules)."""

from __future__ import annotations

import annotationlib
import ast
import importlib
import importlib.machinery
import sys
import typing
from pathlib import Path
from types import ModuleType
from typing import Any

STUBS = {"_ctp": "_ctp.pyi", "_ctpmd": "_ctpmd.pyi"}


def load(name: str, path: Path) -> ModuleType:
    """The stub run as the module ``name``; its source stays readable for autodoc's analyzer."""
    # Imported by the import system, from the stubs' directory, where only .pyi files are modules.
    directory = str(path.parent)
    hook = importlib.machinery.FileFinder.path_hook((importlib.machinery.SourceFileLoader, [".pyi"]))
    sys.path.insert(0, directory)
    sys.path_importer_cache[directory] = hook(directory)
    sys.modules.pop(name, None)
    writes, sys.dont_write_bytecode = sys.dont_write_bytecode, True    # no __pycache__ beside the stubs
    try:
        module = importlib.import_module(name)
    finally:
        sys.dont_write_bytecode = writes
        sys.path.remove(directory)
        sys.path_importer_cache.pop(directory, None)
    assert module.__file__ == str(path), module.__file__
    for node in ast.parse(path.read_text(encoding="utf-8")).body:
        if not isinstance(node, ast.FunctionDef):
            continue
        function = getattr(module, node.name)
        if any(isinstance(d, ast.Name) and d.id == "overload" for d in node.decorator_list):
            # At run time the name is typing's placeholder: document the overloads instead,
            # the first of which carries the docstring.
            def probe() -> None: ...
            probe.__module__, probe.__qualname__ = name, node.name
            function = next(f for f in typing.get_overloads(probe) if f.__doc__)
            setattr(module, node.name, function)
        # Annotations as written, so that signatures show the stubs' aliases (Handle, not PyCapsule).
        function.__annotations__ = annotationlib.get_annotations(function, format=annotationlib.Format.STRING)
    return module


def setup(app: Any) -> dict[str, Any]:
    python = Path(app.confdir).parent / "python"
    for name, stub in STUBS.items():
        load(name, python / stub)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
