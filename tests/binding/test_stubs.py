import ast
import inspect
import sys
from pathlib import Path

import pytest

import _morfex
from morfex import _engine, _trainer

mypy_api = pytest.importorskip("mypy.api")


# Each native module and its stub, as installed.
NATIVE_MODULES = [
    (_morfex, ("_morfex-stubs", "__init__.pyi")),
    (_engine, ("morfex", "_engine.pyi")),
    (_trainer, ("morfex", "_trainer.pyi")),
]


def installed_stub(*parts: str) -> Path:
    for entry in map(Path, sys.path):
        if (entry / Path(*parts)).is_file():
            return entry / Path(*parts)
    raise AssertionError(f"{'/'.join(parts)} is not installed")


def stub_parameters(function: ast.FunctionDef, method: bool) -> list[tuple[str, bool]]:
    """(name, has a default) of each parameter, without a method's self or cls."""
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    defaults = [False] * (len(positional) - len(arguments.defaults)) + [True] * len(arguments.defaults)
    named = list(zip((a.arg for a in positional), defaults))
    named += [(a.arg, d is not None) for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    static = any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in function.decorator_list)
    return named[1:] if method and not static else named


def runtime_parameters(function, bound: bool) -> list[tuple[str, bool]]:
    parameters = list(inspect.signature(function).parameters.values())
    return [(p.name, p.default is not p.empty) for p in parameters[1 if bound else 0 :]]


def public(names) -> set[str]:
    return {name for name in names if not name.startswith("_")}


def stub_names(body: list[ast.stmt]) -> dict[str, ast.stmt]:
    names = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
    return names


@pytest.mark.parametrize(("module", "stub"), NATIVE_MODULES, ids=[m.__name__ for m, _ in NATIVE_MODULES])
def test_each_stub_declares_what_its_module_has(module, stub):
    declared = stub_names(ast.parse(installed_stub(*stub).read_text(encoding="utf-8")).body)
    assert public(declared) == public(vars(module)), "names in the stub, or in the module, only"
    for name, node in declared.items():
        if name.startswith("_"):
            continue
        value = getattr(module, name)
        if isinstance(node, ast.FunctionDef):
            assert stub_parameters(node, method=False) == runtime_parameters(value, bound=False), name
        elif isinstance(node, ast.AnnAssign) and isinstance(node.annotation, ast.Name):
            assert type(value).__name__ == node.annotation.id, name
        elif isinstance(node, ast.ClassDef):
            members = stub_names(node.body)
            assert public(members) == public(vars(value)), f"{name}: members in the stub, or in the type, only"
            for member, child in members.items():
                assert hasattr(value, member), f"{name}.{member}"
                if not isinstance(child, ast.FunctionDef):
                    continue
                if member == "__new__":
                    assert stub_parameters(child, method=True) == runtime_parameters(value, bound=False), name
                elif not member.startswith("__"):
                    method = getattr(value, member)
                    # A class method comes bound to its class: no first parameter to drop.
                    runtime = runtime_parameters(method, bound=getattr(method, "__self__", None) is not value)
                    assert stub_parameters(child, method=True) == runtime, f"{name}.{member}"


def test_the_package_is_marked_typed():
    assert installed_stub("morfex", "py.typed").read_text() == ""


def test_package_and_a_client_type_check(tmp_path):
    client = tmp_path / "client.py"
    client.write_text(
        "import morfex\n"
        "from _morfex import CoreBPE\n"
        "tokenizer = morfex.train(['k\u2581um'], vocab_size=10)\n"
        "reveal_type(tokenizer.encode('k'))\n"
        "reveal_type(morfex.load('m.json').decode([1, 2]))\n"
        "reveal_type(CoreBPE({'a': 0}, [('a', 'a')]).encode('a'))\n"
        "morfex.train(['a'], vocab_size='big')\n",
        encoding="utf-8",
    )
    cache = ["--strict", "--cache-dir", str(tmp_path / "cache")]
    out, _, status = mypy_api.run([*cache, "-p", "morfex"])
    assert status == 0, out
    out, _, status = mypy_api.run([*cache, str(client)])
    lines = [
        line[len(str(client)):].split(": ", 1)[1].replace("builtins.", "")
        for line in out.splitlines()
        if line.startswith(str(client))
    ]
    assert lines == [
        'note: Revealed type is "list[int]"',
        'note: Revealed type is "str"',
        'note: Revealed type is "list[int]"',
        'error: Argument "vocab_size" to "train" has incompatible type "str"; expected "int"  [arg-type]',
    ], out
    assert status == 1
