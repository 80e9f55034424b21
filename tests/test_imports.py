"""The package's modules import one another without a circle."""

import ast
import importlib.machinery
from pathlib import Path

import pytest

import morfex


def import_graph(package: Path, name: str) -> dict[str, set[str]]:
    """Module to the package modules it imports, anywhere in its body, read from the source."""
    # Native modules (and their stubs) count as modules too, though they import nothing.
    suffixes = (*importlib.machinery.EXTENSION_SUFFIXES, ".pyi", ".py")
    modules = {path.name.split(".")[0] for path in package.iterdir() if path.name.endswith(suffixes)}
    graph = {}
    for path in package.glob("*.py"):
        stem = path.stem
        here = name if stem == "__init__" else f"{name}.{stem}"
        imported = set()
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Import):
                imported |= {alias.name for alias in node.names}
            elif isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level:
                    parent = name if stem == "__init__" or node.level == 1 else name.rsplit(".", node.level - 1)[0]
                    base = f"{parent}.{base}" if base else parent
                # "from package import module" reaches the module; any other name, the package itself.
                for alias in node.names:
                    imported.add(f"{base}.{alias.name}" if base == name and alias.name in modules else base)
        graph[here] = {target for target in imported if target == name or target.removeprefix(name + ".") in modules}
    return graph


def circles(graph: dict[str, set[str]]) -> list[list[str]]:
    """Each chain of imports that leads back to where it started, found by depth-first search."""
    found, done = [], set()

    def visit(module: str, chain: list[str]) -> None:
        if module in chain:
            found.append(chain[chain.index(module):] + [module])
            return
        if module in done:
            return
        for target in sorted(graph.get(module, ())):
            visit(target, chain + [module])
        done.add(module)

    for module in sorted(graph):
        visit(module, [])
    return found


def test_no_module_of_the_package_imports_one_that_imports_it_back():
    graph = import_graph(Path(morfex.__file__).parent, "morfex")
    assert "morfex.tokenizer" in graph and "morfex.cli" in graph
    assert circles(graph) == []


@pytest.mark.parametrize(
    ("sources", "circle"),
    [
        ({"a": "from pkg.b import x", "b": "import pkg.a"}, ["pkg.a", "pkg.b", "pkg.a"]),
        ({"a": "def f():\n    from . import b", "b": "from .a import f"}, ["pkg.a", "pkg.b", "pkg.a"]),
        ({"a": "from pkg import b", "b": "from pkg import c", "c": "from pkg.a import f"},
         ["pkg.a", "pkg.b", "pkg.c", "pkg.a"]),
        ({"__init__": "from pkg.a import f", "a": "from pkg import VALUE"}, ["pkg", "pkg.a", "pkg"]),
        ({"__init__": "from pkg.a import f", "a": "from pkg import b", "b": ""}, None),
        ({"a": "import json\nfrom pkg import b", "b": "import os"}, None),
    ],
    ids=["direct", "relative-in-a-function", "through-a-chain", "through-the-package", "submodule-import", "none"],
)
def test_the_search_finds_each_kind_of_circle(tmp_path, sources, circle):
    for stem, source in sources.items():
        (tmp_path / f"{stem}.py").write_text(source, encoding="utf-8")
    found = circles(import_graph(tmp_path, "pkg"))
    assert (found[0] if found else None) == circle
