import ast
import subprocess
import sys
import textwrap

import pytest

import _morfex
from morfex import _engine, _trainer

# Each native module, and a call that shows it works where it was loaded: the
# call's value is compared across interpreters. The modules are loaded from
# their files, so that no sub-interpreter imports the morfex package (numpy
# refuses sub-interpreters).
MODULES = {
    "_morfex": (_morfex.__file__, 'module.CoreBPE({"a": 1, "b": 2, "ab": 3}, [("a", "b")]).encode("abb")', [3, 2]),
    "morfex._engine": (
        _engine.__file__,
        'module.Engine({"a": 1, "b": 2, "ab": 3}, [("a", "b")], 0).encode_lists(["abb"], 1)',
        [[3, 2]],
    ),
    "morfex._trainer": (_trainer.__file__, 'module.train_counts({"ab": 2}, 300, 1, 0, False, None)[1]', [("a", "b")]),
}

# Loads the module and records how it went, as a repr'd tuple: no object can
# be handed from a sub-interpreter back to the caller.
LOAD = """
def load():
    import importlib.util
    try:
        spec = importlib.util.spec_from_file_location({name!r}, {path!r})
        module = importlib.util.module_from_spec(spec)
    except BaseException as error:
        return (type(error).__module__, type(error).__qualname__, str(error))
    return ("ok", {call})
"""

# Runs inside a sub-interpreter and appends the outcome to the results file.
SUB_SCRIPT = LOAD + """
with open({results!r}, "a") as results:
    results.write(repr(load()) + "\\n")
"""

# Runs in a fresh process. The private module that creates sub-interpreters differs
# between 3.12 and 3.13, and so does the way each names a configuration.
DRIVER = """
import sys

if sys.version_info >= (3, 13):
    import _interpreters

    def create(config):
        return _interpreters.create(config)

    def run(interp, code):
        failure = _interpreters.exec(interp, code)
        assert failure is None, failure

    destroy = _interpreters.destroy
else:
    import _xxsubinterpreters

    def create(config):
        return _xxsubinterpreters.create(isolated=config == "isolated")

    def run(interp, code):
        _xxsubinterpreters.run_string(interp, code)

    destroy = _xxsubinterpreters.destroy


def main_import():
    return load()

"""


def run_driver(name, body, tmp_path):
    path, call, _ = MODULES[name]
    results = tmp_path / "outcomes.txt"
    load = LOAD.format(name=name, path=path, call=call)
    sub = SUB_SCRIPT.format(name=name, path=path, call=call, results=str(results))
    script = DRIVER + load + "SUB = " + repr(sub) + "\n" + textwrap.dedent(body)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    written = results.read_text().splitlines() if results.exists() else []
    sub_outcomes = [ast.literal_eval(line) for line in written]
    main_outcomes = [ast.literal_eval(line) for line in result.stdout.splitlines()]
    return sub_outcomes, main_outcomes


def assert_refused(name, outcome):
    """The module's own refusal, or the interpreter's refusal of a single-phase module in an isolated one
    (3.12 names the module in full before its init runs, by its last part after)."""
    ours = f"{name} does not support sub-interpreters: it can only be imported by the first interpreter that loaded it"
    messages = [ours] + [f"module {n} does not support loading in subinterpreters" for n in {name, name.rpartition(".")[2]}]
    assert outcome in [("builtins", "ImportError", message) for message in messages], outcome


def worked(name):
    return ("ok", MODULES[name][2])


@pytest.mark.parametrize("name", MODULES)
@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_import_refused_after_main_interpreter(name, config, tmp_path):
    sub, main = run_driver(name, f"""
        print(repr(main_import()))
        interp = create({config!r})
        run(interp, SUB)
        run(interp, SUB)
        destroy(interp)
        other = create({config!r})
        run(other, SUB)
        destroy(other)
        print(repr(main_import()))
    """, tmp_path)
    assert len(sub) == 3
    for outcome in sub:
        assert_refused(name, outcome)
    assert main == [worked(name)] * 2


@pytest.mark.parametrize("name", MODULES)
def test_a_module_is_made_once_per_process(name, tmp_path):
    _, main = run_driver(name, f"""
        import importlib.util
        spec = importlib.util.spec_from_file_location({name!r}, {MODULES[name][0]!r})
        first = importlib.util.module_from_spec(spec)
        again = importlib.util.module_from_spec(spec)
        print(repr(again is first))
    """, tmp_path)
    assert main == [True]


def test_morfex_keeps_its_all_when_imported_again(tmp_path):
    _, main = run_driver("_morfex", """
        import _morfex
        first = _morfex
        del sys.modules["_morfex"]
        import _morfex
        print(repr((_morfex is first, _morfex.__all__)))
    """, tmp_path)
    assert main == [(True, ["CoreBPE"])]


# 3.13 runs a single-phase init function with the main interpreter active before
# it turns back to the importing sub-interpreter; 3.12 runs it in the
# sub-interpreter, and an isolated one refuses the module only afterwards.
INIT_RUNS_IN_MAIN_FIRST = sys.version_info >= (3, 13)


@pytest.mark.parametrize("name", MODULES)
@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_first_interpreter_to_run_init_owns_the_module(name, config, tmp_path):
    sub, main = run_driver(name, f"""
        interp = create({config!r})
        run(interp, SUB)
        print(repr(main_import()))
        run(interp, SUB)
        print(repr(main_import()))
        destroy(interp)
        print(repr(main_import()))
    """, tmp_path)
    assert len(sub) == 2 and len(main) == 3
    if INIT_RUNS_IN_MAIN_FIRST:
        refused, owned = sub, main
    elif config == "legacy":
        refused, owned = main, sub
    else:
        refused, owned = sub + main, []
    for outcome in refused:
        assert_refused(name, outcome)
    assert owned == [worked(name)] * len(owned)
