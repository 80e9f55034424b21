import ast
import inspect
import sys
from pathlib import Path

import pytest

import _morfex
from morfex import _trainer

mypy_api = pytest.importorskip("mypy.api")


def stub_functions(path: Path) -> dict[str, list[str]]:
    """Parameter names of every function in a stub, keyed by qualified name."""
    functions = {}
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        for child in getattr(node, "body", []):
            if isinstance(child, ast.FunctionDef):
                prefix = f"{node.name}." if isinstance(node, ast.ClassDef) else ""
                functions[prefix + child.name] = [arg.arg for arg in child.args.args]
    return functions


def installed_stub(*parts: str) -> Path:
    for entry in map(Path, sys.path):
        if (entry / Path(*parts)).is_file():
            return entry / Path(*parts)
    raise AssertionError(f"{'/'.join(parts)} is not installed")


def runtime_parameters(function) -> list[str]:
    return list(inspect.signature(function).parameters)


def test_stubs_name_the_parameters_the_modules_take():
    core = stub_functions(installed_stub("_morfex-stubs", "__init__.pyi"))
    assert core["CoreBPE.encode"] == ["self"] + runtime_parameters(_morfex.CoreBPE.encode)[1:]
    assert core["CoreBPE.decode"] == ["self"] + runtime_parameters(_morfex.CoreBPE.decode)[1:]
    assert core["CoreBPE.__new__"] == ["cls"] + runtime_parameters(_morfex.CoreBPE)
    trainer = stub_functions(installed_stub("morfex", "_trainer.pyi"))
    assert trainer["train"] == runtime_parameters(_trainer.train)
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
