"""The package's modules import one another without a circle."""

import ast
import importlib.machinery
from pathlib import Path

import pytest

import morfex


def run_time_nodes(tree: ast.AST) -> list[ast.AST]:
    """Every node of `tree` but those under `if TYPE_CHECKING:`, which never run."""
    found, pending = [], [tree]
    while pending:
        node = pending.pop()
        found.append(node)
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            pending.extend(node.orelse)
            continue
        pending.extend(ast.iter_child_nodes(node))
    return found


def import_graph(package: Path, name: str) -> dict[str, set[str]]:
    """Module to the package modules it imports, anywhere in its body, read from the source; subpackages too."""
    # Native modules (and their stubs) count as modules too, though they import nothing.
    suffixes = (*importlib.machinery.EXTENSION_SUFFIXES, ".pyi", ".py")

    def dotted(path: Path) -> str:
        parts = [name, *path.relative_to(package).parent.parts]
        stem = path.name.split(".")[0]
        return ".".join(parts if stem == "__init__" else [*parts, stem])

    modules = {dotted(path) for path in package.rglob("*") if path.name.endswith(suffixes)}
    graph = {}
    for path in package.rglob("*.py"):
        here = dotted(path)
        home = here if path.name == "__init__.py" else here.rpartition(".")[0]
        imported = set()
        for node in run_time_nodes(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Import):
                imported |= {alias.name for alias in node.names}
            elif isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level:
                    parent = home.rsplit(".", node.level - 1)[0] if node.level > 1 else home
                    base = f"{parent}.{base}" if base else parent
                # "from package import module" reaches the module; any other name, the package itself.
                for alias in node.names:
                    imported.add(f"{base}.{alias.name}" if f"{base}.{alias.name}" in modules else base)
        graph[here] = imported & modules
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
    assert {"morfex.tokenizer", "morfex.cli", "morfex.training.text", "morfex.hf.export"} <= set(graph)
    assert circles(graph) == []


def test_the_package_top_level_holds_at_most_ten_modules():
    suffixes = (*importlib.machinery.EXTENSION_SUFFIXES, ".py")
    top = {path.name.split(".")[0] for path in Path(morfex.__file__).parent.iterdir() if path.name.endswith(suffixes)}
    assert "tokenizer" in top and len(top) <= 10, sorted(top)


def test_only_the_tokenizer_reaches_the_engine():
    """Everything else goes through Tokenizer's public methods; only the native modules' own names are imported."""
    native = {"_morfex", "morfex._engine", "morfex._trainer"}
    for path in Path(morfex.__file__).parent.rglob("*.py"):
        if path.name == "tokenizer.py" and path.parent == Path(morfex.__file__).parent:
            continue
        source = path.read_text(encoding="utf-8")
        assert "_batch_engine" not in source, path
        for node in ast.walk(ast.parse(source)):
            if isinstance(node, ast.ImportFrom) and f"{node.module}" not in native:
                private = [alias.name for alias in node.names if alias.name.startswith("_") and f"{node.module}.{alias.name}" not in native]
                assert not private, (path, node.module, private)


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
        ({"sub/__init__": "from pkg.sub.a import f", "sub/a": "from ..b import g", "b": "from .sub import a"},
         ["pkg.b", "pkg.sub.a", "pkg.b"]),
        ({"sub/__init__": "from .a import f", "sub/a": "from pkg.b import g", "b": ""}, None),
        ({"a": "if TYPE_CHECKING:\n    from pkg import b\nelse:\n    import json", "b": "from pkg import a"}, None),
        ({"a": "if TYPE_CHECKING:\n    pass\nelse:\n    from pkg import b", "b": "from pkg import a"},
         ["pkg.a", "pkg.b", "pkg.a"]),
    ],
    ids=["direct", "relative-in-a-function", "through-a-chain", "through-the-package", "submodule-import", "none",
         "across-subpackages", "subpackage-init", "type-checking-only", "type-checking-else"],
)
def test_the_search_finds_each_kind_of_circle(tmp_path, sources, circle):
    for stem, source in sources.items():
        (tmp_path / f"{stem}.py").parent.mkdir(exist_ok=True)
        (tmp_path / f"{stem}.py").write_text(source, encoding="utf-8")
    found = circles(import_graph(tmp_path, "pkg"))
    assert (found[0] if found else None) == circle
